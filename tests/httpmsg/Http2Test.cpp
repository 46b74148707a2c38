#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "HttpRecording.h"
#include "support/Http2Frames.h"

namespace {

HeaderFields Request(const std::string& path, HeaderFields extra = {}) {
    HeaderFields fields = {
        {":method", "GET"}, {":scheme", "https"}, {":authority", "media.test"}, {":path", path}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return fields;
}

HeaderFields Response(const std::string& status, HeaderFields extra = {}) {
    HeaderFields fields = {{":status", status}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return fields;
}

// The two sides of one HTTP/2 connection, each with its own HPACK encoder.
struct Peers {
    h2::Encoder client;
    h2::Encoder server;
    std::string Open() { return std::string(kHttp2Preface) + h2::Settings({}); }
};

// Concatenates in order: the encoders must see the blocks in the order they are sent, and the
// operands of + are evaluated in no set order.
std::string Join(std::initializer_list<std::string> parts) {
    std::string joined;
    for (const std::string& part : parts) joined += part;
    return joined;
}

struct Case {
    const char* name;
    std::function<std::vector<Chunk>(Peers&)> build;
    std::vector<std::string> lines;
    bool gaveUp = false;
    const char* alpn = nullptr;
};

void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        Peers peers;
        const std::vector<Chunk> chunks = c.build(peers);
        for (const Split split : {Split::Whole, Split::Bytes, Split::Random}) {
            for (unsigned seed = 1; seed <= (split == Split::Random ? 5u : 1u); ++seed) {
                MemoryBudget budget;
                const Outcome outcome = Converse(chunks, split, budget, 8, seed, {}, c.alpn);
                EXPECT_EQ(outcome.lines, c.lines)
                    << c.name << ", split " << static_cast<int>(split);
                EXPECT_EQ(outcome.gaveUp, c.gaveUp)
                    << c.name << ", split " << static_cast<int>(split);
                EXPECT_EQ(budget.Used(), 0u) << c.name;
            }
        }
    }
}

const HeaderFields kBrowser = {{"user-agent", "Mozilla/5.0 (X11; Linux x86_64) test"},
                               {"accept", "*/*"},
                               {"cookie", "session=0123456789abcdef"},
                               {"referer", "https://media.test/page.html"}};

}  // namespace

