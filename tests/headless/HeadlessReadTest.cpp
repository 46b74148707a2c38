#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "headless/HeadlessFrontEnd.h"
#include "support/FrameBuilder.h"

namespace fs = std::filesystem;

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
    for (const fs::path& path :
         {m_folder.path / "missing.pcap", text, linux_cooked, m_folder.path}) {
        const ReadResult result = Read(path.string());
        EXPECT_NE(result.status, 0) << path;
        EXPECT_EQ(result.out, "") << path;
        ASSERT_EQ(Lines(result.err).size(), 1u) << result.err;
        EXPECT_EQ(result.err.rfind("pelnix: cannot read capture file '" + path.string() + "'", 0),
                  0u)
            << result.err;
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
