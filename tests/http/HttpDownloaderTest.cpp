#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "http/HttpDownloader.h"
#include "http/LocalHttpServer.h"
#include "support/SmallDisk.h"

namespace fs = std::filesystem;

namespace {

struct Progress {
    std::uint64_t bytes;
    bool known;
    std::uint64_t total;
};

// An engine that records every report it makes.
class RecordingDownloader : public HttpDownloader {
public:
    std::vector<std::pair<unsigned long, std::string>> statuses;
    std::vector<std::pair<int, unsigned>> systemErrors, errors;
    std::vector<std::string> texts;
    std::vector<std::uint64_t> sizes;
    std::vector<Progress> progress;
    // Credentials given when a 401 arrives; empty: the engine's own refusal.
    std::string user, password;
    int prompts = 0;
    std::function<void()> onFirstProgress;

    bool SawText(const std::string& text) const {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    bool SawStatus(unsigned long status) const {
        for (const auto& s : statuses) {
            if (s.first == status)
                return true;
        }
        return false;
    }

protected:
    void OnStatusCallback(unsigned long status, const void* info, unsigned long length) override {
        const char* text = static_cast<const char*>(info);
        statuses.emplace_back(status, std::string(text, strnlen(text, length)));
    }
    void OnSystemError(int id, unsigned code) override { systemErrors.emplace_back(id, code); }
    void OnError(int id, unsigned code) override { errors.emplace_back(id, code); }
    void SetStatusText(const std::string& text) override { texts.push_back(text); }
    void OnSizeKnown(std::uint64_t size) override { sizes.push_back(size); }
    void OnProgress(std::uint64_t bytes, bool known, std::uint64_t total) override {
        if (progress.empty() && onFirstProgress)
            onFirstProgress();
        progress.push_back({bytes, known, total});
    }
    bool OnAuthenticationNeeded(unsigned& result) override {
        ++prompts;
        if (user.empty())
            return HttpDownloader::OnAuthenticationNeeded(result);
        result = kPromptRetry;
        return SetCredentials(false, user, password);
    }
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
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

class HttpDownloaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ClearProxyEnvironment();
        s_server = new LocalHttpServer(PELNIX_HTTP_TEST_SERVER);
    }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(s_server->Running()) << "the test server did not start";
        m_dir = fs::temp_directory_path() /
                ("pelnix-http-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        m_file = m_dir / "media.flv";
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Prepares `engine` for `path` on the test server into the test's file.
    void Prepare(RecordingDownloader& engine, const std::string& path) {
        engine.SetUrl(s_server->Url(path));
        engine.SetDestinationPath(m_file.string());
    }

    static LocalHttpServer* s_server;
    fs::path m_dir, m_file;
};

LocalHttpServer* HttpDownloaderTest::s_server = nullptr;

TEST_F(HttpDownloaderTest, WholeBodiesWithAndWithoutLength) {
    struct Case {
        const char* path;
        std::uint64_t size;
        bool lengthSent;
    };
    for (const Case& c : {Case{"/file/70000", 70000, true}, Case{"/nolength/70000", 70000, false},
                          Case{"/file/0", 0, true}, Case{"/nolength/0", 0, false}}) {
        SCOPED_TRACE(c.path);
        RecordingDownloader engine;
        Prepare(engine, c.path);
        ASSERT_TRUE(engine.Download());
        EXPECT_EQ(ReadFile(m_file), PatternBytes(0, c.size));
        EXPECT_TRUE(engine.systemErrors.empty());
        EXPECT_EQ(engine.sizes,
                  c.lengthSent ? std::vector<std::uint64_t>{c.size} : std::vector<std::uint64_t>{});
        ASSERT_FALSE(engine.progress.empty());
        std::uint64_t last = 0;
        for (const Progress& p : engine.progress) {
            EXPECT_EQ(p.known, c.lengthSent);
            if (c.lengthSent) {
                EXPECT_EQ(p.total, c.size);
            }
            EXPECT_GE(p.bytes, last);
            last = p.bytes;
        }
        // The last report is the final read that found no more data.
        EXPECT_EQ(engine.progress.back().bytes, c.size);
        if (c.size == 0) {
            EXPECT_EQ(engine.progress.size(), 1u);
        }
        if (c.size > 0) {
            ASSERT_GE(engine.progress.size(), 2u);
            EXPECT_EQ(engine.progress[engine.progress.size() - 2].bytes, c.size);
        }
        // "Getting file information" comes before "Retrieving the file".
        const auto info =
            std::find(engine.texts.begin(), engine.texts.end(), "Getting file information");
        const auto body =
            std::find(engine.texts.begin(), engine.texts.end(), "Retrieving the file");
        EXPECT_TRUE(info != engine.texts.end() && body != engine.texts.end() && info < body);
    }
}

TEST_F(HttpDownloaderTest, ConnectionStepsAreReportedInOrder) {
    RecordingDownloader engine;
    Prepare(engine, "/file/10");
    ASSERT_TRUE(engine.Download());
    std::vector<unsigned long> order;
    for (const auto& s : engine.statuses) order.push_back(s.first);
    const std::vector<unsigned long> expected{
        HttpDownloader::kStatusResolvingName, HttpDownloader::kStatusNameResolved,
        HttpDownloader::kStatusConnectingToServer, HttpDownloader::kStatusConnectedToServer};
    EXPECT_EQ(order, expected);
    ASSERT_EQ(engine.statuses.size(), 4u);
    EXPECT_EQ(engine.statuses[0].second, "127.0.0.1");
    EXPECT_EQ(engine.statuses[1].second, "127.0.0.1");
    EXPECT_EQ(engine.statuses[3].second, "127.0.0.1");
}

TEST_F(HttpDownloaderTest, RefusedStatusesFailAndRemoveANewFile) {
    for (unsigned code : {404u, 500u, 403u, 304u}) {
        SCOPED_TRACE(code);
        RecordingDownloader engine;
        Prepare(engine, "/status/" + std::to_string(code));
        EXPECT_FALSE(engine.Download());
        EXPECT_EQ(engine.errors, (std::vector<std::pair<int, unsigned>>{{1611, code}}));
        EXPECT_TRUE(engine.systemErrors.empty());
        EXPECT_FALSE(fs::exists(m_file));
    }
    // A file that existed before stays as it was, and no temporary file is left beside it.
    WriteFile(m_file, "old contents");
    RecordingDownloader engine;
    Prepare(engine, "/status/404");
    EXPECT_FALSE(engine.Download());
    EXPECT_EQ(ReadFile(m_file), "old contents");
    EXPECT_EQ(FilesIn(m_dir), std::vector<std::string>{"media.flv"});
}

// The body is written under a temporary name beside the destination, which takes the
// destination's place only once it is whole: an earlier file stays until then, and a program
// killed in the middle of a transfer leaves nothing under the destination's name.
TEST_F(HttpDownloaderTest, DestinationIsReplacedOnlyByAWholeBody) {
    WriteFile(m_file, "old contents");
    const pid_t child = fork();
    if (child == 0) {
        RecordingDownloader engine;
        Prepare(engine, "/slow/100000");  // ten seconds at the server's pace
        engine.Download();
        _exit(0);
    }
    ASSERT_GT(child, 0);
    // Killed once part of the body is in.
    bool partWritten = false;
    for (int i = 0; i < 100 && !partWritten; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const std::string& name : FilesIn(m_dir)) {
            if (name != "media.flv" && fs::file_size(m_dir / name) > 0)
                partWritten = true;
        }
        if (fs::file_size(m_file) != 12)  // the destination itself written to
            partWritten = true;
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(partWritten);
    EXPECT_EQ(ReadFile(m_file), "old contents");
    // What is left is a hidden temporary file, never a name that looks like a finished one.
    for (const std::string& name : FilesIn(m_dir)) {
        if (name != "media.flv") {
            EXPECT_EQ(name.front(), '.') << name;
        }
    }

    RecordingDownloader engine;
    Prepare(engine, "/file/3000");
    ASSERT_TRUE(engine.Download());
    EXPECT_EQ(ReadFile(m_file), PatternBytes(0, 3000));
    struct stat st {};
    ASSERT_EQ(stat(m_file.c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);  // the usual mode of a new file
}

// A destination that fills up fails the transfer with the error; nothing partial stays.
TEST_F(HttpDownloaderTest, FullDestinationFailsAndLeavesNothing) {
    if (const std::string why = SmallDisk::SkipReason(); !why.empty())
        GTEST_SKIP() << why;
    SmallDisk disk(64 * 1024);
    ASSERT_TRUE(disk.Ok());
    const std::string target = disk.Path() + "/media.flv";
    WriteFile(target, "old contents");
    RecordingDownloader engine;
    engine.SetUrl(s_server->Url("/file/300000"));
    engine.SetDestinationPath(target);
    EXPECT_FALSE(engine.Download());
    EXPECT_EQ(engine.systemErrors, (std::vector<std::pair<int, unsigned>>{{1612, ENOSPC}}));
    EXPECT_EQ(ReadFile(target), "old contents");
    EXPECT_EQ(FilesIn(disk.Path()), std::vector<std::string>{"media.flv"});
}

TEST_F(HttpDownloaderTest, UnreachableHostLeavesNoFile) {
    RecordingDownloader engine;
    engine.SetUrl("http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/clip.flv");
    engine.SetDestinationPath(m_file.string());
    EXPECT_FALSE(engine.Download());
    ASSERT_EQ(engine.systemErrors.size(), 1u);
    EXPECT_EQ(engine.systemErrors[0].first, 1609);
    EXPECT_NE(engine.systemErrors[0].second, 0u);
    EXPECT_FALSE(fs::exists(m_file));
    EXPECT_TRUE(engine.progress.empty());
}

TEST_F(HttpDownloaderTest, BodyShortOfItsLengthFails) {
    RecordingDownloader engine;
    Prepare(engine, "/short/5000/1000");
    EXPECT_FALSE(engine.Download());
    ASSERT_EQ(engine.systemErrors.size(), 1u);
    EXPECT_EQ(engine.systemErrors[0].first, 1612);
    EXPECT_FALSE(fs::exists(m_file));
}

TEST_F(HttpDownloaderTest, RedirectIsFollowedAndReported) {
    RecordingDownloader engine;
    Prepare(engine, "/redirect/3000");
    ASSERT_TRUE(engine.Download());
    EXPECT_EQ(ReadFile(m_file), PatternBytes(0, 3000));
    std::vector<std::string> redirects;
    for (const auto& s : engine.statuses) {
        if (s.first == HttpDownloader::kStatusRedirect)
            redirects.push_back(s.second);
    }
    EXPECT_EQ(redirects, std::vector<std::string>{s_server->Url("/file/3000")});
}

TEST_F(HttpDownloaderTest, RedirectsAndUrlsLeavingHttpAreRefused) {
    for (const std::string& url :
         {s_server->Url("/redirect-to?file:///etc/passwd"),
          s_server->Url("/redirect-to?ftp://127.0.0.1:1/x"), std::string("ftp://127.0.0.1:1/x"),
          std::string("http://exa mple.com/x")}) {
        SCOPED_TRACE(url);
        RecordingDownloader engine;
        engine.SetUrl(url);
        engine.SetDestinationPath(m_file.string());
        EXPECT_FALSE(engine.Download());
        EXPECT_FALSE(fs::exists(m_file));
    }
}

TEST_F(HttpDownloaderTest, UrlWithoutSchemeGetsHttp) {
    RecordingDownloader engine;
    engine.SetUrl(s_server->HostPort() + "/file/1200");
    engine.SetDestinationPath(m_file.string());
    ASSERT_TRUE(engine.Download());
    EXPECT_EQ(engine.Url(), s_server->Url("/file/1200"));
    EXPECT_EQ(ReadFile(m_file), PatternBytes(0, 1200));
}

TEST_F(HttpDownloaderTest, ResumeContinuesAtTheOffset) {
    // Another source's first 1000 bytes, then junk the resume must cut off.
    const std::string head = PatternBytes(0, 1000);
    WriteFile(m_file, head + std::string(4000, 'x'));
    RecordingDownloader engine;
    Prepare(engine, "/range/5000");
    engine.SetResumeOffset(1000);
    ASSERT_TRUE(engine.Download());
    EXPECT_EQ(ReadFile(m_file), PatternBytes(0, 5000));
    EXPECT_EQ(engine.sizes, std::vector<std::uint64_t>{4000});
    for (const Progress& p : engine.progress) EXPECT_EQ(p.total, 5000u);
    EXPECT_EQ(engine.progress.back().bytes, 4000u);
    EXPECT_EQ(engine.BodyOffset(), 1000u);
}

TEST_F(HttpDownloaderTest, WholeFileAnswerToARangeReplacesTheFile) {
    WriteFile(m_file, std::string(1000, 'x'));
    RecordingDownloader engine;
    Prepare(engine, "/range200/5000");
    engine.SetResumeOffset(1000);
    ASSERT_TRUE(engine.Download());
    EXPECT_EQ(ReadFile(m_file), PatternBytes(0, 5000));
    EXPECT_EQ(engine.BodyOffset(), 0u);
    EXPECT_EQ(engine.progress.back().total, 5000u);
}

// The requests of a fill: ranges cut to the medium, sorted, near ones joined, too many made one.
TEST(HttpFillPlan, RangesAreJoinedAndBounded) {
    const std::uint64_t gap = HttpDownloader::kFillMergeGap;
    // Joined up to a gap one byte short of the bound; a gap of the bound stays apart.
    EXPECT_EQ(PlanFillRequests({{250 + 2 * gap, 260 + 2 * gap},
                                {100 + gap, 200 + gap},
                                {0, 100},
                                {199 + 2 * gap, 300 + 2 * gap}},
                               400 + 2 * gap),
              (std::vector<CopyInterval>{{0, 100}, {100 + gap, 300 + 2 * gap}}));
    EXPECT_EQ(PlanFillRequests({{10, 20}, {90, 400}, {500, 600}}, 100),
              (std::vector<CopyInterval>{{10, 100}}));
    std::vector<CopyInterval> many;
    for (std::uint64_t i = 0; i <= HttpDownloader::kMaxFillRequests; ++i)
        many.push_back({i * 2 * gap, i * 2 * gap + 1});
    EXPECT_EQ(PlanFillRequests(many, ~std::uint64_t(0)),
              (std::vector<CopyInterval>{{0, many.back().end}}));
    many.pop_back();
    EXPECT_EQ(PlanFillRequests(many, ~std::uint64_t(0)).size(), HttpDownloader::kMaxFillRequests);

    for (const char* good : {"\"abc\"", "Tue, 15 Nov 1994 08:12:31 GMT"})
        EXPECT_TRUE(IsIfRangeValidator(good)) << good;
    for (const char* bad : {"", "W/\"abc\"", "\"a\"b\"", "abc", "\"abc\"\r\nX: 1"})
        EXPECT_FALSE(IsIfRangeValidator(bad)) << bad;
}

// A fill asks for the holes alone, with If-Range, and keeps the captured bytes; a server whose
// file changed sends it whole in answer, and that answer replaces every captured byte; an answer
// of another total or a validator that cannot be checked gives the fill up for a whole fetch.
TEST_F(HttpDownloaderTest, FillFetchesOnlyTheHolesOrFallsBack) {
    const fs::path log = m_dir / "requests.log";
    LocalHttpServer server(PELNIX_HTTP_TEST_SERVER, {"--log", log.string()});
    ASSERT_TRUE(server.Running());
    constexpr std::uint64_t kTotal = 300000;
    const std::vector<CopyInterval> holes{{200000, 250000}, {1000, 5000}};
    const auto logged = [&](std::size_t from) {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(log).substr(from));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    };
    const std::string path = "/tagged/300000/v2";
    const std::string asked1 = path + "|-|-|bytes=1000-4999|\"v2\"";
    const std::string asked2 = path + "|-|-|bytes=200000-249999|\"v2\"";
    const std::string whole = path + "|-|-|-|-";
    struct Case {
        const char* name;
        std::string url, validator;
        std::vector<std::string> requests;
        FillOutcome outcome;
        std::string note;
    } cases[] = {
        {"filled", path, "\"v2\"", {asked1, asked2}, FillOutcome::Filled, ""},
        {"changed",
         path,
         "\"v1\"",
         {path + "|-|-|bytes=1000-4999|\"v1\""},
         FillOutcome::FellBack,
         "the server sent the whole file, so its copy is not the one captured"},
        {"other total",
         path + "/badtotal",
         "\"v2\"",
         {path + "/badtotal|-|-|bytes=1000-4999|\"v2\"", path + "/badtotal|-|-|-|-"},
         FillOutcome::FellBack,
         "the server answered \"bytes 1000-4999/300001\" to \"bytes 1000-4999/300000\""},
        {"weak tag",
         path,
         "W/\"v2\"",
         {whole},
         FillOutcome::FellBack,
         "no validator the server could check the captured bytes against"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The copy: the medium's bytes where it holds them (junk where a whole fetch must
        // replace them), zeros in the holes.
        std::string copy = PatternBytes(0, kTotal);
        if (c.outcome == FillOutcome::FellBack)
            copy.assign(kTotal, 'x');
        for (const CopyInterval& hole : holes)
            std::fill(copy.begin() + hole.first, copy.begin() + hole.end, '\0');
        const fs::path captured = m_dir / "f12";
        WriteFile(captured, copy);
        const int fd = ::open(captured.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const std::size_t from = fs::exists(log) ? ReadFile(log).size() : 0;
        RecordingDownloader engine;
        engine.SetUrl(server.Url(c.url));
        engine.SetDestinationPath(m_file.string());
        engine.SetFill({fd, kTotal, holes, c.validator});
        ASSERT_TRUE(engine.Download()) << engine.FailureReason();
        ::close(fd);
        EXPECT_EQ(engine.LastFill(), c.outcome);
        EXPECT_EQ(engine.FillNote(), c.note);
        EXPECT_TRUE(ReadFile(m_file) == PatternBytes(0, kTotal)) << "the file is not the medium";
        EXPECT_EQ(logged(from), c.requests);
        if (c.outcome == FillOutcome::Filled) {
            EXPECT_EQ(engine.sizes, std::vector<std::uint64_t>{54000});
            ASSERT_FALSE(engine.progress.empty());
            EXPECT_EQ(engine.progress.back().bytes, 54000u);
            EXPECT_EQ(engine.progress.back().total, 54000u);
        } else {
            EXPECT_TRUE(engine.SawText("Fetching the whole file: " + c.note + "."));
        }
        EXPECT_TRUE(engine.errors.empty());
    }
}

TEST_F(HttpDownloaderTest, PasswordRequests) {
    {
        SCOPED_TRACE("standalone: fails without any report");
        RecordingDownloader engine;
        Prepare(engine, "/auth/800");
        EXPECT_FALSE(engine.Download());
        EXPECT_EQ(engine.prompts, 1);
        EXPECT_TRUE(engine.systemErrors.empty());
        EXPECT_TRUE(engine.errors.empty());
        EXPECT_FALSE(fs::exists(m_file));
    }
    {
        SCOPED_TRACE("credentials given: sent again and fetched");
        RecordingDownloader engine;
        Prepare(engine, "/auth/800");
        engine.user = "user";
        engine.password = "secret";
        ASSERT_TRUE(engine.Download());
        EXPECT_EQ(engine.prompts, 1);
        // The 401 page never reaches the file.
        EXPECT_EQ(ReadFile(m_file), PatternBytes(0, 800));
    }
}

TEST_F(HttpDownloaderTest, ReadsNeverExceedTheReadBufferSize) {
    for (const std::uint32_t block : {16384u, 1000u}) {
        SCOPED_TRACE(block);
        RecordingDownloader engine;
        Prepare(engine, "/file/300000");
        if (block != 16384)
            engine.SetReadBufferSize(block);
        ASSERT_TRUE(engine.Download());
        EXPECT_EQ(ReadFile(m_file), PatternBytes(0, 300000));
        std::uint64_t last = 0;
        for (const Progress& p : engine.progress) {
            EXPECT_LE(p.bytes - last, block);
            last = p.bytes;
        }
        EXPECT_GE(engine.progress.size(), 300000u / block + 1);
    }
}

TEST_F(HttpDownloaderTest, MissingDestinationFolderIsReportedAndNothingCreated) {
    RecordingDownloader engine;
    engine.SetUrl(s_server->Url("/file/10"));
    engine.SetDestinationPath((m_dir / "missing" / "x.flv").string());
    EXPECT_FALSE(engine.Download());
    ASSERT_EQ(engine.systemErrors.size(), 1u);
    EXPECT_EQ(engine.systemErrors[0].first, 1626);
    EXPECT_FALSE(fs::exists(m_dir / "missing"));
}

TEST_F(HttpDownloaderTest, NoDestinationDropsTheBody) {
    RecordingDownloader engine;
    engine.SetUrl(s_server->Url("/file/20000"));
    ASSERT_TRUE(engine.Download());
    EXPECT_EQ(engine.progress.back().bytes, 20000u);
}

TEST_F(HttpDownloaderTest, AbortFromAnotherThreadEndsASlowTransfer) {
    RecordingDownloader engine;
    Prepare(engine, "/slow/100000");  // ten seconds at the server's pace
    std::thread aborter;
    engine.onFirstProgress = [&] {
        aborter = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            engine.Abort();
        });
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine.Download());
    const auto took = std::chrono::steady_clock::now() - start;
    aborter.join();
    EXPECT_TRUE(engine.IsAborted());
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_LT(engine.progress.back().bytes, 100000u);
    EXPECT_FALSE(fs::exists(m_file));
}

TEST_F(HttpDownloaderTest, StalledServerEndsWithinTheLowSpeedTime) {
    RecordingDownloader engine;
    Prepare(engine, "/stall/100000");
    engine.SetLowSpeedLimit(1, std::chrono::seconds(1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine.Download());
    // libcurl averages the rate over a few seconds, so the bound is the low-speed time plus
    // that window, far below the two minutes the server would stay silent.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    ASSERT_EQ(engine.systemErrors.size(), 1u);
    EXPECT_EQ(engine.systemErrors[0].first, 1612);
    EXPECT_FALSE(fs::exists(m_file));
}

}  // namespace

namespace {

// A report that throws (an allocation failure in a derived class, say) inside one of libcurl's
// callbacks fails the transfer instead of unwinding through libcurl and ending the process.
TEST_F(HttpDownloaderTest, ExceptionsInCallbacksFailTheTransfer) {
    class Throwing : public RecordingDownloader {
    public:
        unsigned long throwOnStatus = 0;

    protected:
        void OnStatusCallback(unsigned long status, const void* info,
                              unsigned long length) override {
            if (status == throwOnStatus)
                throw std::bad_alloc();
            RecordingDownloader::OnStatusCallback(status, info, length);
        }
    };
    const unsigned long statuses[] = {HttpDownloader::kStatusResolvingName,
                                      HttpDownloader::kStatusNameResolved,
                                      HttpDownloader::kStatusConnectedToServer, 0};
    for (const unsigned long status : statuses) {
        SCOPED_TRACE(status);
        Throwing engine;
        engine.throwOnStatus = status;
        if (status == 0)  // in the body: the first progress report throws
            engine.onFirstProgress = [] { throw std::bad_alloc(); };
        engine.SetUrl(s_server->Url("/file/50000"));
        engine.SetDestinationPath(m_file.string());
        EXPECT_FALSE(engine.Download());
        EXPECT_FALSE(fs::exists(m_file));
    }
}

TEST(HttpDownloaderTls, UntrustedCertificateIsRefused) {
    ClearProxyEnvironment();
    const fs::path dir = fs::temp_directory_path() / ("pelnix-tls-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    // A self-signed certificate for exactly the address used: only trust is missing.
    const std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
        " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        key + "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "needs the openssl tool to make a test certificate";
    }
    LocalHttpServer server(PELNIX_HTTP_TEST_SERVER, {"--tls", cert, key});
    ASSERT_TRUE(server.Running());
    RecordingDownloader engine;
    engine.SetUrl(server.Url("/file/10", "https"));
    engine.SetDestinationPath((dir / "out.flv").string());
    EXPECT_FALSE(engine.Download());
    EXPECT_EQ(engine.systemErrors,
              (std::vector<std::pair<int, unsigned>>{{1609, 60u}}));  // peer failed verification
    EXPECT_FALSE(fs::exists(dir / "out.flv"));
    fs::remove_all(dir);
}

}  // namespace

// The captured session goes only where it was captured: https, the same host and port. A
// redirect to another port gets the Referer's origin alone, a step down to http gets nothing
// (also when it leads back to the origin), and a way back without a step down gets it all.
TEST(HttpDownloaderTls, CapturedSessionStaysWithItsOrigin) {
    ClearProxyEnvironment();
    const fs::path dir = fs::temp_directory_path() / ("pelnix-scope-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1"
        " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        key + "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "needs the openssl tool to make a test certificate";
    }
    LocalHttpServer site(PELNIX_HTTP_TEST_SERVER, {"--tls", cert, key});
    LocalHttpServer other(PELNIX_HTTP_TEST_SERVER, {"--tls", cert, key});
    LocalHttpServer plain(PELNIX_HTTP_TEST_SERVER);
    ASSERT_TRUE(site.Running() && other.Running() && plain.Running());
    const auto via = [](const LocalHttpServer& server, const std::string& to,
                        const char* scheme = "https") {
        return server.Url("/redirect-to?" + to, scheme);
    };
    const std::string all =
        "Cookie=s=1\nReferer=https://Video.Example:8443/watch?v=secret\nAuthorization=Bearer t\n";
    const std::string originOnly =
        "Cookie=-\nReferer=https://video.example:8443/\nAuthorization=-\n";
    const std::string nothing = "Cookie=-\nReferer=-\nAuthorization=-\n";
    const std::string headers = site.Url("/headers", "https");
    const struct {
        std::string url, arrived;
    } cases[] = {
        {headers, all},
        {via(site, other.Url("/headers", "https")), originOnly},
        {via(site, plain.Url("/headers")), nothing},
        {via(site, via(plain, headers, "http")), nothing},
        {via(site, via(other, headers)), all},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        RecordingDownloader engine;
        engine.SetUrl(c.url);
        engine.SetDestinationPath((dir / "headers.txt").string());
        engine.SetExtraAuthorityFile(cert);
        engine.SetCapturedSession(
            {"s=1", "https://Video.Example:8443/watch?v=secret", "UA/1", "Bearer t"},
            site.Url("/media.mp4", "https"));
        ASSERT_TRUE(engine.Download()) << engine.FailureReason();
        EXPECT_EQ(ReadFile(dir / "headers.txt"), c.arrived);
    }
    fs::remove_all(dir);
}

// Over HTTPS a fill's ranges carry the captured session like any request of the transfer.
TEST(HttpDownloaderTls, FillAsksForTheHolesWithTheCapturedSession) {
    ClearProxyEnvironment();
    const fs::path dir = fs::temp_directory_path() / ("pelnix-fill-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1"
        " -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        key + "' -out '" + cert + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
        fs::remove_all(dir);
        GTEST_SKIP() << "needs the openssl tool to make a test certificate";
    }
    const fs::path log = dir / "requests.log";
    LocalHttpServer server(PELNIX_HTTP_TEST_SERVER, {"--tls", cert, key, "--log", log.string()});
    ASSERT_TRUE(server.Running());
    std::string copy = PatternBytes(0, 100000);
    std::fill(copy.begin(), copy.begin() + 10, '\0');
    std::fill(copy.begin() + 99000, copy.end(), '\0');
    WriteFile(dir / "clip.mp4", copy);
    RecordingDownloader engine;
    const std::string url = server.Url("/tagged/100000/t", "https");
    engine.SetUrl(url);
    engine.SetDestinationPath((dir / "clip.mp4").string());
    engine.SetExtraAuthorityFile(cert);
    engine.SetCapturedSession({"s=1", "https://page.example/", "UA/1", ""}, url);
    engine.SetFill({-1, 100000, {{0, 10}, {99000, 100000}}, "\"t\""});
    ASSERT_TRUE(engine.Download()) << engine.FailureReason();
    EXPECT_EQ(engine.LastFill(), FillOutcome::Filled);
    EXPECT_TRUE(ReadFile(dir / "clip.mp4") == PatternBytes(0, 100000));
    EXPECT_EQ(ReadFile(log),
              "/tagged/100000/t|s=1|https://page.example/|bytes=0-9|\"t\"\n"
              "/tagged/100000/t|s=1|https://page.example/|bytes=99000-99999|\"t\"\n");
    fs::remove_all(dir);
}
