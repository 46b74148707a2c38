// HAR exports read through the media rules: by the reader itself, and by both programs'
// --read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "TempFolder.h"
#include "headless/HeadlessFrontEnd.h"
#include "mediarules/HarReader.h"
#include "mediarules/MessageMediaRules.h"

using Json = nlohmann::json;

namespace {

Json Headers(std::initializer_list<std::pair<const char*, std::string>> list) {
    Json headers = Json::array();
    for (const auto& [name, value] : list) headers.push_back({{"name", name}, {"value", value}});
    return headers;
}

std::string Base64(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out.push_back(kAlphabet[(v >> s) & 63]);
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += std::string{kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += std::string{kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63],
                           kAlphabet[(v >> 6) & 63], '='};
    }
    return out;
}

struct EntrySpec {
    std::string method = "GET";
    std::string url;
    std::string version = "HTTP/1.1";
    Json requestHeaders = Json::array();
    int status = 200;
    Json responseHeaders = Json::array();
    std::string mimeType;
    std::int64_t size = -1;
    std::optional<std::string> text;
    bool base64 = false;
    std::string started = "2026-06-01T13:02:03.123Z";
};

Json Entry(const std::function<void(EntrySpec&)>& fill) {
    EntrySpec spec;
    fill(spec);
    Json content = {{"size", spec.size}, {"mimeType", spec.mimeType}};
    if (spec.text) {
        content["text"] = spec.base64 ? Base64(*spec.text) : *spec.text;
        if (spec.base64)
            content["encoding"] = "base64";
    }
    return {{"startedDateTime", spec.started},
            {"time", 12.5},
            {"request",
             {{"method", spec.method},
              {"url", spec.url},
              {"httpVersion", spec.version},
              {"headers", spec.requestHeaders},
              {"cookies", Json::array()},
              {"queryString", Json::array()},
              {"headersSize", -1},
              {"bodySize", 0}}},
            {"response",
             {{"status", spec.status},
              {"statusText", ""},
              {"httpVersion", spec.version},
              {"headers", spec.responseHeaders},
              {"content", content},
              {"redirectURL", ""},
              {"headersSize", -1},
              {"bodySize", -1}}},
            {"serverIPAddress", "[2001:db8::7]"},
            {"cache", Json::object()},
            {"timings", {{"send", 0}, {"wait", 1}, {"receive", 1}}}};
}

std::string WebmBytes(std::size_t size) {
    std::string header("\x42\x82\x84webm", 7);
    std::string bytes = std::string("\x1A\x45\xDF\xA3", 4) + static_cast<char>(0x80 | 7) + header;
    bytes.resize(size, '\x11');
    return bytes;
}

