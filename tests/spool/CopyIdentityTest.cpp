// The copies the stream engine keeps, checked byte for byte: MP3, FLV and MP4 answers over real
// HTTPS (OpenSSL peers in process, TLS 1.2 and 1.3, HTTP/1.1 and HTTP/2, wrapped into a
// capture's frames), whole and by ranges in order, out of order and overlapping, end up in the
// spool as exactly the bytes the server sent; HTTP/3 answers over QUIC are kept whole too; a
// medium with a hole is marked with exactly that hole; an HLS stream keeps its playlists, key,
// initialisation section and segments with the index a local join reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "SpoolRun.h"
#include "spool/StreamIndex.h"

namespace {

using namespace spooltest;

enum class Mode { Whole, InOrder, OutOfOrder, Overlapping };

struct Medium {
    std::string path;
    std::string type;
    std::string body;
};

// The answers that carry `medium` in `mode`: one whole answer, or ranges of it with a total and
// a validator.
std::vector<https::Answer> Carrying(const Medium& medium, Mode mode) {
    const std::uint64_t n = medium.body.size();
    const std::uint64_t a = n / 3;
    const std::uint64_t b = 2 * n / 3;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // [first, last]
    switch (mode) {
        case Mode::Whole:
            return {{medium.path, medium.type, medium.body}};
        case Mode::InOrder:
            ranges = {{0, a - 1}, {a, b - 1}, {b, n - 1}};
            break;
        case Mode::OutOfOrder:
            ranges = {{b, n - 1}, {0, a - 1}, {a, b - 1}};
            break;
        case Mode::Overlapping:
            ranges = {{0, b - 1}, {a / 2, a + 1000}, {a, n - 1}};
            break;
    }
    std::vector<https::Answer> answers;
    for (const auto& [first, last] : ranges) {
        https::Answer answer{medium.path, medium.type, medium.body.substr(first, last - first + 1),
                             206};
        answer.headers = {{"content-range", "bytes " + std::to_string(first) + "-" +
                                                std::to_string(last) + "/" + std::to_string(n)},
                          {"etag", "\"v1\""}};
        answers.push_back(std::move(answer));
    }
    return answers;
}

}  // namespace

