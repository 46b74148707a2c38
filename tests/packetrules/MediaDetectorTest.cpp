#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packetrules/MediaDetector.h"
#include "support/FrameBuilder.h"

namespace {

const Ipv4Address kClient{10, 0, 0, 2};
const Ipv4Address kServer{10, 0, 0, 7};
const IpAddress kClient6 = Ipv6("fd00:5::2");
const IpAddress kServer6 = Ipv6("fd00:5::7");

struct Report {
    std::string url, headers, length, type;
};

// Drives a detector with frames built on both sides of one connection.
class DetectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_detector.SetReportSink([this](MediaReport report) {
            // Reports name their scheme; the cases below compare host and path.
            EXPECT_EQ(report.url.rfind("http://", 0), 0u) << report.url;
            m_reports.push_back(
                {report.url.substr(7), report.requestHeaders, report.lengthText, report.typeText});
        });
    }

    void Feed(const FrameLayout& layout, std::int64_t now = 1000) {
        const auto frame = BuildFrame(layout);
        const auto view = DecodeFrame(frame.size(), frame.data(), {kClient, kClient6});
        ASSERT_TRUE(view);
        m_detector.HandlePacket(*view, now);
    }
    void Send(std::string payload, std::uint16_t clientPort = 40000, IpAddress server = kServer) {
        const IpAddress client = server.IsIpv4() ? IpAddress(kClient) : kClient6;
        Feed(ClientToServer(client, server, clientPort, std::move(payload)));
    }
    void Receive(std::string payload, std::uint16_t clientPort = 40000,
                 IpAddress server = kServer) {
        const IpAddress client = server.IsIpv4() ? IpAddress(kClient) : kClient6;
        Feed(ServerToClient(server, client, clientPort, std::move(payload)));
    }

    MediaDetector m_detector;
    std::vector<Report> m_reports;
};

}  // namespace

TEST_F(DetectorTest, FlashVideoInOnePacketIsReportedAtOnce) {
    Send(GetRequest("/v/clip.flv", "media.example"));
    Receive(ResponseHead("video/x-flv", 5242880) + "FLV\x01\x05");
    ASSERT_EQ(m_reports.size(), 1u);
    EXPECT_EQ(m_reports[0].url, "media.example/v/clip.flv");
    EXPECT_EQ(m_reports[0].headers, GetRequest("/v/clip.flv", "media.example"));
    EXPECT_EQ(m_reports[0].length, "5242880\r\n");
    EXPECT_EQ(m_reports[0].type, "x-flv\r\n");
    EXPECT_TRUE(m_detector.Pending().Empty());
}

TEST_F(DetectorTest, FlashVideoHeaderEndingWithItsPacketWaitsForTheBody) {
    Send(GetRequest("/v/split.flv", "media.example"));
    Receive(ResponseHead("video/x-flv", 300000));
    EXPECT_TRUE(m_reports.empty());
    Receive("FLV\x01\x05 body bytes");
    ASSERT_EQ(m_reports.size(), 1u);
    EXPECT_EQ(m_reports[0].url, "media.example/v/split.flv");
    EXPECT_EQ(m_reports[0].length, "300000\r\n");
    EXPECT_EQ(m_reports[0].type, "x-flv");
    // Body packets that do not start with the signature report nothing; one that does
    // reports again (the catalogue drops the repeat).
    Receive("more body bytes");
    Receive("FLV again");
    EXPECT_EQ(m_reports.size(), 2u);
    // An "HTTP" packet of another connection leaves this one's answer alone; one of the
    // same connection replaces it.
    Receive("HTTP/1.1 304 Not Modified\r\n\r\n", 40001);
    Receive("FLV after another connection's 304");
    EXPECT_EQ(m_reports.size(), 3u);
    Receive("HTTP/1.1 304 Not Modified\r\n\r\n");
    Receive("FLV after this connection's 304");
    EXPECT_EQ(m_reports.size(), 3u);
}