// A HAR as DevTools saves it: media, pages, pictures, a stream with its segments, an entry
// whose request headers were left out, one with a header that tries to add a line.
Json Document() {
    Json entries = Json::array();
    entries.push_back(Entry([&](EntrySpec& e) {
        e.url = "https://www.test/v/movie.mp4";
        e.requestHeaders =
            Headers({{"Host", "www.test"}, {"Range", "bytes=0-"}, {"Cookie", "id=1"}});
        e.responseHeaders = Headers({{"Content-Type", "video/mp4"}, {"Content-Length", "5000000"}});
        e.mimeType = "video/mp4";
        e.size = 0;
    }));
    entries.push_back(Entry([&](EntrySpec& e) {
        e.url = "https://h2.test/clip?x=1#t=5";
        e.version = "h2";
        e.requestHeaders = Headers({{":method", "GET"},
                                    {":authority", "h2.test"},
                                    {":scheme", "https"},
                                    {":path", "/clip?x=1"},
                                    {"cookie", "s=1"},
                                    {"user-agent", "UA"}});
        e.responseHeaders =
            Headers({{"content-type", "binary/octet-stream"}, {"content-encoding", "gzip"}});
        e.mimeType = "binary/octet-stream";
        e.size = 150000;
        e.text = WebmBytes(150000);
        e.base64 = true;
        e.started = "2026-06-01T15:02:04+02:00";
    }));
    entries.push_back(Entry([&](EntrySpec& e) {
        e.url = "https://www.test/";
        e.responseHeaders = Headers({{"Content-Type", "text/html"}});
        e.mimeType = "text/html";
        e.size = 300000;
        // Past 16 MiB, so that reading the file hands back the pages it has read.
        e.text = "<html>" + std::string(17u << 20, ' ');
    }));
    entries.push_back(Entry([&](EntrySpec& e) {
        e.url = "https://www.test/p.png";
        e.responseHeaders = Headers({{"Content-Type", "image/png"}, {"Content-Length", "200000"}});
        e.mimeType = "image/png";
    }));
    entries.push_back(Entry([&](EntrySpec& e) {
        e.url = "https://radio.test:8443/live.mp3";
        e.version = "h3";
        e.responseHeaders =
            Headers({{"content-type", "audio/mpeg"}, {"content-length", "4000000"}});
        e.mimeType = "audio/mpeg";
    }));
    entries.push_back(Entry([&](EntrySpec& e) {
        e.url = "https://cdn.test/show/master.m3u8";
        e.requestHeaders =
            Headers({{"Cookie", "id=1\r\nX-Injected: 1"}, {"Referer", "https://www.test/"}});
        e.responseHeaders = Headers({{"Content-Type", "application/vnd.apple.mpegurl"}});
        e.mimeType = "application/vnd.apple.mpegurl";
        e.text =
            "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=2000000,"
            "RESOLUTION=1280x720\nhi/index.m3u8\n";
    }));
    entries.push_back(Entry([&](EntrySpec& e) {
        e.url = "https://cdn.test/show/hi/index.m3u8";
        e.responseHeaders = Headers({{"Content-Type", "application/vnd.apple.mpegurl"}});
        e.text =
            "#EXTM3U\n#EXTINF:6,\na.ts\n#EXTINF:6,\nb.ts\n"
            "#EXTINF:6,\nc.ts\n#EXT-X-ENDLIST\n";
    }));
    for (const char* segment : {"a", "b", "c"}) {
        entries.push_back(Entry([&](EntrySpec& e) {
            e.url = std::string("https://cdn.test/show/hi/") + segment + ".ts";
            e.responseHeaders =
                Headers({{"Content-Type", "video/mp2t"}, {"Content-Length", "300000"}});
            e.mimeType = "video/mp2t";
        }));
    }
    entries.push_back(Entry([&](EntrySpec& e) {
        e.method = "POST";
        e.url = "https://www.test/upload";
        e.responseHeaders = Headers({{"Content-Type", "video/mp4"}, {"Content-Length", "900000"}});
    }));
    entries.push_back(Json{{"request", {{"url", "https://www.test/broken"}}}});
    entries.push_back(Entry([&](EntrySpec& e) {
        e.url = "https://h3.test/big.mp4";
        e.version = "HTTP/3";
        e.status = 206;
        e.responseHeaders = Headers({{"content-type", "video/mp4"},
                                     {"content-range", "bytes 1000-1999/80000000"},
                                     {"etag", "\"big\""}});
        e.size = 1000;
    }));
    return {{"log",
             {{"version", "1.2"},
              {"creator", {{"name", "WebInspector"}, {"version", "537.36"}}},
              {"pages", Json::array({{{"id", "page_1"}, {"title", "t"}}})},
              {"entries", entries}}}};
}

struct ProgramRun {
    int status = -1;
    std::string out;
};

