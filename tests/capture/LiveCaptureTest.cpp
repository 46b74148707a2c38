// Live capture between two network namespaces: a real HTTP server, a real client (curl) and a
// capture session on the client's side. Needs root.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "TempFolder.h"
#include "capture/PacketSniffer.h"
#include "catalogue/MediaCatalogue.h"
#include "headless/HeadlessFrontEnd.h"
#include "helper/CaptureHelperClient.h"
#include "helper/RecordStream.h"
#include "support/FrameBuilder.h"
#include "support/LiveNetwork.h"
#include "support/LiveRun.h"
#include "support/TestAuthority.h"

namespace fs = std::filesystem;

namespace {

struct Report {
    std::string url, headers, length, type;
};

std::mutex s_reportMutex;
std::vector<Report> s_reports;

void CollectReport(MediaReport report) {
    std::lock_guard<std::mutex> lock(s_reportMutex);
    s_reports.push_back({report.url.substr(report.url.find("://") + 3), report.requestHeaders,
                         report.lengthText, report.typeText});
}

std::vector<Report> Reports() {
    std::lock_guard<std::mutex> lock(s_reportMutex);
    return s_reports;
}

std::string MissingForLiveTests() {
    if (geteuid() != 0)
        return "needs root: creates network namespaces and captures packets";
    for (const char* program : {"ip", "curl", "python3"}) {
        if (!HaveProgram(program))
            return std::string("needs the program ") + program;
    }
    return {};
}

// A medium of `size` bytes that starts with `signature`; the body is lower-case text, so it
// never holds "HTTP" and no later packet of it starts with "FLV".
void WriteMedium(const fs::path& path, const std::string& signature, std::size_t size) {
    std::string bytes = signature;
    while (bytes.size() < size) bytes.push_back(static_cast<char>('a' + bytes.size() % 26));
    std::ofstream(path, std::ios::binary) << bytes;
}

// A capture session created on a thread that lives in the client namespace; the session's
// own capture thread is started from there and so captures there too.
class ClientSideSession {
public:
    explicit ClientSideSession(const VethPair& network) {
        m_thread = std::thread([this, &network] {
            std::unique_ptr<PacketSniffer> session;
            if (network.EnterClientNamespace()) {
                m_adapters = ListCaptureAdapters();
                session = std::make_unique<PacketSniffer>(network.clientLink);
                session->SetReportCallback(CollectReport);
                session->Start();
            }
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_capturing = session && session->IsCapturing();
                m_ready = true;
                m_changed.notify_all();
                m_changed.wait(lock, [this] { return m_stop; });
            }
            const auto start = std::chrono::steady_clock::now();
            session.reset();
            m_stopDuration = std::chrono::steady_clock::now() - start;
        });
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_ready; });
    }
    ~ClientSideSession() { Stop(); }

    // Destroys the session and gives how long that took.
    std::chrono::steady_clock::duration Stop() {
        if (m_thread.joinable()) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_stop = true;
                m_changed.notify_all();
            }
            m_thread.join();
        }
        return m_stopDuration;
    }
    bool Capturing() const { return m_capturing; }
    const std::vector<std::string>& Adapters() const { return m_adapters; }

private:
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_ready = false;
    bool m_stop = false;
    bool m_capturing = false;
    std::vector<std::string> m_adapters;
    std::chrono::steady_clock::duration m_stopDuration{};
};

// The capture helper, started from a thread inside the client namespace so that it captures
// there; its records reach CollectReport through the record stream.
class ClientSideHelper {
public:
    explicit ClientSideHelper(const VethPair& network) {
        std::thread([this, &network] {
            if (!network.EnterClientNamespace())
                return;
            CaptureHelperClient::Options options;
            options.helperPath = PELNIX_CAPTURE_HELPER;
            options.reportCallback = CollectReport;
            m_client = std::make_unique<CaptureHelperClient>(std::move(options));
            m_listed = m_client->Start() == CaptureHelperClient::StartResult::Listed;
        }).join();
    }
    bool Listed() const { return m_listed; }
    CaptureHelperClient& Client() { return *m_client; }
    void Stop() {
        if (m_client)
            m_client->Stop();
    }

private:
    std::unique_ptr<CaptureHelperClient> m_client;
    bool m_listed = false;
};

// The capability lines of a process's status ("CapInh", "CapPrm", "CapEff", "CapAmb") and
// its NoNewPrivs line, "name: value" each.
std::vector<std::string> PrivilegeLines(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(status, line)) {
        for (const char* name : {"CapInh:", "CapPrm:", "CapEff:", "CapAmb:", "NoNewPrivs:"}) {
            if (line.rfind(name, 0) == 0) {
                std::string value = line.substr(std::strlen(name));
                value.erase(0, value.find_first_not_of(" \t"));
                lines.push_back(std::string(name) + " " + value);
            }
        }
    }
    return lines;
}

// The one child process of `pid` (from the kernel's list of each of its threads' children),
// or -1.
pid_t ChildOf(pid_t pid) {
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream children(task.path() / "children");
        pid_t child = -1;
        if (children >> child)
            return child;
    }
    return -1;
}

}  // namespace

