// The stream fetcher against the scripted test server: every kind of piece a stream is made of,
// pieces that fail, and live playlists. The segments are plain bytes (no converter runs here);
// the window's tests join real streams.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "http/LocalHttpServer.h"
#include "http/StreamFetcher.h"

namespace fs = std::filesystem;

namespace {

const std::string kKey = "0123456789abcdef";

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// AES-128-CBC with PKCS#7 padding, as HLS servers encrypt.
std::string Encrypt(const std::string& plain, const std::array<unsigned char, 16>& iv) {
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    std::string out(plain.size() + 16, '\0');
    int first = 0, last = 0;
    EVP_EncryptInit_ex(context, EVP_aes_128_cbc(), nullptr,
                       reinterpret_cast<const unsigned char*>(kKey.data()), iv.data());
    EVP_EncryptUpdate(context, reinterpret_cast<unsigned char*>(out.data()), &first,
                      reinterpret_cast<const unsigned char*>(plain.data()),
                      static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(context, reinterpret_cast<unsigned char*>(out.data()) + first, &last);
    EVP_CIPHER_CTX_free(context);
    out.resize(static_cast<std::size_t>(first + last));
    return out;
}

// A segment's bytes: a transport stream's sync byte, then something of its own.
std::string Segment(const std::string& name) {
    return "\x47" + name + std::string(3000, static_cast<char>(name.size()));
}

class StreamFetcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearProxyEnvironment();
        m_dir = fs::temp_directory_path() /
                ("pelnix-fetch-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "site");
        fs::create_directories(m_dir / "work");
        m_server = std::make_unique<LocalHttpServer>(
            PELNIX_HTTP_TEST_SERVER,
            std::vector<std::string>{"--root", (m_dir / "site").string(), "--log", Log().string()});
        ASSERT_TRUE(m_server->Running());
    }
    void TearDown() override {
        m_server.reset();
        fs::remove_all(m_dir);
    }

    fs::path Log() const { return m_dir / "requests.log"; }
    std::string Url(const std::string& name) const { return m_server->Url("/root/" + name); }
    StreamFetchSettings Settings(const std::string& name) const {
        StreamFetchSettings settings;
        settings.url = Url(name);
        settings.userAgent = "PelnixTest/1";
        settings.workParent = (m_dir / "work").string();
        settings.retryPause = std::chrono::milliseconds(10);
        return settings;
    }
    // How often the log names `path` after its first `from` bytes.
    int Requests(const std::string& path, std::size_t from = 0) const {
        const std::string log = Slurp(Log()).substr(from);
        int count = 0;
        for (std::size_t at = 0; (at = log.find(path + "|", at)) != std::string::npos; ++at)
            ++count;
        return count;
    }

    fs::path m_dir;
    std::unique_ptr<LocalHttpServer> m_server;
};

}  // namespace