ProgramRun RunRead(const std::string& program, const std::string& file) {
    const std::string command =
        "TZ=UTC '" + program + "' --read '" + file + "' 2>'" + file + ".err'";
    ProgramRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        run.out.append(buffer, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(HarReader, EntriesBecomeExchanges) {
    const std::string document = Document().dump();
    std::vector<MediaReport> reports;
    MessageMediaRules rules([&](MediaReport report) { reports.push_back(std::move(report)); });
    std::vector<HarEntry> entries;
    std::string error;
    ASSERT_TRUE(ReadHar(
        document,
        [&](const HarEntry& entry) {
            entries.push_back(entry);
            FeedHarEntry(entry, rules);
        },
        error))
        << error;
    ASSERT_EQ(entries.size(), 12u);  // the broken entry is skipped
    const HttpExchange& h2 = entries[1].exchange;
    EXPECT_TRUE(h2.http2);
    EXPECT_EQ(h2.request.headerBlock,
              "GET /clip?x=1 HTTP/1.1\r\nHost: h2.test\r\ncookie: s=1\r\nuser-agent: UA\r\n\r\n");
    EXPECT_EQ(FindHeader(h2.response.headers, "Content-Encoding"), nullptr);  // text is decoded
    EXPECT_EQ(h2.contentLength, 150000u);
    EXPECT_EQ(AddressText(h2.serverAddress), "2001:db8::7");
    EXPECT_EQ(h2.serverPort, 443);
    EXPECT_EQ(entries[1].started, 1780318924);
    EXPECT_EQ(entries[4].exchange.serverPort, 8443);
    EXPECT_EQ(entries[4].exchange.request.headerBlock,
              "GET /live.mp3 HTTP/1.1\r\nHost: radio.test:8443\r\n\r\n");
    EXPECT_EQ(entries[5].exchange.request.headerBlock,
              "GET /show/master.m3u8 HTTP/1.1\r\nHost: cdn.test\r\n"
              "Referer: https://www.test/\r\n\r\n");

    std::vector<std::string> listed;
    for (const MediaReport& report : reports)
        listed.push_back(report.url + " " + report.lengthText);
    EXPECT_EQ(listed, (std::vector<std::string>{
                          "https://www.test/v/movie.mp4 5000000",
                          "https://h2.test/clip?x=1 150000",
                          "https://radio.test:8443/live.mp3 4000000",
                          "https://cdn.test/show/master.m3u8 0",
                          "https://cdn.test/show/master.m3u8 0",  // its duration, from the variant
                          "https://cdn.test/show/master.m3u8 300000",
                          "https://cdn.test/show/master.m3u8 600000",
                          "https://cdn.test/show/master.m3u8 900000",
                          "https://h3.test/big.mp4 80000000",
                      }));
    EXPECT_EQ(reports[0].requestHeaders,
              "GET /v/movie.mp4 HTTP/1.1\r\nHost: www.test\r\nCookie: id=1\r\n\r\n");
    EXPECT_EQ(reports[1].typeText, "webm");
    EXPECT_EQ(reports.back().validator, "\"big\"");
}

TEST(HarReader, BrokenDocuments) {
    struct Case {
        const char* text;
        std::size_t entries;
    };
    const Case cases[] = {
        {"", 0},
        {"{\"log\": {}}", 0},
        {"{\"log\": {\"entries\": [{\"request\": {}}, ", 0},
        {"[1, 2, 3]", 0},
        {"{\"log\": {\"entries\": 5}}", 0},
    };
    for (const Case& c : cases) {
        std::size_t count = 0;
        std::string error;
        EXPECT_FALSE(ReadHar(
            c.text, [&](const HarEntry&) { ++count; }, error))
            << c.text;
        EXPECT_FALSE(error.empty()) << c.text;
        EXPECT_EQ(count, c.entries);
    }
    // Deep nesting inside an entry is skipped as it is read, never built.
    std::string deep = "{\"log\":{\"entries\":[{\"x\":";
    deep += std::string(200000, '[') + std::string(200000, ']') + "}]}}";
    std::string error;
    EXPECT_TRUE(ReadHar(
        deep, [](const HarEntry&) {}, error))
        << error;
}

TEST(HarReadCommand, BothProgramsListTheMediaOfAHar) {
    TempFolder folder;
    // Known by its content, whatever its name.
    const std::string path = (folder.path / "session.json").string();
    std::ofstream(path) << Document().dump(1);
    // Each run is a new process: the numbers start at 1.
    const std::string expected =
        "1\t01:02:03 PM\tmp4\t5000000\thttps://www.test/v/movie.mp4\n"
        "2\t01:02:04 PM\twebm\t150000\thttps://h2.test/clip?x=1\n"
        "3\t01:02:03 PM\tmp3\t4000000\thttps://radio.test:8443/live.mp3\n"
        "4\t01:02:03 PM\thls\t900000\thttps://cdn.test/show/master.m3u8\n"
        "5\t01:02:03 PM\tmp4\t80000000\thttps://h3.test/big.mp4\n";
    for (const char* program : {PELNIX_SNIFF_PROGRAM, PELNIX_PROGRAM}) {
        const ProgramRun run = RunRead(program, path);
        EXPECT_EQ(run.status, 0) << program << ReadText(path + ".err");
        EXPECT_EQ(run.out, expected) << program;
    }

    // A HAR cut short: what came before the fault is listed, and the run fails with one line.
    const std::string whole = Document().dump();
    const std::string cutPath = (folder.path / "cut.har").string();
    std::ofstream(cutPath) << whole.substr(0, whole.find("https://radio.test"));
    const ProgramRun cut = RunRead(PELNIX_SNIFF_PROGRAM, cutPath);
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.out,
              "1\t01:02:03 PM\tmp4\t5000000\thttps://www.test/v/movie.mp4\n"
              "2\t01:02:04 PM\twebm\t150000\thttps://h2.test/clip?x=1\n");
    const std::string error = ReadText(cutPath + ".err");
    EXPECT_EQ(error.rfind("pelnix-sniff: cannot read HAR file '" + cutPath + "': ", 0), 0u)
        << error;
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1);
}