TEST(LiveCapture, MediaFetchedByNameAndAddressAreReportedAndThePageIsNot) {
    if (const std::string missing = MissingForLiveTests(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    VethPair network("m");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";

    TempFolder folder;
    const fs::path site = folder.path / "site";
    fs::create_directory(site);
    WriteMedium(site / "clip.flv", std::string("FLV\x01\x05\0\0\0\x09", 9), 150000);
    WriteMedium(site / "movie.mp4",
                std::string("\0\0\0\x18"
                            "ftypisom",
                            12),
                210000);
    WriteMedium(site / "song.mp3", "ID3\x03", 120000);
    std::ofstream(site / "index.html") << "<html><body>small page</body></html>\n";
    chmod(folder.path.c_str(), 0755);

    const std::string port = "8080";
    const pid_t server =
        StartProgram(network.InServer({"python3", PELNIX_TEST_SOURCE_DIR "/media_server.py",
                                       site.string(), VethPair::kServerAddress, port}));
    ASSERT_GT(server, 0);
    ProcessGuard serverGuard{server, SIGTERM};

    // Optional observers of the same traffic: `pelnix --watch` in the client namespace, and
    // tcpdump recording it for `pelnix --read`.
    const fs::path watchOutput = folder.path / "watch.txt";
    const fs::path watchErrors = folder.path / "watch-errors.txt";
    const fs::path recording = folder.path / "live.pcap";
    const fs::path recorderErrors = folder.path / "tcpdump-errors.txt";
    ProcessGuard watcher{-1, SIGINT};
    if (fs::exists(PELNIX_PROGRAM)) {
        watcher.pid =
            StartProgram(network.InClient({PELNIX_PROGRAM, "--watch"}), watchOutput, watchErrors);
    }
    ProcessGuard recorder{-1, SIGINT};
    if (HaveProgram("tcpdump")) {
        recorder.pid =
            StartProgram(network.InClient({"tcpdump", "-i", network.clientLink, "-U", "-s", "400",
                                           "-w", recording.string(), "tcp"}),
                         "", recorderErrors);
    }

    {
        std::lock_guard<std::mutex> lock(s_reportMutex);
        s_reports.clear();
    }
    ClientSideSession session(network);
    ASSERT_TRUE(session.Capturing());
    EXPECT_EQ(session.Adapters(), std::vector<std::string>{network.clientLink});

    const std::string host = "media.pelnix.test";
    const std::string resolve = host + ":" + port + ":" + VethPair::kServerAddress;
    const std::string byName = "http://" + host + ":" + port + "/";
    const std::string byAddress =
        std::string("http://") + VethPair::kServerAddress + ":" + port + "/";
    // Wait until the server answers (the page requests are captured too, and must not count).
    bool serverUp = false;
    for (int i = 0; i < 50 && !serverUp; ++i) {
        serverUp = RunProgram(network.InClient({"curl", "-sf", "-o", "/dev/null", "--resolve",
                                                resolve, byName + "index.html"})) == 0;
        if (!serverUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(serverUp) << "the HTTP server in the namespace did not answer";
    // The other observers say when they capture; the media must not flow before that.
    const auto observing = [](const fs::path& errors, const char* line) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ReadAll(errors).find(line) == std::string::npos) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    };
    if (watcher.pid > 0) {
        ASSERT_TRUE(observing(watchErrors, "pelnix: watching")) << ReadAll(watchErrors);
    }
    if (recorder.pid > 0) {
        ASSERT_TRUE(observing(recorderErrors, "listening on")) << ReadAll(recorderErrors);
    }

    const auto fetch = [&](std::vector<std::string> extra, const std::string& url) {
        std::vector<std::string> args{"curl", "-sf", "-o", "/dev/null", "--resolve", resolve};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(url);
        return RunProgram(network.InClient(args));
    };
    EXPECT_EQ(fetch({}, byName + "clip.flv"), 0);
    EXPECT_EQ(fetch({}, byName + "movie.mp4"), 0);
    // By address and without a Host line: the URL is formed from the server's address.
    EXPECT_EQ(fetch({"-H", "Host:"}, byAddress + "song.mp3"), 0);
    EXPECT_EQ(fetch({}, byName + "index.html"), 0);

    // Reports arrive when the capture buffer hands its packets over (about a second).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Reports().size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // any late extra report
    session.Stop();

    MediaCatalogue catalogue;
    for (const Report& report : Reports()) {
        EXPECT_EQ(report.url.find("index.html"), std::string::npos) << report.url;
        catalogue.AddSniffedMedia("http://" + report.url, report.headers, report.length,
                                  report.type, 0);
    }
    struct Expected {
        std::string url;
        std::uint64_t size;
        std::string type;
    };
    const Expected expected[] = {
        {"http://media.pelnix.test:8080/clip.flv", 150000, "flv"},
        {"http://media.pelnix.test:8080/movie.mp4", 210000, "mp4"},
        {std::string("http://") + VethPair::kServerAddress + "/song.mp3", 120000, "MP3"},
    };
    const auto records = catalogue.Records();
    std::string seen;
    for (const Report& report : Reports()) {
        seen += report.url + " | " + report.length + " | " + report.type + "\n";
    }
    ASSERT_EQ(records.size(), 3u) << seen;
    for (const Expected& e : expected) {
        const auto it = std::find_if(records.begin(), records.end(),
                                     [&](const SniffedMedia& r) { return r.url == e.url; });
        ASSERT_NE(it, records.end()) << e.url;
        EXPECT_EQ(it->size, e.size) << e.url;
        EXPECT_EQ(it->type, e.type) << e.url;
        EXPECT_NE(it->requestHeaders.find("GET /"), std::string::npos) << e.url;
    }
    std::vector<std::string> rows;
    for (const Expected& e : expected) {
        rows.push_back(e.type + "\t" + std::to_string(e.size) + "\t" + e.url);
    }
    std::sort(rows.begin(), rows.end());

    if (watcher.pid > 0) {
        EXPECT_EQ(TypeSizeUrl(ReadAll(watchOutput)), rows) << ReadAll(watchOutput);
        // Its capture helper killed, the watch ends at once, says why and fails.
        const pid_t helper = ChildOf(watcher.pid);
        ASSERT_GT(helper, 0) << "no capture helper under pelnix --watch";
        ASSERT_EQ(kill(helper, SIGKILL), 0);
        EXPECT_EQ(StopProgram(std::exchange(watcher.pid, -1), 0), 1);
        const std::string errors = ReadAll(watchErrors);
        const auto reason = errors.find("pelnix: the capture ended: the capture helper ended");
        ASSERT_NE(reason, std::string::npos) << errors;
        EXPECT_NE(errors.find("(killed by signal 9)\n", reason), std::string::npos) << errors;
    }
    if (recorder.pid > 0) {
        recorder.Stop();
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(RunReadCommand(recording.string(), std::nullopt, out, stderr), 0);
        std::rewind(out);
        std::string text;
        char buffer[4096];
        while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, out))
            text.append(buffer, n);
        std::fclose(out);
        EXPECT_EQ(TypeSizeUrl(text), rows) << text;
        // Keeps the recording for the checked-in sample when asked to.
        if (const char* keep = std::getenv("PELNIX_KEEP_CAPTURE")) {
            fs::copy_file(recording, keep, fs::copy_options::overwrite_existing);
        }
    }
}

