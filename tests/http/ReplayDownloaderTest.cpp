#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "TempFolder.h"
#include "http/LocalHttpServer.h"
#include "http/ReplayDownloader.h"
#include "http/ScriptedSocketServer.h"

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

struct Case {
    const char* name;
    std::vector<Step> script;
    End end;
    std::uint64_t expected;
    bool succeeds;
    Failure failure;
    const char* file;  // the destination's content; nullptr when it must not exist
};

}  // namespace

TEST(ReplayTarget, HostAndPortFromTheUrl) {
    struct Row {
        const char* url;
        bool ok;
        const char* host;
        const char* port;
    } rows[] = {
        {"http://media.test/v/clip.flv", true, "media.test", "80"},
        {"media.test:8080/v/clip.flv", true, "media.test", "8080"},
        {"http://http://media.test:81/a", true, "media.test", "81"},
        {"http://[fd00::1]:8080/a", true, "fd00::1", "8080"},
        {"http://[fd00::1]/a", true, "fd00::1", "80"},
        {"http://media.test?x=/y", true, "media.test", "80"},
        {"http://media.test:/a", true, "media.test", "80"},
        {"http://media.test:0/a", false, "", ""},
        {"http://media.test:65536/a", false, "", ""},
        {"http://media.test:80x/a", false, "", ""},
        {"http://:80/a", false, "", ""},
        {"http:///a", false, "", ""},
        {"http://[fd00::1/a", false, "", ""},
    };
    for (const Row& row : rows) {
        std::string host, port;
        EXPECT_EQ(ReplayTarget(row.url, host, port), row.ok) << row.url;
        if (row.ok) {
            EXPECT_EQ(host, row.host) << row.url;
            EXPECT_EQ(port, row.port) << row.url;
        }
    }
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
         nullptr},
        {"redirect",
         {{Head("302 Found\r\nLocation: /b\r\nContent-Length: 0")}},
         End::Close,
         0,
         false,
         Failure::BadStatus,
         nullptr},
        {"closes mid-body",
         {{Head("200 OK\r\nContent-Length: 100") + "0123456789"}},
         End::Close,
         100,
         false,
         Failure::ShortBody,
         "0123456789"},
        {"closes inside a chunk",
         {{Head("200 OK\r\nTransfer-Encoding: chunked") + "a\r\n01234"}},
         End::Close,
         10,
         false,
         Failure::ShortBody,
         "01234"},
        {"closes before the blank line",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n"}},
         End::Close,
         3,
         false,
         Failure::BadAnswer,
         nullptr},
        {"not an HTTP answer",
         {{"hello there\r\n\r\nbody"}},
         End::Close,
         4,
         false,
         Failure::BadAnswer,
         nullptr},
        {"header block over 64 KiB",
         {{"HTTP/1.1 200 OK\r\nX-Big: " + big + "\r\n\r\nbody"}},
         End::Close,
         4,
         false,
         Failure::HeaderTooLarge,
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        ScriptedSocketServer server(c.script, c.end);
        ASSERT_NE(server.Port(), 0);
        const std::string request = "GET /v/clip.flv HTTP/1.1\r\nHost: " + server.HostPort() +
                                    "\r\nUser-Agent: browser\r\nCookie: a=b\r\n\r\n";
        RecordingReplay replay;
        replay.SetUrl("http://" + server.HostPort() + "/v/clip.flv");
        replay.SetRequestHeaders(request);
        replay.SetDestinationPath((dir.path / "out.flv").string());
        replay.SetExpectedSize(c.expected);
        replay.SetIdleTimeout(std::chrono::seconds(5));
        EXPECT_EQ(replay.Transfer(), c.succeeds);
        EXPECT_EQ(replay.LastFailure(), c.failure);
        EXPECT_EQ(server.Request(), request);  // sent unchanged, in full
        ASSERT_EQ(fs::exists(dir.path / "out.flv"), c.file != nullptr);
        if (!c.file)
            continue;
        EXPECT_EQ(ReadFile(dir.path / "out.flv"), c.file);
        if (!replay.progress.empty()) {
            const Progress& last = replay.progress.back();
            EXPECT_EQ(last.bytes, std::string(c.file).size());
            EXPECT_EQ(last.known, c.expected > 0);
            EXPECT_EQ(last.total, c.expected);
        }
    }
}