namespace {

// A HAR written as text, so that a test can shape what no JSON library would build quickly.
std::string MediaEntryText(const std::string& url, const std::string& extra = {}) {
    return R"({"startedDateTime":"2026-06-01T13:02:03Z","request":{"method":"GET","url":")" + url +
           R"(","headers":[]},"response":{"status":200,"headers":[{"name":"Content-Type",)"
           R"("value":"video/mp4"},{"name":"Content-Length","value":"500000"}]})" +
           extra + "}";
}

double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

}  // namespace

// What no rule reads is skipped as it is read: an array of many empty objects, headers past
// the bound, a long member name. Linear: 200,000 empty objects in one entry took seconds when
// the reader built what it skipped.
TEST(HarReader, WhatIsNotReadIsSkippedInLinearTime) {
    std::string headers;
    for (int i = 0; i < 100000; ++i) headers += R"({"name":"X-A","value":"1"},)";
    headers += R"({"name":"X-Last","value":"1"})";
    std::string objects = "[{}";
    for (int i = 1; i < 200000; ++i) objects += ",{}";
    objects += "]";
    const std::string document =
        R"({"log":{")" + std::string(1u << 20, 'k') + R"(":1,"entries":[)" + R"({"x":)" + objects +
        R"(,"request":{"method":"GET","url":"https://a.test/h.mp4",)" + R"("headers":[)" + headers +
        R"(]},"response":{"status":200,"headers":[)" +
        R"({"name":"Content-Type","value":"video/mp4"},)" +
        R"({"name":"Content-Length","value":"300000"}]}},)" +
        MediaEntryText("https://a.test/after.mp4") + "]}}";
    std::vector<std::string> urls;
    std::size_t firstHeaders = 0;
    std::string error;
    const double before = CpuSeconds();
    ASSERT_TRUE(ReadHar(
        document,
        [&](const HarEntry& entry) {
            if (urls.empty())
                firstHeaders = entry.exchange.request.headers.size();
            urls.push_back(entry.exchange.request.authority + entry.exchange.request.target);
        },
        error))
        << error;
    EXPECT_LT(CpuSeconds() - before, 1.0);
    EXPECT_EQ(urls, (std::vector<std::string>{"a.test/h.mp4", "a.test/after.mp4"}));
    EXPECT_EQ(firstHeaders, kMaxHarHeaders);
}