TEST(CopyIdentity, MediaOverHttpsAreKeptByteForByteWholeAndByRanges) {
    struct Combination {
        std::uint16_t version;
        bool http2;
    };
    const Combination combinations[] = {{0x0303, false}, {0x0303, true}, {0x0304, false},
                                        {0x0304, true}};
    std::string keys;
    std::vector<std::vector<Frame>> connections;
    struct Expected {
        std::string url;
        std::string body;
        std::string what;
    };
    std::vector<Expected> expected;
    for (std::size_t c = 0; c < std::size(combinations); ++c) {
        const Combination& combination = combinations[c];
        const std::string host = "media" + std::to_string(c) + ".test";
        const auto seed = static_cast<std::uint32_t>(10 * c);
        const Medium media[] = {
            {"/a/song.mp3", "audio/mpeg", https::Body(https::kMp3, 150001 + c * 7, seed + 1)},
            {"/v/clip.flv", "video/x-flv", https::Body(https::kFlv, 260002 + c * 7, seed + 2)},
            {"/v/movie.mp4", "video/mp4", https::Body(https::kMp4, 330003 + c * 7, seed + 3)},
        };
        std::vector<https::Answer> answers;
        for (std::size_t m = 0; m < std::size(media); ++m) {
            // Over the four combinations every medium comes in every mode.
            const auto mode = static_cast<Mode>((m + c) % 4);
            for (https::Answer& answer : Carrying(media[m], mode)) answers.push_back(answer);
            expected.push_back({"https://" + host + media[m].path, media[m].body,
                                host + media[m].path + " mode " +
                                    std::to_string(static_cast<int>(mode))});
        }
        TlsTraffic peers(Config(combination.version, combination.http2, host));
        const TlsTrafficResult traffic = peers.Run(combination.http2
                                                       ? https::Http2Script(host, answers)
                                                       : https::Http1Script(host, answers));
        ASSERT_TRUE(traffic.ok) << traffic.error;
        keys += traffic.keyLog;
        connections.push_back(Connection(traffic, static_cast<std::uint16_t>(41000 + c)));
    }

    SpoolRun run(keys);
    for (const auto& frames : connections) run.Feed(frames);
    run.Finish();
    for (const Expected& medium : expected) {
        SCOPED_TRACE(medium.what);
        const std::uint64_t id = run.CopyOf(medium.url);
        ASSERT_NE(id, 0u);
        const CopyStatus status = run.Status(id);
        EXPECT_EQ(status.kind, CopyKind::File);
        EXPECT_EQ(status.state, CopyState::Whole);
        EXPECT_EQ(status.total, medium.body.size());
        EXPECT_EQ(status.keptBytes, medium.body.size());
        EXPECT_TRUE(run.Bytes(status) == medium.body);
        // Private: only the user may read what the capture kept.
        struct stat info {};
        ASSERT_EQ(::stat((run.Folder() / status.name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
}

// HTTP/3 answers (QUIC made in process) reach the copies as the answers over TCP do: whole, of
// their body's size, starting with the body's first bytes; an answer that is not media gets none.
TEST(CopyIdentity, MediaOverHttp3AreKeptWhole) {
    QuicConnectionPlan plan;
    plan.packetPayload = 900;
    plan.exchanges = {{"/v/clip.mp4", 200, "video/mp4", https::kMp4, 300001},
                      {"/page.html", 200, "text/html", "<html>", 20000},
                      {"/a/song.mp3", 200, "audio/mpeg", https::kMp3, 150002}};
    QuicConversation conversation(plan);
    SpoolRun run(conversation.KeyLogLines());
    run.Feed(conversation.All());
    run.Finish();
    for (const QuicExchangePlan& exchange : plan.exchanges) {
        SCOPED_TRACE(exchange.path);
        const std::uint64_t id = run.CopyOf("https://media.test" + exchange.path);
        if (exchange.contentType == "text/html") {
            EXPECT_EQ(id, 0u);
            continue;
        }
        ASSERT_NE(id, 0u);
        const CopyStatus status = run.Status(id);
        const std::uint64_t size = exchange.bodyStart.size() + exchange.bodySize;
        EXPECT_EQ(status.state, CopyState::Whole);
        EXPECT_EQ(status.keptBytes, size);
        const std::string kept = run.Bytes(status);
        ASSERT_EQ(kept.size(), size);
        EXPECT_TRUE(kept.starts_with(exchange.bodyStart));
    }
}

TEST(CopyIdentity, AMediumWithAHoleIsMarkedWithExactlyThatHole) {
    const std::string host = "holes.test";
    const std::string body = https::Body(https::kMp4, 400000, 77);
    std::vector<https::Answer> answers;
    // Bytes 100000 to 249999 never pass; the first range ends inside a TLS record.
    for (const auto& [first, last] :
         std::vector<std::pair<std::uint64_t, std::uint64_t>>{{250000, 399999}, {0, 99999}}) {
        https::Answer answer{"/v/partial.mp4", "video/mp4", body.substr(first, last - first + 1),
                             206};
        answer.headers = {{"content-range", "bytes " + std::to_string(first) + "-" +
                                                std::to_string(last) + "/400000"},
                          {"last-modified", "Mon, 01 Jun 2026 10:00:00 GMT"}};
        answers.push_back(answer);
    }
    TlsTraffic peers(Config(0x0304, true, host));
    const TlsTrafficResult traffic = peers.Run(https::Http2Script(host, answers));
    ASSERT_TRUE(traffic.ok) << traffic.error;
    SpoolRun run(traffic.keyLog);
    run.Feed(Connection(traffic, 42000));
    run.Finish();

    const std::uint64_t id = run.CopyOf("https://" + host + "/v/partial.mp4");
    ASSERT_NE(id, 0u);
    const CopyStatus status = run.Status(id);
    EXPECT_EQ(status.state, CopyState::Holes);
    EXPECT_EQ(status.total, 400000u);
    EXPECT_EQ(status.keptBytes, 250000u);
    EXPECT_EQ(status.intervals,
              (std::vector<CopyInterval>{{0, 100000}, {250000, 400000}}));
    const std::string kept = run.Bytes(status);
    ASSERT_EQ(kept.size(), 400000u);
    EXPECT_TRUE(kept.substr(0, 100000) == body.substr(0, 100000));
    EXPECT_TRUE(kept.substr(250000) == body.substr(250000));
}

TEST(CopyIdentity, LaterRangesOfAGenericTypeJoinTheMediumTheirFirstBytesNamed) {
    // A server that sends every range as octet-stream: the first is known by its bytes, the
    // later ones only by their URL, validator and total, and the player asks for them after it.
    const std::string host = "generic.test";
    const std::string body = https::Body(https::kMp4, 350000, 78);
    std::vector<https::Answer> answers;
    for (const auto& [first, last] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {0, 149999}, {150000, 299999}, {300000, 349999}}) {
        https::Answer answer{"/v/generic.mp4", "application/octet-stream",
                             body.substr(first, last - first + 1), 206};
        answer.headers = {{"content-range", "bytes " + std::to_string(first) + "-" +
                                                std::to_string(last) + "/350000"},
                          {"etag", "\"g\""}};
        answers.push_back(answer);
    }
    TlsTraffic peers(Config(0x0303, false, host));
    const TlsTrafficResult traffic = peers.Run(https::Http1Script(host, answers));
    ASSERT_TRUE(traffic.ok) << traffic.error;
    SpoolRun run(traffic.keyLog);
    run.Feed(Connection(traffic, 42001));
    run.Finish();
    const std::uint64_t id = run.CopyOf("https://" + host + "/v/generic.mp4");
    ASSERT_NE(id, 0u);
    const CopyStatus status = run.Status(id);
    EXPECT_EQ(status.state, CopyState::Whole);
    EXPECT_TRUE(run.Bytes(status) == body);
}

TEST(CopyIdentity, AnHlsStreamKeepsItsPlaylistsKeyInitSectionAndSegments) {
    const std::string host = "live.test";
    const std::string base = "https://" + host + "/show/";
    const std::string master =
        "#EXTM3U\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=2000000,RESOLUTION=1280x720\nhi/index.m3u8\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\nlo/index.m3u8\n";
    const std::string media =
        "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:4\n#EXT-X-PLAYLIST-TYPE:VOD\n"
        "#EXT-X-KEY:METHOD=AES-128,URI=\"../keys/k1.bin\"\n"
        "#EXT-X-MAP:URI=\"init.mp4\"\n"
        "#EXTINF:4.0,\nseg1.m4s?token=a\n#EXTINF:4.0,\nseg2.m4s?token=b\n#EXTINF:2.5,\nseg3.m4s\n"
        "#EXT-X-ENDLIST\n";
    const std::string key = "0123456789abcdef";
    const std::string init = https::Body(https::kMp4, 900, 5);
    const std::vector<std::string> segments = {https::Body("", 70000, 6), https::Body("", 65000, 7),
                                               https::Body("", 40000, 8)};
    const std::vector<https::Answer> answers = {
        {"/show/master.m3u8", "application/vnd.apple.mpegurl", master},
        {"/show/hi/index.m3u8", "application/vnd.apple.mpegurl", media},
        {"/show/keys/k1.bin", "application/octet-stream", key},
        {"/show/hi/init.mp4", "video/mp4", init},
        {"/show/hi/seg1.m4s?token=a", "video/iso.segment", segments[0]},
        {"/show/hi/seg2.m4s?token=b", "video/iso.segment", segments[1]},
        {"/show/hi/seg3.m4s", "video/iso.segment", segments[2]},
    };
    TlsTraffic peers(Config(0x0303, false, host));
    const TlsTrafficResult traffic = peers.Run(https::Http1Script(host, answers));
    ASSERT_TRUE(traffic.ok) << traffic.error;
    SpoolRun run(traffic.keyLog);
    run.Feed(Connection(traffic, 43000));
    run.Finish();

    const std::uint64_t id = run.CopyOf(base + "master.m3u8");
    ASSERT_NE(id, 0u);
    const CopyStatus status = run.Status(id);
    EXPECT_EQ(status.kind, CopyKind::Stream);
    EXPECT_EQ(status.state, CopyState::Whole);
    EXPECT_EQ(status.parts, 5u);
    EXPECT_EQ(status.wholeParts, 5u);

    const int folder = ::open((run.Folder() / status.name).c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    StreamIndex index;
    std::string error;
    ASSERT_TRUE(ReadStreamIndex(folder, index, error)) << error;
    ::close(folder);
    EXPECT_EQ(index.url, base + "master.m3u8");
    const std::string playlistUrl = base + "hi/index.m3u8";
    // Every piece, in the order the player fetched it, the answer to its URL.
    const std::vector<std::pair<std::string, std::string>> pieces = {
        {base + "keys/k1.bin", key},
        {base + "hi/init.mp4", init},
        {base + "hi/seg1.m4s?token=a", segments[0]},
        {base + "hi/seg2.m4s?token=b", segments[1]},
        {base + "hi/seg3.m4s", segments[2]},
    };
    ASSERT_EQ(index.parts.size(), pieces.size());
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        SCOPED_TRACE(pieces[i].first);
        const StreamIndexPart& part = index.parts[i];
        EXPECT_EQ(part.url, pieces[i].first);
        EXPECT_EQ(part.namer, playlistUrl);
        EXPECT_EQ(part.role, i == 0 ? StreamPartRole::Key : StreamPartRole::Segment);
        EXPECT_TRUE(part.complete);
        EXPECT_TRUE(ReadFile(run.Folder() / status.name / part.file) == pieces[i].second);
    }
    ASSERT_EQ(index.playlists.size(), 2u);
    const StreamIndexPlaylist* kept = index.FindPlaylist(base + "master.m3u8");
    ASSERT_NE(kept, nullptr);
    EXPECT_TRUE(kept->master);
    EXPECT_EQ(ReadFile(run.Folder() / status.name / kept->file), master);
    kept = index.FindPlaylist(playlistUrl);
    ASSERT_NE(kept, nullptr);
    EXPECT_FALSE(kept->master);
    EXPECT_EQ(ReadFile(run.Folder() / status.name / kept->file), media);
}
