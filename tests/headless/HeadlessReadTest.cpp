#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <algorithm>
#include <iterator>

#include <nlohmann/json.hpp>

#include "TempFolder.h"
#include "headless/CaptureFileRecords.h"
#include "headless/HeadlessFrontEnd.h"
#include "streams/TlsSighting.h"
#include "support/FrameBuilder.h"
#include "support/HttpsScript.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

const Ipv4Address kClient{10, 0, 0, 2};
const Ipv4Address kServer{10, 0, 0, 7};

// Output and exit status of RunReadCommand.
struct ReadResult {
    int status;
    std::string out, err;
};

std::string Drain(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, n);
    std::fclose(file);
    return text;
}

ReadResult Read(const std::string& path, std::optional<IpAddress> local = std::nullopt) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    ReadResult result;
    result.status = RunReadCommand(path, local, out, err);
    result.out = Drain(out);
    result.err = Drain(err);
    return result;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

// Drops the number column, whose value depends on earlier records of the process.
std::string WithoutNumber(const std::string& line) {
    return line.substr(line.find('\t') + 1);
}

FrameLayout Outgoing(std::uint16_t port, std::string payload) {
    return ClientToServer(kClient, kServer, port, std::move(payload));
}

FrameLayout Incoming(std::uint16_t port, std::string payload) {
    return ServerToClient(kServer, kClient, port, std::move(payload));
}

// Local time zone fixed to UTC for the times in the output.
class ReadCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ"))
            m_oldTz = tz;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (m_oldTz) {
            ::setenv("TZ", m_oldTz->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    TempFolder m_folder;
    std::optional<std::string> m_oldTz;
};

// 2026-06-01 13:02:03 UTC.
constexpr std::time_t kAfternoon = 1780318923;

}  // namespace

TEST_F(ReadCommandTest, ListsAcceptedRecordsWithPacketTimes) {
    const std::string path = (m_folder.path / "mix.pcap").string();
    {
        CaptureFileWriter writer(path);
        ASSERT_TRUE(writer.Ok());
        // Before any request: an answer nobody asked for, and its continuation.
        writer.Write(BuildFrame(Incoming(999, ResponseHead("video/x-flv", 500000))), kAfternoon);
        writer.Write(BuildFrame(Incoming(999, "FLV\x01")), kAfternoon);
        writer.Write(BuildFrame(Outgoing(1001, GetRequest("/a.flv", "cdn"))), kAfternoon);
        writer.Write(BuildFrame(Incoming(1001, ResponseHead("video/x-flv", 300000) + "FLV")),
                     kAfternoon + 1);
        writer.Write(BuildFrame(Outgoing(1002, GetRequest("/small.mp4", "cdn"))), kAfternoon);
        writer.Write(BuildFrame(Incoming(1002, ResponseHead("video/mp4", 99999))), kAfternoon);
        writer.Write(BuildFrame(Outgoing(1003, GetRequest("/page.html", "cdn"))), kAfternoon);
        writer.Write(BuildFrame(Incoming(1003, ResponseHead("text/html", 400000) + "<html>")),
                     kAfternoon);
        writer.Write(BuildFrame(Outgoing(1004, "GET /s.mp3 HTTP/1.1\r\n\r\n")), kAfternoon);
        writer.Write(BuildFrame(Incoming(1004, ResponseHead("audio/mpeg", 5368709120) + "ID3")),
                     kAfternoon + 7200);
        // The same URL again, and another URL of an already listed size.
        writer.Write(BuildFrame(Outgoing(1005, GetRequest("/a.flv", "cdn"))), kAfternoon);
        writer.Write(BuildFrame(Incoming(1005, ResponseHead("video/x-flv", 300001) + "FLV")),
                     kAfternoon);
        writer.Write(BuildFrame(Outgoing(1006, GetRequest("/b.flv", "cdn"))), kAfternoon);
        writer.Write(BuildFrame(Incoming(1006, ResponseHead("video/x-flv", 300000) + "FLV")),
                     kAfternoon);
    }
    const ReadResult result = Read(path);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const auto lines = Lines(result.out);
    ASSERT_EQ(lines.size(), 2u) << result.out;
    EXPECT_EQ(WithoutNumber(lines[0]), "01:02:04 PM\tflv\t300000\thttp://cdn/a.flv");
    EXPECT_EQ(WithoutNumber(lines[1]), "03:02:03 PM\tMP3\t5368709120\thttp://10.0.0.7/s.mp3");
    EXPECT_EQ(std::stoi(lines[1]), std::stoi(lines[0]) + 1);
}