// Servers that send files with sendfile put each answer's header block in a packet of its own.
// With several transfers at once, header packets of other answers come between an answer and
// its body's first packet; each body must still be tied to its own request.
TEST_F(DetectorTest, OverlappingTransfersKeepTheirOwnAnswers) {
    struct Case {
        const char* name;
        const char* contentType;
        std::string body;
        const char* type;
        bool bodiesInHeaderOrder;
    };
    const Case cases[] = {
        {"Flash video, bodies in header order", "video/x-flv", "FLV\x01\x05", "x-flv", true},
        {"Flash video, bodies reversed", "video/x-flv", "FLV\x01\x05", "x-flv", false},
        {"MP3, bodies in header order", "audio/mpeg", "ID3\x03\x00", "MP3", true},
        {"MP3, bodies reversed", "audio/mpeg", "ID3\x03\x00", "MP3", false},
    };
    std::uint16_t port = 46000;
    for (const Case& c : cases) {
        m_reports.clear();
        const std::uint16_t first = ++port;
        const std::uint16_t second = ++port;
        Send(GetRequest("/one", "h"), first);
        Send(GetRequest("/two", "h"), second);
        Receive(ResponseHead(c.contentType, 111111), first);
        Receive(ResponseHead(c.contentType, 222222), second);
        EXPECT_TRUE(m_reports.empty()) << c.name;
        Receive(c.body + "body", c.bodiesInHeaderOrder ? first : second);
        Receive(c.body + "body", c.bodiesInHeaderOrder ? second : first);
        ASSERT_EQ(m_reports.size(), 2u) << c.name;
        for (const Report& report : m_reports) {
            EXPECT_EQ(report.length, report.url == "h/one" ? "111111\r\n" : "222222\r\n")
                << c.name << ": " << report.url;
            EXPECT_EQ(report.type, c.type) << c.name;
        }
        EXPECT_NE(m_reports[0].url, m_reports[1].url) << c.name;
    }
}

TEST_F(DetectorTest, Mp3BodyIsReportedOnlyFromTheFirstBodyPacketOfAHeaderOnlyAnswer) {
    // A bare acknowledgement in a padded frame carries no body byte and does not count.
    FrameLayout acknowledgement = ServerToClient(kServer, kClient, 47001, "");
    acknowledgement.padTo = 60;
    struct Case {
        const char* name;
        std::string head;                  // the answer's header packet
        std::vector<FrameLayout> between;  // packets of the same connection before "ID3"
        std::size_t reports;
        const char* type;  // of the last report
        std::string body = "ID3\x03 frames";
    };
    const Case cases[] = {
        {"next packet", ResponseHead("audio/mpeg", 300000), {}, 1, "MP3"},
        {"after a bare acknowledgement",
         ResponseHead("audio/mpeg", 300000),
         {acknowledgement},
         1,
         "MP3"},
        {"second body packet",
         ResponseHead("audio/mpeg", 300000),
         {ServerToClient(kServer, kClient, 47001, "not a tag")},
         0,
         ""},
        {"header packet brought body bytes", ResponseHead("audio/mpeg", 300000) + "xyz", {}, 0, ""},
        // The video rule reported it already; the body adds nothing.
        {"video content type", ResponseHead("video/mp4", 300000), {}, 1, "mp4\r\n"},
        // A tag that mentions "HTTP" is still the body's first packet.
        {"body packet holding HTTP",
         ResponseHead("audio/mpeg", 300000),
         {},
         1,
         "MP3",
         "ID3\x03 COMM HTTP"},
    };
    for (const Case& c : cases) {
        m_reports.clear();
        Send(GetRequest("/s.mp3", "h"), 47001);
        Receive(c.head, 47001);
        for (const FrameLayout& layout : c.between) Feed(layout);
        Receive(c.body, 47001);
        Receive("ID3\x03 again", 47001);
        ASSERT_EQ(m_reports.size(), c.reports) << c.name;
        if (c.reports > 0) {
            EXPECT_EQ(m_reports.back().url, "h/s.mp3") << c.name;
            EXPECT_EQ(m_reports.back().type, c.type) << c.name;
        }
        EXPECT_EQ(m_detector.Answers().AwaitingBody(), 0u) << c.name;
    }
    // An answer tied to no request awaits nothing.
    Receive(ResponseHead("audio/mpeg", 300000), 47002);
    EXPECT_EQ(m_detector.Answers().AwaitingBody(), 0u);
}

