// The media rules on whole exchanges: the basic rule, ranges, streams, no flooding.
#include <gtest/gtest.h>

#include <thread>

#include "Exchanges.h"
#include "mediarules/Playlist.h"

using namespace testing_exchanges;

namespace {

std::string RangeText(std::uint64_t first, std::uint64_t last, std::string total) {
    return "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + total;
}

// A browser's partial answer of `url`: the request asked for a range (and named the validator
// in If-Range); the answer's body starts with `body`.
HttpExchange RangeAnswer(const std::string& url, const std::string& type, std::uint64_t first,
                         std::uint64_t last, const std::string& total,
                         const std::string& validator) {
    std::vector<HttpHeader> response{{"Content-Type", type},
                                     {"Content-Range", RangeText(first, last, total)}};
    std::vector<HttpHeader> request{{"Range", "bytes=" + std::to_string(first) + "-"},
                                    {"Cookie", "session=42"}};
    if (!validator.empty()) {
        response.push_back({"ETag", validator});
        request.push_back({"If-Range", validator});
    }
    return Exchange(url, 206, response, last - first + 1, request);
}

std::string MediaPlaylist(const std::string& prefix, int segments, bool end = true) {
    std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:4\n";
    for (int i = 0; i < segments; ++i)
        text += "#EXTINF:4.0,\n" + prefix + std::to_string(i) + ".ts\n";
    return end ? text + "#EXT-X-ENDLIST\n" : text;
}

}  // namespace