TEST_F(ReadCommandTest, LocalAddressFromTheFirstRequestOrTheOption) {
    const std::string path = (m_folder.path / "other-side.pcap").string();
    {
        CaptureFileWriter writer(path);
        // No option: the client is this machine because it sent the first GET request.
        writer.Write(BuildFrame(Outgoing(2001, GetRequest("/v.mp4", "cdn"))), kAfternoon);
        writer.Write(BuildFrame(Incoming(2001, ResponseHead("video/mp4", 123456))), kAfternoon);
    }
    auto lines = Lines(Read(path).out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(WithoutNumber(lines[0]), "01:02:03 PM\tmp4\t123456\thttp://cdn/v.mp4");

    // Seen from the server's address, the request is incoming and nothing is listed.
    EXPECT_EQ(Read(path, kServer).out, "");
    EXPECT_EQ(Lines(Read(path, kClient).out).size(), 1u);
}

TEST_F(ReadCommandTest, EachFamilyFindsItsOwnLocalAddress) {
    const IpAddress client6 = Ipv6("fd00:5::2");
    const IpAddress server6 = Ipv6("fd00:5::7");
    const std::string path = (m_folder.path / "dual.pcap").string();
    {
        CaptureFileWriter writer(path);
        FrameLayout request =
            ClientToServer(client6, server6, 5001, "GET /six.mp4 HTTP/1.1\r\n\r\n");
        FrameLayout answer =
            ServerToClient(server6, client6, 5001, ResponseHead("video/mp4", 600006));
        request.extensionHeaders = answer.extensionHeaders = {60};
        writer.Write(BuildFrame(request), kAfternoon);
        writer.Write(BuildFrame(answer), kAfternoon);
        request = Outgoing(5002, GetRequest("/four.mp4", "cdn"));
        answer = Incoming(5002, ResponseHead("video/mp4", 400004));
        request.vlanTags = answer.vlanTags = {0x8100};
        writer.Write(BuildFrame(request), kAfternoon);
        writer.Write(BuildFrame(answer), kAfternoon);
    }
    const std::vector<std::string> both = {"01:02:03 PM\tmp4\t600006\thttp://[fd00:5::7]/six.mp4",
                                           "01:02:03 PM\tmp4\t400004\thttp://cdn/four.mp4"};
    struct Case {
        const char* name;
        std::optional<IpAddress> local;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"no option", std::nullopt, both},
        {"the IPv6 client; IPv4 from its first request", client6, both},
        {"the IPv4 client; IPv6 from its first request", IpAddress(kClient), both},
        {"the IPv6 server", server6, {both[1]}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> lines;
        for (const std::string& line : Lines(Read(path, c.local).out)) {
            lines.push_back(WithoutNumber(line));
        }
        EXPECT_EQ(lines, c.lines) << c.name;
    }
}

TEST_F(ReadCommandTest, NetworkTextIsEscapedInTheOutput) {
    const std::string path = (m_folder.path / "escape.pcap").string();
    {
        CaptureFileWriter writer(path);
        // C1 controls encoded in UTF-8 (C2 9B is a terminal's CSI), DEL and a Latin-1 byte too.
        writer.Write(BuildFrame(Outgoing(3001, GetRequest("/a\tb\x1b[2J\xc2\x9b"
                                                          "6n\x7f\xe9.mp4",
                                                          "cdn"))),
                     kAfternoon);
        writer.Write(BuildFrame(Incoming(3001, ResponseHead("video/mp\x07"
                                                            "4",
                                                            222222))),
                     kAfternoon);
    }
    const auto lines = Lines(Read(path).out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(
        WithoutNumber(lines[0]),
        "01:02:03 PM\tmp\\x074\t222222\thttp://cdn/a\\x09b\\x1b[2J\\xc2\\x9b6n\\x7f\\xe9.mp4");
}

// Every byte that is not printable ASCII is escaped, also in the statistics line.
TEST(HeadlessOutput, StatisticsLineEscapesTheAdapterName) {
    CaptureStatistics statistics;
    statistics.known = true;
    statistics.received = 7;
    EXPECT_EQ(StatisticsLine("pelnix-sniff",
                             "eth\xc2\x9b"
                             "0",
                             statistics),
              "pelnix-sniff: eth\\xc2\\x9b0: 7 packets received, 0 dropped by the kernel, 0 "
              "dropped by the interface\n");
}

// Whatever the bytes, a JSON string parses: valid UTF-8 (up to four bytes) comes back as it
// was, and each byte of an overlong form, a surrogate, a code point past U+10FFFF or a cut
// sequence becomes one U+FFFD.
TEST(HeadlessOutput, JsonStringsParseBackWhateverTheBytes) {
    const std::string fffd = "\xef\xbf\xbd";
    const std::pair<std::string, std::string> cases[] = {
        {"a\"\\\x1f\x7f", "a\"\\\x1f\x7f"},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa5\xf4\x8f\xbf\xbf",
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa5\xf4\x8f\xbf\xbf"},
        {"\xc0\xaf", fffd + fffd},
        {"\xe0\x9f\xbf", fffd + fffd + fffd},
        {"\xed\xa0\x80", fffd + fffd + fffd},
        {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"x\xe2\x82", "x" + fffd + fffd},
        {"\xff\xfe", fffd + fffd},
    };
    for (const auto& [bytes, text] : cases) {
        const std::string literal = JsonString(bytes);
        Json parsed;
        ASSERT_NO_THROW(parsed = Json::parse(literal)) << literal;
        EXPECT_EQ(parsed.get<std::string>(), text) << literal;
    }
    // A C1 control is escaped too, so that no terminal obeys it.
    EXPECT_EQ(JsonString("\xc2\x9b\xc2\xa0"), "\"\\u009b\xc2\xa0\"");
}

TEST_F(ReadCommandTest, UnreadableFilesGiveOneErrorLine) {
    const fs::path text = m_folder.path / "not-a-capture.txt";
    std::ofstream(text) << "hello, this is not a capture file at all\n";
    const fs::path linux_cooked = m_folder.path / "cooked.pcap";
    {
        pcap_t* dead = pcap_open_dead(DLT_LINUX_SLL, 65535);
        pcap_dumper_t* dumper = pcap_dump_open(dead, linux_cooked.c_str());
        pcap_dump_close(dumper);
        pcap_close(dead);
    }
    // A FIFO would hold open() until some writer came: it is refused at once, as a folder is.
    const fs::path fifo = m_folder.path / "capture.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    std::thread release([&] {
        // Should the reader wait in open() all the same, a writer that comes and goes lets it
        // on, so that the test fails instead of hanging.
        for (int i = 0; i < 100 && !done; ++i) std::this_thread::sleep_for(50ms);
        if (const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0)
            ::close(fd);
    });
    struct Joined {
        std::atomic<bool>& done;
        std::thread& thread;
        ~Joined() {
            done = true;
            thread.join();
        }
    } joined{done, release};
    for (const fs::path& path :
         {m_folder.path / "missing.pcap", text, linux_cooked, m_folder.path, fifo}) {
        const auto started = std::chrono::steady_clock::now();
        const ReadResult result = Read(path.string());
        EXPECT_LT(std::chrono::steady_clock::now() - started, 3s) << path;
        EXPECT_NE(result.status, 0) << path;
        EXPECT_EQ(result.out, "") << path;
        ASSERT_EQ(Lines(result.err).size(), 1u) << result.err;
        EXPECT_EQ(result.err.rfind("pelnix: cannot read capture file '" + path.string() + "'", 0),
                  0u)
            << result.err;
        if (path == fifo) {
            EXPECT_EQ(result.err.substr(result.err.find("': ")), "': a FIFO, not a regular file\n");
        }
    }
}

TEST_F(ReadCommandTest, TruncatedFileReportsWhatCameBeforeAndFails) {
    const std::string path = (m_folder.path / "cut.pcap").string();
    {
        CaptureFileWriter writer(path);
        writer.Write(BuildFrame(Outgoing(4001, GetRequest("/v.mp4", "cdn"))), kAfternoon);
        writer.Write(BuildFrame(Incoming(4001, ResponseHead("video/mp4", 654321))), kAfternoon);
        writer.Write(BuildFrame(Incoming(4001, std::string(1000, 'b'))), kAfternoon);
    }
    fs::resize_file(path, fs::file_size(path) - 500);
    const ReadResult result = Read(path);
    EXPECT_EQ(Lines(result.out).size(), 1u);
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(Lines(result.err).size(), 1u) << result.err;
}