TEST_F(DetectorTest, OneConnectionsAnswerNeverReachesAnother) {
    Send(GetRequest("/a.flv", "h"), 48001);
    Receive(ResponseHead("video/x-flv", 333333), 48001);
    // Another connection's answer tied to no request, then its Flash body: nothing.
    Receive(ResponseHead("video/x-flv", 444444), 48002);
    Receive("FLV\x01", 48002);
    EXPECT_TRUE(m_reports.empty());
    // The same ports over IPv6 are another connection again.
    Receive(ResponseHead("video/x-flv", 555555), 48001, kServer6);
    Receive("FLV\x01", 48001, kServer6);
    EXPECT_TRUE(m_reports.empty());
    Receive("FLV\x01", 48001);
    ASSERT_EQ(m_reports.size(), 1u);
    EXPECT_EQ(m_reports[0].url, "h/a.flv");
    EXPECT_EQ(m_reports[0].length, "333333\r\n");

    // A Flash body on a connection whose answer was never seen takes the adapter's last
    // answer, as without connections.
    m_reports.clear();
    Send(GetRequest("/b.flv", "h"), 48003);
    Receive(ResponseHead("video/x-flv", 666666), 48003);
    Receive("FLV\x01", 48999);
    ASSERT_EQ(m_reports.size(), 1u);
    EXPECT_EQ(m_reports[0].url, "h/b.flv");
}

TEST_F(DetectorTest, TaggedAndIpv6FramesCarryRequestsAndAnswers) {
    struct Case {
        const char* name;
        IpAddress server;
        std::vector<std::uint16_t> tags;
        std::vector<std::uint8_t> extensions;
        const char* url;
    };
    const Case cases[] = {
        {"IPv4, 802.1Q", kServer, {0x8100}, {}, "10.0.0.7/v.mp4"},
        {"IPv4, QinQ", kServer, {0x88A8, 0x8100}, {}, "10.0.0.7/v.mp4"},
        {"IPv6", kServer6, {}, {}, "[fd00:5::7]/v.mp4"},
        {"IPv6, extension headers", kServer6, {}, {0, 60, 44}, "[fd00:5::7]/v.mp4"},
        {"IPv6, QinQ, extension headers", kServer6, {0x88A8, 0x8100}, {43}, "[fd00:5::7]/v.mp4"},
    };
    std::uint16_t port = 49000;
    for (const Case& c : cases) {
        m_reports.clear();
        ++port;
        const IpAddress client = c.server.IsIpv4() ? IpAddress(kClient) : kClient6;
        FrameLayout request = ClientToServer(client, c.server, port, "GET /v.mp4 HTTP/1.1\r\n\r\n");
        FrameLayout answer =
            ServerToClient(c.server, client, port, ResponseHead("video/mp4", 777777));
        for (FrameLayout* layout : {&request, &answer}) {
            layout->vlanTags = c.tags;
            layout->extensionHeaders = c.extensions;
        }
        Feed(request);
        Feed(answer);
        ASSERT_EQ(m_reports.size(), 1u) << c.name;
        EXPECT_EQ(m_reports[0].url, c.url) << c.name;
    }
}

