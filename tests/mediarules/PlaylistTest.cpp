// HLS playlists and DASH manifests read on their own: URLs, variants, durations, sizes, DRM,
// content codings, and hostile text.
#include <gtest/gtest.h>

#include <algorithm>

#include "Exchanges.h"
#include "mediarules/BodyDecoding.h"
#include "mediarules/Playlist.h"
#include "mediarules/StreamSegments.h"
#include "mediarules/XmlScanner.h"

using namespace testing_exchanges;

namespace {

bool Has(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

const char kMaster[] =
    "#EXTM3U\n"
    "#EXT-X-VERSION:6\n"
    "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"aud\",NAME=\"en\",URI=\"audio/en.m3u8\"\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=1280000,RESOLUTION=640x360,CODECS=\"avc1.4d401e,mp4a.40.2\"\n"
    "low/index.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=5000000,RESOLUTION=1920x1080,CODECS=\"avc1.640028,mp4a.40.2\"\n"
    "https://other.test/hi/index.m3u8?token=a,b\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=2500000,RESOLUTION=1280x720,AUDIO=\"aud\"\n"
    "/abs/mid.m3u8\n"
    "#EXT-X-STREAM-INF:BANDWIDTH=96000,CODECS=\"mp4a.40.5\"\n"
    "audio-only.m3u8\n"
    "#EXT-X-I-FRAME-STREAM-INF:BANDWIDTH=86000,URI=\"low/iframe.m3u8\"\n";

}  // namespace

TEST(UrlReference, ResolvesAsRfc3986Says) {
    const std::string base = "http://a/b/c/d;p?q";
    struct Case {
        const char* reference;
        const char* resolved;
    };
    const Case cases[] = {
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"},
        {"/g", "http://a/g"},
        {"//g", "http://g/"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q"},
        {"g#s", "http://a/b/c/g"},
        {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../../g", "http://a/g"},
        {"/./g", "http://a/g"},
        {"g/../h", "http://a/b/c/h"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"HTTPS://B/x", "https://B/x"},
        {"  seg 1.ts", ""},  // a blank inside
        {"ftp://a/x", ""},
        {"mailto:x@y", ""},
        {"http:g", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ResolveReference(base, c.reference), c.resolved) << c.reference;
    EXPECT_EQ(ResolveReference(base, std::string(kMaxMediaUrlLength, 'a')), "");
    EXPECT_EQ(UrlKey("HTTPS://Cdn.Test:443/a/b.ts?x=1#f", false), "https://cdn.test/a/b.ts");
    EXPECT_EQ(UrlKey("http://cdn.test:8080?x", true), "http://cdn.test:8080/?x");
}

TEST(HlsPlaylist, MasterNamesVariantsBestFirst) {
    const auto playlist = ParseHlsPlaylist(kMaster, "https://cdn.test/show/master.m3u8");
    ASSERT_TRUE(playlist);
    EXPECT_TRUE(playlist->master);
    ASSERT_EQ(playlist->variants.size(), 4u);
    EXPECT_EQ(playlist->variants[0].url, "https://other.test/hi/index.m3u8?token=a,b");
    EXPECT_EQ(playlist->variants[1].url, "https://cdn.test/abs/mid.m3u8");
    EXPECT_TRUE(playlist->variants[1].separateAudio);
    EXPECT_EQ(playlist->variants[2].url, "https://cdn.test/show/low/index.m3u8");
    EXPECT_TRUE(playlist->variants[3].audioOnly);
    EXPECT_EQ(PlaylistDetail(*playlist),
              "1920x1080, 5.00 Mbit/s, avc1.640028,mp4a.40.2\n"
              "1280x720, 2.50 Mbit/s\n"
              "640x360, 1.28 Mbit/s, avc1.4d401e,mp4a.40.2\n"
              "audio, 96 kbit/s, mp4a.40.5\n");
    EXPECT_EQ(BestVariantUrl(*playlist), "https://other.test/hi/index.m3u8?token=a,b");
    for (const char* named :
         {"https://cdn.test/show/audio/en.m3u8", "https://cdn.test/show/low/iframe.m3u8",
          "https://cdn.test/show/audio-only.m3u8"}) {
        EXPECT_TRUE(Has(playlist->playlistUrls, named)) << named;
    }
    EXPECT_TRUE(playlist->segmentUrls.empty());
}

TEST(HlsPlaylist, MediaPlaylists) {
    struct Case {
        const char* name;
        std::string text;
        double seconds;
        std::uint64_t rangeBytes;
        bool live;
        bool drm;
        std::vector<std::string> segments;
    };
    const Case cases[] = {
        {"vod with relative and absolute segments",
         "#EXTM3U\n#EXT-X-TARGETDURATION:10\r\n#EXTINF:9.5,\r\nseg0.ts\r\n#EXTINF:10.0,title\n"
         "../other/seg1.ts\n#EXTINF:4.25,\nhttps://cdn2.test/seg2.ts?sig=1\n#EXT-X-ENDLIST\n",
         23.75,
         0,
         false,
         false,
         {"https://cdn.test/show/hi/seg0.ts", "https://cdn.test/show/other/seg1.ts",
          "https://cdn2.test/seg2.ts?sig=1"}},
        {"byte ranges of one file and its initialisation section",
         "#EXTM3U\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-MAP:URI=\"main.mp4\",BYTERANGE=\"800@0\"\n"
         "#EXTINF:6,\n#EXT-X-BYTERANGE:500000@800\nmain.mp4\n"
         "#EXTINF:6,\n#EXT-X-BYTERANGE:400000\nmain.mp4\n",
         12,
         900800,
         false,
         false,
         {"https://cdn.test/show/hi/main.mp4"}},
        {"live window, AES-128 is no DRM",
         "#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:7\n"
         "#EXT-X-KEY:METHOD=AES-128,URI=\"https://keys.test/k\",IV=0x0123\n"
         "#EXTINF:2,\n7.ts\n#EXTINF:2,\n8.ts\n",
         4,
         0,
         true,
         false,
         {"https://cdn.test/show/hi/7.ts", "https://cdn.test/show/hi/8.ts"}},
        {"SAMPLE-AES",
         "#EXTM3U\n#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"skd://k\"\n#EXTINF:2,\na.ts\n",
         2,
         0,
         true,
         true,
         {"https://cdn.test/show/hi/a.ts"}},
        {"AES-128 with a key format of a DRM system",
         "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\",KEYFORMAT=\"com.apple."
         "streamingkeydelivery\"\n"
         "#EXTINF:2,\na.ts\n#EXT-X-ENDLIST\n",
         2,
         0,
         false,
         true,
         {"https://cdn.test/show/hi/a.ts"}},
        {"low-latency parts and hints",
         "#EXTM3U\n#EXT-X-PART:DURATION=0.5,URI=\"p1.m4s\"\n#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"p2."
         "m4s\"\n",
         0,
         0,
         true,
         false,
         {"https://cdn.test/show/hi/p1.m4s", "https://cdn.test/show/hi/p2.m4s"}},
    };
    for (const Case& c : cases) {
        const auto playlist = ParseHlsPlaylist(c.text, "https://cdn.test/show/hi/index.m3u8");
        ASSERT_TRUE(playlist) << c.name;
        EXPECT_FALSE(playlist->master) << c.name;
        EXPECT_DOUBLE_EQ(playlist->durationSeconds, c.seconds) << c.name;
        EXPECT_EQ(playlist->byteRangeTotal, c.rangeBytes) << c.name;
        EXPECT_EQ(playlist->live, c.live) << c.name;
        EXPECT_EQ(playlist->drm, c.drm) << c.name;
        EXPECT_EQ(playlist->segmentUrls, c.segments) << c.name;
        EXPECT_EQ(PlaylistDetail(*playlist).find(kDrmNote) != std::string::npos, c.drm) << c.name;
    }
    EXPECT_FALSE(ParseHlsPlaylist("#EXTINF:2,\na.ts\n", "https://cdn.test/a.m3u8"));
    EXPECT_TRUE(ParseHlsPlaylist("\xEF\xBB\xBF#EXTM3U\n", "https://cdn.test/a.m3u8"));
}

TEST(DashManifest, SegmentAddressingAndVariants) {
    const std::string manifest = R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- made by a packager -->
<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static" mediaPresentationDuration="PT1H2M3.5S">
  <BaseURL>https://media.test/vod/</BaseURL>
  <Period id="1">
    <AdaptationSet contentType="video" mimeType="video/mp4" codecs="avc1.640028">
      <SegmentTemplate media="$RepresentationID$/seg-$Number%05d$.m4s?a=1&amp;b=2"
                       initialization="$RepresentationID$/init.mp4" startNumber="1"/>
      <Representation id="v1080" bandwidth="4800000" width="1920" height="1080"/>
      <Representation id="v360" bandwidth="800000" width="640" height="360"/>
    </AdaptationSet>
    <AdaptationSet contentType="audio" mimeType="audio/mp4">
      <Representation id="a1" bandwidth="128000" codecs="mp4a.40.2">
        <BaseURL>audio/</BaseURL>
        <SegmentList>
          <Initialization sourceURL="init.mp4" range="0-799"/>
          <SegmentURL media="a-1.m4s" mediaRange="0-99999"/>
          <SegmentURL media="a-2.m4s" mediaRange="0-49999"/>
        </SegmentList>
      </Representation>
    </AdaptationSet>
    <AdaptationSet contentType="text" mimeType="text/vtt">
      <Representation id="sub" bandwidth="100"><BaseURL>subs/en.vtt</BaseURL></Representation>
    </AdaptationSet>
  </Period>
</MPD>)";
    ASSERT_TRUE(LooksLikeDash(manifest));
    const auto playlist = ParseDashManifest(manifest, "https://www.test/watch/manifest.mpd");
    ASSERT_TRUE(playlist);
    EXPECT_FALSE(playlist->live);
    EXPECT_FALSE(playlist->drm);
    EXPECT_DOUBLE_EQ(playlist->durationSeconds, 3723.5);
    ASSERT_EQ(playlist->variants.size(), 3u);
    EXPECT_EQ(playlist->variants[0].id, "v1080");
    EXPECT_EQ(playlist->variants[2].id, "a1");
    EXPECT_EQ(PlaylistDetail(*playlist),
              "1920x1080, 4.80 Mbit/s, avc1.640028\n640x360, 800 kbit/s, avc1.640028\n"
              "audio, 128 kbit/s, mp4a.40.2\n");
    // The video set's segments are addressed by a template: no byte total is known.
    EXPECT_EQ(playlist->byteRangeTotal, 0u);
    const auto owned = [&](const std::string& url) {
        const std::string key = UrlKey(url, false);
        if (Has(playlist->segmentUrls, url) || Has(playlist->segmentUrls, key))
            return true;
        return std::any_of(playlist->segmentPatterns.begin(), playlist->segmentPatterns.end(),
                           [&](const SegmentPattern& p) { return MatchesPattern(p, key); });
    };
    EXPECT_TRUE(owned("https://media.test/vod/v1080/seg-00042.m4s?a=1&b=2"));
    EXPECT_TRUE(owned("https://media.test/vod/v360/seg-123456.m4s"));
    EXPECT_TRUE(owned("https://media.test/vod/v360/init.mp4"));
    EXPECT_TRUE(owned("https://media.test/vod/audio/a-2.m4s"));
    EXPECT_TRUE(owned("https://media.test/vod/audio/init.mp4"));
    EXPECT_TRUE(owned("https://media.test/vod/subs/en.vtt"));
    EXPECT_FALSE(owned("https://media.test/vod/v360/seg-.m4s"));
    EXPECT_FALSE(owned("https://media.test/vod/v720/seg-00001.m4s"));
    EXPECT_FALSE(owned("https://www.test/watch/manifest.mpd"));
}

TEST(DashManifest, ByteRangesProtectionAndLiveness) {
    const std::string ranged = R"(<MPD mediaPresentationDuration="PT30S">
      <Period><AdaptationSet mimeType="video/mp4">
        <Representation id="hi" bandwidth="2000000" width="1280" height="720">
          <BaseURL>hi.mp4</BaseURL>
          <SegmentList><Initialization range="0-999"/>
            <SegmentURL mediaRange="1000-500999"/><SegmentURL mediaRange="501000-700999"/>
          </SegmentList></Representation>
        <Representation id="lo" bandwidth="500000" width="640" height="360">
          <BaseURL>lo.mp4</BaseURL><SegmentBase indexRange="0-99"/></Representation>
      </AdaptationSet></Period></MPD>)";
    const auto playlist = ParseDashManifest(ranged, "http://media.test/a/m.mpd");
    ASSERT_TRUE(playlist);
    EXPECT_EQ(playlist->byteRangeTotal, 701000u);
    EXPECT_TRUE(Has(playlist->segmentUrls, "http://media.test/a/hi.mp4"));
    EXPECT_TRUE(Has(playlist->segmentUrls, "http://media.test/a/lo.mp4"));

    const auto live = ParseDashManifest(
        "<mpd:MPD xmlns:mpd='urn:mpeg:dash:schema:mpd:2011' type='dynamic'><mpd:Period>"
        "<mpd:AdaptationSet><mpd:ContentProtection schemeIdUri='urn:uuid:edef8ba9'/>"
        "<mpd:Representation id='x' bandwidth='1000'/></mpd:AdaptationSet></mpd:Period></mpd:MPD>",
        "http://media.test/live.mpd");
    ASSERT_TRUE(live);
    EXPECT_TRUE(live->live);
    EXPECT_TRUE(live->drm);
    EXPECT_EQ(PlaylistDetail(*live), "1 kbit/s\nLive stream\n" + std::string(kDrmNote) + "\n");
    EXPECT_FALSE(ParseDashManifest("<html><MPD/></html>", "http://media.test/x"));
}

TEST(BodyDecoding, EveryCodingAndItsBounds) {
    std::string text = "#EXTM3U\n";
    for (int i = 0; i < 3000; ++i) text += "#EXTINF:2,\nsegment-" + std::to_string(i) + ".ts\n";
    struct Case {
        const char* coding;
        std::string body;
    };
    const Case cases[] = {
        {"gzip", Gzip(text)},
        {"x-gzip", Gzip(text)},
        {"deflate", ZlibDeflate(text)},
        {"Deflate", RawDeflate(text)},
        {"br", Brotli(text)},
        {"zstd", Zstd(text)},
        {"gzip, br", Brotli(Gzip(text))},
        {"identity, zstd", Zstd(text)},
        {"gzip", Gzip(text) + Gzip("#EXTINF:2,\nlast.ts\n")},  // two gzip members
    };
    for (const Case& c : cases) {
        const auto decoded = DecodeContentCodings(c.coding, c.body, kMaxPlaylistBytes);
        ASSERT_TRUE(decoded) << c.coding;
        EXPECT_FALSE(decoded->cut) << c.coding;
        EXPECT_EQ(decoded->bytes.substr(0, text.size()), text) << c.coding;
        // A prefix of the body decodes as far as it goes and says it was cut.
        const auto prefix =
            DecodeContentCodings(c.coding, c.body.substr(0, c.body.size() / 2), kMaxPlaylistBytes);
        ASSERT_TRUE(prefix) << c.coding;
        EXPECT_TRUE(prefix->cut) << c.coding;
        EXPECT_EQ(text.compare(0, prefix->bytes.size(), prefix->bytes), 0) << c.coding;
        // The bound holds.
        const auto bounded = DecodeContentCodings(c.coding, c.body, 1000);
        ASSERT_TRUE(bounded) << c.coding;
        EXPECT_EQ(bounded->bytes, text.substr(0, 1000)) << c.coding;
        EXPECT_TRUE(bounded->cut) << c.coding;
    }
    EXPECT_FALSE(DecodeContentCodings("compress", Gzip(text), 1000));
    EXPECT_FALSE(DecodeContentCodings("gzip", "definitely not gzip", 1000));
    EXPECT_FALSE(DecodeContentCodings("br, br, br, br, br", "x", 1000));
    // Ratio bombs: a few kilobytes that expand to three times the bound stop at the bound.
    const std::string zeros(3 * kMaxPlaylistBytes, '\0');
    for (const auto& [coding, bomb] : {std::pair<const char*, std::string>{"gzip", Gzip(zeros)},
                                       {"br", Brotli(zeros, 5)},
                                       {"zstd", Zstd(zeros)}}) {
        EXPECT_LT(bomb.size(), 30000u) << coding;
        const auto decoded = DecodeContentCodings(coding, bomb, kMaxPlaylistBytes);
        ASSERT_TRUE(decoded) << coding;
        EXPECT_EQ(decoded->bytes.size(), kMaxPlaylistBytes) << coding;
        EXPECT_TRUE(decoded->cut) << coding;
    }
}

TEST(HostilePlaylists, BoundedAndSound) {
    // A line longer than any playlist line, and a flood of segment names.
    std::string text = "#EXTM3U\n#EXTINF:1,\n" + std::string(kMaxPlaylistLineBytes + 1, 'a') +
                       "\n#EXTINF:1,\nafter.ts\n";
    for (std::size_t i = 0; i < kMaxPlaylistUrls + 10; ++i) text += std::to_string(i) + "\n";
    const auto flooded = ParseHlsPlaylist(text, "http://cdn.test/p.m3u8");
    ASSERT_TRUE(flooded);
    EXPECT_TRUE(flooded->truncated);
    EXPECT_EQ(flooded->segmentUrls.size(), kMaxPlaylistUrls);
    EXPECT_EQ(flooded->segmentUrls.front(), "http://cdn.test/after.ts");
    EXPECT_EQ(flooded->byteRangeTotal, 0u);

    // Attribute lists that never close, absurd numbers, variants without URI lines.
    const auto odd = ParseHlsPlaylist(
        "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=99999999999999999999999,RESOLUTION=99999999x-1,"
        "CODECS=\"unclosed\n#EXT-X-STREAM-INF:BANDWIDTH=1\n#EXTINF:nan,\n#EXTINF:-5,\n"
        "#EXT-X-MEDIA:URI=\"\x01\"\nv.m3u8\n",
        "http://cdn.test/p.m3u8");
    ASSERT_TRUE(odd);
    ASSERT_EQ(odd->variants.size(), 1u);
    EXPECT_EQ(odd->variants[0].bandwidth, 1u);

    // XML: a billion laughs is read as text, never expanded; deep nesting stops at the bound;
    // broken markup ends the document.
    std::string laughs =
        "<?xml version='1.0'?><!DOCTYPE MPD [<!ENTITY a 'haha'>"
        "<!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;'>]>"
        "<MPD><Period><AdaptationSet codecs='&b;&b;&b;'>"
        "<Representation id='r' bandwidth='5'/></AdaptationSet></Period></MPD>";
    const auto parsed = ParseDashManifest(laughs, "http://cdn.test/m.mpd");
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->variants.size(), 1u);
    EXPECT_EQ(parsed->variants[0].codecs, "&b;&b;&b;");
    std::string deep = "<MPD>";
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    bool truncated = false;
    const auto elements = ScanXml(deep, XmlLimits{}, &truncated);
    ASSERT_TRUE(elements);
    EXPECT_TRUE(truncated);
    EXPECT_LE(elements->size(), XmlLimits{}.maxDepth);
    EXPECT_TRUE(ParseDashManifest("<MPD><Period><AdaptationSet x=", "http://cdn.test/m.mpd"));
    EXPECT_FALSE(ScanXml("no markup at all", XmlLimits{}));
}

// The segments of an HLS media playlist in play order: media sequence numbers, byte ranges that
// go on from the last one, initialisation sections, keys with and without their IV, a
// discontinuity; and what the fetcher refuses to take in part.
TEST(StreamSegments, HlsMediaPlaylist) {
    const std::string text =
        "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXT-X-MEDIA-SEQUENCE:7\n"
        "#EXT-X-MAP:URI=\"init.mp4\",BYTERANGE=\"800@0\"\n"
        "#EXTINF:4.0,\n#EXT-X-BYTERANGE:1000@800\nall.mp4\n"
        "#EXTINF:3.5,\n#EXT-X-BYTERANGE:500\nall.mp4\n"
        "#EXT-X-KEY:METHOD=AES-128,URI=\"k1.bin\"\n#EXT-X-DISCONTINUITY\n"
        "#EXTINF:2,\nhttps://cdn.test/s9.ts\n"
        "#EXT-X-KEY:METHOD=AES-128,URI=\"/k2.bin\",IV=0x0102\n#EXTINF:2,\ns10.ts\n"
        "#EXT-X-KEY:METHOD=NONE\n#EXTINF:1,\ns11.ts\n#EXT-X-ENDLIST\n";
    const auto track = ReadHlsSegments(text, "https://media.test/v/index.m3u8?t=1");
    ASSERT_TRUE(track);
    EXPECT_EQ(track->refusal, "");
    EXPECT_FALSE(track->live);
    EXPECT_DOUBLE_EQ(track->seconds, 12.5);
    EXPECT_DOUBLE_EQ(track->targetSeconds, 4);
    ASSERT_EQ(track->segments.size(), 5u);
    ASSERT_EQ(track->inits.size(), 1u);
    EXPECT_EQ(track->inits[0].url, "https://media.test/v/init.mp4");
    EXPECT_EQ(track->inits[0].range, (ByteRange{0, 800}));
    const auto& s = track->segments;
    EXPECT_EQ(s[0].url, "https://media.test/v/all.mp4");
    EXPECT_EQ(s[0].range, (ByteRange{800, 1000}));
    EXPECT_EQ(s[1].range, (ByteRange{1800, 500}));
    EXPECT_EQ(s[2].url, "https://cdn.test/s9.ts");
    EXPECT_EQ(s[4].url, "https://media.test/v/s11.ts");
    for (std::size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(s[i].position, 7 + i);
        EXPECT_EQ(s[i].next, 8 + i);
        EXPECT_EQ(s[i].init, 0);
        EXPECT_EQ(s[i].discontinuity, i == 2);
    }
    EXPECT_EQ(s[1].key, -1);
    EXPECT_EQ(s[2].key, 0);
    EXPECT_EQ(s[3].key, 1);
    EXPECT_EQ(s[4].key, -1);
    ASSERT_EQ(track->keys.size(), 2u);
    EXPECT_FALSE(track->keys[0].explicitIv);
    EXPECT_EQ(track->keys[1].url, "https://media.test/k2.bin");
    EXPECT_TRUE(track->keys[1].explicitIv);
    EXPECT_EQ(track->keys[1].iv[14], 0x01);
    EXPECT_EQ(track->keys[1].iv[15], 0x02);

    const struct {
        const char* name;
        std::string body;
        std::string refusal;
    } refused[] = {
        {"SAMPLE-AES", "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"skd://k\"\n#EXTINF:1,\na.ts\n",
         "DRM-protected streams cannot be saved."},
        {"a key format", "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",KEYFORMAT=\"com.x\"\n",
         "DRM-protected streams cannot be saved."},
        {"a gap", "#EXTINF:1,\na.ts\n#EXT-X-GAP\n#EXTINF:1,\nb.ts\n",
         "The playlist says that some of its segments are missing."},
        {"a range without its start", "#EXTINF:1,\na.ts\n#EXT-X-BYTERANGE:10\n#EXTINF:1,\nb.ts\n",
         "The byte range of segment 2 has no start."},
        {"a local file", "#EXTINF:1,\nfile:///etc/passwd\n",
         "Segment 1 of the playlist has no http or https address."},
        {"a key in the page", "#EXT-X-KEY:METHOD=AES-128,URI=\"data:text/plain,k\"\n",
         "A key of the playlist has no http or https address."},
        {"an odd IV", "#EXT-X-KEY:METHOD=AES-128,URI=\"k\",IV=0x" + std::string(33, '1') + "\n",
         "A key of the playlist has an IV that is not 128 bits."},
        {"no segment", "", "The playlist names no segment."},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        const auto got =
            ReadHlsSegments("#EXTM3U\n" + c.body + "#EXT-X-ENDLIST\n", "https://media.test/i.m3u8");
        ASSERT_TRUE(got);
        EXPECT_EQ(got->refusal, c.refusal);
    }
    // No end: live, more to come.
    const auto live = ReadHlsSegments("#EXTM3U\n#EXTINF:1,\na.ts\n", "https://media.test/i.m3u8");
    ASSERT_TRUE(live);
    EXPECT_TRUE(live->live);
    EXPECT_EQ(live->refusal, "");
    EXPECT_FALSE(ReadHlsSegments(kMaster, "https://media.test/master.m3u8"));
    // The variant with its sound apart names the group's default playlist.
    const auto master = ParseHlsPlaylist(kMaster, "https://media.test/master.m3u8");
    ASSERT_TRUE(master);
    ASSERT_EQ(master->variants.size(), 4u);
    EXPECT_EQ(master->variants[1].audioUrl, "https://media.test/audio/en.m3u8");
    EXPECT_EQ(master->variants[0].audioUrl, "");
}

// A DASH manifest's best picture and best sound enumerated segment by segment: a template with a
// timeline ($Number$ with a width, $Time$, a repeat), a list with ranges, a template counted
// over its period, the one file of SegmentBase; and what cannot be enumerated is refused.
TEST(StreamSegments, DashRepresentations) {
    const std::string manifest = R"(<MPD type="static" mediaPresentationDuration="PT6S">
  <BaseURL>https://media.test/vod/</BaseURL>
  <Period>
    <AdaptationSet contentType="video">
      <SegmentTemplate timescale="1000" startNumber="5" initialization="$RepresentationID$/i.mp4"
                       media="$RepresentationID$/$Number%03d$-$Time$.m4s">
        <SegmentTimeline><S t="0" d="2000" r="1"/><S d="2000"/></SegmentTimeline>
      </SegmentTemplate>
      <Representation id="small" bandwidth="100" width="320" height="240"/>
      <Representation id="big" bandwidth="900" width="1280" height="720"/>
    </AdaptationSet>
    <AdaptationSet contentType="audio">
      <Representation id="a" bandwidth="64000">
        <BaseURL>sound.mp4</BaseURL>
        <SegmentList timescale="10" duration="30">
          <Initialization range="0-99"/>
          <SegmentURL mediaRange="100-199"/><SegmentURL mediaRange="200-299"/>
        </SegmentList>
      </Representation>
    </AdaptationSet>
  </Period>
</MPD>)";
    const auto tracks = ReadDashSegments(manifest, "https://www.test/m.mpd");
    ASSERT_TRUE(tracks);
    EXPECT_EQ(tracks->refusal, "");
    EXPECT_FALSE(tracks->live);
    const auto& video = tracks->main.segments;
    ASSERT_EQ(video.size(), 3u);
    EXPECT_EQ(tracks->main.inits.at(0).url, "https://media.test/vod/big/i.mp4");
    EXPECT_EQ(video[0].url, "https://media.test/vod/big/005-0.m4s");
    EXPECT_EQ(video[2].url, "https://media.test/vod/big/007-4000.m4s");
    EXPECT_EQ(video[1].position, 2000000u);
    EXPECT_EQ(video[1].next, video[2].position);
    EXPECT_DOUBLE_EQ(tracks->main.seconds, 6.0);
    ASSERT_TRUE(tracks->audio);
    ASSERT_EQ(tracks->audio->segments.size(), 2u);
    EXPECT_EQ(tracks->audio->inits.at(0).url, "https://media.test/vod/sound.mp4");
    EXPECT_EQ(tracks->audio->inits.at(0).range, (ByteRange{0, 100}));
    EXPECT_EQ(tracks->audio->segments[1].url, "https://media.test/vod/sound.mp4");
    EXPECT_EQ(tracks->audio->segments[1].range, (ByteRange{200, 100}));
    EXPECT_DOUBLE_EQ(tracks->audio->segments[1].seconds, 3.0);