namespace {

// A classic capture file's bytes, written field by field in either byte order.
struct RawCapture {
    bool swapped = false;
    std::vector<std::uint8_t> bytes;

    void Put32(std::uint32_t value) {
        if (swapped)
            value = __builtin_bswap32(value);
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
        bytes.insert(bytes.end(), raw, raw + 4);
    }
    void Put16(std::uint16_t value) {
        if (swapped)
            value = __builtin_bswap16(value);
        const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
        bytes.insert(bytes.end(), raw, raw + 2);
    }
    void Header(std::uint32_t magic, std::uint32_t snapshot, std::uint32_t linkType = 1,
                std::uint16_t minor = 4) {
        Put32(magic);
        Put16(2);
        Put16(minor);
        Put32(0);
        Put32(0);
        Put32(snapshot);
        Put32(linkType);
    }
    void Record(std::uint32_t seconds, std::uint32_t fraction, std::uint32_t captured,
                std::uint32_t length, std::size_t present) {
        Put32(seconds);
        Put32(fraction);
        Put32(captured);
        Put32(length);
        for (std::size_t i = 0; i < present; ++i)
            bytes.push_back(static_cast<std::uint8_t>(i * 7 + captured));
    }
};

// What a reader made of a file: each record's fields and bytes, then how it ended.
std::vector<std::string> Outcome(const pcap_pkthdr& header, const std::uint8_t* frame) {
    return {std::to_string(header.ts.tv_sec) + "." + std::to_string(header.ts.tv_usec) + " " +
                std::to_string(header.caplen) + "/" + std::to_string(header.len),
            std::string(reinterpret_cast<const char*>(frame), header.caplen)};
}

}  // namespace