TEST(Http2, StreamsFramesAndHeaderBlocks) {
    RunCases({
        {"concurrent streams, interleaved",
         [](Peers& p) {
             return std::vector<Chunk>{
                 Client(Join({p.Open(), p.client.Headers(1, Request("/a"), true),
                              p.client.Headers(3, Request("/b"), true)})),
                 Server(
                     Join({h2::Settings({}), h2::Frame(h2::kSettings, h2::kAck, 0, ""),
                           p.server.Headers(3, Response("200", {{"content-length", "6"}}), false),
                           p.server.Headers(1, Response("200", {{"content-length", "5"}}), false),
                           h2::Data(1, "hel", false), h2::Data(3, "wor", false),
                           h2::Data(1, "lo", true), h2::Data(3, "ld!", true)})),
             };
         },
         {"head GET http://media.test/b 200 length 6 stream 3",
          "head GET http://media.test/a 200 length 5 stream 1", "body /a [hello] complete",
          "body /b [world!] complete"}},
        {"header blocks split over CONTINUATION frames",
         [](Peers& p) {
             HeaderFields many = kBrowser;
             for (int i = 0; i < 30; ++i)
                 many.push_back({"x-field-" + std::to_string(i), std::string(40, 'v')});
             return std::vector<Chunk>{
                 Client(p.Open() + p.client.Headers(1, Request("/split", many), true, 50)),
                 Server(p.server.Headers(1, Response("200", many), false, 7) +
                        h2::Data(1, "body", true)),
             };
         },
         {"head GET http://media.test/split 200 stream 1", "body /split [body] complete"}},
        {"padding and priority",
         [](Peers& p) {
             return std::vector<Chunk>{
                 Client(p.Open() + p.client.Headers(1, Request("/pad"), true, 0, 17, true)),
                 Server(p.server.Headers(1, Response("200"), false, 0, 200) +
                        h2::Data(1, "abc", false, 33) + h2::Data(1, "", false, 1) +
                        h2::Data(1, "def", true, 256)),
             };
         },
         {"head GET http://media.test/pad 200 stream 1", "body /pad [abcdef] complete"}},
        {"the dynamic table carries across blocks, and follows the announced size",
         [](Peers& p) {
             std::string client = p.Open();
             for (int i = 1; i <= 5; i += 2)
                 client += p.client.Headers(i, Request("/r" + std::to_string(i), kBrowser), true);
             // The client allows the server's table to grow; the server then uses it.
             client += h2::Settings({{1, 8192}});
             p.server.SetTableSize(8192);
             std::string server;
             for (int i = 1; i <= 5; i += 2) {
                 server += p.server.Headers(
                     i, Response("200", {{"content-type", "video/mp4"}, {"server", "test"}}),
                     false);
                 server += h2::Data(i, "r" + std::to_string(i), true);
             }
             return std::vector<Chunk>{Client(client), Server(server)};
         },
         {"head GET http://media.test/r1 200 stream 1", "body /r1 [r1] complete",
          "head GET http://media.test/r3 200 stream 3", "body /r3 [r3] complete",
          "head GET http://media.test/r5 200 stream 5", "body /r5 [r5] complete"}},
        {"a pushed response is tied to its promised request",
         [](Peers& p) {
             HeaderFields promised = Request("/pushed.js");
             return std::vector<Chunk>{
                 Client(p.Open() + p.client.Headers(1, Request("/index.html"), true)),
                 Server(
                     Join({p.server.Headers(1, promised, false, 0, 5, false, 2),
                           p.server.Headers(1, Response("200"), false),
                           p.server.Headers(2, Response("200", {{"content-length", "4"}}), false),
                           h2::Data(2, "push", true), h2::Data(1, "page", true)})),
             };
         },
         {"head GET http://media.test/index.html 200 stream 1",
          "head GET http://media.test/pushed.js 200 length 4 stream 2",
          "body /pushed.js [push] complete", "body /index.html [page] complete"}},
        {"RST_STREAM ends one stream, the other goes on",
         [](Peers& p) {
             return std::vector<Chunk>{
                 Client(Join({p.Open(), p.client.Headers(1, Request("/one"), true),
                              p.client.Headers(3, Request("/two"), true)})),
                 Server(
                     Join({p.server.Headers(1, Response("200"), false), h2::Data(1, "par", false),
                           p.server.Headers(3, Response("200"), false)})),
                 Client(h2::Frame(h2::kRstStream, 0, 1, h2::Be32(8))),
                 Server(h2::Data(3, "whole", true)),
             };
         },
         {"head GET http://media.test/one 200 stream 1",
          "head GET http://media.test/two 200 stream 3", "body /one [par] partial",
          "body /two [whole] complete"}},
        {"103 Early Hints, control frames and unknown frames are passed over; trailers end a body",
         [](Peers& p) {
             return std::vector<Chunk>{
                 Client(p.Open() + h2::Frame(h2::kWindowUpdate, 0, 0, h2::Be32(1 << 20)) +
                        p.client.Headers(1, Request("/t"), true) +
                        h2::Frame(h2::kPriority, 0, 1, h2::Be32(0) + "\x10") +
                        h2::Frame(0xFA, 0xFF, 1, "unknown extension frame")),
                 Server(Join({p.server.Headers(1, Response("103", {{"link", "</s.css>"}}), false),
                              h2::Frame(h2::kPing, 0, 0, "12345678"),
                              p.server.Headers(1, Response("200"), false), h2::Data(1, "tr", false),
                              p.server.Headers(1, {{"x-checksum", "1"}}, true)})),
             };
         },
         {"head GET http://media.test/t 200 stream 1", "body /t [tr] complete"}},
        {"HEAD and 304 answers have no body; a HEADERS that ends the stream neither",
         [](Peers& p) {
             HeaderFields head = Request("/h");
             head[0].second = "HEAD";
             return std::vector<Chunk>{
                 Client(Join({p.Open(), p.client.Headers(1, head, true),
                              p.client.Headers(3, Request("/n"), true),
                              p.client.Headers(5, Request("/e"), true)})),
                 Server(Join(
                     {p.server.Headers(1, Response("200", {{"content-length", "900000"}}), true),
                      p.server.Headers(3, Response("304", {{"content-length", "900000"}}), true),
                      p.server.Headers(5, Response("200", {{"content-length", "0"}}), true)})),
             };
         },
         {"head HEAD http://media.test/h 200 stream 1", "body /h [] complete",
          "head GET http://media.test/n 304 stream 3", "body /n [] complete",
          "head GET http://media.test/e 200 length 0 stream 5", "body /e [] complete"}},
        {"GOAWAY: streams past the last one taken are never answered",
         [](Peers& p) {
             return std::vector<Chunk>{
                 Client(Join({p.Open(), p.client.Headers(1, Request("/kept"), true),
                              p.client.Headers(3, Request("/dropped"), true)})),
                 Server(h2::Frame(h2::kGoAway, 0, 0, h2::Be32(1) + h2::Be32(0) + "bye") +
                        p.server.Headers(1, Response("200"), false) + h2::Data(1, "k", true)),
             };
         },
         {"head GET http://media.test/kept 200 stream 1", "body /kept [k] complete"}},
        {"told h2 by TLS",
         [](Peers& p) {
             return std::vector<Chunk>{
                 Server(h2::Settings({})),  // the server may speak first
                 Client(p.Open() + p.client.Headers(1, Request("/alpn"), true)),
                 Server(p.server.Headers(1, Response("200"), false) + h2::Data(1, "x", true)),
             };
         },
         {"head GET http://media.test/alpn 200 stream 1", "body /alpn [x] complete"},
         false,
         "h2"},
        {"the server speaks before the client's preface shows HTTP/2",
         [](Peers& p) {
             return std::vector<Chunk>{
                 Server(h2::Settings({{4, 65535}})),
                 Client(p.Open() + p.client.Headers(1, Request("/early"), true)),
                 Server(p.server.Headers(1, Response("200"), false) + h2::Data(1, "x", true)),
             };
         },
         {"head GET http://media.test/early 200 stream 1", "body /early [x] complete"}},
        {"larger frames once the receiver allowed them",
         [](Peers& p) {
             return std::vector<Chunk>{
                 Client(p.Open() + h2::Settings({{5, 65536}}) +
                        p.client.Headers(1, Request("/large"), true)),
                 Server(p.server.Headers(1, Response("200"), false) +
                        h2::Data(1, std::string(60000, 'L'), true)),
             };
         },
         {"head GET http://media.test/large 200 stream 1", "body /large [LLLLLLLL] partial"}},
    });
}