TEST(MessageMediaRules, BasicRuleAndTheUrl) {
    const auto typed = [](const std::string& url, const std::string& type, std::uint64_t length) {
        return Answer(url, type, length);
    };
    HttpExchange head = typed("http://cdn.test/h.mp4", "video/mp4", 500000);
    head.request.method = "HEAD";
    HttpExchange missing = typed("http://cdn.test/404.mp4", "video/mp4", 500000);
    missing.response.status = 404;
    HttpExchange noHost = typed("http://cdn.test/a.mp4", "video/mp4", 500000);
    noHost.request.authority.clear();
    HttpExchange noHostPort = noHost;
    noHostPort.serverPort = 8080;
    HttpExchange proxied = typed("http://cdn.test/ignored", "video/mp4", 500000);
    proxied.request.target = "http://origin.test/p.mp4?x=1";
    HttpExchange userInHost = typed("http://cdn.test/u.mp4", "video/mp4", 500000);
    userInHost.request.authority = "evil.test@cdn.test";
    HttpExchange asterisk = typed("http://cdn.test/", "video/mp4", 500000);
    asterisk.request.target = "*";
    HttpExchange noLength = typed("http://cdn.test/chunked.mp4", "video/mp4", 0);
    noLength.contentLength.reset();
    struct Case {
        const char* name;
        HttpExchange exchange;
        std::string body;
        const char* url;  // empty: nothing reported
        const char* typeText;
    };
    const Case cases[] = {
        {"flash video type", typed("https://cdn.test/v.flv", "video/x-flv", 500000), "",
         "https://cdn.test/v.flv", "flv"},
        {"FLV body, text type", typed("http://cdn.test/f", "text/plain", 500000), "FLV\x01",
         "http://cdn.test/f", "flv"},
        {"ID3 body, picture type", typed("http://cdn.test/g", "image/gif", 500000),
         Id3Tag("x") + "junk", "http://cdn.test/g", "mp3"},
        {"other body, picture type", typed("http://cdn.test/i", "image/gif", 500000), "GIF89a", "",
         ""},
        {"under 100,000 bytes", typed("http://cdn.test/s.mp4", "video/mp4", 99999), "", "", ""},
        {"no length", noLength, "", "", ""},
        {"HEAD", head, "", "", ""},
        {"404", missing, "", "", ""},
        {"no authority", noHost, "", "http://10.0.0.7/a.mp4", "mp4"},
        {"no authority, own port", noHostPort, "", "http://10.0.0.7:8080/a.mp4", "mp4"},
        {"absolute target", proxied, "", "http://origin.test/p.mp4?x=1", "mp4"},
        {"user information in Host", userInHost, "", "", ""},
        {"asterisk target", asterisk, "", "", ""},
    };
    for (const Case& c : cases) {
        Collector collector;
        collector.rules.OnExchange(c.exchange, c.body, true);
        if (std::string(c.url).empty()) {
            EXPECT_TRUE(collector.reports.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(collector.reports.size(), 1u) << c.name;
        const MediaReport& report = collector.reports[0];
        EXPECT_EQ(report.url, c.url) << c.name;
        EXPECT_EQ(report.typeText, c.typeText) << c.name;
        EXPECT_EQ(report.requestHeaders, c.exchange.request.headerBlock) << c.name;
        EXPECT_EQ(report.serverAddress, IpAddress(kServer)) << c.name;
        EXPECT_TRUE(report.kind.empty()) << c.name;
    }
}

TEST(MessageMediaRules, TheIgnoreCheckDropsOneSighting) {
    std::vector<std::string> asked;
    int toIgnore = 1;
    std::vector<MediaReport> reports;
    MessageMediaRules rules([&](MediaReport report) { reports.push_back(std::move(report)); },
                            [&](std::string_view url) {
                                asked.emplace_back(url);
                                return toIgnore-- > 0;
                            });
    const HttpExchange exchange = Answer("https://cdn.test/a.mp4?x=1", "video/mp4", 500000);
    rules.OnExchange(exchange, Mp4Start(), false);
    rules.OnExchange(exchange, Mp4Start(), false);
    EXPECT_EQ(asked, (std::vector<std::string>{"cdn.test/a.mp4?x=1", "cdn.test/a.mp4?x=1"}));
    EXPECT_EQ(reports.size(), 1u);
}

TEST(MessageMediaRules, RangesOfOneMediumJoin) {
    for (const char* type : {"video/mp4", "application/octet-stream"}) {
        Listing listing;
        const std::string url = "https://cdn.test/v/movie.mp4";
        const std::string total = "50000000";
        // As a browser plays and seeks: the start, two later ranges, the start again.
        listing.rules.OnExchange(RangeAnswer(url, type, 0, 49999999, total, "\"v1\""), Mp4Start(),
                                 false);
        listing.rules.OnExchange(RangeAnswer(url, type, 30000000, 49999999, total, "\"v1\""),
                                 std::string(5000, 'x'), false);
        listing.rules.OnExchange(RangeAnswer(url, type, 45000000, 45999999, total, "\"v1\""),
                                 std::string(5000, 'y'), false);
        listing.rules.OnExchange(RangeAnswer(url, type, 0, 1048575, total, "\"v1\""), Mp4Start(),
                                 false);
        const auto records = listing.catalogue.Records();
        ASSERT_EQ(records.size(), 1u) << type;
        EXPECT_EQ(records[0].size, 50000000u);
        EXPECT_EQ(records[0].type, "mp4");
        EXPECT_EQ(records[0].validator, "\"v1\"");
        // A fetch asks for the whole file, with the cookie.
        EXPECT_EQ(records[0].requestHeaders,
                  "GET /v/movie.mp4 HTTP/1.1\r\nHost: cdn.test\r\nCookie: session=42\r\n\r\n");

        // Another version of the file under the same URL is another medium; a range of a
        // version whose size is listed already is not.
        listing.rules.OnExchange(RangeAnswer(url, type, 0, 999, "50000001", "\"v2\""), Mp4Start(),
                                 false);
        listing.rules.OnExchange(RangeAnswer(url, type, 0, 999, total, "\"v3\""), Mp4Start(),
                                 false);
        ASSERT_EQ(listing.catalogue.Count(), 2) << type;
        EXPECT_EQ(listing.catalogue.Records()[1].validator, "\"v2\"");

        // Without a total, a range counts as its own size.
        listing.rules.OnExchange(
            RangeAnswer("https://cdn.test/v/open.mp4", type, 0, 299999, "*", ""), Mp4Start(),
            false);
        ASSERT_EQ(listing.catalogue.Count(), 3) << type;
        EXPECT_EQ(listing.catalogue.Records()[2].size, 300000u);
    }
}

TEST(MessageMediaRules, FetchHeadersLeaveOutPartialAndConditionalOnes) {
    EXPECT_EQ(FetchHeaderBlock("GET /a HTTP/1.1\r\nHost: h\r\nrange: bytes=5-\r\n"
                               "IF-NONE-MATCH: \"x\"\r\nIf-Modified-Since: Mon\r\n"
                               "If-Range: \"x\"\r\n  folded\r\nRanger: kept\r\n"
                               "Cookie: a=1\r\n\r\n"),
              "GET /a HTTP/1.1\r\nHost: h\r\nRanger: kept\r\nCookie: a=1\r\n\r\n");
    struct Case {
        const char* value;
        bool valid;
        std::uint64_t first, last;
        std::optional<std::uint64_t> total;
    };
    const Case cases[] = {
        {"bytes 0-99/100", true, 0, 99, 100},
        {"Bytes 5-9/*", true, 5, 9, std::nullopt},
        {"bytes 9-5/100", false, 0, 0, std::nullopt},
        {"bytes 0-100/100", false, 0, 0, std::nullopt},
        {"bytes */100", false, 0, 0, std::nullopt},
        {"bytes 0-99999999999999999999/*", false, 0, 0, std::nullopt},
        {"items 0-9/10", false, 0, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto range = ParseContentRange(c.value);
        ASSERT_EQ(range.has_value(), c.valid) << c.value;
        if (range) {
            EXPECT_EQ(range->first, c.first);
            EXPECT_EQ(range->last, c.last);
            EXPECT_EQ(range->total, c.total);
        }
    }
}

TEST(MessageMediaRules, HlsStreamIsOneEntry) {
    const std::string master =
        "#EXTM3U\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=800000,RESOLUTION=640x360\nlo/index.m3u8\n"
        "#EXT-X-STREAM-INF:BANDWIDTH=3000000,RESOLUTION=1280x720\nhi/index.m3u8\n";
    Listing listing;
    const auto playlistAnswer = [](const std::string& url, const std::string& body,
                                   const char* coding) {
        HttpExchange exchange = Exchange(
            url, 200,
            {{"Content-Type", "application/vnd.apple.mpegurl"}, {"Content-Encoding", coding}},
            body.size(), {{"Cookie", "session=42"}});
        return exchange;
    };
    listing.rules.OnExchange(
        playlistAnswer("https://cdn.test/show/master.m3u8", Gzip(master), "gzip"), Gzip(master),
        true);
    ASSERT_EQ(listing.catalogue.Count(), 1);
    SniffedMedia record = listing.catalogue.Records()[0];
    EXPECT_EQ(record.kind, "hls");
    EXPECT_EQ(record.type, "hls");
    EXPECT_EQ(record.size, 0u);
    EXPECT_EQ(RecordSizeText(record), "");
    EXPECT_EQ(record.detail, "1280x720, 3.00 Mbit/s\n640x360, 800 kbit/s\n");
    EXPECT_EQ(record.variantUrl, "https://cdn.test/show/hi/index.m3u8");
    EXPECT_NE(record.requestHeaders.find("Cookie: session=42"), std::string::npos);

    // The player fetches a variant and its segments, and the master again: nothing new is
    // listed; the entry learns the duration and the bytes of the segments seen.
    const std::string variant = MediaPlaylist("seg", 5);
    listing.rules.OnExchange(
        playlistAnswer("https://cdn.test/show/hi/index.m3u8", Brotli(variant), "br"),
        Brotli(variant), true);
    for (int i = 0; i < 3; ++i) {
        const std::string url = "https://cdn.test/show/hi/seg" + std::to_string(i) + ".ts";
        listing.rules.OnExchange(Answer(url, "video/mp2t", 400000), TransportStreamStart(), true);
        listing.rules.OnExchange(Answer(url, "video/mp2t", 400000), TransportStreamStart(), true);
    }
    listing.rules.OnExchange(
        playlistAnswer("https://cdn.test/show/master.m3u8", Gzip(master), "gzip"), Gzip(master),
        true);
    ASSERT_EQ(listing.catalogue.Count(), 1);
    record = listing.catalogue.Records()[0];
    EXPECT_DOUBLE_EQ(record.durationSeconds, 20.0);
    EXPECT_EQ(record.size, 1200000u);
    EXPECT_EQ(RecordSizeText(record), "1.14 MB");
}

TEST(MessageMediaRules, PlaylistsInEveryCodingAndType) {
    const std::string url = "https://cdn.test/live/chan.m3u8";
    const std::string text = MediaPlaylist("https://seg.test/chan/", 3, false);
    const std::string mpd =
        "<?xml version='1.0'?><MPD type='static' mediaPresentationDuration='PT8S'><Period>"
        "<AdaptationSet mimeType='video/mp4'><SegmentTemplate media='s-$Number$.m4s'/>"
        "<Representation id='1' bandwidth='900000' width='854' height='480'/>"
        "</AdaptationSet></Period></MPD>";
    struct Case {
        const char* name;
        const char* type;
        const char* coding;
        std::string body;
        const char* kind;
        double seconds;
        bool asRange = false;  // a 206 of every byte, as players ask for "bytes=0-"
    };
    const Case cases[] = {
        {"plain, x-mpegurl", "application/x-mpegurl", "", text, "hls", 12},
        {"gzip, octet-stream", "application/octet-stream", "gzip", Gzip(text), "hls", 12},
        {"zlib deflate, text", "text/plain", "deflate", ZlibDeflate(text), "hls", 12},
        {"raw deflate, no type", "", "deflate", RawDeflate(text), "hls", 12},
        {"br, audio/mpegurl", "audio/mpegurl", "br", Brotli(text), "hls", 12},
        {"zstd, dash+xml", "application/dash+xml", "zstd", Zstd(mpd), "dash", 8},
        {"MPD by its root, binary/octet-stream", "binary/octet-stream", "", mpd, "dash", 8},
        {"206 of every byte, mpegurl", "application/vnd.apple.mpegurl", "", text, "hls", 12, true},
        {"206 of every byte, dash+xml", "application/dash+xml", "", mpd, "dash", 8, true},
    };
    for (const Case& c : cases) {
        Listing listing;
        std::vector<HttpHeader> headers;
        if (*c.type != '\0')
            headers.push_back({"Content-Type", c.type});
        if (*c.coding != '\0')
            headers.push_back({"Content-Encoding", c.coding});
        if (c.asRange) {
            const std::string total = std::to_string(c.body.size());
            headers.push_back({"Content-Range", RangeText(0, c.body.size() - 1, total)});
        }
        listing.rules.OnExchange(Exchange(url, c.asRange ? 206 : 200, headers, c.body.size()),
                                 c.body, true);
        ASSERT_EQ(listing.catalogue.Count(), 1) << c.name;
        const SniffedMedia record = listing.catalogue.Records()[0];
        EXPECT_EQ(record.kind, c.kind) << c.name;
        EXPECT_EQ(record.type, c.kind) << c.name;
        EXPECT_DOUBLE_EQ(record.durationSeconds, c.seconds) << c.name;
        // What the playlist names is its own: segments never list.
        const std::string segment = std::string(c.kind) == "hls" ? "https://seg.test/chan/1.ts"
                                                                 : "https://cdn.test/live/s-7.m4s";
        listing.rules.OnExchange(Answer(segment, "video/mp4", 2000000), Mp4Start(), true);
        EXPECT_EQ(listing.catalogue.Count(), 1) << c.name;
    }
}

TEST(MessageMediaRules, SegmentsNeverPushRealEntriesOff) {
    Listing listing;
    // Three real media first.
    for (int i = 0; i < 3; ++i) {
        listing.rules.OnExchange(
            Answer("https://site.test/clip" + std::to_string(i) + ".mp4", "video/mp4", 1000000 + i),
            Mp4Start(), true);
    }
    // A listed stream's own segments.
    listing.rules.OnExchange(
        Exchange("https://cdn.test/a/index.m3u8", 200,
                 {{"Content-Type", "application/vnd.apple.mpegurl"}}, std::nullopt),
        MediaPlaylist("part", 300), true);
    for (int i = 0; i < 300; ++i) {
        listing.rules.OnExchange(
            Answer("https://cdn.test/a/part" + std::to_string(i) + ".ts", "video/mp2t", 500000 + i),
            TransportStreamStart(), true);
    }
    // Streams whose playlists were never seen: numbered transport stream segments, movie
    // fragments, segment paths known by their extension alone, ADTS runs.
    for (int i = 0; i < 300; ++i) {
        const std::string n = std::to_string(i);
        listing.rules.OnExchange(
            Answer("http://live.test/ch1/seg_" + n + ".ts", "video/MP2T", 600000 + i),
            TransportStreamStart(), true);
        listing.rules.OnExchange(Answer("http://dash.test/v/chunk-" + n, "video/mp4", 700000 + i),
                                 Padded(std::string("\0\0\0\x68moof\0\0\0\x10mfhd", 16)), true);
        listing.rules.OnResponseHead(Exchange(
            "http://dash.test/v/" + n + ".m4s", 206,
            {{"Content-Type", "video/iso.segment"}, {"Content-Range", "bytes 10-300009/900000"}},
            300000));
        listing.rules.OnExchange(
            Answer("http://radio.test/aac/" + n + ".aac", "application/octet-stream", 800000 + i),
            AdtsFrames(), true);
    }
    // Repeated ranges of a listed medium.
    for (int i = 0; i < 100; ++i) {
        listing.rules.OnExchange(
            RangeAnswer("https://site.test/clip0.mp4", "video/mp4", 0, 999, "1000000", ""),
            Mp4Start(), true);
    }
    const auto records = listing.catalogue.Records();
    std::vector<std::string> urls;
    for (const SniffedMedia& record : records) urls.push_back(record.url);
    EXPECT_EQ(urls, (std::vector<std::string>{
                        "https://site.test/clip0.mp4", "https://site.test/clip1.mp4",
                        "https://site.test/clip2.mp4", "https://cdn.test/a/index.m3u8",
                        "http://live.test/ch1/seg_0.ts", "http://radio.test/aac/0.aac"}));
    EXPECT_EQ(records[3].size, 300u * 500000u + 300u * 299u / 2u);
}

TEST(MessageMediaRules, WhatTheRulesRememberIsBounded) {
    Collector collector;
    // More listed streams than are kept, each owning thousands of segments.
    for (std::size_t p = 0; p < MessageMediaRules::kMaxStreams + 6; ++p) {
        const std::string folder = "https://cdn.test/s" + std::to_string(p) + "/";
        collector.rules.OnExchange(
            Exchange(folder + "index.m3u8", 200, {{"Content-Type", "application/x-mpegurl"}},
                     std::nullopt),
            MediaPlaylist("segment-with-a-long-name-", 4000), true);
    }
    EXPECT_LE(collector.rules.OwnedCount(), MessageMediaRules::kMaxOwnedUrls);
    EXPECT_GT(collector.rules.OwnedCount(), MessageMediaRules::kMaxOwnedUrls / 2);
    EXPECT_EQ(collector.reports.size(), MessageMediaRules::kMaxStreams + 6);
    // The oldest streams' segments are forgotten first; the newest stream's are still its own
    // (their answer only updates its size).
    collector.reports.clear();
    collector.rules.OnExchange(
        Answer("https://cdn.test/s69/segment-with-a-long-name-3999.ts", "video/mp2t", 400000),
        TransportStreamStart(), true);
    ASSERT_EQ(collector.reports.size(), 1u);
    EXPECT_EQ(collector.reports[0].url, "https://cdn.test/s69/index.m3u8");
    EXPECT_EQ(collector.reports[0].lengthText, "400000");
    collector.rules.Reset();
    EXPECT_EQ(collector.rules.OwnedCount(), 0u);
}

TEST(MessageMediaRules, SharedByCaptureThreads) {
    Listing listing;
    listing.rules.OnExchange(Exchange("https://cdn.test/t/index.m3u8", 200,
                                      {{"Content-Type", "application/x-mpegurl"}}, std::nullopt),
                             MediaPlaylist("s", 400), true);
    std::thread segments([&] {
        for (int i = 0; i < 400; ++i) {
            listing.rules.OnExchange(
                Answer("https://cdn.test/t/s" + std::to_string(i) + ".ts", "video/mp2t", 300000),
                TransportStreamStart(), true);
        }
    });
    std::thread files([&] {
        for (int i = 0; i < 20; ++i) {
            listing.rules.OnExchange(Answer("https://site.test/f" + std::to_string(i) + ".webm",
                                            "video/webm", 200000 + i),
                                     MatroskaStart("webm"), true);
        }
    });
    segments.join();
    files.join();
    EXPECT_EQ(listing.catalogue.Count(), 21);
    EXPECT_EQ(listing.catalogue.Records()[0].size, 400u * 300000u);
}
