#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

#include "TempFolder.h"
#include "http/LocalHttpServer.h"
#include "http/ReplayDownloader.h"
#include "http/ScriptedSocketServer.h"
#include "support/SmallDisk.h"

namespace fs = std::filesystem;
using Failure = ReplayDownloader::Failure;
using Step = ScriptedSocketServer::Step;
using End = ScriptedSocketServer::End;

namespace {

struct Progress {
    std::uint64_t bytes;
    bool known;
    std::uint64_t total;
};

class RecordingReplay : public ReplayDownloader {
public:
    std::vector<Progress> progress;

protected:
    void OnProgress(std::uint64_t bytes, bool known, std::uint64_t total) override {
        progress.push_back({bytes, known, total});
    }
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Head(const std::string& statusAndHeaders) {
    return "HTTP/1.1 " + statusAndHeaders + "\r\n\r\n";
}

// `count` chunks of `size` bytes each, with no last chunk.
std::string ManyChunks(int count, std::size_t size) {
    char line[32];
    std::snprintf(line, sizeof line, "%zx\r\n", size);
    const std::string chunk = line + std::string(size, 'c') + "\r\n";
    std::string all;
    for (int i = 0; i < count; ++i) all += chunk;
    return all;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Case {
    const char* name;
    std::vector<Step> script;
    End end;
    std::uint64_t expected;
    bool succeeds;
    Failure failure;
    // The destination's content afterwards; nothing when the earlier file must stay.
    std::optional<std::string> file;
};

}  // namespace

// What is sent of a captured block: from its first "GET " on.
TEST(ReplayRequest, TheBlockFromItsGetOn) {
    EXPECT_EQ(ReplayRequest("GET /a HTTP/1.1\r\n\r\n"), "GET /a HTTP/1.1\r\n\r\n");
    // A POST whose body holds a request block: the body's block alone is sent.
    EXPECT_EQ(ReplayRequest("POST /up HTTP/1.1\r\nHost: a\r\n\r\nGET /b HTTP/1.1\r\n\r\n"),
              "GET /b HTTP/1.1\r\n\r\n");
    EXPECT_EQ(ReplayRequest("\r\nGET / HTTP/1.0\r\n\r\n"), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(ReplayRequest("POST / HTTP/1.1\r\n\r\n"), "");
    EXPECT_EQ(ReplayRequest(""), "");
}

TEST(ReplayDownloader, AnswersFromAScriptedServer) {
    const std::string big(70000, 'h');
    const Case cases[] = {
        {"header and body in one send",
         {{Head("200 OK\r\nContent-Length: 10") + "0123456789"}},
         End::Close,
         10,
         true,
         Failure::None,
         "0123456789"},
        {"terminator split across two receives",
         {{Head("200 OK\r\nContent-Length: 6").substr(0, 37), 80}, {"\nabcdef"}},
         End::Close,
         6,
         true,
         Failure::None,
         "abcdef"},
        {"header block alone, body in later sends",
         {{Head("200 OK"), 50}, {"abc", 50}, {"def"}},
         End::Close,
         0,
         true,
         Failure::None,
         "abcdef"},
        {"no body", {{Head("200 OK\r\nContent-Length: 0")}}, End::Hold, 0, true, Failure::None, ""},
        {"kept-alive connection ends with its length",
         {{Head("200 OK\r\nContent-Length: 4") + "abcd"}},
         End::Hold,
         4,
         true,
         Failure::None,
         "abcd"},
        {"chunked body in pieces",
         {{Head("200 OK\r\nTransfer-Encoding: chunked") + "5\r\nhel", 30},
          {"lo\r\n6;x=1\r\n worl", 30},
          {"d\r\n0\r\n\r\n"}},
         End::Hold,
         11,
         true,
         Failure::None,
         "hello world"},
        {"body larger than expected",
         {{Head("200 OK") + "0123456789"}},
         End::Close,
         5,
         true,
         Failure::None,
         "0123456789"},
        {"body smaller than expected",
         {{Head("200 OK\r\nContent-Length: 3") + "abc"}},
         End::Close,
         1000,
         true,
         Failure::None,
         "abc"},
        {"404",
         {{Head("404 Not Found\r\nContent-Length: 9") + "not found"}},
         End::Close,
         9,
         false,
         Failure::BadStatus,
         std::nullopt},
        {"redirect",
         {{Head("302 Found\r\nLocation: /b\r\nContent-Length: 0")}},
         End::Close,
         0,
         false,
         Failure::BadStatus,
         std::nullopt},
        {"closes mid-body",
         {{Head("200 OK\r\nContent-Length: 100") + "0123456789"}},
         End::Close,
         100,
         false,
         Failure::ShortBody,
         std::nullopt},
        {"closes inside a chunk",
         {{Head("200 OK\r\nTransfer-Encoding: chunked") + "a\r\n01234"}},
         End::Close,
         10,
         false,
         Failure::ShortBody,
         std::nullopt},
        {"closes before the blank line",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n"}},
         End::Close,
         3,
         false,
         Failure::BadAnswer,
         std::nullopt},
        {"not an HTTP answer",
         {{"hello there\r\n\r\nbody"}},
         End::Close,
         4,
         false,
         Failure::BadAnswer,
         std::nullopt},
        {"header block over 64 KiB",
         {{"HTTP/1.1 200 OK\r\nX-Big: " + big + "\r\n\r\nbody"}},
         End::Close,
         4,
         false,
         Failure::HeaderTooLarge,
         std::nullopt},
        {"interim answers before the final one",
         {{Head("100 Continue") + Head("103 Early Hints\r\nLink: </s.css>; rel=preload"), 30},
          {Head("200 OK\r\nContent-Length: 5") + "media"}},
         End::Hold,
         5,
         true,
         Failure::None,
         "media"},
        {"interim answer split from its final one inside a receive",
         {{"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-", 30},
          {"Length: 3\r\n\r\nabc"}},
         End::Hold,
         3,
         true,
         Failure::None,
         "abc"},
        {"switching protocols is no media",
         {{Head("101 Switching Protocols\r\nUpgrade: websocket")}},
         End::Hold,
         3,
         false,
         Failure::BadStatus,
         std::nullopt},
        // Without a length the body is bounded: twice the expected 10 bytes plus 1 MiB.
        {"endless body without a length",
         {{Head("200 OK") + std::string(600000, 'x')}, {std::string(600000, 'y')}},
         End::Hold,
         10,
         false,
         Failure::TooLong,
         std::nullopt},
        {"endless chunks",
         {{Head("200 OK\r\nTransfer-Encoding: chunked") + ManyChunks(1200, 1000)}},
         End::Hold,
         10,
         false,
         Failure::TooLong,
         std::nullopt},
        {"a body without a length up to the bound",
         {{Head("200 OK") + std::string(1048596, 'z')}},
         End::Close,
         10,
         true,
         Failure::None,
         std::string(1048596, 'z')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        ScriptedSocketServer server(c.script, c.end);
        ASSERT_NE(server.Port(), 0);
        const std::string request = "GET /v/clip.flv HTTP/1.1\r\nHost: " + server.HostPort() +
                                    "\r\nUser-Agent: browser\r\nCookie: a=b\r\n\r\n";
        // What the user had at the destination stays unless a whole body replaces it.
        WriteFile(dir.path / "out.flv", "earlier");
        RecordingReplay replay;
        replay.SetUrl("http://media.test/v/clip.flv");
        replay.SetServer("127.0.0.1", server.Port());
        replay.SetRequestHeaders(request);
        replay.SetDestinationPath((dir.path / "out.flv").string());
        replay.SetExpectedSize(c.expected);
        replay.SetIdleTimeout(std::chrono::seconds(5));
        EXPECT_EQ(replay.Transfer(), c.succeeds);
        EXPECT_EQ(replay.LastFailure(), c.failure);
        EXPECT_EQ(replay.FailureReason().empty(), c.succeeds) << replay.FailureReason();
        EXPECT_EQ(server.Request(), request);  // sent unchanged, in full
        EXPECT_EQ(FilesIn(dir.path), std::vector<std::string>{"out.flv"});
        if (!c.file) {
            EXPECT_EQ(ReadFile(dir.path / "out.flv"), "earlier");
            continue;
        }
        EXPECT_EQ(ReadFile(dir.path / "out.flv"), *c.file);
        if (!replay.progress.empty()) {
            const Progress& last = replay.progress.back();
            EXPECT_EQ(last.bytes, c.file->size());
            EXPECT_EQ(last.known, c.expected > 0);
            EXPECT_EQ(last.total, c.expected);
        }
    }
}

TEST(ReplayDownloader, FirstProgressCountsOnlyTheBodyBytesAfterTheHeader) {
    TempFolder dir;
    ScriptedSocketServer server({{Head("200 OK\r\nContent-Length: 8") + "abcd", 50}, {"efgh"}});
    RecordingReplay replay;
    replay.SetServer("127.0.0.1", server.Port());
    replay.SetRequestHeaders("GET /a.flv HTTP/1.1\r\n\r\n");
    replay.SetDestinationPath((dir.path / "a.flv").string());
    replay.SetExpectedSize(8);
    ASSERT_TRUE(replay.Transfer());
    ASSERT_EQ(replay.progress.size(), 2u);
    EXPECT_EQ(replay.progress[0].bytes, 4u);
    EXPECT_EQ(replay.progress[1].bytes, 8u);
}

TEST(ReplayDownloader, ConnectionFailuresAndUnwritableDestinations) {
    TempFolder dir;
    const std::string out = (dir.path / "out.flv").string();
    ScriptedSocketServer server({{Head("200 OK\r\nContent-Length: 1") + "x"}});
    struct Row {
        const char* name;
        std::string address;
        std::uint16_t port;
        std::string headers, destination;
        Failure failure;
        const char* reason;  // part of FailureReason
    } rows[] = {
        {"refused", "127.0.0.1", ClosedLoopbackPort(), "GET /a.flv HTTP/1.1\r\n\r\n", out,
         Failure::ConnectFailed, "Connection refused"},
        // The server is an address: nothing is looked up, so nothing goes anywhere else.
        {"a host name", "localhost", server.Port(), "GET /a.flv HTTP/1.1\r\n\r\n", out,
         Failure::NoServer, "not known"},
        {"no server", "", 0, "GET /a.flv HTTP/1.1\r\n\r\n", out, Failure::NoServer, "not known"},
        {"no GET in the block", "127.0.0.1", server.Port(), "POST /a HTTP/1.1\r\n\r\n", out,
         Failure::NoRequest, "no GET request"},
        {"missing folder", "127.0.0.1", server.Port(), "GET /a.flv HTTP/1.1\r\n\r\n",
         (dir.path / "no/such/folder/out.flv").string(), Failure::FileError,
         "No such file or directory"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ReplayDownloader replay;
        replay.SetServer(row.address, row.port);
        replay.SetRequestHeaders(row.headers);
        replay.SetDestinationPath(row.destination);
        EXPECT_FALSE(replay.Transfer());
        EXPECT_EQ(replay.LastFailure(), row.failure);
        EXPECT_NE(replay.FailureReason().find(row.reason), std::string::npos)
            << replay.FailureReason();
    }
    EXPECT_FALSE(fs::exists(out));
}

// A destination that fills up fails the transfer with the error; nothing partial stays.
TEST(ReplayDownloader, FullDestinationFailsAndLeavesNothing) {
    if (const std::string why = SmallDisk::SkipReason(); !why.empty())
        GTEST_SKIP() << why;
    SmallDisk disk(64 * 1024);
    ASSERT_TRUE(disk.Ok());
    const std::string target = disk.Path() + "/out.flv";
    WriteFile(target, "earlier");
    ScriptedSocketServer server(
        {{Head("200 OK\r\nContent-Length: 300000") + std::string(300000, 'm')}});
    ReplayDownloader replay;
    replay.SetServer("127.0.0.1", server.Port());
    replay.SetRequestHeaders("GET /a.flv HTTP/1.1\r\n\r\n");
    replay.SetDestinationPath(target);
    EXPECT_FALSE(replay.Transfer());
    EXPECT_EQ(replay.LastFailure(), Failure::FileError);
    EXPECT_EQ(replay.FailureReason(), "No space left on device (" + target + ")");
    EXPECT_EQ(ReadFile(target), "earlier");
    EXPECT_EQ(FilesIn(disk.Path()), std::vector<std::string>{"out.flv"});
}

// A program killed in the middle of a transfer leaves nothing under the destination's name.
TEST(ReplayDownloader, KilledTransferLeavesOnlyAHiddenTemporaryFile) {
    TempFolder dir;
    const fs::path out = dir.path / "Sniffer_0_150000.flv";
    ScriptedSocketServer server({{Head("200 OK\r\nContent-Length: 100000") + "FLV", 2000}});
    const pid_t child = fork();
    if (child == 0) {
        ReplayDownloader replay;
        replay.SetServer("127.0.0.1", server.Port());
        replay.SetRequestHeaders("GET /a.flv HTTP/1.1\r\n\r\n");
        replay.SetDestinationPath(out.string());
        replay.Transfer();
        _exit(0);
    }
    ASSERT_GT(child, 0);
    bool partWritten = false;
    for (int i = 0; i < 100 && !partWritten; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const std::string& name : FilesIn(dir.path))
            partWritten = partWritten || fs::file_size(dir.path / name) > 0;
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(partWritten);
    EXPECT_FALSE(fs::exists(out));
    for (const std::string& name : FilesIn(dir.path)) {
        EXPECT_EQ(name.front(), '.') << name;
    }
}

TEST(ReplayDownloader, AbortEndsATransferPromptlyWhileTheServerIsSilent) {
    using Clock = std::chrono::steady_clock;
    for (const bool headerSent : {false, true}) {
        SCOPED_TRACE(headerSent ? "silent in the body" : "silent before the header");
        TempFolder dir;
        ScriptedSocketServer server(
            {{headerSent ? Head("200 OK\r\nContent-Length: 1000") + "abc" : std::string()}},
            End::Hold);
        WriteFile(dir.path / "out.flv", "earlier");
        ReplayDownloader replay;
        replay.SetServer("127.0.0.1", server.Port());
        replay.SetRequestHeaders("GET /a.flv HTTP/1.1\r\n\r\n");
        replay.SetDestinationPath((dir.path / "out.flv").string());
        Clock::time_point abortedAt;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            abortedAt = Clock::now();
            replay.Abort();
        });
        EXPECT_FALSE(replay.Transfer());
        const auto ended = Clock::now();
        canceller.join();
        EXPECT_EQ(replay.LastFailure(), Failure::Aborted);
        EXPECT_LT(ended - abortedAt, std::chrono::seconds(2));
        // What was written before the abort goes with the temporary file.
        EXPECT_EQ(ReadFile(dir.path / "out.flv"), "earlier");
        EXPECT_EQ(FilesIn(dir.path), std::vector<std::string>{"out.flv"});
    }
}

TEST(ReplayDownloader, SilentServerEndsAsAFailureAfterTheIdleTime) {
    TempFolder dir;
    ScriptedSocketServer server({{Head("200 OK") + "abc"}}, End::Hold);
    ReplayDownloader replay;
    replay.SetServer("127.0.0.1", server.Port());
    replay.SetRequestHeaders("GET /a.flv HTTP/1.1\r\n\r\n");
    replay.SetDestinationPath((dir.path / "out.flv").string());
    replay.SetIdleTimeout(std::chrono::milliseconds(300));
    EXPECT_FALSE(replay.Transfer());
    EXPECT_EQ(replay.LastFailure(), Failure::ReceiveFailed);
}
