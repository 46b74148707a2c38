#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FrameBuilder.h"
#include "capture/MediaDetector.h"

namespace {

const Ipv4Address kClient{10, 0, 0, 2};
const Ipv4Address kServer{10, 0, 0, 7};

struct Report {
    std::string url, headers, length, type;
};

// Drives a detector with frames built on both sides of one connection.
class DetectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_detector.SetReportSink(
            [this](std::string url, std::string headers, std::string length, std::string type) {
                m_reports.push_back({url, headers, length, type});
            });
    }

    void Feed(const FrameSpec& spec, std::int64_t now = 1000) {
        const auto frame = BuildFrame(spec);
        const auto view = DecodeFrame(frame.size(), frame.data(), kClient);
        ASSERT_TRUE(view);
        m_detector.HandlePacket(*view, now);
    }
    void Send(std::string payload, std::uint16_t clientPort = 40000, Ipv4Address server = kServer) {
        Feed(ClientToServer(kClient, server, clientPort, std::move(payload)));
    }
    void Receive(std::string payload, std::uint16_t clientPort = 40000,
                 Ipv4Address server = kServer) {
        Feed(ServerToClient(server, kClient, clientPort, std::move(payload)));
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
    // Any further "HTTP" packet replaces the remembered response.
    Receive("HTTP/1.1 304 Not Modified\r\n\r\n", 40001);
    Receive("FLV after the 304");
    EXPECT_EQ(m_reports.size(), 2u);
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

TEST(BuildMediaUrl, TrimsBlanksAndBoundsLength) {
    PendingRequest request;
    request.destinationAddress = {192, 168, 0, 1};
    EXPECT_EQ(BuildMediaUrl(request), "");  // empty path
    request.path = "/a.flv ";
    EXPECT_EQ(BuildMediaUrl(request), "192.168.0.1/a.flv");
    request.path = "   ";
    EXPECT_EQ(BuildMediaUrl(request), "192.168.0.1   ");  // blanks only: unchanged
    request.host = "h";
    request.path = std::string(5000, 'p');
    EXPECT_EQ(BuildMediaUrl(request).size(), kMaxUrlLength);
}