// The capture keeps only the bytes detection reads. A header packet cut off by the snapshot
// exactly after its blank line did bring body bytes: it is no header-only answer.
TEST_F(DetectorTest, AnswerCutByTheSnapshotIsNoHeaderOnlyAnswer) {
    const auto cut = [this](const std::string& head, std::uint16_t port) {
        const auto frame = BuildFrame(ServerToClient(kServer, kClient, port, head + "FLV body"));
        const std::size_t captured = frame.size() - 8;  // everything after the blank line
        const std::vector<std::uint8_t> bytes(frame.begin(), frame.begin() + captured);
        const auto view = DecodeFrame(bytes.size(), bytes.data(), {kClient}, frame.size());
        ASSERT_TRUE(view);
        EXPECT_EQ(view->wireLength, view->rawLength + 8);
        m_detector.HandlePacket(*view, 1000);
    };
    Send(GetRequest("/cut.flv", "h"), 50001);
    cut(ResponseHead("video/x-flv", 888888), 50001);
    ASSERT_EQ(m_reports.size(), 1u);
    EXPECT_EQ(m_reports[0].type, "x-flv\r\n");

    Send(GetRequest("/cut.mp3", "h"), 50002);
    cut(ResponseHead("audio/mpeg", 999999), 50002);
    EXPECT_EQ(m_detector.Answers().AwaitingBody(), 0u);
}

TEST_F(DetectorTest, ContentTypeRules) {
    struct Case {
        const char* name;
        std::string response;
        bool reported;
        std::string type;
    };
    const Case cases[] = {
        {"mp4 with body", ResponseHead("video/mp4", 200000) + "\0\0\0 ftypisom", true, "mp4\r\n"},
        {"mp4 header only", ResponseHead("video/mp4", 200000), true, "mp4\r\n"},
        {"not video, ID3 body", ResponseHead("audio/mpeg", 200000) + "ID3\x03", true, "MP3"},
        {"not video, FLV body", ResponseHead("application/octet-stream", 200000) + "FLV\x01", true,
         "x-flv"},
        {"not video, other body", ResponseHead("text/html", 200000) + "<html>", false, ""},
        {"no header end", "HTTP/1.1 200 OK\r\nContent-Length: 200000\r\nID3", false, ""},
        {"body too short for a signature", ResponseHead("audio/mpeg", 200000) + "ID", false, ""},
        {"lower-case header name, FLV body",
         "HTTP/1.1 200 OK\r\ncontent-type: video/x-flv\r\nContent-Length: 200000\r\n\r\nFLV\x01",
         true, "x-flv"},
        {"lower-case header name, other body",
         "HTTP/1.1 200 OK\r\ncontent-type: video/x-flv\r\nContent-Length: 200000\r\n\r\nxyz", false,
         ""},
        {"x-flv found in a later header",
         "HTTP/1.1 200 OK\r\nContent-Type: video/webm\r\nX-Note: x-flv\r\n\r\nbody", true,
         "webm\r\n"},
    };
    std::uint16_t port = 41000;
    for (const Case& c : cases) {
        m_reports.clear();
        ++port;
        Send(GetRequest("/m", "h"), port);
        Receive(c.response, port);
        EXPECT_EQ(m_reports.size(), c.reported ? 1u : 0u) << c.name;
        if (c.reported && !m_reports.empty()) {
            EXPECT_EQ(m_reports[0].type, c.type) << c.name;
        }
    }
}

TEST_F(DetectorTest, LengthTextIsTheValueWithItsLineEndOrEmpty) {
    Send(GetRequest("/a.mp4", "h"));
    Receive("HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\n\r\n");
    ASSERT_EQ(m_reports.size(), 1u);
    EXPECT_EQ(m_reports[0].length, "");
}