// A stop request ends the reading within a step of the input, also inside what is skipped:
// here a long member after the entries, followed by a fault the reader must not reach.
TEST(HarReader, AStopEndsTheReadingWithinAStep) {
    const std::string document = R"({"log":{"entries":[)" + MediaEntryText("https://a.test/1.mp4") +
                                 "," + MediaEntryText("https://a.test/2.mp4") + R"(],"pages":")" +
                                 std::string(8u << 20, 'p') + R"(", not JSON)";
    std::atomic<bool> stop{false};
    std::size_t handed = 0;
    std::string error;
    EXPECT_FALSE(ReadHar(
        document, [&](const HarEntry&) { ++handed; }, error, &stop));
    EXPECT_EQ(handed, 2u);
    EXPECT_NE(error.find("not JSON at byte"), std::string::npos) << error;

    handed = 0;
    EXPECT_FALSE(ReadHar(
        document,
        [&](const HarEntry&) {
            ++handed;
            stop = handed == 2;
        },
        error, &stop));
    EXPECT_EQ(handed, 2u);
    EXPECT_EQ(error, "stopped");

    // Asked before the first entry: nothing is handed on.
    handed = 0;
    EXPECT_FALSE(ReadHar(
        document, [&](const HarEntry&) { ++handed; }, error, &stop));
    EXPECT_EQ(handed, 0u);
    EXPECT_EQ(error, "stopped");
}

namespace {

// Runs `program --read file` with standard output into `file`.out; its exit status and peak
// resident memory in KiB.
struct MeasuredRun {
    int status = -1;
    long peakKiB = 0;
};

MeasuredRun RunMeasured(const std::string& program, const std::string& file) {
    MeasuredRun run;
    const pid_t child = ::fork();
    if (child < 0)
        return run;
    if (child == 0) {
        const int out = ::open((file + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open((file + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
            ::_exit(127);
        ::setenv("TZ", "UTC", 1);
        ::execl(program.c_str(), program.c_str(), "--read", file.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) == child) {
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.peakKiB = usage.ru_maxrss;
    }
    return run;
}

}  // namespace

// Memory stays near what one entry keeps, not what the file holds: a member name of 40 MiB and
// a body of 30 MiB of base64 (whose length still counts all of it).
// Measured against the same file with a short name and body, so that what a sanitizer's
// runtime takes is not counted.
TEST(HarReadCommand, ALargeHarIsReadInLittleMemory) {
    TempFolder folder;
    const auto write = [](const std::string& path, int mebibytes) {
        std::ofstream out(path, std::ios::binary);
        const std::string mebibyte(1u << 20, 'k');
        out << R"({"log":{")";
        for (int i = 0; i < 40 * mebibytes; ++i) out << mebibyte;
        out << R"(":1,"entries":[)";
        out << R"({"startedDateTime":"2026-06-01T13:02:03Z","request":{"method":"GET",)"
               R"("url":"https://big.test/v.mp4","headers":[]},"response":{"status":200,)"
               R"("headers":[{"name":"Content-Type","value":"video/mp4"}],"content":{"text":")";
        const std::string symbols(1u << 20, 'A');
        for (int i = 0; i < 30 * mebibytes; ++i) out << symbols;
        out << R"(","encoding":"base64"}}}]}})";
    };
    const std::string path = (folder.path / "large.har").string();
    const std::string small = (folder.path / "small.har").string();
    write(path, 1);
    write(small, 0);
    const MeasuredRun run = RunMeasured(PELNIX_SNIFF_PROGRAM, path);
    const MeasuredRun base = RunMeasured(PELNIX_SNIFF_PROGRAM, small);
    EXPECT_EQ(run.status, 0) << ReadText(path + ".err");
    EXPECT_EQ(ReadText(path + ".out"), "1\t01:02:03 PM\tmp4\t23592960\thttps://big.test/v.mp4\n");
    EXPECT_GT(base.peakKiB, 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "memory not compared: a sanitizer's allocator keeps what the program freed "
                    "(the normal build compares it)";
#endif
    EXPECT_LT(run.peakKiB, base.peakKiB + (24 << 10)) << "peak resident memory in KiB";
}