// A multivariant playlist whose best variant has its sound apart: the variant's initialisation
// section, byte ranges of one file, AES-128 segments (the IV given, and the sequence number as
// IV), a segment already at hand, and the sound's segments all arrive into files of the work
// folder that a local playlist orders; nothing of the key is written, and the piece at hand is
// never asked for.
TEST_F(StreamFetcherTest, EveryKindOfPieceArrivesInOrder) {
    const fs::path site = m_dir / "site";
    const std::string init = std::string(
                                 "\0\0\0\x10"
                                 "ftypisom",
                                 12) +
                             std::string(500, 'i');
    const std::string all = Segment("r0") + Segment("r1");
    const std::string plain2 = Segment("e2"), plain3 = Segment("e3"), local = Segment("local4");
    std::array<unsigned char, 16> sequenceIv{};
    sequenceIv[15] = 12;  // the media sequence begins at 10: the third segment is 12
    std::array<unsigned char, 16> givenIv{};
    givenIv[14] = 0xAB;
    givenIv[15] = 0xCD;
    Put(site / "init.mp4", init);
    Put(site / "all.bin", all);
    Put(site / "s2.enc", Encrypt(plain2, sequenceIv));
    Put(site / "s3.enc", Encrypt(plain3, givenIv));
    Put(site / "key.bin", kKey);
    Put(site / "a0.aac", "\xFF\xF1" + std::string(900, 'a'));
    Put(site / "a1.aac", "\xFF\xF1" + std::string(900, 'b'));
    const fs::path atHand = m_dir / "captured-s4";
    Put(atHand, local);
    Put(site / "master.m3u8",
        "#EXTM3U\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"x\",URI=\"other.m3u8\"\n"
        "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"a\",NAME=\"en\",DEFAULT=YES,URI=\"audio.m3u8\"\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=100000,RESOLUTION=320x240\nsmall.m3u8\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=900000,RESOLUTION=1280x720,AUDIO=\"a\"\nvideo.m3u8\n");
    Put(site / "video.m3u8",
        "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:10\n"
        "#EXT-X-MAP:URI=\"init.mp4\"\n"
        "#EXTINF:2.0,\n#EXT-X-BYTERANGE:" +
            std::to_string(all.size() / 2) +
            "@0\nall.bin\n"
            "#EXTINF:2.0,\n#EXT-X-BYTERANGE:" +
            std::to_string(all.size() / 2) +
            "\nall.bin\n"
            "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\"\n#EXTINF:1.5,\ns2.enc\n"
            "#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\",IV=0xABCD\n#EXTINF:1.5,\ns3.enc\n"
            "#EXT-X-KEY:METHOD=NONE\n#EXT-X-DISCONTINUITY\n#EXTINF:1.0,\ns4.ts\n#EXT-X-ENDLIST\n");
    Put(site / "audio.m3u8",
        "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4.0,\na0.aac\n#EXTINF:4.0,\na1.aac\n"
        "#EXT-X-ENDLIST\n");

    StreamFetcher fetcher(Settings("master.m3u8"));
    fetcher.AddLocalPiece(Url("s4.ts"), {}, atHand.string());
    std::vector<StreamProgress> reports;
    fetcher.SetProgressReport([&](const StreamProgress& p) { reports.push_back(p); });
    ASSERT_EQ(fetcher.Run(), StreamFetcher::Outcome::Complete) << fetcher.FailureReason();
    EXPECT_FALSE(fetcher.Live());
    EXPECT_DOUBLE_EQ(fetcher.Seconds(), 8.0);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().segmentsDone, 7u);
    EXPECT_EQ(reports.back().segmentsTotal, 7u);
    EXPECT_GT(reports.back().bytes, all.size() + init.size());

    const fs::path work = fetcher.WorkFolder();
    ASSERT_EQ(work.parent_path(), m_dir / "work");
    EXPECT_EQ(fetcher.Playlist(), (work / "stream.m3u8").string());
    EXPECT_EQ(
        Slurp(work / "stream.m3u8"),
        "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"sound\",NAME=\"sound\","
        "DEFAULT=YES,AUTOSELECT=YES,URI=\"a.m3u8\"\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=1000000,AUDIO=\"sound\"\nv.m3u8\n");
    EXPECT_EQ(Slurp(work / "v.m3u8"),
              "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n"
              "#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-MAP:URI=\"vinit0.mp4\"\n"
              "#EXTINF:2.000000,\nv000000.ts\n#EXTINF:2.000000,\nv000001.ts\n"
              "#EXTINF:1.500000,\nv000002.ts\n#EXTINF:1.500000,\nv000003.ts\n"
              "#EXT-X-DISCONTINUITY\n#EXTINF:1.000000,\nv000004.ts\n#EXT-X-ENDLIST\n");
    EXPECT_EQ(Slurp(work / "vinit0.mp4"), init);
    EXPECT_EQ(Slurp(work / "v000000.ts") + Slurp(work / "v000001.ts"), all);
    EXPECT_EQ(Slurp(work / "v000002.ts"), plain2);
    EXPECT_EQ(Slurp(work / "v000003.ts"), plain3);
    EXPECT_EQ(Slurp(work / "v000004.ts"), local);
    EXPECT_EQ(Slurp(work / "a000001.aac"), Slurp(site / "a1.aac"));
    for (const auto& entry : fs::directory_iterator(work)) {
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(fs::status(entry).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(Slurp(entry.path()).find(kKey), std::string::npos);
    }
    EXPECT_EQ(Requests("/root/s4.ts"), 0);
    EXPECT_EQ(Requests("/root/key.bin"), 1);
    EXPECT_EQ(Requests("/root/small.m3u8"), 0);
    fetcher.RemoveWorkFolder();
    EXPECT_FALSE(fs::exists(work));
}