TEST_F(DetectorTest, UrlFromHostOrServerAddress) {
    struct Case {
        const char* name;
        std::string request;
        std::string url;
    };
    const Case cases[] = {
        {"no Host line", "GET /a.flv HTTP/1.1\r\nAccept: */*\r\n\r\n", "10.0.0.7/a.flv"},
        {"Host line", GetRequest("/a.flv", "cdn7"), "cdn7/a.flv"},
        {"Host with port", GetRequest("/a.flv", "cdn7:8080"), "cdn7:8080/a.flv"},
        {"Host of blanks only", "GET /a.flv HTTP/1.1\r\nHost:    \r\n\r\n", "10.0.0.7/a.flv"},
        {"Host with blanks around", "GET /a.flv HTTP/1.1\r\nHost:  cdn7  \r\n\r\n", "cdn7/a.flv"},
        {"Host line without its end", "GET /a.flv HTTP/1.1\r\nHost: cdn7", "10.0.0.7/a.flv"},
        {"text before GET", "junkGET /a.flv HTTP/1.1\r\nHost: cdn7\r\n\r\n", "cdn7/a.flv"},
    };
    std::uint16_t port = 42000;
    for (const Case& c : cases) {
        m_reports.clear();
        ++port;
        Send(c.request, port);
        Receive(ResponseHead("video/mp4", 123456), port);
        ASSERT_EQ(m_reports.size(), 1u) << c.name;
        EXPECT_EQ(m_reports[0].url, c.url) << c.name;
    }
}