// Every file the reader takes gives libpcap's records, end and error text, cut anywhere;
// every file it leaves is one libpcap is asked about (and --read still lists from it).
TEST_F(ReadCommandTest, CaptureFileRecordsAreLibpcapsOnOddCutAndHostileFiles) {
    const std::string path = (m_folder.path / "odd.pcap").string();
    const auto write = [&](const std::vector<std::uint8_t>& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    const auto viaLibpcap = [&] {
        std::vector<std::string> seen;
        char error[PCAP_ERRBUF_SIZE] = {};
        pcap_t* capture = pcap_open_offline(path.c_str(), error);
        if (capture == nullptr)
            return std::vector<std::string>{"open failed"};
        pcap_pkthdr* header = nullptr;
        const u_char* frame = nullptr;
        int status;
        while ((status = pcap_next_ex(capture, &header, &frame)) == 1) {
            const auto one = Outcome(*header, frame);
            seen.insert(seen.end(), one.begin(), one.end());
        }
        seen.push_back(status == PCAP_ERROR_BREAK ? "end" : std::string(pcap_geterr(capture)));
        pcap_close(capture);
        return seen;
    };
    // Nothing when the file is left to libpcap.
    const auto viaRecords = [&]() -> std::optional<std::vector<std::string>> {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        std::optional<CaptureFileRecords> records = CaptureFileRecords::Open(fd);
        std::optional<std::vector<std::string>> seen;
        if (records) {
            seen.emplace();
            pcap_pkthdr header;
            const std::uint8_t* frame = nullptr;
            CaptureFileRecords::Step step;
            while ((step = records->Next(header, frame)) == CaptureFileRecords::Step::Record) {
                const auto one = Outcome(header, frame);
                seen->insert(seen->end(), one.begin(), one.end());
            }
            seen->push_back(step == CaptureFileRecords::Step::End ? "end" : records->Error());
        }
        ::close(fd);
        return seen;
    };

    for (const bool swapped : {false, true}) {
        for (const std::uint32_t magic : {0xa1b2c3d4u, 0xa1b23c4du}) {
            RawCapture file{swapped, {}};
            file.Header(magic, 100);
            file.Record(1780318923, 999999, 60, 60, 60);
            file.Record(0xF0000000u, 0xFFFFFFFFu, 150, 40, 150);  // past the snapshot length
            file.Record(7, 1500000000, 0, 0, 0);
            file.Record(8, 2, 100, 1514, 100);
            write(file.bytes);
            const auto whole = viaRecords();
            ASSERT_TRUE(whole) << swapped << magic;
            EXPECT_EQ(whole->size(), 9u);
            EXPECT_EQ(*whole, viaLibpcap()) << swapped << magic;
            // Cut at every byte after the file header: in a record header, a frame, the part
            // of a frame past the snapshot length.
            for (std::size_t size = file.bytes.size() - 1; size >= 24; --size) {
                fs::resize_file(path, size);
                const auto cut = viaRecords();
                ASSERT_TRUE(cut) << size;
                EXPECT_EQ(*cut, viaLibpcap()) << "swapped " << swapped << ", cut at " << size;
            }
        }
    }
    // Captured lengths at and past what libpcap accepts, in a file whose snapshot is the most.
    for (const std::uint32_t captured :
         {CaptureFileRecords::kMaxCaptureLength, CaptureFileRecords::kMaxCaptureLength + 1,
          0xFFFFFFFFu}) {
        RawCapture file;
        file.Header(0xa1b2c3d4u, CaptureFileRecords::kMaxCaptureLength);
        file.Record(1, 2, 10, 10, 10);
        file.Record(3, 4, captured, captured, captured == 0xFFFFFFFFu ? 100 : captured);
        write(file.bytes);
        const auto seen = viaRecords();
        ASSERT_TRUE(seen);
        EXPECT_EQ(*seen, viaLibpcap()) << captured;
    }

    // Left to libpcap: snapshot lengths it adjusts, other versions and link types, the link
    // type field with more in it, pcapng, another magic. A snapshot length of 0 still lists.
    {
        CaptureFileWriter writer(path);
        writer.Write(BuildFrame(Outgoing(4001, GetRequest("/v.mp4", "cdn"))), kAfternoon);
        writer.Write(BuildFrame(Incoming(4001, ResponseHead("video/mp4", 654321))), kAfternoon);
    }
    const ReadResult taken = Read(path);
    ASSERT_EQ(Lines(taken.out).size(), 1u) << taken.err;
    std::vector<std::uint8_t> bytes(fs::file_size(path));
    std::ifstream(path, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::fill(bytes.begin() + 16, bytes.begin() + 20, 0);  // snapshot length 0
    write(bytes);
    EXPECT_FALSE(viaRecords());
    const ReadResult left = Read(path);
    EXPECT_EQ(left.status, 0) << left.err;
    EXPECT_EQ(Lines(left.out).size(), 1u);
    EXPECT_EQ(WithoutNumber(Lines(left.out)[0]), WithoutNumber(Lines(taken.out)[0]));
    const auto leftAlone = [&](std::uint32_t magic, std::uint32_t snapshot, std::uint32_t linkType,
                               std::uint16_t minor) {
        RawCapture file;
        file.Header(magic, snapshot, linkType, minor);
        file.Record(1, 2, 10, 10, 10);
        write(file.bytes);
        return !viaRecords();
    };
    EXPECT_TRUE(leftAlone(0xa1b2c3d4u, CaptureFileRecords::kMaxCaptureLength + 1, 1, 4));
    EXPECT_TRUE(leftAlone(0xa1b2c3d4u, 65535, 1, 3));
    EXPECT_TRUE(leftAlone(0xa1b2c3d4u, 65535, 113, 4));
    EXPECT_TRUE(leftAlone(0xa1b2c3d4u, 65535, 0x14000001u, 4));
    EXPECT_TRUE(leftAlone(0x0a0d0d0au, 65535, 1, 4));
    EXPECT_TRUE(leftAlone(0xa1b2cd34u, 65535, 1, 4));
    EXPECT_FALSE(leftAlone(0xa1b2c3d4u, 65535, 1, 4));
}

// Files many times the ring read ahead, with records across the pieces' ends and records longer
// than a piece: the records, in order and byte for byte, and the end are libpcap's, also cut
// around the pieces' ends; a reader left in the middle, its ring full, ends at once, and the
// caller's descriptor may be closed before.
TEST_F(ReadCommandTest, CaptureFileRecordsReadAheadAcrossPieces) {
    constexpr std::size_t kPiece = CaptureFileRecords::kPieceBytes;
    const std::string path = (m_folder.path / "large.pcap").string();
    RawCapture file;
    file.Header(0xa1b2c3d4u, CaptureFileRecords::kMaxCaptureLength);
    const std::uint32_t sizes[] = {60, 1514, 0, 9001, CaptureFileRecords::kMaxCaptureLength,
                                   65535, 131071, 1, 200000};
    for (std::uint32_t i = 0; file.bytes.size() < 3 * CaptureFileRecords::kPieces * kPiece; ++i) {
        const std::uint32_t captured = sizes[i % std::size(sizes)];
        file.Put32(i);
        file.Put32(i % 1000000);
        file.Put32(captured);
        file.Put32(captured + i % 3);
        for (std::uint32_t k = 0; k < captured; ++k)
            file.bytes.push_back(static_cast<std::uint8_t>((file.bytes.size() * 2654435761u) >> 13));
    }
    const std::size_t whole = file.bytes.size();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.bytes.data()), static_cast<std::streamsize>(whole));

    // Both readers side by side: the number of records alike, or where they first differ.
    const auto compare = [&]() -> std::string {
        char error[PCAP_ERRBUF_SIZE] = {};
        std::unique_ptr<pcap_t, void (*)(pcap_t*)> capture(pcap_open_offline(path.c_str(), error),
                                                           pcap_close);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        std::optional<CaptureFileRecords> records = CaptureFileRecords::Open(fd);
        std::string outcome;
        if (!capture || !records) {
            outcome = "not opened";
        } else {
            for (std::size_t count = 0;; ++count) {
                pcap_pkthdr* theirs = nullptr;
                const u_char* theirFrame = nullptr;
                pcap_pkthdr ours;
                const std::uint8_t* ourFrame = nullptr;
                const int status = pcap_next_ex(capture.get(), &theirs, &theirFrame);
                const CaptureFileRecords::Step step = records->Next(ours, ourFrame);
                if (status != 1 || step != CaptureFileRecords::Step::Record) {
                    const std::string theirEnd =
                        status == 1 ? "record"
                                    : status == PCAP_ERROR_BREAK ? "end"
                                                                 : pcap_geterr(capture.get());
                    const std::string ourEnd = step == CaptureFileRecords::Step::Record ? "record"
                                               : step == CaptureFileRecords::Step::End
                                                   ? "end"
                                                   : records->Error();
                    outcome = std::to_string(count) + " records, " +
                              (theirEnd == ourEnd ? theirEnd : theirEnd + " against " + ourEnd);
                    break;
                }
                if (Outcome(*theirs, theirFrame) != Outcome(ours, ourFrame)) {
                    outcome = "record " + std::to_string(count) + " differs";
                    break;
                }
            }
        }
        records.reset();
        ::close(fd);
        return outcome;
    };
    const std::string all = compare();
    EXPECT_EQ(all.substr(all.find(',')), ", end");
    EXPECT_GT(std::stoul(all), 3 * CaptureFileRecords::kPieces);
    for (std::size_t end = 24 + kPiece; end < whole; end += 5 * kPiece + 4099) {
        for (const std::size_t size : {end - 1, end, end + 17}) {
            fs::resize_file(path, size);
            const std::string cut = compare();
            EXPECT_NE(cut.find("truncated dump file"), std::string::npos) << size << ": " << cut;
            EXPECT_EQ(cut.find("against"), std::string::npos) << size << ": " << cut;
            EXPECT_EQ(cut.find("differs"), std::string::npos) << size << ": " << cut;
        }
    }

    // The caller's descriptor closed at once: the reader reads on through its own.
    fs::resize_file(path, whole);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::optional<CaptureFileRecords> records = CaptureFileRecords::Open(fd);
    ::close(fd);
    ASSERT_TRUE(records);
    pcap_pkthdr header;
    const std::uint8_t* frame = nullptr;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(records->Next(header, frame), CaptureFileRecords::Step::Record);
    std::this_thread::sleep_for(50ms);  // time to fill the ring, after which the reading waits
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(records->Next(header, frame), CaptureFileRecords::Step::Record) << i;
    records.reset();
}