// A piece that cannot be had fails the stream with the piece and the reason: a missing segment
// at once, a busy server after two more tries, a key of the wrong size, a server that ignores
// the byte range asked for. Abort before anything arrived is a cancel.
TEST_F(StreamFetcherTest, APieceThatFailsFailsTheStream) {
    const fs::path site = m_dir / "site";
    for (const char* name : {"s0.ts", "s1.ts", "s3.ts"}) Put(site / name, Segment(name));
    Put(site / "short.key", kKey.substr(1));
    const std::string busy = m_server->Url("/status/503");
    const std::string ignoresRanges = m_server->Url("/range200/5000");
    const struct {
        const char* name;
        std::string playlist;
        std::string reason;
        std::string requested;
        int requests;
    } cases[] = {
        {"missing", "s0.ts\ns1.ts\ns2.ts\ns3.ts\n",
         "Segment 3 of 4 (" + Url("s2.ts") + "): The server answered with status 404.",
         "/root/s2.ts", 1},
        {"busy", "s0.ts\n" + busy + "\ns1.ts\n",
         "Segment 2 of 3 (" + busy + "): The server answered with status 503.", "/status/503", 3},
        {"shortkey", "#EXT-X-KEY:METHOD=AES-128,URI=\"short.key\"\ns0.ts\n",
         "The key of Segment 1 of 1 (" + Url("short.key") + "): it is not 16 bytes long.",
         "/root/short.key", 1},
        {"rangeignored", "#EXT-X-BYTERANGE:100@0\n" + ignoresRanges + "\n",
         "Segment 1 of 1 (" + ignoresRanges +
             "): The server did not answer with the byte range asked for.",
         "/range200/5000", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n";
        for (std::size_t at = 0, end; (end = c.playlist.find('\n', at)) != std::string::npos;
             at = end + 1) {
            const std::string line = c.playlist.substr(at, end - at);
            text += (line.starts_with("#") ? "" : "#EXTINF:1,\n") + line + "\n";
        }
        Put(site / (std::string(c.name) + ".m3u8"), text + "#EXT-X-ENDLIST\n");
        const std::size_t logged = Slurp(Log()).size();
        StreamFetcher fetcher(Settings(std::string(c.name) + ".m3u8"));
        EXPECT_EQ(fetcher.Run(), StreamFetcher::Outcome::Failed);
        EXPECT_EQ(fetcher.FailureReason(), c.reason);
        EXPECT_EQ(Requests(c.requested, logged), c.requests);
        EXPECT_TRUE(fetcher.Playlist().empty());
    }
    StreamFetcher aborted(Settings("missing.m3u8"));
    aborted.Abort();
    EXPECT_EQ(aborted.Run(), StreamFetcher::Outcome::Cancelled);
}

// A live playlist (no end) is asked again and recorded segment by segment, never with a total;
// the recording ends at its bound, or when it is stopped, and what arrived stays usable.
TEST_F(StreamFetcherTest, LiveRecordingIsBoundedAndStops) {
    StreamFetchSettings settings = Settings("");
    settings.url = m_server->Url("/live/bounded");
    settings.pollInterval = std::chrono::milliseconds(20);
    settings.maxLiveSeconds = 1.0;  // five segments of 0.2 seconds
    StreamFetcher bounded(settings);
    bool anyTotal = false;
    bounded.SetProgressReport([&](const StreamProgress& p) {
        anyTotal = anyTotal || p.segmentsTotal != 0 || p.totalSeconds != 0;
    });
    EXPECT_EQ(bounded.Run(), StreamFetcher::Outcome::Recorded);
    EXPECT_TRUE(bounded.Live());
    EXPECT_FALSE(anyTotal);
    EXPECT_EQ(bounded.FailureReason(), "The recording reached its bound of 1 seconds.");
    EXPECT_NEAR(bounded.Seconds(), 1.0, 1e-9);
    EXPECT_TRUE(fs::exists(fs::path(bounded.WorkFolder()) / "v000004.ts"));
    EXPECT_FALSE(fs::exists(fs::path(bounded.WorkFolder()) / "v000005.ts"));

    settings.url = m_server->Url("/live/stopped");
    settings.maxLiveSeconds = 3600;
    StreamFetcher stopped(settings);
    stopped.SetProgressReport([&](const StreamProgress& p) {
        if (p.segmentsDone == 3)
            stopped.Abort();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stopped.Run(), StreamFetcher::Outcome::Recorded);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(stopped.FailureReason(), "The recording was stopped.");
    const std::string local =
        Slurp(stopped.Playlist().substr(0, stopped.Playlist().rfind('/')) + "/v.m3u8");
    EXPECT_NE(local.find("v000002.ts\n"), std::string::npos) << local;
    EXPECT_NE(local.find("#EXT-X-ENDLIST"), std::string::npos) << local;
}