TEST(LiveCapture, SessionOnASilentAdapterStopsWithinAboutASecond) {
    if (const std::string missing = MissingForLiveTests(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    VethPair network("q");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";
    ClientSideSession session(network);
    ASSERT_TRUE(session.Capturing());
    // Let the capture thread settle into its blocking read.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto took = session.Stop();
    EXPECT_LT(took, std::chrono::milliseconds(1100))
        << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

TEST(CaptureSession, AdapterThatCannotBeOpenedStartsNoThread) {
    const auto start = std::chrono::steady_clock::now();
    {
        PacketSniffer session("pelnix-no-such-adapter");
        EXPECT_FALSE(session.IsOpen());
        EXPECT_FALSE(session.Start());
        EXPECT_FALSE(session.IsCapturing());
        EXPECT_TRUE(session.IsFinished());
        EXPECT_FALSE(session.ErrorText().empty());
        session.IgnoreUrl("h/a", 2);
        EXPECT_EQ(session.IgnoreListSize(), 2u);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

// Open file descriptors of this process.
std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

TEST(CaptureSession, ThreadThatCannotStartIsAFailedOpenThatReleasesTheAdapter) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: opens the loopback adapter for capture";
    {
        // The adapter itself opens: the session captures with the usual start.
        PacketSniffer session("lo");
        ASSERT_TRUE(session.Start()) << session.ErrorText();
        ASSERT_TRUE(session.IsCapturing());
    }
    PacketSniffer::SetThreadStarter([](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    const std::size_t before = OpenDescriptors();
    {
        std::unique_ptr<PacketSniffer> session;
        EXPECT_NO_THROW(session = std::make_unique<PacketSniffer>("lo"));
        ASSERT_TRUE(session);
        ASSERT_TRUE(session->IsOpen()) << session->ErrorText();
        EXPECT_NO_THROW(EXPECT_FALSE(session->Start()));
        EXPECT_FALSE(session->IsOpen());
        EXPECT_FALSE(session->IsCapturing());
        EXPECT_TRUE(session->IsFinished());
        EXPECT_NE(session->ErrorText().find("could not start"), std::string::npos);
        EXPECT_EQ(OpenDescriptors(), before);  // the capture handle is closed already
    }
    PacketSniffer::SetThreadStarter({});
}

TEST(LiveCapture, SessionWhoseAdapterVanishesEndsItsThreadAndIsDestroyedAtOnce) {
    if (const std::string missing = MissingForLiveTests(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    VethPair network("v");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";
    bool capturing = false;
    bool finished = false;
    std::chrono::steady_clock::duration took{};
    // Everything on one thread inside the client namespace: open, pull the adapter away,
    // watch the capture thread end on its read error, destroy.
    std::thread([&] {
        if (!network.EnterClientNamespace())
            return;
        auto session = std::make_unique<PacketSniffer>(network.clientLink);
        capturing = session->Start();
        if (!capturing)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        RunProgram({"ip", "link", "del", network.clientLink});
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!session->IsFinished() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        finished = session->IsFinished();
        const auto start = std::chrono::steady_clock::now();
        session.reset();
        took = std::chrono::steady_clock::now() - start;
    }).join();
    ASSERT_TRUE(capturing);
    EXPECT_TRUE(finished) << "the capture thread did not end when its adapter went away";
    EXPECT_LT(took, std::chrono::milliseconds(200));
}

namespace {

enum class LinkKind { Ipv4, Ipv6, Vlan };

// Starts nginx in the server namespace on port 8080 with sendfile: each answer's header block
// leaves in a packet of its own and the body follows it. Runs as root, in the foreground, one
// process; everything it writes stays in `folder`.
pid_t StartNginx(const VethPair& network, const fs::path& folder, const fs::path& site, bool ipv6) {
    const std::string f = folder.string();
    std::ofstream(folder / "nginx.conf")
        << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << f << "/nginx.pid;\nerror_log " << f << "/error.log;\n"
        << "events { worker_connections 256; }\n"
        << "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush off;\n"
        << "  types { video/x-flv flv; audio/mpeg mp3; text/plain txt; }\n"
        << "  client_body_temp_path " << f << "/body;\n  proxy_temp_path " << f << "/proxy;\n"
        << "  fastcgi_temp_path " << f << "/fastcgi;\n  uwsgi_temp_path " << f << "/uwsgi;\n"
        << "  scgi_temp_path " << f << "/scgi;\n"
        << "  server {\n    listen " << (ipv6 ? "[::]:8080 ipv6only=on" : "8080") << ";\n"
        << "    root " << site.string() << ";\n  }\n}\n";
    return StartProgram(network.InServer({"nginx", "-p", f, "-c", (folder / "nginx.conf").string(),
                                          "-e", (folder / "error.log").string()}));
}

}  // namespace

// Flash videos and MP3s served by nginx, fetched by curl in parallel; each is listed with its
// own URL and size. Over IPv4, over IPv6, and over a VLAN sub-interface whose tagged frames
// the session captures on the parent adapter. Observed both by the capture helper started from
// here and by `pelnix-sniff --watch` (which starts its own), whose statistics show no drop.
class LiveNginx : public ::testing::TestWithParam<LinkKind> {};

TEST_P(LiveNginx, ParallelFetchesAreListedWithTheirOwnUrlsAndSizes) {
    if (const std::string missing = MissingForLiveTests(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    if (!HaveProgram("nginx"))
        GTEST_SKIP() << "needs the program nginx";
    const LinkKind kind = GetParam();
    VethPair network(kind == LinkKind::Ipv4 ? "n" : kind == LinkKind::Ipv6 ? "s" : "t");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";
    std::string host = VethPair::kServerAddress;
    if (kind == LinkKind::Ipv6) {
        ASSERT_TRUE(network.AddIpv6()) << "could not give the namespaces IPv6 addresses";
        host = std::string("[") + VethPair::kServerAddress6 + "]";
    } else if (kind == LinkKind::Vlan) {
        if (!network.AddVlan())
            GTEST_SKIP() << "could not add VLAN sub-interfaces: the kernel offers none (8021q)";
        host = VethPair::kServerVlanAddress;
    }
    const std::string base = "http://" + host + ":8080/";

    TempFolder folder;
    const fs::path site = folder.path / "site";
    fs::create_directory(site);
    struct Medium {
        std::string name;
        std::string signature;
        std::size_t size;
        std::string type;
    };
    const std::string flv("FLV\x01\x05\0\0\0\x09", 9);
    const Medium media[] = {
        {"a.flv", flv, 130000, "flv"},       {"b.flv", flv, 140000, "flv"},
        {"c.flv", flv, 150000, "flv"},       {"d.flv", flv, 160000, "flv"},
        {"e.mp3", "ID3\x03", 170000, "MP3"}, {"f.mp3", "ID3\x03", 180000, "MP3"},
    };
    for (const Medium& m : media) WriteMedium(site / m.name, m.signature, m.size);
    std::ofstream(site / "ping.txt") << "pong\n";
    chmod(folder.path.c_str(), 0755);

    ProcessGuard server{StartNginx(network, folder.path, site, kind == LinkKind::Ipv6), SIGTERM};
    ASSERT_GT(server.pid, 0);
    ASSERT_TRUE(WaitFor([&] {
        return RunProgram(
                   network.InClient({"curl", "-sf", "-o", "/dev/null", base + "ping.txt"})) == 0;
    })) << "nginx did not answer: "
        << ReadAll(folder.path / "error.log");

    const fs::path watchOutput = folder.path / "watch.txt";
    const fs::path watchErrors = folder.path / "watch-errors.txt";
    ProcessGuard watcher{-1, SIGINT};
    if (fs::exists(PELNIX_SNIFF_PROGRAM)) {
        watcher.pid = StartProgram(network.InClient({PELNIX_SNIFF_PROGRAM, "--watch"}), watchOutput,
                                   watchErrors);
        ASSERT_TRUE(WaitFor([&] {
            return ReadAll(watchErrors).find("pelnix-sniff: watching") != std::string::npos;
        })) << ReadAll(watchErrors);
    }
    {
        std::lock_guard<std::mutex> lock(s_reportMutex);
        s_reports.clear();
    }
    // The capture helper, started as root with every capability, opened its adapter and gave
    // them all up before it listed its sessions.
    ClientSideHelper helper(network);
    ASSERT_TRUE(helper.Listed()) << helper.Client().StartError();
    const auto sessions = helper.Client().Sessions();
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0]->AdapterName(), network.clientLink);
    ASSERT_TRUE(sessions[0]->IsCapturing()) << sessions[0]->ErrorText();
    EXPECT_EQ(PrivilegeLines(helper.Client().HelperProcess()),
              (std::vector<std::string>{"CapInh: 0000000000000000", "CapPrm: 0000000000000000",
                                        "CapEff: 0000000000000000", "CapAmb: 0000000000000000",
                                        "NoNewPrivs: 1"}));

    std::vector<std::string> fetch{"curl", "-sf", "--parallel", "--parallel-max", "8"};
    for (const Medium& m : media) fetch.insert(fetch.end(), {"-o", "/dev/null", base + m.name});
    EXPECT_EQ(RunProgram(network.InClient(fetch)), 0);

    std::vector<std::string> rows;
    for (const Medium& m : media) {
        rows.push_back(m.type + "\t" + std::to_string(m.size) + "\t" + base + m.name);
    }
    std::sort(rows.begin(), rows.end());
    // The catalogue's records of the session's reports, as "type\tsize\tURL".
    const auto listed = [] {
        MediaCatalogue catalogue;
        for (const Report& r : Reports()) {
            catalogue.AddSniffedMedia("http://" + r.url, r.headers, r.length, r.type, 0);
        }
        std::vector<std::string> found;
        for (const SniffedMedia& record : catalogue.Records()) {
            found.push_back(record.type + "\t" + std::to_string(record.size) + "\t" + record.url);
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    WaitFor([&] { return listed().size() >= rows.size(); });
    helper.Stop();
    EXPECT_EQ(listed(), rows);
    EXPECT_EQ(sessions[0]->ErrorText(), "");
    EXPECT_TRUE(sessions[0]->Statistics().known);
    EXPECT_EQ(sessions[0]->Statistics().droppedByKernel, 0u);

    if (watcher.pid > 0) {
        WaitFor([&] { return TypeSizeUrl(ReadAll(watchOutput)).size() >= rows.size(); });
        EXPECT_EQ(watcher.Stop(), 0) << "pelnix-sniff --watch did not end cleanly";
        EXPECT_EQ(TypeSizeUrl(ReadAll(watchOutput)), rows) << ReadAll(watchOutput);
        const std::string errors = ReadAll(watchErrors);
        const std::string statistics = "pelnix-sniff: " + network.clientLink + ": ";
        const auto at = errors.find(statistics);
        ASSERT_NE(at, std::string::npos) << errors;
        const std::string line = errors.substr(at, errors.find('\n', at) - at);
        EXPECT_NE(line.find(" packets received, 0 dropped by the kernel, "), std::string::npos)
            << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Links, LiveNginx,
                         ::testing::Values(LinkKind::Ipv4, LinkKind::Ipv6, LinkKind::Vlan),
                         [](const ::testing::TestParamInfo<LinkKind>& info) {
                             return info.param == LinkKind::Ipv4   ? std::string("Ipv4")
                                    : info.param == LinkKind::Ipv6 ? std::string("Ipv6")
                                                                   : std::string("VlanOnParent");
                         });

// Tagged frames written onto the link reach the session the way a VLAN sub-interface's traffic
// does (the kernel takes the outer tag off into the packet's metadata, the capture library puts
// it back): through the capture filter, decoded past one tag and past two.
TEST(LiveCapture, TaggedFramesOnTheLinkAreCapturedAndDecoded) {
    if (const std::string missing = MissingForLiveTests(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    VethPair network("g");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";
    {
        std::lock_guard<std::mutex> lock(s_reportMutex);
        s_reports.clear();
    }
    ClientSideSession session(network);
    ASSERT_TRUE(session.Capturing());

    const Ipv4Address client{10, 231, 0, 2};
    const Ipv4Address server{10, 231, 0, 1};
    std::vector<std::vector<std::uint8_t>> frames;
    const std::pair<const char*, std::vector<std::uint16_t>> variants[] = {
        {"/one-tag.mp4", {0x8100}}, {"/two-tags.mp4", {0x88A8, 0x8100}}};
    std::uint16_t port = 51000;
    for (const auto& [target, tags] : variants) {
        ++port;
        FrameLayout request = ClientToServer(client, server, port, GetRequest(target, ""));
        FrameLayout answer =
            ServerToClient(server, client, port, ResponseHead("video/mp4", 100000 + port));
        request.vlanTags = answer.vlanTags = tags;
        frames.push_back(BuildFrame(request));
        frames.push_back(BuildFrame(answer));
    }
    bool sent = false;
    std::thread([&] {
        if (!network.EnterServerNamespace())
            return;
        const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(if_nametoindex(network.serverLink.c_str()));
        sent = to.sll_ifindex != 0;
        for (auto& frame : frames) {
            std::fill(frame.begin(), frame.begin() + 6, 0xFF);  // broadcast: every tap takes it
            sent = sent &&
                   sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                          sizeof to) == static_cast<ssize_t>(frame.size());
        }
        close(fd);
    }).join();
    ASSERT_TRUE(sent) << "could not write the frames onto the link";

    WaitFor([] { return Reports().size() >= 2; });
    session.Stop();
    std::vector<std::string> urls;
    for (const Report& report : Reports()) urls.push_back(report.url);
    std::sort(urls.begin(), urls.end());
    EXPECT_EQ(urls,
              (std::vector<std::string>{"10.231.0.1/one-tag.mp4", "10.231.0.1/two-tags.mp4"}));
}

// The helper's side of the command stream, the one its unprivileged parent writes: anything
// but well-formed commands for its own sessions ends it, after it stopped its sessions and sent
// their statistics and its end; a stop ends it cleanly. The real helper, in the client
// namespace, fed raw bytes.
TEST(CaptureHelper, CommandsItCannotTrustEndItInOrder) {
    if (const std::string missing = MissingForLiveTests(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    VethPair network("h");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";
    const auto u32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    std::string ignoreOfNoSession;
    ASSERT_TRUE(EncodeMessage(IgnoreCommand{7, "h/a.flv", 1}, ignoreOfNoSession));
    std::string stop;
    ASSERT_TRUE(EncodeMessage(StopCommand{}, stop));
    std::string ignore;
    ASSERT_TRUE(EncodeMessage(IgnoreCommand{0, "h/a.flv", 1}, ignore));
    struct Case {
        const char* what;
        std::string commands;  // after the stream header
        bool header;
        int exitStatus;
    };
    const Case cases[] = {
        {"an ignore command, then stop", ignore + stop, true, 0},
        {"input closed", "", true, 0},
        {"an unknown command", std::string("\x63", 1) + u32(0), true, 1},
        {"a command announcing 4 GiB", std::string("\x40", 1) + u32(0xFFFFFFFF), true, 1},
        {"an ignore command for a session that does not exist", ignoreOfNoSession, true, 1},
        {"a command cut short", ignore.substr(0, ignore.size() - 1), true, 1},
        {"no stream header", stop, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int status = -1;
        std::vector<std::string> messages;  // the frame types seen, by name
        std::thread([&] {
            if (!network.EnterClientNamespace())
                return;
            int in[2], out[2];
            if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
                return;
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
            char* argv[] = {const_cast<char*>(PELNIX_CAPTURE_HELPER), nullptr};
            pid_t pid = -1;
            const int spawned =
                posix_spawn(&pid, PELNIX_CAPTURE_HELPER, &actions, nullptr, argv, environ);
            posix_spawn_file_actions_destroy(&actions);
            close(in[0]);
            close(out[1]);
            if (spawned != 0)
                return;
            const std::string commands = (c.header ? RecordStreamHeader() : "") + c.commands;
            RecordStreamDecoder records(StreamDirection::FromHelper);
            bool sent = false;
            char buffer[4096];
            for (;;) {
                const ssize_t n = read(out[0], buffer, sizeof buffer);
                if (n <= 0)
                    break;
                records.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
                StreamMessage message;
                while (records.Next(message) == RecordStreamDecoder::Status::Message) {
                    const char* names[] = {"opened", "failed", "listed",     "media", "ignored",
                                           "let go", "notice", "statistics", "end",   "?",
                                           "?",      "copy",   "?"};
                    static_assert(std::size(names) == std::variant_size_v<StreamMessage>);
                    messages.push_back(names[message.index()]);
                    // Once the sessions are listed, the commands go, and the input closes.
                    if (std::holds_alternative<SessionsListed>(message) && !sent) {
                        sent = write(in[1], commands.data(), commands.size()) ==
                               static_cast<ssize_t>(commands.size());
                        close(in[1]);
                    }
                }
            }
            close(out[0]);
            int wstatus = 0;
            waitpid(pid, &wstatus, 0);
            status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        }).join();
        EXPECT_EQ(status, c.exitStatus);
        EXPECT_EQ(messages, (std::vector<std::string>{"opened", "listed", "statistics", "end"}));
    }
}

namespace {

// One TLS server of the test: its port, protocol version, suites and HTTP version.
struct TlsServer {
    int port;
    const char* protocols;   // nginx's ssl_protocols
    const char* ciphers;     // TLS 1.2 suites (ssl_ciphers)
    const char* tls13Suite;  // TLS 1.3 suite (OpenSSL's Ciphersuites), or empty
    bool http2;
};

pid_t StartTlsNginx(const VethPair& network, const fs::path& folder, const fs::path& site,
                    const std::vector<TlsServer>& servers) {
    const std::string f = folder.string();
    std::ofstream conf(folder / "nginx.conf");
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
         << "pid " << f << "/nginx.pid;\nerror_log " << f << "/error.log;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n  access_log off;\n  sendfile on;\n"
         << "  types { video/x-flv flv; video/mp4 mp4; audio/mpeg mp3; image/png png;"
         << " image/jpeg jpg; text/plain txt; application/vnd.apple.mpegurl m3u8;"
         << " video/mp2t ts; video/iso.segment m4s; }\n"
         << "  client_body_temp_path " << f << "/body;\n  proxy_temp_path " << f << "/proxy;\n"
         << "  fastcgi_temp_path " << f << "/fastcgi;\n  uwsgi_temp_path " << f << "/uwsgi;\n"
         << "  scgi_temp_path " << f << "/scgi;\n"
         << "  ssl_certificate " << f << "/server.pem;\n"
         << "  ssl_certificate_key " << f << "/server.key;\n";
    for (const TlsServer& s : servers) {
        conf << "  server {\n    listen " << s.port << " ssl" << (s.http2 ? " http2" : "")
             << ";\n    ssl_protocols " << s.protocols << ";\n    ssl_ciphers " << s.ciphers
             << ";\n";
        if (*s.tls13Suite != '\0')
            conf << "    ssl_conf_command Ciphersuites " << s.tls13Suite << ";\n";
        conf << "    root " << site.string() << ";\n  }\n";
    }
    conf << "}\n";
    conf.close();
    return StartProgram(network.InServer({"nginx", "-p", f, "-c", (folder / "nginx.conf").string(),
                                          "-e", (folder / "error.log").string()}));
}

}  // namespace

// HTTPS through the real helper: nginx serves Flash video, MP4 and MP3 files and small
// pictures over TLS 1.2 and 1.3 with each cipher, HTTP/1.1 and HTTP/2; curl fetches them and
// writes its key log, a file that does not exist yet when the capture starts. One medium of
// each server comes only by byte ranges, as players fetch: in order or out of order over one
// connection, or overlapping over a connection each. `pelnix-sniff --watch --keylog` lists
// every medium of at least 100,000 bytes once with its https URL and whole size, and nothing
// else; with --save each is written whole, byte for byte the served file; packets to port 443
// that only look like QUIC are not told of.
TEST(LiveCapture, HttpsMediaAreListedWithTheKeyLogAndPacketsLikeQuicAreNotTold) {
    if (const std::string missing = MissingForLiveTests(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    for (const char* program : {"nginx", "openssl"}) {
        if (!HaveProgram(program))
            GTEST_SKIP() << "needs the program " << program;
    }
    VethPair network("k");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";
    TempFolder folder;
    ASSERT_TRUE(MakeTestAuthority(folder.path)) << "openssl could not make the test authority";
    const fs::path site = folder.path / "site";
    fs::create_directory(site);
    chmod(folder.path.c_str(), 0755);

    const std::vector<TlsServer> servers = {
        {8443, "TLSv1.2", "ECDHE-ECDSA-AES128-GCM-SHA256", "", false},
        {8444, "TLSv1.3", "HIGH", "TLS_AES_256_GCM_SHA384", true},
        {8445, "TLSv1.2", "ECDHE-ECDSA-CHACHA20-POLY1305", "", true},
        {8446, "TLSv1.3", "HIGH", "TLS_CHACHA20_POLY1305_SHA256", false},
        {8447, "TLSv1.3", "HIGH", "TLS_AES_128_GCM_SHA256", true},
        {8448, "TLSv1.2", "ECDHE-ECDSA-AES256-GCM-SHA384", "", false},
    };
    struct File {
        std::string name;
        std::string signature;
        std::size_t size;
        std::string type;  // listed as; empty: not listed
        // 0: fetched whole; 1: by ranges in order, 2: out of order (both on one connection);
        // 3: by overlapping ranges, out of order, on a connection each.
        int ranges = 0;
    };
    std::vector<std::vector<File>> files;
    std::vector<std::string> expected;
    const std::string flv("FLV\x01\x05\0\0\0\x09", 9);
    const std::string mp4(
        "\0\0\0\x18"
        "ftypisom\0\0\0\0isommp41",
        24);
    for (std::size_t i = 0; i < servers.size(); ++i) {
        const std::string n = std::to_string(i);
        files.push_back({
            {"clip" + n + ".flv", flv, 150000 + 1111 * i, "flv"},
            {"movie" + n + ".mp4", mp4, 210000 + 1111 * i, "mp4"},
            {"song" + n + ".mp3", "ID3\x03", 120000 + 1111 * i, "mp3"},
            {"logo" + n + ".png", "\x89PNG\r\n\x1a\n", 5000 + i, ""},
            {"photo" + n + ".jpg", "\xFF\xD8\xFF\xE0", 40000 + i, ""},
            {"short" + n + ".mp4", mp4, 99000 + i, ""},
        });
        // Each way of ranges over HTTP/1.1 and over HTTP/2, each type by two ways.
        const File ranged[] = {{"part" + n + ".flv", flv, 170000 + 1111 * i, "flv"},
                               {"part" + n + ".mp4", mp4, 170000 + 1111 * i, "mp4"},
                               {"part" + n + ".mp3", "ID3\x03", 170000 + 1111 * i, "mp3"}};
        files.back().push_back(ranged[i % 3]);
        files.back().back().ranges = 1 + static_cast<int>(i / 2);
        for (const File& file : files.back()) {
            WriteMedium(site / file.name, file.signature, file.size);
            if (!file.type.empty())
                expected.push_back(file.type + "\t" + std::to_string(file.size) +
                                   "\thttps://media.pelnix.test:" +
                                   std::to_string(servers[i].port) + "/" + file.name);
        }
    }
    std::sort(expected.begin(), expected.end());
    std::ofstream(site / "ping.txt") << "pong\n";

    ProcessGuard server{StartTlsNginx(network, folder.path, site, servers), SIGTERM};
    ASSERT_GT(server.pid, 0);
    const std::string ca = (folder.path / "ca.pem").string();
    const auto resolve = [](int port) {
        return "media.pelnix.test:" + std::to_string(port) + ":" + VethPair::kServerAddress;
    };
    ASSERT_TRUE(WaitFor([&] {
        return RunProgram(network.InClient({"curl", "-sf", "-o", "/dev/null", "--cacert", ca,
                                            "--resolve", resolve(8443),
                                            "https://media.pelnix.test:8443/ping.txt"})) == 0;
    })) << "nginx did not answer: "
        << ReadAll(folder.path / "error.log");

    const fs::path keys = folder.path / "keys" / "curl.keys";
    fs::create_directory(keys.parent_path());
    ASSERT_FALSE(fs::exists(keys));
    const fs::path watchOutput = folder.path / "watch.txt";
    const fs::path watchErrors = folder.path / "watch-errors.txt";
    // With --save, the helper keeps each medium's bytes as it decrypts them, and the media are
    // written from that copy.
    const fs::path saved = folder.path / "saved";
    ProcessGuard watcher{StartProgram(network.InClient({PELNIX_SNIFF_PROGRAM, "--watch", "--keylog",
                                                        keys.string(), "--save", saved.string()}),
                                      watchOutput, watchErrors),
                         SIGINT};
    ASSERT_TRUE(WaitFor([&] {
        return ReadAll(watchErrors).find("pelnix-sniff: watching") != std::string::npos;
    })) << ReadAll(watchErrors);

    for (std::size_t i = 0; i < servers.size(); ++i) {
        const TlsServer& s = servers[i];
        const std::vector<std::string> options{"--cacert", ca, "--resolve", resolve(s.port),
                                               s.http2 ? "--http2" : "--http1.1"};
        const std::vector<std::string> curl{"env", "SSLKEYLOGFILE=" + keys.string(), "curl", "-sf"};
        std::vector<std::string> fetch = curl;
        fetch.insert(fetch.end(), options.begin(), options.end());
        if (s.http2)
            fetch.insert(fetch.end(), {"--parallel", "--parallel-max", "8"});
        std::vector<std::vector<std::string>> alone;  // fetches on connections of their own
        for (const File& file : files[i]) {
            const std::string url =
                "https://media.pelnix.test:" + std::to_string(s.port) + "/" + file.name;
            if (file.ranges == 0) {
                fetch.insert(fetch.end(), {"-o", "/dev/null", url});
                continue;
            }
            const std::size_t a = file.size / 3;
            const std::size_t b = 2 * file.size / 3;
            const auto span = [](std::size_t first, std::size_t last) {
                return std::to_string(first) + "-" + (last ? std::to_string(last) : "");
            };
            std::vector<std::string> parts{span(0, a - 1), span(a, b - 1), span(b, 0)};
            if (file.ranges == 2)
                std::rotate(parts.begin(), parts.begin() + 2, parts.end());
            if (file.ranges == 3)
                parts = {span(a / 2, b + 999), span(b - 1000, 0), span(0, a - 1)};
            for (const std::string& part : parts) {
                std::vector<std::string> request{"-r", part, "-o", "/dev/null", url};
                if (file.ranges == 3) {
                    alone.push_back(curl);
                    alone.back().insert(alone.back().end(), options.begin(), options.end());
                    alone.back().insert(alone.back().end(), request.begin(), request.end());
                    continue;
                }
                // A group of its own (a range holds for all of a group's URLs), on the
                // connection the whole files came over.
                fetch.push_back("--next");
                fetch.insert(fetch.end(), options.begin(), options.end());
                fetch.insert(fetch.end(), request.begin(), request.end());
            }
        }
        EXPECT_EQ(RunProgram(network.InClient(fetch)), 0) << "port " << s.port;
        for (const auto& one : alone)
            EXPECT_EQ(RunProgram(network.InClient(one)), 0)
                << "port " << s.port << ", range " << one[one.size() - 4];
    }
    EXPECT_TRUE(fs::exists(keys)) << "curl wrote no key log";

    // Two packets to port 443 that look like QUIC Initials (long header, version 1) but open
    // to nothing: with a key log the engine reads QUIC, and nothing here was QUIC to tell of.
    bool quicSent = false;
    std::thread([&] {
        if (!network.EnterClientNamespace())
            return;
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(443);
        inet_pton(AF_INET, VethPair::kServerAddress, &to.sin_addr);
        std::string initial = std::string("\xC3\x00\x00\x00\x01\x08", 6) + "pelnixid" +
                              std::string(1, '\0') + std::string(1200 - 15, '\x11');
        quicSent = fd >= 0;
        for (int i = 0; i < 2 && quicSent; ++i) {
            quicSent = sendto(fd, initial.data(), initial.size(), 0,
                              reinterpret_cast<const sockaddr*>(&to),
                              sizeof to) == static_cast<ssize_t>(initial.size());
        }
        if (fd >= 0)
            close(fd);
    }).join();
    EXPECT_TRUE(quicSent);

    WaitFor([&] { return TypeSizeUrl(ReadAll(watchOutput)).size() >= expected.size(); });
    // A medium is listed from its first bytes, before the helper may have read its last ones
    // from the adapter, and a stop leaves what the adapter still holds unread. Each medium is
    // saved as soon as its copy is whole: the stop waits for that.
    WaitFor([&] {
        std::size_t whole = 0;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(saved, error)) {
            const std::string name = entry.path().filename().string();
            whole += name[0] != '.' && entry.path().extension() != ".partial";
        }
        return whole >= expected.size();
    });
    EXPECT_EQ(watcher.Stop(), 0) << "pelnix-sniff --watch did not end cleanly";
    EXPECT_EQ(TypeSizeUrl(ReadAll(watchOutput)), expected) << ReadAll(watchOutput);
    const std::string errors = ReadAll(watchErrors);
    EXPECT_EQ(errors.find("QUIC"), std::string::npos) << errors;
    EXPECT_NE(errors.find(" packets received, 0 dropped by the kernel, "), std::string::npos)
        << errors;

    // Every medium saved, byte for byte the served file, and the spool gone.
    std::size_t savedCount = 0;
    for (const auto& entry : fs::directory_iterator(saved)) {
        const std::string name = entry.path().filename().string();
        ASSERT_NE(name.find('-'), std::string::npos) << name;
        EXPECT_TRUE(ReadAll(entry.path()) == ReadAll(site / name.substr(name.find('-') + 1)))
            << name;
        ++savedCount;
    }
    EXPECT_EQ(savedCount, expected.size());
    EXPECT_NE(errors.find("pelnix-sniff: saved " + std::to_string(expected.size()) + " of " +
                          std::to_string(expected.size()) + " media"),
              std::string::npos)
        << errors;
}

// Streams as a real player fetches them: ffmpeg plays an HLS stream with TS segments, one with
// fragmented MP4 segments, a DASH stream (its manifest served as text/plain, known by its root
// element) and an MP4 whose index sits at its end (so the player asks for ranges) over HTTPS,
// writing its key log. Each is one entry: the playlists as hls or dash, the MP4 with its whole
// size; no segment, variant or range is listed on its own.
TEST(LiveCapture, StreamsAndRangesPlayedByARealPlayerAreOneEntryEach) {
    if (const std::string missing = MissingForLiveTests(); !missing.empty()) {
        GTEST_SKIP() << missing;
    }
    for (const char* program : {"nginx", "openssl", "ffmpeg"}) {
        if (!HaveProgram(program))
            GTEST_SKIP() << "needs the program " << program;
    }
    VethPair network("r");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";
    TempFolder folder;
    ASSERT_TRUE(MakeTestAuthority(folder.path)) << "openssl could not make the test authority";
    const fs::path site = folder.path / "site";
    for (const char* sub : {"", "ts", "fm", "dash"}) fs::create_directories(site / sub);
    chmod(folder.path.c_str(), 0755);

    const std::string source =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=10:duration=4 "
        "-f lavfi -i sine=duration=4 -c:v libx264 -preset ultrafast -g 10 -b:v 500k -c:a aac ";
    const std::string s = "'" + site.string() + "/";
    ASSERT_EQ(
        RunProgram({"sh", "-c",
                    source + "-f hls -hls_time 1 -hls_playlist_type vod " + s +
                        "ts/index.m3u8' && " + source +
                        "-f hls -hls_segment_type fmp4 -hls_time 1 " + "-hls_playlist_type vod " +
                        s + "fm/index.m3u8' && " + source + "-f dash -seg_duration 1 " + s +
                        "dash/manifest.mpd' && " + source + s + "movie.mp4'"}),
        0);
    const std::uintmax_t movieSize = fs::file_size(site / "movie.mp4");
    ASSERT_GE(movieSize, 100000u);

    ProcessGuard server{
        StartTlsNginx(network, folder.path, site, {{8443, "TLSv1.3", "HIGH", "", true}}), SIGTERM};
    ASSERT_GT(server.pid, 0);
    const std::string origin = std::string("https://") + VethPair::kServerAddress + ":8443/";
    ASSERT_TRUE(WaitFor([&] {
        return RunProgram(network.InClient(
                   {"curl", "-skf", "-o", "/dev/null", origin + "movie.mp4"})) == 0;
    })) << "nginx did not answer: "
        << ReadAll(folder.path / "error.log");

    const fs::path keys = folder.path / "player.keys";
    const fs::path watchOutput = folder.path / "watch.txt";
    const fs::path watchErrors = folder.path / "watch-errors.txt";
    const fs::path saved = folder.path / "saved";
    ProcessGuard watcher{StartProgram(network.InClient({PELNIX_SNIFF_PROGRAM, "--watch", "--keylog",
                                                        keys.string(), "--save", saved.string()}),
                                      watchOutput, watchErrors),
                         SIGINT};
    ASSERT_TRUE(WaitFor([&] {
        return ReadAll(watchErrors).find("pelnix-sniff: watching") != std::string::npos;
    })) << ReadAll(watchErrors);

    const std::vector<std::string> played = {"ts/index.m3u8", "fm/index.m3u8", "dash/manifest.mpd",
                                             "movie.mp4"};
    for (const std::string& path : played) {
        EXPECT_EQ(RunProgram(network.InClient({"env", "SSLKEYLOGFILE=" + keys.string(), "ffmpeg",
                                               "-nostdin", "-loglevel", "error", "-i",
                                               origin + path, "-f", "null", "-"})),
                  0)
            << path;
    }
    const std::vector<std::string> expected = {
        "dash\t" + origin + "dash/manifest.mpd", "hls\t" + origin + "fm/index.m3u8",
        "hls\t" + origin + "ts/index.m3u8",
        "mp4\t" + std::to_string(movieSize) + "\t" + origin + "movie.mp4"};
    const auto listed = [&] {
        // An entry that changes is printed again under its number: its last line counts.
        std::map<std::string, std::string> last;
        std::istringstream lines(ReadAll(watchOutput));
        for (std::string line; std::getline(lines, line);)
            last[line.substr(0, line.find('\t'))] = line;
        std::string latest;
        for (const auto& [number, line] : last) latest += line + "\n";
        std::vector<std::string> rows;
        for (std::string row : TypeSizeUrl(latest)) {
            // A stream's size is what the player fetched of it so far: not compared.
            if (row.rfind("hls\t", 0) == 0 || row.rfind("dash\t", 0) == 0)
                row.erase(row.find('\t'), row.find('\t', row.find('\t') + 1) - row.find('\t'));
            rows.push_back(row);
        }
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    WaitFor([&] { return listed().size() >= expected.size(); });
    // A medium is saved once its copy is whole: the movie and the two HLS streams before the
    // stop, which would drop what the capture has not read yet (a DASH stream by templates is
    // saved at the end, as its copy cannot be told whole).
    WaitFor([&] {
        std::size_t whole = 0;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(saved, error)) {
            const std::string name = entry.path().filename().string();
            whole += name.ends_with(".mp4") && name.find("movie") != std::string::npos ? 1 : 0;
            whole += name.ends_with("-index.mp4") ? 1 : 0;
        }
        return whole >= 3;
    });
    // The media are written from what the capture holds: the server is gone by then.
    server.Stop();
    EXPECT_EQ(watcher.Stop(), 0) << "pelnix-sniff --watch did not end cleanly";
    EXPECT_EQ(listed(), expected) << ReadAll(watchOutput);

    // The movie the player read by ranges is the served file; each stream is one MP4 that plays
    // as long as its source.
    std::size_t movies = 0;
    std::size_t streams = 0;
    const std::string movie = ReadAll(site / "movie.mp4");
    for (const auto& entry : fs::directory_iterator(saved)) {
        const std::string name = entry.path().filename().string();
        ASSERT_TRUE(entry.is_regular_file()) << name << " is not one file\n"
                                             << ReadAll(watchErrors);
        if (name.find("movie") != std::string::npos) {
            EXPECT_TRUE(ReadAll(entry.path()) == movie) << name;
            ++movies;
            continue;
        }
        ++streams;
        const fs::path said = folder.path / (name + ".duration");
        ASSERT_EQ(RunProgram({"sh", "-c",
                              "ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                                  entry.path().string() + "' > '" + said.string() + "'"}),
                  0)
            << name;
        EXPECT_NEAR(std::stod("0" + ReadAll(said)), 4.0, 0.5) << name;
    }
    EXPECT_EQ(movies, 1u);
    EXPECT_EQ(streams, 3u) << ReadAll(watchErrors);
}