TEST(ReplayDownloader, FirstProgressCountsOnlyTheBodyBytesAfterTheHeader) {
    TempFolder dir;
    ScriptedSocketServer server({{Head("200 OK\r\nContent-Length: 8") + "abcd", 50}, {"efgh"}});
    RecordingReplay replay;
    replay.SetUrl(server.HostPort() + "/a.flv");
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
    {
        ReplayDownloader replay;
        replay.SetUrl("http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/a.flv");
        replay.SetRequestHeaders("GET /a.flv HTTP/1.1\r\n\r\n");
        replay.SetDestinationPath(out);
        EXPECT_FALSE(replay.Transfer());
        EXPECT_EQ(replay.LastFailure(), Failure::ConnectFailed);
    }
    {
        ScriptedSocketServer server({{Head("200 OK\r\nContent-Length: 1") + "x"}});
        ReplayDownloader replay;
        replay.SetUrl("http://" + server.HostPort() + "/a.flv");
        replay.SetRequestHeaders("GET /a.flv HTTP/1.1\r\n\r\n");
        replay.SetDestinationPath((dir.path / "no/such/folder/out.flv").string());
        EXPECT_FALSE(replay.Transfer());
        EXPECT_EQ(replay.LastFailure(), Failure::FileError);
    }
    EXPECT_FALSE(fs::exists(out));
}

// Whether host names are looked up only in the hosts file and by DNS, both of which stay inside
// a network namespace (another lookup service could forward the query out of it).
bool LookupsStayInTheNamespace() {
    std::ifstream in("/etc/nsswitch.conf");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("hosts:", 0) != 0)
            continue;
        std::istringstream words(line.substr(6));
        for (std::string word; words >> word;) {
            if (word != "files" && word != "dns")
                return false;
        }
        return true;
    }
    return true;  // no hosts line: files and dns
}

TEST(ReplayDownloader, UnknownHostFails) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: resolves in a network namespace of its own, so that no "
                        "query leaves this machine";
    if (!LookupsStayInTheNamespace())
        GTEST_SKIP() << "host lookups here use a service outside the network namespace";
    TempFolder dir;
    bool result = true;
    Failure failure = Failure::None;
    // A thread in a fresh network namespace: no interface is up, so the lookup cannot reach any
    // name server, and the name is unknown to the hosts file.
    std::thread([&] {
        if (unshare(CLONE_NEWNET) != 0)
            return;
        ReplayDownloader replay;
        replay.SetUrl("http://pelnix-no-such-host.invalid/a.flv");
        replay.SetRequestHeaders("GET /a.flv HTTP/1.1\r\n\r\n");
        replay.SetDestinationPath((dir.path / "out.flv").string());
        result = replay.Transfer();
        failure = replay.LastFailure();
    }).join();
    EXPECT_FALSE(result);
    EXPECT_EQ(failure, Failure::NameNotResolved);
    EXPECT_FALSE(fs::exists(dir.path / "out.flv"));
}

TEST(ReplayDownloader, AbortEndsATransferPromptlyWhileTheServerIsSilent) {
    using Clock = std::chrono::steady_clock;
    for (const bool headerSent : {false, true}) {
        SCOPED_TRACE(headerSent ? "silent in the body" : "silent before the header");
        TempFolder dir;
        ScriptedSocketServer server(
            {{headerSent ? Head("200 OK\r\nContent-Length: 1000") + "abc" : std::string()}},
            End::Hold);
        ReplayDownloader replay;
        replay.SetUrl("http://" + server.HostPort() + "/a.flv");
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
        if (headerSent) {
            EXPECT_EQ(ReadFile(dir.path / "out.flv"), "abc");
        }
    }
}

TEST(ReplayDownloader, SilentServerEndsAsAFailureAfterTheIdleTime) {
    TempFolder dir;
    ScriptedSocketServer server({{Head("200 OK") + "abc"}}, End::Hold);
    ReplayDownloader replay;
    replay.SetUrl("http://" + server.HostPort() + "/a.flv");
    replay.SetRequestHeaders("GET /a.flv HTTP/1.1\r\n\r\n");
    replay.SetDestinationPath((dir.path / "out.flv").string());
    replay.SetIdleTimeout(std::chrono::milliseconds(300));
    EXPECT_FALSE(replay.Transfer());
    EXPECT_EQ(replay.LastFailure(), Failure::ReceiveFailed);
}