// --read of a HAR prints each record once the catalogue can no longer change it (it left the
// list), not all of them at the end: its output holds no more than the list whatever the file
// lists. Here the first line written stops the reading, as SIGTERM does in the programs.
TEST(HarReadCommand, LinesArePrintedOnceTheyCanNoLongerChange) {
    TempFolder folder;
    const std::string path = (folder.path / "many.har").string();
    {
        std::ofstream out(path);
        out << R"({"log":{"entries":[)";
        for (int i = 0; i < 60; ++i) {
            out << (i ? "," : "")
                << R"({"startedDateTime":"2026-06-01T13:02:03Z","request":{"method":"GET",)"
                << R"("url":"https://cdn.test/)" << i << R"(.mp4","headers":[]},)"
                << R"("response":{"status":200,"headers":[{"name":"Content-Type",)"
                << R"("value":"video/mp4"},{"name":"Content-Length","value":")" << 200000 + i
                << R"("}]}})";
        }
        out << "]}}";
    }
    struct Output {
        std::string text;
        std::atomic<bool> stop{false};
    } output;
    cookie_io_functions_t functions{};
    functions.write = [](void* cookie, const char* bytes, std::size_t size) -> ssize_t {
        auto* self = static_cast<Output*>(cookie);
        self->text.append(bytes, size);
        self->stop = true;
        return static_cast<ssize_t>(size);
    };
    std::FILE* out = ::fopencookie(&output, "w", functions);
    ASSERT_NE(out, nullptr);
    std::setvbuf(out, nullptr, _IONBF, 0);
    std::FILE* err = std::tmpfile();
    const int status = RunReadCommand(path, std::nullopt, out, err, "pelnix", {}, &output.stop);
    std::fclose(out);
    std::fclose(err);
    EXPECT_EQ(status, 0);
    // The 26th record pushed the first off the list and out; the reading stopped there, and
    // the records still listed followed.
    std::vector<std::string> urls;
    for (std::size_t at = 0; (at = output.text.find("https://", at)) != std::string::npos;) {
        const std::size_t end = output.text.find('\n', at);
        urls.push_back(output.text.substr(at, end - at));
        at = end;
    }
    ASSERT_GE(urls.size(), 26u) << output.text;
    EXPECT_LT(urls.size(), 60u) << output.text;
    for (std::size_t i = 0; i < urls.size(); ++i)
        EXPECT_EQ(urls[i], "https://cdn.test/" + std::to_string(i) + ".mp4");
}

// The ranges of one file join its one record, also when thirty media come between them and
// its record has left the list by the time of the second.
TEST(HarReadCommand, RangesFarApartListTheirFileOnce) {
    TempFolder folder;
    const std::string path = (folder.path / "ranges.har").string();
    const auto range = [](const std::string& bytes) {
        return Entry([&](EntrySpec& e) {
            e.url = "https://cdn.test/film.mp4";
            e.status = 206;
            e.responseHeaders = Headers({{"Content-Type", "video/mp4"},
                                         {"Content-Range", "bytes " + bytes + "/90000000"},
                                         {"ETag", "\"f1\""}});
        });
    };
    Json entries = Json::array({range("0-999999")});
    for (int i = 0; i < 30; ++i) {
        entries.push_back(Entry([&](EntrySpec& e) {
            e.url = "https://cdn.test/" + std::to_string(i) + ".mp3";
            e.responseHeaders = Headers(
                {{"Content-Type", "audio/mpeg"}, {"Content-Length", std::to_string(200000 + i)}});
        }));
    }
    entries.push_back(range("50000000-50999999"));
    std::ofstream(path) << Json{{"log", {{"entries", entries}}}}.dump();
    const ProgramRun run = RunRead(PELNIX_SNIFF_PROGRAM, path);
    EXPECT_EQ(run.status, 0) << ReadText(path + ".err");
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 31) << run.out;
    std::size_t listed = 0;
    for (std::size_t at = 0; (at = run.out.find("film.mp4", at)) != std::string::npos; ++at)
        ++listed;
    EXPECT_EQ(listed, 1u) << run.out;
}