// The checked-in capture of real traffic: curl fetching a Flash video and an MP4 by host name,
// an MP3 by address without a Host line, and a page, from a Python server in another network
// namespace. Run through both real programs, so that the numbers start at 1.
TEST(ReadCommandProgram, RealCaptureListsExactlyItsMedia) {
    for (const char* program : {PELNIX_PROGRAM, PELNIX_SNIFF_PROGRAM}) {
        const std::string command = std::string("TZ=UTC '") + program + "' --read '" +
                                    PELNIX_TEST_DATA_DIR "/capture/live-media.pcap'";
        std::FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char buffer[4096];
        while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
            out.append(buffer, n);
        }
        const int status = ::pclose(pipe);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << program;
        EXPECT_EQ(out,
                  "1\t12:46:38 AM\tflv\t150000\thttp://media.pelnix.test:8080/clip.flv\n"
                  "2\t12:46:38 AM\tmp4\t210000\thttp://media.pelnix.test:8080/movie.mp4\n"
                  "3\t12:46:38 AM\tMP3\t120000\thttp://10.231.0.1/song.mp3\n")
            << program;
    }
}

namespace {

// The output of a real program's run: exit status, standard output and standard error.
struct ProgramRun {
    int status = -1;
    std::string out, err;
};

ProgramRun RunSniff(const std::vector<std::string>& args, const fs::path& errors) {
    std::string command = std::string("TZ=UTC '") + PELNIX_SNIFF_PROGRAM + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " 2>'" + errors.string() + "'";
    ProgramRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        run.out.append(buffer, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(errors);
    run.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

// "type\tsize\tURL" of each line, sorted.
std::vector<std::string> TypeSizeUrl(const std::string& output) {
    std::vector<std::string> rows;
    for (const std::string& line : Lines(output)) {
        const auto first = line.find('\t');
        rows.push_back(line.substr(line.find('\t', first + 1) + 1));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

}  // namespace

// A capture of HTTPS (TLS 1.3 with HTTP/2, TLS 1.2 with HTTP/1.1), plain HTTP and an HTTP/3
// Initial, read by pelnix-sniff with and without the key log and under either rules.
TEST(ReadCommandProgram, HttpsWithTheKeyLogAndPlainHttpUnderEitherRules) {
    TempFolder folder;
    const std::string capture = (folder.path / "https.pcap").string();
    const std::string keys = (folder.path / "keys.log").string();
    const IpAddress client{kClient};
    const IpAddress server{kServer};
    {
        CaptureFileWriter writer(capture);
        std::string keyLog;
        const auto emit = [&](std::vector<std::uint8_t> frame) { writer.Write(frame, kAfternoon); };
        TlsTrafficConfig h2;
        h2.alpn = {"h2"};
        h2.serverName = "media.test";
        TlsTraffic h2peers(h2);
        const auto one = h2peers.Run(https::Http2Script(
            "media.test", {{"/v/a.mp4", "video/mp4", https::Body(https::kMp4, 300001, 1)},
                           {"/i/b.png", "image/png", https::Body(https::kPng, 3000, 2)}}));
        TlsTrafficConfig h1;
        h1.version = 0x0303;
        h1.cipher = "ECDHE-ECDSA-CHACHA20-POLY1305";
        TlsTraffic h1peers(h1);
        const auto two = h1peers.Run(https::Http1Script(
            "media.test:8443", {{"/s.mp3", "audio/mpeg", https::Body(https::kMp3, 200002, 3)}}));
        ASSERT_TRUE(one.ok && two.ok) << one.error << two.error;
        TcpConversation first(client, server, 40001);
        https::EmitConnection(first, one, 1448, emit);
        TcpConversation second(client, server, 40002, 8443);
        https::EmitConnection(second, two, 1448, emit);
        std::ofstream(keys) << one.keyLog << two.keyLog;

        // Plain HTTP: a Flash video (both rules list it) and an MP4 sent as octet-stream
        // (the stream rules know it by its bytes).
        TcpConversation plain(client, server, 40003, 80);
        plain.Open(emit);
        for (const https::Answer& answer :
             {https::Answer{"/c.flv", "video/x-flv", https::Body(https::kFlv, 150003, 4)},
              https::Answer{"/d.bin", "application/octet-stream",
                            https::Body(https::kMp4, 160004, 5)}}) {
            const std::string request = https::RequestHead("cdn.test", answer.path);
            const std::string response = https::ResponseHead(answer) + answer.body;
            plain.Send(Direction::ToServer, reinterpret_cast<const std::uint8_t*>(request.data()),
                       request.size(), 1448, emit);
            plain.Send(Direction::ToClient, reinterpret_cast<const std::uint8_t*>(response.data()),
                       response.size(), 1448, emit);
        }
        plain.Close(emit);
        // A QUIC Initial whose protection fails: without a key log it tells that HTTP/3 was
        // seen; with one, what cannot be authenticated is dropped without a word.
        const std::string initial =
            std::string("\xC3\0\0\0\1\x08", 6) + "abcdefgh" + std::string(1200, '\0');
        writer.Write(BuildUdpFrame(client, server, 50000, 443, initial), kAfternoon);
        writer.Write(BuildUdpFrame(client, server, 50000, 443, initial), kAfternoon);
    }
    const std::string flv = "flv\t150003\thttp://cdn.test/c.flv";
    const std::string bin = "mp4\t160004\thttp://cdn.test/d.bin";
    const std::string mp4 = "mp4\t300001\thttps://media.test/v/a.mp4";
    const std::string mp3 = "mp3\t200002\thttps://media.test:8443/s.mp3";
    const std::string quic =
        "pelnix-sniff: HTTP/3 (QUIC) traffic was seen, which Pelnix reads only with the browser's "
        "TLS key log";
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> rows;  // sorted
        bool notice;
    };
    const Case cases[] = {
        {{}, {flv}, false},
        {{"--keylog", keys}, {flv, mp3, mp4}, false},
        {{"--keylog", keys, "--rules", "streams", "--budget", "8"}, {flv, mp3, bin, mp4}, false},
        {{"--rules", "streams"}, {flv, bin}, true},
        {{"--rules", "packets"}, {flv}, false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--read", capture};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::string joined;
        for (const auto& option : c.options) joined += option + " ";
        SCOPED_TRACE(joined);
        const ProgramRun run = RunSniff(args, folder.path / "errors.txt");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(TypeSizeUrl(run.out), c.rows) << run.out;
        if (c.notice) {
            EXPECT_EQ(run.err.rfind(quic, 0), 0u) << run.err;
            EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
        } else {
            EXPECT_EQ(run.err, "");
        }
    }

    // A key log that cannot be read is said once; plain HTTP is listed all the same.
    const ProgramRun missing =
        RunSniff({"--read", capture, "--keylog", (folder.path / "none.log").string()},
                 folder.path / "errors.txt");
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(TypeSizeUrl(missing.out), std::vector<std::string>{flv});
    EXPECT_NE(missing.err.find("cannot read key log '" + (folder.path / "none.log").string() +
                               "': No such file or directory; HTTPS is not decrypted\n"),
              std::string::npos)
        << missing.err;

    // A key log led by 100 MiB without a key (more than the reads during a short capture took
    // when a read stopped at 16 MiB): all of it is read, the HTTPS media are listed, and that it
    // held no key at first is said. A FIFO as the key log is said too.
    const std::string led = (folder.path / "led.log").string();
    {
        std::ifstream in(keys, std::ios::binary);
        const std::string keyText((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        std::ofstream out(led, std::ios::binary);
        const std::string garbage(1u << 20, 'g');
        for (int i = 0; i < 100; ++i) out << garbage;
        out << "\n" << keyText;
    }
    const std::string fifo = (folder.path / "keys.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& [keyLog, rows, notice] :
         std::vector<std::tuple<std::string, std::vector<std::string>, std::string>>{
             {led,
              {flv, mp3, mp4},
              "pelnix-sniff: the key log '" + led + "' holds no TLS key in its first 16 MiB"},
             {fifo,
              {flv},
              "pelnix-sniff: the key log '" + fifo + "' is a FIFO, not a regular file"},
         }) {
        const ProgramRun run =
            RunSniff({"--read", capture, "--keylog", keyLog}, folder.path / "errors.txt");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(TypeSizeUrl(run.out), rows) << run.out;
        EXPECT_EQ(run.err.rfind(notice, 0), 0u) << run.err;
        // A key log that gives no keys leaves the HTTPS connections unread: said once more.
        const std::vector<std::string> lines = Lines(run.err);
        ASSERT_EQ(lines.size(), keyLog == fifo ? 2u : 1u) << run.err;
        if (keyLog == fifo) {
            EXPECT_EQ(lines[1], std::string("pelnix-sniff: ") + kTlsKeysNotice);
        }
    }

    // Options it cannot take: one line, status 2.
    for (const auto& [options, message] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--rules", "fast"}, "--rules takes packets or streams, not 'fast'"},
             {{"--keylog", keys, "--budget", "0"}, "--budget needs a number of mebibytes"},
             {{"--keylog", keys, "--budget", "1048577"}, "--budget needs a number of mebibytes"},
             {{"--budget", "64"}, "--budget goes with --rules streams or --keylog"},
             {{"--keylog", ""}, "--keylog needs a file name"},
             {{"--format", "xml"}, "--format takes tsv or json, not 'xml'"},
         }) {
        std::vector<std::string> args = {"--read", capture};
        args.insert(args.end(), options.begin(), options.end());
        const ProgramRun run = RunSniff(args, folder.path / "errors.txt");
        EXPECT_EQ(run.status, 2) << message;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("pelnix-sniff: " + message), std::string::npos) << run.err;
    }
}

namespace {

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The one entry of `folder` whose name ends with `suffix` (empty when none or several).
fs::path EndingWith(const fs::path& folder, const std::string& suffix) {
    fs::path found;
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            found = entry.path();
            ++count;
        }
    }
    return count == 1 ? found : fs::path();
}

https::Answer Range(const std::string& path, const std::string& type, const std::string& body,
                    std::size_t first, std::size_t last) {
    https::Answer answer{path, type, body.substr(first, last - first + 1), 206};
    answer.headers = {{"content-range", "bytes " + std::to_string(first) + "-" +
                                            std::to_string(last) + "/" +
                                            std::to_string(body.size())},
                      {"etag", "\"e\""}};
    return answer;
}

std::string Base64(const std::string& bytes) {
    static const char* symbols =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const auto v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) << 16 |
                                                  static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                                  static_cast<unsigned char>(bytes[i + 2]));
        for (int shift = 18; shift >= 0; shift -= 6) out += symbols[(v >> shift) & 63];
    }
    if (i < bytes.size()) {
        std::uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += symbols[(v >> 18) & 63];
        out += symbols[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? symbols[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

}  // namespace

// --save: every listed medium of a capture (HTTPS with its key log, plain HTTP) and of a HAR
// with content is written from the bytes the file holds: ranges joined, a medium with a hole
// written as .partial and said, an HLS stream as a folder of its pieces whose local playlists
// name them; nothing is ever written over a file that is there.
TEST(ReadCommandProgram, SaveWritesEveryMediumFromTheFileAndNeverOverwrites) {
    TempFolder folder;
    const std::string capture = (folder.path / "save.pcap").string();
    const std::string keys = (folder.path / "keys.log").string();
    const std::string movie = https::Body(https::kMp4, 300001, 21);
    const std::string song = https::Body(https::kMp3, 150002, 22);
    const std::string clip = https::Body(https::kFlv, 200003, 23);
    const std::string plain = https::Body(https::kMp4, 160004, 24);
    const std::string master =
        "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=900000\nhi/v.m3u8\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=300000\nlo/v.m3u8\n";
    const std::string variant =
        "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-PLAYLIST-TYPE:VOD\n"
        "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\"\n"
        "#EXTINF:4,\ns1.ts\n#EXTINF:4,\ns2.ts\n#EXT-X-ENDLIST\n";
    const std::vector<std::string> segments = {https::Body("G", 9400, 25),
                                               https::Body("G", 7520, 26)};
    {
        CaptureFileWriter writer(capture);
        const auto emit = [&](std::vector<std::uint8_t> frame) { writer.Write(frame, kAfternoon); };
        TlsTrafficConfig h2;
        h2.alpn = {"h2"};
        h2.serverName = "media.test";
        TlsTraffic h2peers(h2);
        const auto one = h2peers.Run(https::Http2Script(
            "media.test", {Range("/v/movie.mp4", "video/mp4", movie, 200000, 300000),
                           Range("/v/movie.mp4", "video/mp4", movie, 0, 199999),
                           {"/a/song.mp3", "audio/mpeg", song}}));
        TlsTrafficConfig h1;
        h1.version = 0x0303;
        h1.cipher = "ECDHE-ECDSA-AES128-GCM-SHA256";
        TlsTraffic h1peers(h1);
        // Bytes 100000 to 149999 of the Flash video never pass. A player asks for a stream's
        // pieces once it has read the playlists that name them.
        const auto two = h1peers.Run(https::Http1Script(
            "media.test",
            {Range("/v/clip.flv", "video/x-flv", clip, 0, 99999),
             Range("/v/clip.flv", "video/x-flv", clip, 150000, 200002),
             {"/tv/show.m3u8", "application/vnd.apple.mpegurl", master},
             {"/tv/hi/v.m3u8", "application/vnd.apple.mpegurl", variant},
             {"/tv/hi/key.bin", "application/octet-stream", "0123456789abcdef"},
             {"/tv/hi/s1.ts", "video/mp2t", segments[0]},
             {"/tv/hi/s2.ts", "video/mp2t", segments[1]}}));
        ASSERT_TRUE(one.ok && two.ok) << one.error << two.error;
        TcpConversation first(IpAddress{kClient}, IpAddress{kServer}, 40011);
        https::EmitConnection(first, one, 1448, emit);
        TcpConversation second(IpAddress{kClient}, IpAddress{kServer}, 40012);
        https::EmitConnection(second, two, 1448, emit);
        std::ofstream(keys) << one.keyLog << two.keyLog;
        // Plain HTTP, read by the stream engine under --save.
        TcpConversation bare(IpAddress{kClient}, IpAddress{kServer}, 40013, 80);
        bare.Open(emit);
        const https::Answer answer{"/d.bin", "application/octet-stream", plain};
        const std::string request = https::RequestHead("cdn.test", answer.path);
        const std::string response = https::ResponseHead(answer) + answer.body;
        bare.Send(Direction::ToServer, reinterpret_cast<const std::uint8_t*>(request.data()),
                  request.size(), 1448, emit);
        bare.Send(Direction::ToClient, reinterpret_cast<const std::uint8_t*>(response.data()),
                  response.size(), 1448, emit);
        bare.Close(emit);
    }
    const fs::path out = folder.path / "out";
    const ProgramRun run =
        RunSniff({"--read", capture, "--keylog", keys, "--save", out.string()},
                 folder.path / "errors.txt");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(TypeSizeUrl(run.out).size(), 5u) << run.out;
    EXPECT_TRUE(Slurp(EndingWith(out, "-movie.mp4")) == movie);
    EXPECT_TRUE(Slurp(EndingWith(out, "-song.mp3")) == song);
    EXPECT_TRUE(Slurp(EndingWith(out, "-d.bin")) == plain);
    // The Flash video with its hole: what was captured, zeros in the hole, and a line.
    const std::string partial = Slurp(EndingWith(out, "-clip.flv.partial"));
    ASSERT_EQ(partial.size(), clip.size());
    EXPECT_TRUE(partial.substr(0, 100000) == clip.substr(0, 100000));
    EXPECT_TRUE(partial.substr(150000) == clip.substr(150000));
    EXPECT_EQ(partial.substr(100000, 50000), std::string(50000, '\0'));
    EXPECT_NE(run.err.find("https://media.test/v/clip.flv: bytes 100000-149999 of 200003 were "
                           "not captured; saved what was as "),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("pelnix-sniff: saved 5 of 5 media, 1 of them with parts not captured"),
              std::string::npos)
        << run.err;

    // The stream: its pieces, and local playlists that name them (the variant not captured
    // keeps its URL).
    const fs::path show = EndingWith(out, "-show");
    ASSERT_FALSE(show.empty()) << run.err;
    const std::string local = Slurp(show / "playlist.m3u8");
    EXPECT_NE(local.find("\np1-v.m3u8\n"), std::string::npos) << local;
    EXPECT_NE(local.find("\nhttps://media.test/tv/lo/v.m3u8\n"), std::string::npos) << local;
    const std::string localVariant = Slurp(show / "p1-v.m3u8");
    std::string joined;
    std::string key;
    for (const std::string& line : Lines(localVariant)) {
        if (line.rfind("#EXT-X-KEY", 0) == 0) {
            const std::size_t open = line.find("URI=\"") + 5;
            key = Slurp(show / line.substr(open, line.find('"', open) - open));
        } else if (!line.empty() && line[0] != '#') {
            ASSERT_EQ(line.find('/'), std::string::npos) << line;
            joined += Slurp(show / line);
        }
    }
    EXPECT_EQ(key, "0123456789abcdef");
    EXPECT_TRUE(joined == segments[0] + segments[1]);
    EXPECT_NE(Slurp(show / "pieces.txt").find("\thttps://media.test/tv/hi/s2.ts\n"),
              std::string::npos);
    // The spool inside the folder is gone.
    for (const auto& entry : fs::directory_iterator(out))
        EXPECT_NE(entry.path().filename().string().rfind(".pelnix-spool-", 0), 0u);

    // Again into the same folder: every name is taken, nothing is overwritten.
    const auto before = fs::file_size(EndingWith(out, "-song.mp3"));
    const ProgramRun again =
        RunSniff({"--read", capture, "--keylog", keys, "--save", out.string()},
                 folder.path / "errors.txt");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(Slurp(EndingWith(out, "-song-2.mp3")) == song);
    EXPECT_EQ(fs::file_size(EndingWith(out, "-song.mp3")), before);
    EXPECT_FALSE(EndingWith(out, "-show-2").empty());

    // A HAR export with content: the body it holds, base64 or not.
    const fs::path har = folder.path / "session.har";
    std::ofstream(har) << R"({"log": {"version": "1.2", "entries": [)"
                       << R"({"startedDateTime": "2026-06-01T13:02:03Z", "request": )"
                       << R"({"method": "GET", "url": "https://h2.test/v/talk.mp4", )"
                       << R"("httpVersion": "h2", "headers": []}, "response": {"status": 200, )"
                       << R"("httpVersion": "h2", "headers": [{"name": "content-type", )"
                       << R"("value": "video/mp4"}], "content": {"size": )" << movie.size()
                       << R"(, "mimeType": "video/mp4", "encoding": "base64", "text": ")"
                       << Base64(movie) << R"("}}}]}})";
    const fs::path harOut = folder.path / "har-out";
    const ProgramRun fromHar =
        RunSniff({"--read", har.string(), "--save", harOut.string()}, folder.path / "errors.txt");
    ASSERT_EQ(fromHar.status, 0) << fromHar.err;
    EXPECT_TRUE(Slurp(harOut / "1-talk.mp4") == movie) << fromHar.err;

    // What --save cannot be given with.
    for (const auto& [options, message] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--save", out.string(), "--rules", "packets"}, "--save needs the stream engine"},
             {{"--save", ""}, "--save needs a folder name"},
             {{"--spool-mib", "64"}, "--spool-mib goes with --save"},
             {{"--save", out.string(), "--spool-mib", "0"}, "--spool-mib needs a number"},
         }) {
        std::vector<std::string> args = {"--read", capture};
        args.insert(args.end(), options.begin(), options.end());
        const ProgramRun refused = RunSniff(args, folder.path / "errors.txt");
        EXPECT_EQ(refused.status, 2) << message;
        EXPECT_NE(refused.err.find("pelnix-sniff: " + message), std::string::npos)
            << refused.err;
    }
}