// Whatever passes a bound or breaks the framing gives the connection up.
TEST(Http2, BoundsAndHostileFramesGiveUp) {
    const auto open = [](Peers& p, std::uint32_t stream = 1) {
        return p.Open() + p.client.Headers(stream, Request("/a"), true);
    };
    RunCases({
        {"no preface",
         [](Peers&) { return std::vector<Chunk>{Client("PRI * HTTP/2.0\r\n\r\nXX\r\n\r\n")}; },
         {},
         true,
         "h2"},
        {"frame past the announced maximum",
         [&](Peers& p) {
             return std::vector<Chunk>{Client(open(p)),
                                       Server(p.server.Headers(1, Response("200"), false) +
                                              h2::Data(1, std::string(16385, 'x'), true))};
         },
         {"head GET http://media.test/a 200 stream 1", "body /a [] partial"},
         true},
        {"a maximum frame size below the smallest allowed",
         [&](Peers& p) {
             return std::vector<Chunk>{Client(p.Open() + h2::Settings({{5, 1000}}))};
         },
         {},
         true},
        {"DATA inside a header block",
         [&](Peers& p) {
             const std::string headers = p.client.Headers(1, Request("/a", kBrowser), true, 10);
             // The HEADERS frame alone (no END_HEADERS), then DATA instead of CONTINUATION.
             const std::size_t first = 9 + 10;
             return std::vector<Chunk>{
                 Client(p.Open() + headers.substr(0, first) + h2::Data(1, "x", true))};
         },
         {},
         true},
        {"CONTINUATION without a header block",
         [&](Peers& p) {
             return std::vector<Chunk>{
                 Client(p.Open() + h2::Frame(h2::kContinuation, h2::kEndHeaders, 1, ""))};
         },
         {},
         true},
        {"padding longer than its frame",
         [&](Peers& p) {
             return std::vector<Chunk>{Client(open(p)),
                                       Server(p.server.Headers(1, Response("200"), false) +
                                              h2::Frame(h2::kData, h2::kPadded, 1,
                                                        std::string("\x05"
                                                                    "abc")))};
         },
         {"head GET http://media.test/a 200 stream 1", "body /a [] partial"},
         true},
        {"header list past 64 KiB",
         [&](Peers& p) {
             HeaderFields big;
             for (int i = 0; i < 20; ++i)
                 big.push_back({"x-big-" + std::to_string(i), std::string(4000, 'b')});
             return std::vector<Chunk>{Client(p.Open() + h2::Settings({{5, 1 << 20}})),
                                       Client(p.client.Headers(1, Request("/a", big), true))};
         },
         {},
         true},
        {"table size update past what the other side announced",
         [&](Peers& p) {
             p.server.SetTableSize(8192);
             return std::vector<Chunk>{Client(open(p)),
                                       Server(p.server.Headers(1, Response("200"), true))};
         },
         {},
         true},
        {"more streams open than allowed",
         [&](Peers& p) {
             std::string client = p.Open();
             for (std::uint32_t i = 0; i < 257; ++i)
                 client += p.client.Headers(1 + 2 * i, Request("/s"), true);
             return std::vector<Chunk>{Client(client)};
         },
         {},
         true},
        {"a field value that would break the request apart as HTTP/1.1 text",
         [&](Peers& p) {
             return std::vector<Chunk>{
                 Client(p.Open() +
                        p.client.Headers(1, Request("/a", {{"x", "1\r\nInjected: yes"}}), true))};
         },
         {},
         true},
        {"an upper-case field name",
         [&](Peers& p) {
             return std::vector<Chunk>{
                 Client(p.Open() + p.client.Headers(1, Request("/a", {{"Cookie", "a"}}), true))};
         },
         {},
         true},
        {"a pseudo-header after a regular field",
         [&](Peers& p) {
             return std::vector<Chunk>{
                 Client(p.Open() + p.client.Headers(
                                       1, {{":method", "GET"}, {"a", "b"}, {":path", "/"}}, true))};
         },
         {},
         true},
        {"a request without a path",
         [&](Peers& p) {
             return std::vector<Chunk>{
                 Client(p.Open() + p.client.Headers(1, {{":method", "GET"}}, true))};
         },
         {},
         true},
        {"a push from the client",
         [&](Peers& p) {
             return std::vector<Chunk>{Client(
                 Join({open(p), p.client.Headers(1, Request("/p"), false, 0, 0, false, 2)}))};
         },
         {},
         true},
        {"a request on an even stream",
         [&](Peers& p) { return std::vector<Chunk>{Client(open(p, 2))}; },
         {},
         true},
        {"SETTINGS of a length that is no multiple of six",
         [&](Peers& p) {
             return std::vector<Chunk>{Client(p.Open() + h2::Frame(h2::kSettings, 0, 0, "12345"))};
         },
         {},
         true},
        {"a body before its head",
         [&](Peers& p) {
             return std::vector<Chunk>{Client(open(p)), Server(h2::Data(1, "x", true))};
         },
         {},
         true},
        {"a status that is no number",
         [&](Peers& p) {
             return std::vector<Chunk>{Client(open(p)),
                                       Server(p.server.Headers(1, Response("2x0"), true))};
         },
         {},
         true},
    });
}

