#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HttpRecording.h"
#include "support/FrameBuilder.h"

namespace {

std::string Get(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: media.test\r\n" + extra + "\r\n";
}

std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
}

struct Case {
    const char* name;
    std::vector<Chunk> chunks;
    std::vector<std::string> lines;
    bool gaveUp = false;
    std::size_t want = 8;
};

// Every case is read whole, one byte at a time and cut at random places, with the same result.
void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        for (const Split split : {Split::Whole, Split::Bytes, Split::Random}) {
            for (unsigned seed = 1; seed <= (split == Split::Random ? 5u : 1u); ++seed) {
                MemoryBudget budget;
                const Outcome outcome = Converse(c.chunks, split, budget, c.want, seed);
                EXPECT_EQ(outcome.lines, c.lines)
                    << c.name << ", split " << static_cast<int>(split);
                EXPECT_EQ(outcome.gaveUp, c.gaveUp)
                    << c.name << ", split " << static_cast<int>(split);
                EXPECT_EQ(budget.Used(), 0u) << c.name;
            }
        }
    }
}

}  // namespace

TEST(Http1, KeepAlivePipeliningAndBodyFraming) {
    const std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5;name=value;other=\"quoted;\"\r\nhello\r\n"
        "0000000000000000000006\r\n world\r\n"
        "0\r\nTrailer-One: 1\r\nTrailer-Two: 2\r\n\r\n";
    RunCases({
        {"keep-alive, three answers",
         {Client(Get("/a")), Server(Ok("first body")), Client(Get("/b")), Server(Ok("second")),
          Client(Get("/c")), Server(Ok(""))},
         {"head GET http://media.test/a 200 length 10", "body /a [first bo] partial",
          "head GET http://media.test/b 200 length 6", "body /b [second] complete",
          "head GET http://media.test/c 200 length 0", "body /c [] complete"}},
        {"pipelined: answers tied in order",
         {Client(Get("/1") + Get("/2") + Get("/3")), Server(Ok("one") + Ok("two") + Ok("three"))},
         {"head GET http://media.test/1 200 length 3", "body /1 [one] complete",
          "head GET http://media.test/2 200 length 3", "body /2 [two] complete",
          "head GET http://media.test/3 200 length 5", "body /3 [three] complete"}},
        {"chunked with extensions, leading zeros and trailers, then another answer",
         {Client(Get("/c") + Get("/d")), Server(chunked + Ok("next"))},
         {"head GET http://media.test/c 200", "body /c [hello world] complete",
          "head GET http://media.test/d 200 length 4", "body /d [next] complete"},
         false,
         64},
        {"chunk lines ended by LF alone",
         {Client(Get("/c")),
          Server("HTTP/1.1 200 OK\nTransfer-Encoding: gzip, chunked\n\n3\nabc\n0\n\n")},
         {"head GET http://media.test/c 200", "body /c [abc] complete"}},
        {"body until the close",
         {Client(Get("/live")), Server("HTTP/1.0 200 OK\r\nContent-Type: video/mp4\r\n\r\n"),
          Server("abc"), Server("def"), ServerFin()},
         {"head GET http://media.test/live 200", "body /live [abcdef] complete"},
         false,
         100},
        {"Transfer-Encoding wins over Content-Length",
         {Client(Get("/t")),
          Server("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "2\r\nok\r\n0\r\n\r\n")},
         {"head GET http://media.test/t 200", "body /t [ok] complete"}},
        {"no body for HEAD, 204 and 304, whatever they announce",
         {Client("HEAD /h HTTP/1.1\r\nHost: media.test\r\n\r\n" + Get("/n") + Get("/m") +
                 Get("/x")),
          Server("HTTP/1.1 200 OK\r\nContent-Length: 500000\r\n\r\n"
                 "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n"
                 "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n" +
                 Ok("after"))},
         {"head HEAD http://media.test/h 200", "body /h [] complete",
          "head GET http://media.test/n 204", "body /n [] complete",
          "head GET http://media.test/m 304", "body /m [] complete",
          "head GET http://media.test/x 200 length 5", "body /x [after] complete"}},
        {"100 Continue and 103 Early Hints come before the answer",
         {Client("POST /up HTTP/1.1\r\nHost: media.test\r\nContent-Length: 4\r\n"
                 "Expect: 100-continue\r\n\r\n"),
          Server("HTTP/1.1 100 Continue\r\n\r\n"), Client("data"),
          Server("HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\n" + Ok("done"))},
         {"head POST http://media.test/up 200 length 4", "body /up [done] complete"}},
        {"request bodies are skipped, chunked or by length",
         {Client("POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n" +
                 Get("/b")),
          Server(Ok("A") + Ok("B"))},
         {"head POST http:///a 200 length 1", "body /a [A] complete",
          "head GET http://media.test/b 200 length 1", "body /b [B] complete"}},
        {"absolute target, folded and odd-case headers, blank lines before a request",
         {Client("\r\n\r\nGET http://other.test:8080/p?q=1 HTTP/1.1\r\nhOsT: media.test\r\n"
                 "X-Long: one\r\n  two\r\n\r\n"),
          Server("HTTP/1.1 200 OK\r\ncontent-LENGTH: 2\r\n\r\nhi")},
         {"head GET http://other.test:8080/p?q=1 200 length 2", "body /p?q=1 [hi] complete"}},
        {"largest 64-bit length; the connection ends first",
         {Client(Get("/big")),
          Server("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615\r\n\r\nabc")},
         {"head GET http://media.test/big 200 length 18446744073709551615",
          "body /big [abc] partial"}},
        {"largest chunk size",
         {Client(Get("/big")),
          Server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFF\r\nxyz")},
         {"head GET http://media.test/big 200", "body /big [xyz] partial"}},
        {"body cut by the server's close",
         {Client(Get("/cut")), Server("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc"),
          ServerFin()},
         {"head GET http://media.test/cut 200 length 10", "body /cut [abc] partial"}},
        {"no bytes asked for, no body handed over",
         {Client(Get("/a")), Server(Ok("body"))},
         {"head GET http://media.test/a 200 length 4"},
         false,
         0},
    });
}

// Framing that cannot be followed gives the connection up, and no exchange is made from it.
TEST(Http1, HostileFramingGivesUpWithoutAWrongExchange) {
    const std::string huge(70000, 'a');
    RunCases({
        {"header block past 64 KiB",
         {Client("GET / HTTP/1.1\r\nX: " + huge + "\r\n\r\n"), Server(Ok("x"))},
         {},
         true},
        {"response head past 64 KiB",
         {Client(Get("/a")), Server("HTTP/1.1 200 OK\r\nX: " + huge + "\r\n\r\n")},
         {},
         true},
        {"Content-Length past 64 bits",
         {Client(Get("/a")),
          Server("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\nabc")},
         {},
         true},
        {"two different lengths",
         {Client(Get("/a")),
          Server("HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd")},
         {},
         true},
        {"a list of different lengths",
         {Client(Get("/a")), Server("HTTP/1.1 200 OK\r\nContent-Length: 3, 4\r\n\r\nabcd")},
         {},
         true},
        {"signed length",
         {Client(Get("/a")), Server("HTTP/1.1 200 OK\r\nContent-Length: +3\r\n\r\nabc")},
         {},
         true},
        {"request length that is no number",
         {Client("POST /a HTTP/1.1\r\nContent-Length: 1e3\r\n\r\n")},
         {},
         true},
        {"request body coded without chunked",
         {Client("POST /a HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n")},
         {},
         true},
        {"chunk size past 64 bits",
         {Client(Get("/a")),
          Server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\n")},
         {"head GET http://media.test/a 200", "body /a [] partial"},
         true},
        {"chunk size that is no number",
         {Client(Get("/a")), Server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n")},
         {"head GET http://media.test/a 200", "body /a [] partial"},
         true},
        {"chunk data not followed by its line end",
         {Client(Get("/a")),
          Server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n0\r\n\r\n")},
         {"head GET http://media.test/a 200", "body /a [ab] partial"},
         true},
        {"CR inside a chunk line",
         {Client(Get("/a")),
          Server("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2;a\rb\r\nab\r\n0\r\n\r\n")},
         {"head GET http://media.test/a 200", "body /a [] partial"},
         true},
        {"an answer to no request", {Server(Ok("stray"))}, {}, true},
        {"more answers than requests",
         {Client(Get("/a")), Server(Ok("1") + Ok("2"))},
         {"head GET http://media.test/a 200 length 1", "body /a [1] complete"},
         true},
        {"space before the colon", {Client("GET / HTTP/1.1\r\nHost : x\r\n\r\n")}, {}, true},
        {"bare CR in a header", {Client("GET / HTTP/1.1\r\nHost: x\ry\r\n\r\n")}, {}, true},
        {"NUL in a header",
         {Client(std::string("GET / HTTP/1.1\r\nHost: x") + '\0' + "y\r\n\r\n")},
         {},
         true},
        {"line without a colon", {Client("GET / HTTP/1.1\r\nHost\r\n\r\n")}, {}, true},
        {"HTTP/2 version in an HTTP/1.1 request line",
         {Client("GET / HTTP/2.0\r\n\r\n")},
         {},
         true},
        {"status that is no number",
         {Client(Get("/a")), Server("HTTP/1.1 2x0 OK\r\n\r\n")},
         {},
         true},
        {"switching protocols leaves HTTP",
         {Client(Get("/ws", "Upgrade: websocket\r\nConnection: Upgrade\r\n")),
          Server("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n")},
         {},
         true},
        {"a tunnel after CONNECT",
         {Client("CONNECT media.test:443 HTTP/1.1\r\nHost: media.test:443\r\n\r\n"),
          Server("HTTP/1.1 200 Connection established\r\n\r\n")},
         {},
         true},
    });
}

TEST(Http1, PipelinedRequestsAreBounded) {
    std::string requests;
    for (int i = 0; i < 65; ++i) requests += Get("/" + std::to_string(i));
    MemoryBudget budget;
    const Outcome outcome = Converse({Client(requests)}, Split::Whole, budget);
    EXPECT_TRUE(outcome.gaveUp);
    EXPECT_EQ(budget.Used(), 0u);
}

TEST(Http1, RequestFieldsAndTheHeaderBlockAsSent) {
    MemoryBudget budget;
    RecordingExchangeSink sink;
    HttpConnectionContext context;
    context.scheme = "https";
    context.serverAddress = Ipv4Address{10, 0, 0, 7};
    context.serverPort = 8443;
    auto connection = HttpConnection::Create(budget, sink, context);
    const std::string request =
        "GET /v/clip.mp4?x=1 HTTP/1.1\r\nHost: media.test\r\nCookie: a=1\r\n"
        "User-Agent: test agent\r\n\r\n";
    const std::string response = Ok("FLV...", "Content-Type: video/x-flv\r\n");
    ASSERT_TRUE(connection->OnData(Direction::ToServer,
                                   reinterpret_cast<const std::uint8_t*>(request.data()),
                                   request.size()));
    ASSERT_TRUE(connection->OnData(Direction::ToClient,
                                   reinterpret_cast<const std::uint8_t*>(response.data()),
                                   response.size()));
    ASSERT_EQ(sink.exchanges.size(), 1u);
    const HttpExchange& exchange = sink.exchanges[0];
    EXPECT_EQ(exchange.request.method, "GET");
    EXPECT_EQ(exchange.request.scheme, "https");
    EXPECT_EQ(exchange.request.authority, "media.test");
    EXPECT_EQ(exchange.request.target, "/v/clip.mp4?x=1");
    EXPECT_EQ(exchange.request.headerBlock, request);
    ASSERT_NE(FindHeader(exchange.request.headers, "COOKIE"), nullptr);
    EXPECT_EQ(*FindHeader(exchange.request.headers, "cookie"), "a=1");
    EXPECT_EQ(*FindHeader(exchange.response.headers, "content-type"), "video/x-flv");
    EXPECT_EQ(exchange.serverAddress, IpAddress(Ipv4Address{10, 0, 0, 7}));
    EXPECT_EQ(exchange.serverPort, 8443);
    EXPECT_FALSE(exchange.http2);
    EXPECT_EQ(connection->CurrentProtocol(), HttpConnection::Protocol::Http1);
}

// A large body is counted, not held: only the prefix asked for takes memory, and the budget
// bounds even that.
TEST(Http1, CollectedPrefixStaysWithinTheBudget) {
    MemoryBudget budget(64 * 1024);
    const std::string body(200000, 'b');
    const Outcome outcome =
        Converse({Client(Get("/big")), Server(Ok(body))}, Split::Whole, budget, 1u << 20);
    ASSERT_EQ(outcome.lines.size(), 2u);
    EXPECT_EQ(outcome.lines[0], "head GET http://media.test/big 200 length 200000");
    EXPECT_EQ(outcome.lines[1].substr(0, 11), "body /big [");
    EXPECT_NE(outcome.lines[1].find("] partial"), std::string::npos);
    EXPECT_LE(budget.Peak(), 64u * 1024);
    EXPECT_EQ(budget.Used(), 0u);
}

// The whole path of plain HTTP: frames, reassembly (segments out of order and retransmitted),
// the HTTP layer, the sink.
TEST(Http1, ThroughTcpReassembly) {
    class Sink : public TcpConnectionSink {
    public:
        Sink(MemoryBudget& budget, HttpExchangeSink& exchanges)
            : m_budget(budget), m_exchanges(exchanges) {}
        std::unique_ptr<TcpStreamHandler> OnConnection(const TcpConnectionInfo& info) override {
            HttpConnectionContext context;
            context.serverAddress = info.serverAddress;
            context.serverPort = info.serverPort;
            return HttpConnection::Create(m_budget, m_exchanges, context);
        }

    private:
        MemoryBudget& m_budget;
        HttpExchangeSink& m_exchanges;
    };
    const IpAddress client{Ipv4Address{10, 0, 0, 2}};
    const IpAddress server{Ipv4Address{10, 0, 0, 7}};
    const std::string request = Get("/clip.flv");
    const std::string response =
        Ok("FLV" + std::string(5000, 'v'), "Content-Type: video/x-flv\r\n");
    const auto segment = [&](bool fromClient, std::uint32_t offset, std::size_t size) {
        FrameLayout layout =
            fromClient ? ClientToServer(client, server, 40000, request.substr(offset, size))
                       : ServerToClient(server, client, 40000, response.substr(offset, size));
        layout.sequence = (fromClient ? 100u : 0xFFFFF000u) + 1 + offset;
        layout.acknowledgement =
            fromClient ? 0xFFFFF001u : 101u + static_cast<std::uint32_t>(request.size());
        layout.tcpFlags = kTcpAck;
        return BuildFrame(layout);
    };
    std::vector<std::vector<std::uint8_t>> frames;
    FrameLayout syn = ClientToServer(client, server, 40000, "");
    syn.sequence = 100;
    syn.tcpFlags = kTcpSyn;
    frames.push_back(BuildFrame(syn));
    FrameLayout synAck = ServerToClient(server, client, 40000, "");
    synAck.sequence = 0xFFFFF000u;
    synAck.acknowledgement = 101;
    synAck.tcpFlags = kTcpSyn | kTcpAck;
    frames.push_back(BuildFrame(synAck));
    frames.push_back(segment(true, 10, 1000));
    frames.push_back(segment(true, 0, 10));
    for (std::uint32_t at = 1400; at < response.size(); at += 1400)
        frames.push_back(segment(false, at, 1400));
    frames.push_back(segment(false, 0, 1400));
    frames.push_back(segment(false, 2800, 100));  // a retransmission

    MemoryBudget budget;
    RecordingExchangeSink exchanges;
    exchanges.want = 3;
    Sink sink(budget, exchanges);
    {
        TcpReassembler reassembler(budget, sink);
        for (const auto& frame : frames) {
            const auto view = DecodeFrame(frame.size(), frame.data(), LocalAddresses{client});
            ASSERT_TRUE(view);
            reassembler.HandlePacket(*view, 0);
        }
    }
    EXPECT_EQ(exchanges.lines,
              (std::vector<std::string>{"head GET http://media.test/clip.flv 200 length 5003",
                                        "body /clip.flv [FLV] partial"}));
    ASSERT_EQ(exchanges.exchanges.size(), 1u);
    EXPECT_EQ(exchanges.exchanges[0].serverAddress, server);
    EXPECT_EQ(exchanges.exchanges[0].serverPort, 80);
    EXPECT_EQ(budget.Used(), 0u);
}