TEST_F(DetectorTest, RequestHeaderBlock) {
    // From the payload start through the blank line, text before "GET " included.
    Send("junkGET /a HTTP/1.1\r\nHost: h\r\n\r\nbody after", 43001);
    // No blank line: the entry is still made, with empty headers.
    Send("GET /b HTTP/1.1\r\nHost: h\r\n", 43002);
    // A request line without the blank that ends the target is not remembered.
    Send("GET /c", 43003);
    ASSERT_EQ(m_detector.Pending().Size(), 2u);
    EXPECT_EQ(m_detector.Pending().Entries().front().requestHeaders,
              "junkGET /a HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(m_detector.Pending().Entries().front().path, "/a ");
    EXPECT_EQ(m_detector.Pending().Entries().front().host, "h");
    EXPECT_EQ(m_detector.Pending().Entries().back().requestHeaders, "");
    // Other methods are never remembered.
    Send("POST /d HTTP/1.1\r\nHost: h\r\n\r\n", 43004);
    Send("HEAD /e HTTP/1.1\r\nHost: h\r\n\r\n", 43005);
    EXPECT_EQ(m_detector.Pending().Size(), 2u);
}

TEST_F(DetectorTest, PipelinedRequestsGiveOneEntryForTheFirst) {
    Send(GetRequest("/one.flv", "h") + GetRequest("/two.flv", "h"));
    ASSERT_EQ(m_detector.Pending().Size(), 1u);
    EXPECT_EQ(m_detector.Pending().Entries().front().path, "/one.flv ");
}

TEST_F(DetectorTest, ResponsesWithoutAPendingRequestAreNotReported) {
    Receive(ResponseHead("video/mp4", 200000) + "body");
    Send(GetRequest("/a.mp4", "h"), 44000, Ipv4Address{10, 0, 0, 8});
    // Same ports, different server address.
    Receive(ResponseHead("video/mp4", 200000) + "body", 44000);
    EXPECT_TRUE(m_reports.empty());
    // A non-media response still consumes its request.
    Send(GetRequest("/page", "h"), 44001);
    Receive("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html>", 44001);
    Receive(ResponseHead("video/mp4", 200000), 44001);
    EXPECT_TRUE(m_reports.empty());
}

TEST_F(DetectorTest, MarkersPastTheScanWindowAreNotSeen) {
    // "GET " at byte 9000 of a large outgoing payload.
    Send(std::string(9000, 'a') + GetRequest("/late.flv", "h"));
    EXPECT_TRUE(m_detector.Pending().Empty());
    // "HTTP" at byte 9000 of a large incoming payload: neither a response nor a continuation.
    Send(GetRequest("/v.flv", "h"));
    Receive(std::string(9000, 'a') + ResponseHead("video/x-flv", 200000) + "FLV");
    EXPECT_TRUE(m_reports.empty());
    EXPECT_EQ(m_detector.Pending().Size(), 1u);
}

TEST_F(DetectorTest, HeaderEndSearchReachesPastTheScanWindow) {
    // A Flash video header whose blank line lies past byte 8192 and ends the packet exactly:
    // the search from "x-flv" runs to the payload end, so the report waits for the body.
    Send(GetRequest("/big.flv", "h"));
    Receive("HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: 300000\r\nX-Pad: " +
            std::string(9000, 'p') + "\r\n\r\n");
    EXPECT_TRUE(m_reports.empty());
    Receive("FLV\x01");
    ASSERT_EQ(m_reports.size(), 1u);
    EXPECT_EQ(m_reports[0].url, "h/big.flv");
}

TEST_F(DetectorTest, IgnoredUrlIsSuppressedOncePerEntry) {
    m_detector.IgnoreUrl("h/a.mp4", 1);
    m_detector.IgnoreUrl("h/b.mp4", 2);
    m_detector.IgnoreUrl("h/never-seen.mp4", 1);
    const char* sightings[] = {"/a.mp4", "/a.mp4", "/b.mp4", "/b.mp4", "/b.mp4"};
    std::uint16_t port = 45000;
    for (const char* target : sightings) {
        ++port;
        Send(GetRequest(target, "h"), port);
        Receive(ResponseHead("video/mp4", 200000), port);
    }
    ASSERT_EQ(m_reports.size(), 2u);
    EXPECT_EQ(m_reports[0].url, "h/a.mp4");
    EXPECT_EQ(m_reports[1].url, "h/b.mp4");
    // The entry for a URL never sighted stays.
    EXPECT_EQ(m_detector.IgnoreListSize(), 1u);
}

// The ignore list keeps at most 1024 entries; past that the oldest give way.
TEST_F(DetectorTest, IgnoreListKeepsTheNewest1024) {
    m_detector.IgnoreUrl("h/many.mp4", 5000);
    for (int i = 0; i < 2000; ++i) m_detector.IgnoreUrl("h/" + std::to_string(i) + ".mp4", 1);
    EXPECT_EQ(m_detector.IgnoreListSize(), 1024u);
    std::uint16_t port = 46000;
    for (const char* target : {"/0.mp4", "/1999.mp4", "/many.mp4"}) {
        ++port;
        Send(GetRequest(target, "h"), port);
        Receive(ResponseHead("video/mp4", 200000), port);
    }
    // The oldest entries went: their sightings are reported; the newest is still ignored.
    ASSERT_EQ(m_reports.size(), 2u);
    EXPECT_EQ(m_reports[0].url, "h/0.mp4");
    EXPECT_EQ(m_reports[1].url, "h/many.mp4");
}

TEST(BuildMediaUrl, TrimsBlanksOnlyAndBoundsLength) {
    PendingRequest request;
    request.destinationAddress = Ipv4Address{192, 168, 0, 1};
    EXPECT_EQ(BuildMediaUrl(request), "");  // empty path
    request.path = "/a.flv ";
    EXPECT_EQ(BuildMediaUrl(request), "192.168.0.1/a.flv");
    request.path = "   ";
    EXPECT_EQ(BuildMediaUrl(request), "192.168.0.1   ");  // blanks only: unchanged
    // Only blanks (space characters) go: a tab, a form feed, a line break stay in the URL.
    request.path = " /a\t.flv\f ";
    EXPECT_EQ(BuildMediaUrl(request), "192.168.0.1/a\t.flv\f");
    request.host = " \tcdn\v\f  ";
    request.path = "\n/b.flv\t";
    EXPECT_EQ(BuildMediaUrl(request), "\tcdn\v\f\n/b.flv\t");
    request.host = "\t";
    request.path = "/c.flv";
    EXPECT_EQ(BuildMediaUrl(request), "\t/c.flv");
    request.host = "   ";  // blanks only: no host, the server's address serves
    EXPECT_EQ(BuildMediaUrl(request), "192.168.0.1/c.flv");
    request.host.clear();
    request.destinationAddress = Ipv6("fd00::7");
    request.path = "/a.flv";
    EXPECT_EQ(BuildMediaUrl(request), "[fd00::7]/a.flv");
    request.host = "h";
    request.path = std::string(5000, 'p');
    EXPECT_EQ(BuildMediaUrl(request).size(), kMaxUrlLength);
}