TEST(Http2, RequestWrittenAsHttp1TextForAFetch) {
    Peers peers;
    MemoryBudget budget;
    RecordingExchangeSink sink;
    HttpConnectionContext context;
    context.scheme = "https";
    context.serverPort = 443;
    auto connection = HttpConnection::Create(budget, sink, context);
    connection->SetAlpn("h2");
    const std::string client = peers.Open() + peers.client.Headers(1,
                                                                   {{":method", "GET"},
                                                                    {":scheme", "https"},
                                                                    {":path", "/v/clip.mp4"},
                                                                    {":authority", "media.test"},
                                                                    {"user-agent", "ua"},
                                                                    {"cookie", "a=1"},
                                                                    {"accept", "*/*"},
                                                                    {"cookie", "b=2"}},
                                                                   true);
    const std::string server = peers.server.Headers(
        1, Response("200", {{"content-type", "video/mp4"}, {"content-length", "123456789012"}}),
        false);
    ASSERT_TRUE(connection->OnData(
        Direction::ToServer, reinterpret_cast<const std::uint8_t*>(client.data()), client.size()));
    ASSERT_TRUE(connection->OnData(
        Direction::ToClient, reinterpret_cast<const std::uint8_t*>(server.data()), server.size()));
    ASSERT_EQ(sink.exchanges.size(), 1u);
    const HttpExchange& exchange = sink.exchanges[0];
    EXPECT_EQ(exchange.request.headerBlock,
              "GET /v/clip.mp4 HTTP/1.1\r\nHost: media.test\r\nuser-agent: ua\r\n"
              "cookie: a=1; b=2\r\naccept: */*\r\n\r\n");
    EXPECT_EQ(exchange.request.authority, "media.test");
    EXPECT_EQ(exchange.request.scheme, "https");
    EXPECT_EQ(*FindHeader(exchange.request.headers, "Cookie"), "a=1; b=2");
    EXPECT_EQ(exchange.contentLength, 123456789012u);
    EXPECT_EQ(*FindHeader(exchange.response.headers, "content-type"), "video/mp4");
    EXPECT_TRUE(exchange.http2);
    EXPECT_EQ(exchange.streamId, 1u);
    EXPECT_EQ(connection->CurrentProtocol(), HttpConnection::Protocol::Http2);
    connection.reset();
    EXPECT_EQ(budget.Used(), 0u);
}

// The header decoders take their memory from the budget: a connection whose budget is too
// small for them is given up, never served past it.
TEST(Http2, HeaderDecodersTakeTheirMemoryFromTheBudget) {
    for (const std::size_t limit : {std::size_t{4000}, std::size_t{12000}, std::size_t{200000}}) {
        Peers peers;
        MemoryBudget budget(limit);
        HeaderFields big;
        for (int i = 0; i < 10; ++i)
            big.push_back({"x-" + std::to_string(i), std::string(300, 'v')});
        const std::vector<Chunk> chunks = {
            Client(Join({peers.Open(), peers.client.Headers(1, Request("/a", big), true)})),
            Server(Join(
                {peers.server.Headers(1, Response("200", big), false), h2::Data(1, "x", true)}))};
        const Outcome outcome = Converse(chunks, Split::Whole, budget);
        EXPECT_EQ(outcome.gaveUp, limit < 200000) << limit;
        EXPECT_EQ(budget.Used(), 0u);
    }
}