    const auto counted = ReadDashSegments(R"(<MPD mediaPresentationDuration="PT5S"><Period>
      <AdaptationSet mimeType="video/mp4"><Representation id="v" bandwidth="1">
        <SegmentTemplate media="https://cdn.test/$RepresentationID$-$Number$.m4s" duration="2"/>
      </Representation></AdaptationSet></Period></MPD>)",
                                          "https://www.test/m.mpd");
    ASSERT_TRUE(counted);
    ASSERT_EQ(counted->main.segments.size(), 3u);
    EXPECT_EQ(counted->main.segments[2].url, "https://cdn.test/v-3.m4s");
    EXPECT_DOUBLE_EQ(counted->main.segments[2].seconds, 1.0);
    EXPECT_FALSE(counted->audio);

    const auto single = ReadDashSegments(R"(<MPD mediaPresentationDuration="PT9S"><Period>
      <AdaptationSet mimeType="video/mp4"><Representation id="v" bandwidth="1">
        <BaseURL>whole.mp4</BaseURL><SegmentBase indexRange="800-999"/>
      </Representation></AdaptationSet></Period></MPD>)",
                                         "https://www.test/m.mpd");
    ASSERT_TRUE(single);
    ASSERT_EQ(single->main.segments.size(), 1u);
    EXPECT_EQ(single->main.segments[0].url, "https://www.test/whole.mp4");
    EXPECT_DOUBLE_EQ(single->main.segments[0].seconds, 9.0);

    const struct {
        const char* name;
        std::string body;
        std::string refusal;
    } refused[] = {
        {"live without a timeline",
         R"(<MPD type="dynamic"><Period><AdaptationSet mimeType="video/mp4">
            <Representation id="v"><SegmentTemplate media="$Number$.m4s" duration="2"/>
            </Representation></AdaptationSet></Period></MPD>)",
         "The manifest's segments cannot be counted without the length of their period."},
        {"an unknown identifier",
         R"(<MPD mediaPresentationDuration="PT2S"><Period><AdaptationSet mimeType="video/mp4">
            <Representation id="v"><SegmentTemplate media="$Foo$.m4s" duration="2"/>
            </Representation></AdaptationSet></Period></MPD>)",
         "A segment template of the manifest uses an identifier this program does not know."},
        {"protection",
         R"(<MPD><Period><AdaptationSet mimeType="video/mp4"><ContentProtection/>
            <Representation id="v"/></AdaptationSet></Period></MPD>)",
         "DRM-protected streams cannot be saved."},
        {"the manifest itself",
         R"(<MPD><Period><AdaptationSet mimeType="video/mp4"><Representation id="v"/>
            </AdaptationSet></Period></MPD>)",
         "A representation of the manifest names no segment."},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        const auto got = ReadDashSegments(c.body, "https://www.test/m.mpd");
        ASSERT_TRUE(got);
        EXPECT_EQ(got->refusal, c.refusal);
    }
}
