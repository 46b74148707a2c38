// HTTP/3 between real endpoints from Debian in network namespaces: ngtcp2's gtlsclient fetches
// several files over one connection per cipher suite from its gtlsserver, which sends a Retry
// first; each client forces a key update, one moves to a new port, and both sides write the key
// log through GnuTLS (SSLKEYLOGFILE). A last connection logs no keys. tcpdump records the
// client's side while `pelnix-sniff --watch --keylog` captures through the capture helper; both
// list exactly the media, and the connection without keys is told once. The recording read in
// process shows every packet opened: Retry, key updates and the move followed, nothing given up.
// Then Chromium, headless, fetches a video over QUIC (forced for the origin) from the same kind
// of server and writes its key log: the video is listed. Needs root; the Chromium test needs
// chromium, and skips without it.
#include <gtest/gtest.h>

#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "catalogue/MediaCatalogue.h"
#include "streams/QuicSighting.h"
#include "streams/StreamEngine.h"
#include "support/LiveNetwork.h"
#include "support/LiveRun.h"
#include "support/TestAuthority.h"

namespace fs = std::filesystem;

namespace {

std::string Missing() {
    if (geteuid() != 0)
        return "needs root: creates network namespaces and captures packets";
    for (const char* program : {"ip", "ss", "openssl", "tcpdump", "gtlsclient", "gtlsserver"}) {
        if (!HaveProgram(program))
            return std::string("needs the program ") + program +
                   " (gtlsclient and gtlsserver: the packages ngtcp2-client, ngtcp2-server)";
    }
    return {};
}

// A file of `size` bytes that starts with `signature` (the media rules know it by its bytes).
void WriteFile(const fs::path& path, const std::string& signature, std::size_t size) {
    std::string bytes = signature;
    bytes.reserve(size);
    for (std::uint32_t x = 12345; bytes.size() < size;) {
        x = x * 1103515245u + 12345u;
        bytes.push_back(static_cast<char>(x >> 24));
    }
    std::ofstream(path, std::ios::binary) << bytes;
}

// "type\tsize\tURL" of every record the catalogue takes from the engine's reports, sorted.
std::vector<std::string> Listed(const std::vector<MediaReport>& reports) {
    MediaCatalogue catalogue;
    std::vector<std::string> rows;
    for (const MediaReport& report : reports) {
        const CatalogueChange change = catalogue.Apply(report, 0);
        if (change.kind == CatalogueChange::Kind::Added)
            rows.push_back(change.record.type + "\t" + std::to_string(change.record.size) + "\t" +
                           change.record.url);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

struct Client {
    std::string cipher;     // GnuTLS's name, as the client prints it too
    std::string extra;      // one more option
    bool logsKeys = true;
};

}  // namespace

TEST(QuicLive, RealEndpointsOfEachCipherListExactlyTheirMediaThroughRetryKeyUpdateAndMove) {
    if (const std::string missing = Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    VethPair network("h");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";
    TempFolder folder;
    ASSERT_TRUE(MakeTestAuthority(folder.path)) << "openssl could not make the test authority";
    chmod(folder.path.c_str(), 0755);
    const fs::path site = folder.path / "site";
    fs::create_directory(site);

    const std::vector<Client> clients = {
        {"AES-128-GCM", "", true},
        {"AES-256-GCM", "--change-local-addr=1ms", true},
        {"CHACHA20-POLY1305", "", true},
        {"AES-128-GCM", "", false},
    };
    const std::string mp4("\0\0\0\x18" "ftypisom\0\0\0\0isommp41", 24);
    std::vector<std::vector<std::string>> urls(clients.size());
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const std::string n = std::to_string(i);
        struct File {
            std::string name, signature;
            std::size_t size;
            std::string type;  // listed as; empty: not listed
        };
        const File files[] = {
            {"movie" + n + ".mp4", mp4, 700000 + 1111 * i, "mp4"},
            {"song" + n + ".mp3", "ID3\x03", 150000 + 1111 * i, "mp3"},
            {"logo" + n + ".png", "\x89PNG\r\n\x1a\n", 5000 + i, ""},
            {"short" + n + ".mp4", mp4, 99000 + i, ""},
        };
        for (const File& file : files) {
            WriteFile(site / file.name, file.signature, file.size);
            const std::string url = "https://media.pelnix.test/" + file.name;
            urls[i].push_back(url);
            if (!file.type.empty() && clients[i].logsKeys)
                expected.push_back(file.type + "\t" + std::to_string(file.size) + "\t" + url);
        }
    }
    std::sort(expected.begin(), expected.end());

    // The server sends every client a Retry first (-V).
    ProcessGuard server{
        StartProgram(network.InServer({"gtlsserver", "-q", "-V", "-d", site.string(),
                                       VethPair::kServerAddress, "443",
                                       (folder.path / "server.key").string(),
                                       (folder.path / "server.pem").string()}),
                     "", (folder.path / "server.txt").string()),
        SIGTERM};
    ASSERT_GT(server.pid, 0);
    ASSERT_TRUE(WaitFor([&] {
        return RunProgram(network.InServer(
                   {"sh", "-c", "ss -Hlun 'sport = :443' | grep -q ."})) == 0;
    })) << "gtlsserver did not listen: " << ReadAll(folder.path / "server.txt");

    const fs::path recording = folder.path / "quic.pcap";
    const fs::path recorderErrors = folder.path / "tcpdump.txt";
    ProcessGuard recorder{StartProgram(network.InClient({"tcpdump", "-i", network.clientLink, "-U",
                                                         "-w", recording.string(), "udp"}),
                                       "", recorderErrors.string()),
                          SIGINT};
    const fs::path keys = folder.path / "keys.log";
    const fs::path watchOutput = folder.path / "watch.txt";
    const fs::path watchErrors = folder.path / "watch-errors.txt";
    ProcessGuard watcher{StartProgram(network.InClient({PELNIX_SNIFF_PROGRAM, "--watch",
                                                        "--keylog", keys.string()}),
                                      watchOutput, watchErrors),
                         SIGINT};
    ASSERT_TRUE(WaitFor([&] {
        return ReadAll(recorderErrors).find("listening on") != std::string::npos &&
               ReadAll(watchErrors).find("pelnix-sniff: watching") != std::string::npos;
    })) << ReadAll(recorderErrors) << ReadAll(watchErrors);

    for (std::size_t i = 0; i < clients.size(); ++i) {
        const Client& client = clients[i];
        std::vector<std::string> fetch{"env"};
        if (client.logsKeys)
            fetch.push_back("SSLKEYLOGFILE=" + keys.string());
        fetch.insert(fetch.end(),
                     {"gtlsclient", "--exit-on-all-streams-close", "--key-update=1ms",
                      "--ciphers=NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+" + client.cipher,
                      "--no-quic-dump", "--no-http-dump", "--timeout=5s"});
        if (!client.extra.empty())
            fetch.push_back(client.extra);
        fetch.insert(fetch.end(), {VethPair::kServerAddress, "443"});
        fetch.insert(fetch.end(), urls[i].begin(), urls[i].end());
        const fs::path output = folder.path / ("client" + std::to_string(i) + ".txt");
        const pid_t pid = StartProgram(network.InClient(fetch), output.string(), output.string());
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(output);
        const std::string said = ReadAll(output);
        EXPECT_NE(said.find("Negotiated cipher suite is " + client.cipher), std::string::npos)
            << said;
        EXPECT_NE(said.find("Initiate key update"), std::string::npos) << said;
    }
    ASSERT_TRUE(fs::exists(keys)) << "GnuTLS wrote no key log";

    WaitFor([&] { return TypeSizeUrl(ReadAll(watchOutput)).size() >= expected.size(); });
    EXPECT_EQ(watcher.Stop(), 0) << "pelnix-sniff --watch did not end cleanly";
    recorder.Stop();
    EXPECT_EQ(TypeSizeUrl(ReadAll(watchOutput)), expected) << ReadAll(watchOutput);
    // The connection without keys, told once when the capture ended.
    const std::string errors = ReadAll(watchErrors);
    const std::string notice = std::string("pelnix-sniff: ") + kQuicKeysNotice;
    ASSERT_NE(errors.find(notice), std::string::npos) << errors;
    EXPECT_EQ(errors.find(notice, errors.find(notice) + 1), std::string::npos) << errors;
    EXPECT_NE(errors.find(" 0 dropped by the kernel, "), std::string::npos) << errors;

    // The recording, read in process.
    MemoryBudget budget;
    KeyLog keyLog(keys.string());
    while (keyLog.Poll()) {
    }
    std::vector<MediaReport> reports;
    std::vector<std::string> notices;
    {
        StreamEngine::Setup setup;
        setup.budget = &budget;
        setup.keyLog = &keyLog;
        setup.notice = [&](std::string_view text) { notices.emplace_back(text); };
        StreamEngine engine(setup, [&](MediaReport report) { reports.push_back(report); });
        char error[PCAP_ERRBUF_SIZE] = {};
        pcap_t* capture = pcap_open_offline(recording.c_str(), error);
        ASSERT_NE(capture, nullptr) << error;
        pcap_pkthdr* header = nullptr;
        const std::uint8_t* frame = nullptr;
        DatagramView datagram;
        while (pcap_next_ex(capture, &header, &frame) == 1) {
            if (DecodeUdpFrame(header->caplen, frame, datagram))
                engine.HandleDatagram(datagram, header->ts.tv_sec);
        }
        pcap_close(capture);
        engine.Finish();
        const QuicReader::Statistics& stats = engine.Quic()->Stats();
        EXPECT_EQ(stats.connections, clients.size());
        EXPECT_EQ(stats.retries, clients.size());
        EXPECT_EQ(engine.Stats().http3, clients.size() - 1);
        EXPECT_EQ(stats.notAuthentic, 0u);
        EXPECT_EQ(stats.streamsGivenUp, 0u);
        EXPECT_GE(stats.keyUpdates, clients.size() - 1);
        EXPECT_GE(stats.migrations, 1u);
        EXPECT_EQ(stats.unopened, 1u);
    }
    EXPECT_EQ(Listed(reports), expected);
    EXPECT_EQ(notices, std::vector<std::string>{kQuicKeysNotice});
    EXPECT_EQ(budget.Used(), 0u);
}

// Chromium as a user runs it with HTTP/3: QUIC forced for the origin (no TCP server listens at
// all), the test authority's key trusted by its hash, the name resolved to the namespace's
// address, the key log through SSLKEYLOGFILE. It opens the video (a document with a playing
// <video>); `pelnix-sniff --watch --keylog` lists it.
TEST(QuicLive, ChromiumFetchesAVideoOverQuicAndItIsListed) {
    if (const std::string missing = Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    if (!HaveProgram("chromium"))
        GTEST_SKIP() << "needs the program chromium (the package chromium, not installed)";
    VethPair network("c");
    ASSERT_TRUE(network.Ok()) << "could not create the namespaces";
    TempFolder folder;
    ASSERT_TRUE(MakeTestAuthority(folder.path)) << "openssl could not make the test authority";
    chmod(folder.path.c_str(), 0755);
    const fs::path site = folder.path / "site";
    fs::create_directory(site);
    const std::string mp4("\0\0\0\x18" "ftypisom\0\0\0\0isommp41", 24);
    WriteFile(site / "movie.mp4", mp4, 1200000);
    // The SHA-256 of the server key's SubjectPublicKeyInfo, in base64.
    const fs::path hash = folder.path / "spki.txt";
    ASSERT_EQ(RunProgram({"sh", "-c",
                          "openssl x509 -in \"$0\" -pubkey -noout | openssl pkey -pubin -outform der"
                          " | openssl dgst -sha256 -binary | base64 > \"$1\"",
                          (folder.path / "server.pem").string(), hash.string()}),
              0);
    std::string spki = ReadAll(hash);
    spki.erase(spki.find_last_not_of("\n") + 1);

    ProcessGuard server{
        StartProgram(network.InServer({"gtlsserver", "-q", "-d", site.string(),
                                       VethPair::kServerAddress, "443",
                                       (folder.path / "server.key").string(),
                                       (folder.path / "server.pem").string()}),
                     "", (folder.path / "server.txt").string()),
        SIGTERM};
    ASSERT_TRUE(WaitFor([&] {
        return RunProgram(network.InServer(
                   {"sh", "-c", "ss -Hlun 'sport = :443' | grep -q ."})) == 0;
    })) << ReadAll(folder.path / "server.txt");
    const fs::path keys = folder.path / "keys.log";
    const fs::path watchOutput = folder.path / "watch.txt";
    const fs::path watchErrors = folder.path / "watch-errors.txt";
    ProcessGuard watcher{StartProgram(network.InClient({PELNIX_SNIFF_PROGRAM, "--watch",
                                                        "--keylog", keys.string()}),
                                      watchOutput, watchErrors),
                         SIGINT};
    ASSERT_TRUE(WaitFor([&] {
        return ReadAll(watchErrors).find("pelnix-sniff: watching") != std::string::npos;
    })) << ReadAll(watchErrors);

    const fs::path profile = folder.path / "profile";
    const fs::path said = folder.path / "chromium.txt";
    const pid_t browser = StartProgram(
        network.InClient({"env", "SSLKEYLOGFILE=" + keys.string(), "timeout", "60", "chromium",
                          "--headless=new", "--no-sandbox", "--disable-gpu",
                          "--user-data-dir=" + profile.string(), "--enable-quic",
                          "--origin-to-force-quic-on=media.pelnix.test:443",
                          "--ignore-certificate-errors-spki-list=" + spki,
                          std::string("--host-resolver-rules=MAP media.pelnix.test ") +
                              VethPair::kServerAddress,
                          "--virtual-time-budget=5000", "--dump-dom",
                          "https://media.pelnix.test/movie.mp4"}),
        said.string(), said.string());
    int status = -1;
    ASSERT_EQ(waitpid(browser, &status, 0), browser);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(said);

    const std::vector<std::string> expected = {"mp4\t1200000\thttps://media.pelnix.test/movie.mp4"};
    WaitFor([&] { return !TypeSizeUrl(ReadAll(watchOutput)).empty(); });
    EXPECT_EQ(watcher.Stop(), 0);
    EXPECT_EQ(TypeSizeUrl(ReadAll(watchOutput)), expected)
        << ReadAll(watchOutput) << ReadAll(watchErrors) << ReadAll(said);
    EXPECT_EQ(ReadAll(watchErrors).find("QUIC"), std::string::npos) << ReadAll(watchErrors);
}