// --format json: one JSON object per line for a plain medium, a ranged one and a stream, with
// network text that JSON could not hold as it came (a quote, a backslash, controls, a byte
// that is not UTF-8) escaped so that every line parses and gives the URL back as documented.
TEST(ReadCommandProgram, JsonLinesParseAndTellWhatEachRecordIs) {
    TempFolder folder;
    const std::string capture = (folder.path / "hostile.pcap").string();
    {
        CaptureFileWriter writer(capture);
        writer.Write(BuildFrame(Outgoing(6001, GetRequest("/q\"b\\s\x01\x7f"
                                                          "c\xe9\xc2\x9b\xc3\xa9.mp4",
                                                          "cdn"))),
                     kAfternoon);
        writer.Write(BuildFrame(Incoming(6001, ResponseHead("video/mp4", 222222))), kAfternoon);
    }
    const auto entry = [](const std::string& url, int status, Json headers,
                          const std::string& text = {}) {
        Json response = {{"status", status}, {"headers", std::move(headers)}};
        if (!text.empty())
            response["content"] = {{"mimeType", "application/vnd.apple.mpegurl"}, {"text", text}};
        return Json{{"startedDateTime", "2026-06-01T13:02:03Z"},
                    {"request", {{"method", "GET"}, {"url", url}, {"headers", Json::array()}}},
                    {"response", std::move(response)}};
    };
    const auto header = [](const char* name, const std::string& value) {
        return Json{{"name", name}, {"value", value}};
    };
    const auto range = [&](const std::string& bytes) {
        return entry("https://cdn.test/film.mp4", 206,
                     {header("Content-Type", "video/mp4"),
                      header("Content-Range", "bytes " + bytes + "/90000000"),
                      header("ETag", "\"f1\"")});
    };
    const Json playlistType = {header("Content-Type", "application/vnd.apple.mpegurl")};
    Json entries = Json::array({
        range("0-999999"),
        entry("https://cdn.test/show/master.m3u8", 200, playlistType,
              "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=2000000,RESOLUTION=1280x720\nhi/index.m3u8\n"
              "#EXT-X-STREAM-INF:BANDWIDTH=500000,RESOLUTION=640x360\nlo/index.m3u8\n"),
        entry("https://cdn.test/show/hi/index.m3u8", 200, playlistType,
              "#EXTM3U\n#EXTINF:6,\na.ts\n#EXTINF:6,\nb.ts\n#EXT-X-ENDLIST\n"),
    });
    for (const char* segment : {"a", "b"}) {
        entries.push_back(entry(std::string("https://cdn.test/show/hi/") + segment + ".ts", 200,
                                {header("Content-Type", "video/mp2t"),
                                 header("Content-Length", "300000")}));
    }
    // A later range joins the medium's one record.
    entries.push_back(range("50000000-50999999"));
    const std::string har = (folder.path / "media.har").string();
    std::ofstream(har) << Json{{"log", {{"entries", entries}}}}.dump();

    std::vector<Json> records;
    for (const std::string& file : {capture, har}) {
        const ProgramRun run =
            RunSniff({"--read", file, "--format", "json"}, folder.path / "errors.txt");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        for (const std::string& line : Lines(run.out)) {
            // Nothing a terminal would obey, and no raw byte past ASCII but valid UTF-8.
            EXPECT_EQ(line.find_first_of(std::string("\x1b\x7f\x01", 3)), std::string::npos);
            EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos) << line;
            Json record;
            ASSERT_NO_THROW(record = Json::parse(line)) << line;
            records.push_back(std::move(record));
        }
    }
    ASSERT_EQ(records.size(), 3u);
    for (const Json& record : records) {
        EXPECT_EQ(record.at("time"), "2026-06-01T13:02:03Z") << record;
        EXPECT_FALSE(record.contains("update")) << "changes fold into the held line: " << record;
    }
    // The quote, the backslash and the controls come back as they were; the byte that is not
    // UTF-8 as U+FFFD, the valid é as itself.
    EXPECT_EQ(records[0].at("url"),
              "http://cdn/q\"b\\s\x01\x7f"
              "c\xef\xbf\xbd\xc2\x9b\xc3\xa9.mp4");
    EXPECT_EQ(records[0].at("number"), 1);
    EXPECT_EQ(records[0].at("type"), "mp4");
    EXPECT_EQ(records[0].at("size"), 222222);
    EXPECT_EQ(records[0].at("kind"), "file");
    EXPECT_FALSE(records[0].contains("variants"));

    EXPECT_EQ(records[1].at("number"), 1);
    EXPECT_EQ(records[1].at("url"), "https://cdn.test/film.mp4");
    EXPECT_EQ(records[1].at("size"), 90000000);
    EXPECT_EQ(records[1].at("kind"), "ranged");

    EXPECT_EQ(records[2].at("number"), 2);
    EXPECT_EQ(records[2].at("url"), "https://cdn.test/show/master.m3u8");
    EXPECT_EQ(records[2].at("kind"), "hls");
    EXPECT_EQ(records[2].at("type"), "hls");
    // The size as its segments were seen, folded into its one line.
    EXPECT_EQ(records[2].at("size"), 600000);
    const Json& variants = records[2].at("variants");
    ASSERT_TRUE(variants.is_array());
    ASSERT_EQ(variants.size(), 2u) << variants;
    EXPECT_EQ(variants[0].get<std::string>().rfind("1280x720", 0), 0u) << variants;
    EXPECT_EQ(variants[1].get<std::string>().rfind("640x360", 0), 0u) << variants;
}
