#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "HttpRecording.h"
#include "httpmsg/Http3Connection.h"
#include "support/Http3Frames.h"

namespace {

constexpr Direction kUp = Direction::ToServer;
constexpr Direction kDown = Direction::ToClient;

// Bytes of one stream in one direction, or its reset.
struct Piece {
    std::uint64_t stream;
    Direction direction;
    std::string bytes;
    bool fin = false;
    bool reset = false;
};

Piece Send(std::uint64_t stream, Direction direction, std::string bytes, bool fin = false) {
    return {stream, direction, std::move(bytes), fin};
}
Piece Reset(std::uint64_t stream, Direction direction) {
    return {stream, direction, {}, false, true};
}

h3::Fields Request(const std::string& path, h3::Fields extra = {},
                   const std::string& method = "GET") {
    h3::Fields fields = {
        {":method", method}, {":scheme", "https"}, {":authority", "media.test"}, {":path", path}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return fields;
}

h3::Fields Response(const std::string& status, h3::Fields extra = {}) {
    h3::Fields fields = {{":status", status}};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return fields;
}

const h3::Fields kBrowser = {{"user-agent", "Mozilla/5.0 (X11; Linux x86_64) test"},
                             {"accept", "*/*"},
                             {"cookie", "session=0123456789abcdef0123"},
                             {"referer", "https://media.test/page.html"}};

// Client streams: control 2, QPACK encoder 6, decoder 10; the server's: 3, 7, 11. Requests go
// on 0, 4, 8 and on.
struct Peers {
    h3::Encoder client;  // request headers
    h3::Encoder server;  // response headers

    static Piece Control(Direction side, std::uint64_t capacity = 4096,
                         std::uint64_t blocked = 16) {
        return Send(side == kUp ? 2 : 3, side,
                    h3::VarInt(h3::kControlStream) +
                        h3::Settings({{h3::kQpackMaxTableCapacity, capacity},
                                      {h3::kQpackBlockedStreams, blocked},
                                      {0x21, 7}}));  // a reserved setting, passed over
    }
    // Both sides' control streams with their SETTINGS, then the encoder and decoder streams.
    static std::vector<Piece> Open() {
        return {Control(kUp),
                Control(kDown),
                Send(6, kUp, h3::VarInt(h3::kEncoderStream)),
                Send(7, kDown, h3::VarInt(h3::kEncoderStream)),
                Send(10, kUp, h3::VarInt(h3::kDecoderStream)),
                Send(11, kDown, h3::VarInt(h3::kDecoderStream))};
    }
    // What the encoders put on their encoder streams since the last call.
    Piece ClientTable() { return Send(6, kUp, client.EncoderStream()); }
    Piece ServerTable() { return Send(7, kDown, server.EncoderStream()); }
};

std::vector<Piece> Join(std::vector<std::vector<Piece>> parts) {
    std::vector<Piece> joined;
    for (auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

// Feeds the pieces to a new connection (each piece whole, a byte at a time, or cut at random)
// and ends it.
Outcome Converse(const std::vector<Piece>& pieces, Split split, MemoryBudget& budget,
                 std::size_t want, unsigned seed = 1, const HttpLimits& limits = {},
                 bool whole = false) {
    RecordingExchangeSink sink;
    sink.want = want;
    sink.whole = whole;
    Outcome outcome;
    {
        HttpConnectionContext context;
        context.scheme = "https";
        context.serverPort = 443;
        auto connection = Http3Connection::Create(budget, sink, context, limits);
        if (!connection) {
            outcome.gaveUp = true;
            return outcome;
        }
        std::mt19937 random(seed);
        for (const Piece& piece : pieces) {
            if (outcome.gaveUp)
                break;
            if (piece.reset) {
                connection->OnStreamReset(piece.stream, piece.direction);
                continue;
            }
            const auto* data = reinterpret_cast<const std::uint8_t*>(piece.bytes.data());
            std::size_t at = 0;
            do {
                std::size_t size = piece.bytes.size() - at;
                if (split == Split::Bytes)
                    size = std::min<std::size_t>(size, 1);
                else if (split == Split::Random)
                    size = std::min<std::size_t>(size, 1 + random() % 40);
                const bool last = at + size == piece.bytes.size();
                outcome.gaveUp = !connection->OnStreamData(piece.stream, piece.direction, data + at,
                                                           size, last && piece.fin);
                at += size;
            } while (at < piece.bytes.size() && !outcome.gaveUp);
        }
        connection->OnEnd();
    }
    outcome.lines = std::move(sink.lines);
    return outcome;
}

struct Case {
    const char* name;
    std::function<std::vector<Piece>(Peers&)> build;
    std::vector<std::string> lines;
    bool gaveUp = false;
    std::size_t want = 64;
    bool whole = false;  // bodies taken whole through receivers too
};

void RunCases(const std::vector<Case>& cases, const HttpLimits& limits = {}) {
    for (const Case& c : cases) {
        Peers peers;
        const std::vector<Piece> pieces = c.build(peers);
        for (const Split split : {Split::Whole, Split::Bytes, Split::Random}) {
            for (unsigned seed = 1; seed <= (split == Split::Random ? 5u : 1u); ++seed) {
                MemoryBudget budget;
                const Outcome outcome =
                    Converse(pieces, split, budget, c.want, seed, limits, c.whole);
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

TEST(Http3, StreamsFramesAndHeaderBlocks) {
    RunCases({
        {"a GET and a 200 with a body in many DATA frames, unknown frames between them",
         [](Peers& p) {
             const std::string get = p.client.Headers(0, Request("/v/clip.mp4", kBrowser));
             const std::string head = p.server.Headers(
                 0, Response("200", {{"content-type", "video/mp4"}, {"content-length", "30"}}));
             return Join({Peers::Open(),
                          {p.ClientTable(), Send(0, kUp, get, true), p.ServerTable(),
                           Send(0, kDown,
                                head + h3::Data("0123456789") + h3::Frame(0x21, "grease") +
                                    h3::Data("") + h3::Data("abcdefghij") +
                                    h3::Frame(0x1f * 7 + 0x21, "") + h3::Data("ABCDEFGHIJ"),
                                true)}});
         },
         {"head GET https://media.test/v/clip.mp4 200 length 30 stream 0",
          "body /v/clip.mp4 [0123456789abcdefghijABCDEFGHIJ] complete"}},
        {"several requests on one connection, answers interleaved",
         [](Peers& p) {
             std::vector<Piece> pieces = Peers::Open();
             for (const std::uint64_t id : {0, 4, 8}) {
                 const std::string get =
                     p.client.Headers(id, Request("/s" + std::to_string(id), kBrowser));
                 pieces.push_back(p.ClientTable());
                 pieces.push_back(Send(id, kUp, get, true));
             }
             const std::string h8 = p.server.Headers(8, Response("200", {{"server", "t"}}));
             const std::string h0 = p.server.Headers(0, Response("200", {{"server", "t"}}));
             const std::string h4 = p.server.Headers(4, Response("206", {{"server", "t"}}));
             pieces.push_back(p.ServerTable());
             for (const Piece& piece :
                  {Send(8, kDown, h8 + h3::Data("eig")), Send(0, kDown, h0 + h3::Data("zer")),
                   Send(4, kDown, h4 + h3::Data("fou")), Send(0, kDown, h3::Data("o"), true),
                   Send(8, kDown, h3::Data("ht"), true), Send(4, kDown, h3::Data("r"), true)}) {
                 pieces.push_back(piece);
             }
             return pieces;
         },
         {"head GET https://media.test/s8 200 stream 8",
          "head GET https://media.test/s0 200 stream 0",
          "head GET https://media.test/s4 206 stream 4", "body /s0 [zero] complete",
          "body /s8 [eight] complete", "body /s4 [four] complete"}},
        {"header blocks that refer to table entries wait for the encoder streams",
         [](Peers& p) {
             const std::string get = p.client.Headers(0, Request("/blocked", kBrowser));
             const std::string head =
                 p.server.Headers(0, Response("200", {{"content-type", "audio/mpeg"}}));
             // Both blocks need entries only the encoder streams insert: their Required Insert
             // Count, after the frame's type and length, is not zero.
             const auto count = [](const std::string& frame) {
                 return frame[1 + (1u << (static_cast<std::uint8_t>(frame[1]) >> 6))];
             };
             EXPECT_NE(count(get), 0);
             EXPECT_NE(count(head), 0);
             return Join({Peers::Open(),
                          {Send(0, kUp, get, true), Send(0, kDown, head + h3::Data("mp3"), true),
                           p.ServerTable(), p.ClientTable()}});
         },
         {"head GET https://media.test/blocked 200 stream 0", "body /blocked [mp3] complete"}},
        {"a block and encoder instructions that come before the SETTINGS that allow the table",
         [](Peers& p) {
             const std::string get = p.client.Headers(0, Request("/early", kBrowser));
             const std::string head = p.server.Headers(0, Response("200"));
             return std::vector<Piece>{Send(6, kUp, h3::VarInt(h3::kEncoderStream)),
                                       p.ClientTable(),
                                       Send(0, kUp, get, true),
                                       Peers::Control(kDown),
                                       Peers::Control(kUp),
                                       Send(7, kDown, h3::VarInt(h3::kEncoderStream)),
                                       p.ServerTable(),
                                       Send(0, kDown, head + h3::Data("x"), true)};
         },
         {"head GET https://media.test/early 200 stream 0", "body /early [x] complete"}},
        {"a response whose request arrives after it",
         [](Peers& p) {
             const std::string get = p.client.Headers(4, Request("/late"));
             const std::string head = p.server.Headers(4, Response("200"));
             return Join({Peers::Open(),
                          {p.ServerTable(), Send(4, kDown, head + h3::Data("body"), true),
                           p.ClientTable(), Send(4, kUp, get, true)}});
         },
         {"head GET https://media.test/late 200 stream 4", "body /late [body] complete"}},
        {"interim answers, a push promise, trailers and streams of other types are passed over",
         [](Peers& p) {
             const std::string get = p.client.Headers(0, Request("/t"));
             const std::string early = p.server.Headers(0, Response("103", {{"link", "</s.css>"}}));
             const std::string head = p.server.Headers(0, Response("200"));
             const std::string trailers = p.server.Headers(0, {{"x-checksum", "1"}});
             return Join(
                 {Peers::Open(),
                  {Send(14, kUp, h3::VarInt(0x21) + "a reserved stream type"),
                   Send(15, kDown, h3::VarInt(h3::kPushStream) + h3::VarInt(0) + "pushed bytes"),
                   Send(18, kUp, h3::VarInt(0x1f * 3 + 0x21), true), p.ClientTable(),
                   Send(0, kUp, get + h3::Data("request body") + h3::Frame(0x40, "x"), true),
                   p.ServerTable(),
                   Send(0, kDown,
                        early + h3::Frame(h3::kPushPromise, h3::VarInt(0) + "promised block") +
                            head + h3::Data("tr") + trailers,
                        true),
                   Send(3, kDown,
                        h3::Frame(h3::kMaxPushId, h3::VarInt(9)) + h3::Frame(0x22, "x"))}});
         },
         {"head GET https://media.test/t 200 stream 0", "body /t [tr] complete"}},
        {"HEAD and 204 answers have no body; an answer may end right after its head",
         [](Peers& p) {
             const std::string h = p.client.Headers(0, Request("/h", {}, "HEAD"));
             const std::string n = p.client.Headers(4, Request("/n"));
             const std::string e = p.client.Headers(8, Request("/e"));
             const std::string rh =
                 p.server.Headers(0, Response("200", {{"content-length", "9000"}}));
             const std::string rn =
                 p.server.Headers(4, Response("204", {{"content-length", "9000"}}));
             const std::string re = p.server.Headers(8, Response("200", {{"content-length", "0"}}));
             return Join(
                 {Peers::Open(),
                  {p.ClientTable(), Send(0, kUp, h, true), Send(4, kUp, n, true),
                   Send(8, kUp, e, true), p.ServerTable(), Send(0, kDown, rh, true),
                   Send(4, kDown, rn, true), Send(8, kDown, re), Send(8, kDown, "", true)}});
         },
         {"head HEAD https://media.test/h 200 stream 0", "body /h [] complete",
          "head GET https://media.test/n 204 stream 4", "body /n [] complete",
          "head GET https://media.test/e 200 length 0 stream 8", "body /e [] complete"}},
        {"a reset ends its answer, the others go on; a request reset before its head is dropped",
         [](Peers& p) {
             const std::string one = p.client.Headers(0, Request("/one"));
             const std::string two = p.client.Headers(4, Request("/two"));
             const std::string three = p.client.Headers(8, Request("/three"));
             const std::string r1 = p.server.Headers(0, Response("200"));
             const std::string r2 = p.server.Headers(4, Response("200"));
             const std::string r3 = p.server.Headers(8, Response("200"));
             return Join({Peers::Open(),
                          {p.ClientTable(), Send(0, kUp, one, true), Send(4, kUp, two, true),
                           Send(8, kUp, three.substr(0, 3)), Reset(8, kUp), p.ServerTable(),
                           Send(0, kDown, r1 + h3::Data("par")), Send(4, kDown, r2),
                           Send(8, kDown, r3 + h3::Data("never"), true), Reset(0, kDown),
                           Send(0, kDown, h3::Data("after the reset"), true),
                           Send(4, kDown, h3::Data("whole"), true)}});
         },
         {"head GET https://media.test/one 200 stream 0",
          "head GET https://media.test/two 200 stream 4", "body /one [par] partial",
          "body /two [whole] complete"}},
        {"GOAWAY: requests from the one it names on are never answered, nor new ones read",
         [](Peers& p) {
             const std::string kept = p.client.Headers(0, Request("/kept"));
             const std::string dropped = p.client.Headers(4, Request("/dropped"));
             const std::string late = p.client.Headers(8, Request("/late"));
             const std::string r0 = p.server.Headers(0, Response("200"));
             const std::string r4 = p.server.Headers(4, Response("200"));
             const std::string r8 = p.server.Headers(8, Response("200"));
             return Join({Peers::Open(),
                          {p.ClientTable(), Send(0, kUp, kept, true), Send(4, kUp, dropped, true),
                           Send(3, kDown, h3::GoAway(4)), Send(8, kUp, late, true), p.ServerTable(),
                           Send(0, kDown, r0 + h3::Data("k"), true), Send(4, kDown, r4, true),
                           Send(8, kDown, r8, true), Send(3, kDown, h3::GoAway(0))}});
         },
         {"head GET https://media.test/kept 200 stream 0", "body /kept [k] complete"}},
        {"the connection ends while an answer collects, and mid-frame",
         [](Peers& p) {
             const std::string get = p.client.Headers(0, Request("/cut"));
             const std::string head = p.server.Headers(0, Response("200"));
             const std::string mid = p.client.Headers(4, Request("/mid"));
             const std::string head4 = p.server.Headers(4, Response("200"));
             return Join({Peers::Open(),
                          {p.ClientTable(), Send(0, kUp, get, true), Send(4, kUp, mid, true),
                           p.ServerTable(), Send(0, kDown, head + h3::Data("cu")),
                           Send(4, kDown, head4 + h3::Data("mid frame").substr(0, 6), true)}});
         },
         {"head GET https://media.test/cut 200 stream 0",
          "head GET https://media.test/mid 200 stream 4", "body /mid [mid ] partial",
          "body /cut [cu] partial"}},
    });
}

// A sink that keeps bodies gets every body byte of an HTTP/3 answer as HTTP/1.1 and HTTP/2 hand
// them over: in order from the first, DATA framing removed, beside the prefix, and one end that
// is complete only at the stream's end after a whole frame.
TEST(Http3, WholeBodiesGoToTheReceiverInOrderWithOneEnd) {
    RunCases({
        {"DATA frames with other frames between them, past the prefix asked for",
         [](Peers& p) {
             const std::string get = p.client.Headers(0, Request("/v/clip.mp4"));
             const std::string head = p.server.Headers(0, Response("200"));
             return Join({Peers::Open(),
                          {p.ClientTable(), Send(0, kUp, get, true), p.ServerTable(),
                           Send(0, kDown,
                                head + h3::Data("01234") + h3::Frame(0x21, "grease") +
                                    h3::Data("") + h3::Data("56789abcdef"),
                                true)}});
         },
         {"head GET https://media.test/v/clip.mp4 200 stream 0", "body /v/clip.mp4 [0123] partial",
          "whole /v/clip.mp4 [0123456789abcdef] complete"},
         false,
         4,
         true},
        {"a reset answer, one cut mid-frame, one left open at the end, and a HEAD answer",
         [](Peers& p) {
             std::vector<Piece> pieces = Peers::Open();
             std::uint64_t id = 0;
             for (const std::string path : {"/reset", "/mid", "/open", "/head"}) {
                 const std::string get =
                     p.client.Headers(id, Request(path, {}, path == "/head" ? "HEAD" : "GET"));
                 pieces.push_back(p.ClientTable());
                 pieces.push_back(Send(id, kUp, get, true));
                 id += 4;
             }
             const auto head = [&](std::uint64_t id) {
                 return p.server.Headers(id, Response("200", {{"content-length", "90"}}));
             };
             const std::string r0 = head(0), r4 = head(4), r8 = head(8), r12 = head(12);
             for (const Piece& piece :
                  {p.ServerTable(), Send(0, kDown, r0 + h3::Data("re")), Reset(0, kDown),
                   Send(0, kDown, h3::Data("after the reset"), true),
                   Send(4, kDown, r4 + h3::Data("mid frame").substr(0, 6), true),
                   Send(8, kDown, r8 + h3::Data("op")), Send(12, kDown, r12, true)}) {
                 pieces.push_back(piece);
             }
             return pieces;
         },
         {"head GET https://media.test/reset 200 length 90 stream 0",
          "whole /reset [re] partial", "head GET https://media.test/mid 200 length 90 stream 4",
          "whole /mid [mid ] partial", "head GET https://media.test/open 200 length 90 stream 8",
          "head HEAD https://media.test/head 200 stream 12", "whole /head [] complete",
          "whole /open [op] partial"},
         false,
         0,
         true},
    });
}

// Whatever passes a bound or breaks the framing gives the connection up.
TEST(Http3, BoundsAndHostileFramesGiveUp) {
    const auto request = [](Peers& p, std::uint64_t id, h3::Fields fields) {
        const std::string block = p.client.Headers(id, fields);
        return Join({Peers::Open(), {p.ClientTable(), Send(id, kUp, block, true)}});
    };
    const auto answered = [&](Peers& p, const std::string& body) {
        std::vector<Piece> pieces = request(p, 0, Request("/a"));
        const std::string head = p.server.Headers(0, Response("200"));
        pieces.push_back(p.ServerTable());
        pieces.push_back(Send(0, kDown, head + body));
        return pieces;
    };
    const std::vector<std::string> answeredLines = {"head GET https://media.test/a 200 stream 0",
                                                    "body /a [] partial"};
    RunCases({
        {"a header block longer than allowed",
         [&](Peers&) {
             return Join({Peers::Open(),
                          {Send(0, kUp, h3::VarInt(h3::kHeaders) + h3::VarInt((256 << 10) + 1))}});
         },
         {},
         true},
        {"a header list past 64 KiB",
         [&](Peers& p) {
             h3::Fields big;
             for (int i = 0; i < 20; ++i)
                 big.push_back({"x-big-" + std::to_string(i), std::string(4000, 'b')});
             return request(p, 0, Request("/a", big));
         },
         {},
         true},
        {"a body before its head",
         [&](Peers& p) {
             return Join({request(p, 0, Request("/a")), {Send(0, kDown, h3::Data("x"))}});
         },
         {},
         true},
        {"DATA after the trailers",
         [&](Peers& p) {
             return answered(p, p.server.Headers(0, {{"x", "1"}}) + h3::Data("x"));
         },
         answeredLines, true},
        {"a frame type HTTP/2 uses", [&](Peers& p) { return answered(p, h3::Frame(0x2, "prio")); },
         answeredLines, true},
        {"SETTINGS on a request stream", [&](Peers& p) { return answered(p, h3::Settings({})); },
         answeredLines, true},
        {"a control stream that does not begin with SETTINGS",
         [&](Peers&) {
             return std::vector<Piece>{
                 Send(3, kDown, h3::VarInt(h3::kControlStream) + h3::GoAway(0))};
         },
         {},
         true},
        {"a second control stream",
         [&](Peers&) {
             return Join({Peers::Open(), {Send(15, kDown, h3::VarInt(h3::kControlStream))}});
         },
         {},
         true},
        {"a second SETTINGS",
         [&](Peers&) {
             return Join({Peers::Open(), {Send(2, kUp, h3::Settings({}))}});
         },
         {},
         true},
        {"a setting HTTP/2 uses",
         [&](Peers&) {
             return std::vector<Piece>{
                 Send(2, kUp, h3::VarInt(h3::kControlStream) + h3::Settings({{0x4, 65535}}))};
         },
         {},
         true},
        {"a SETTINGS frame of a gigabyte",
         [&](Peers&) {
             return std::vector<Piece>{Send(2, kUp,
                                            h3::VarInt(h3::kControlStream) +
                                                h3::VarInt(h3::kSettings) + h3::VarInt(1u << 30))};
         },
         {},
         true},
        {"a control stream closed",
         [&](Peers&) {
             return Join({Peers::Open(), {Send(3, kDown, "", true)}});
         },
         {},
         true},
        {"a unidirectional stream of the client's sent by the server",
         [&](Peers&) { return std::vector<Piece>{Send(6, kDown, h3::VarInt(h3::kEncoderStream))}; },
         {},
         true},
        {"an encoder instruction that duplicates an entry the table does not hold",
         [&](Peers&) {
             return Join({Peers::Open(), {Send(6, kUp, std::string(1, '\x01'))}});
         },
         {},
         true},
        {"more blocked header blocks than the decoding side allows",
         [&](Peers& p) {
             const std::string one = p.client.Headers(0, Request("/a", kBrowser));
             const std::string two = p.client.Headers(4, Request("/b", {{"user-agent", "new"}}));
             return std::vector<Piece>{Peers::Control(kDown, 4096, 1), Send(0, kUp, one, true),
                                       Send(4, kUp, two, true)};
         },
         {},
         true},
        {"a GOAWAY that raises the last one",
         [&](Peers&) {
             return Join({Peers::Open(), {Send(3, kDown, h3::GoAway(4) + h3::GoAway(8))}});
         },
         {},
         true},
        {"a field that would break the request apart as HTTP/1.1 text",
         [&](Peers& p) {
             return request(p, 0, Request("/a", {{"x", "1\r\nInjected: yes"}}));
         },
         {},
         true},
        {"more streams than allowed",
         [&](Peers&) {
             std::vector<Piece> pieces = Peers::Open();
             for (std::uint64_t id = 0; id < 4 * 251; id += 4)
                 pieces.push_back(Send(id, kUp, "\x01"));
             return pieces;
         },
         {},
         true},
    });
}

// The server allows a 1 MiB table for the client's encoder, which fills 40 KiB of it.
std::vector<Piece> LargeTable() {
    h3::Encoder encoder(1 << 20, 16);
    for (int i = 0; i < 40; ++i)
        encoder.Block(0, {{"user-agent", std::string(1000, static_cast<char>('a' + i % 26)) +
                                             std::to_string(i)}});
    return {Peers::Control(kDown, 1 << 20),
            Send(6, kUp, h3::VarInt(h3::kEncoderStream) + encoder.EncoderStream())};
}

// Bounds on what waits, and on what a decoder holds: the limits given, not the peer's word.
TEST(Http3, WaitingAndTableMemoryBounded) {
    HttpLimits limits;
    limits.maxHeldBytes = 4096;
    limits.maxQpackDecoderBytes = 16 << 10;
    RunCases(
        {
            {"a response held for its request past the bound",
             [](Peers& p) {
                 const std::string head = p.server.Headers(0, Response("200"));
                 return Join(
                     {Peers::Open(),
                      {p.ServerTable(), Send(0, kDown, head + h3::Data(std::string(5000, 'x')))}});
             },
             {},
             true},
            {"a table past the decoder's memory, whatever capacity was announced",
             [](Peers&) { return LargeTable(); },
             {},
             true},
        },
        limits);
    // The same table within the default bound.
    MemoryBudget budget;
    EXPECT_FALSE(Converse(LargeTable(), Split::Whole, budget, 8).gaveUp);
    EXPECT_EQ(budget.Used(), 0u);
}

// An insertion whose value the decoder's memory still takes but not the entry that holds it:
// the library is left with references it already dropped, and the connection must be given up
// without the library freeing them a second time.
TEST(Http3, InsertionRefusedHalfwayLeavesNothingBehind) {
    // A QPACK integer of `prefix` bits after the first byte's `flags`.
    const auto integer = [](std::uint8_t flags, int prefix, std::size_t value) {
        const std::size_t most = (1u << prefix) - 1;
        std::string bytes;
        if (value < most)
            return std::string(1, static_cast<char>(flags | value));
        bytes += static_cast<char>(flags | most);
        for (value -= most; value >= 128; value >>= 7)
            bytes += static_cast<char>(0x80 | (value & 0x7F));
        return bytes + static_cast<char>(value);
    };
    HttpLimits limits;
    limits.maxQpackDecoderBytes = 4096;
    std::size_t refused = 0;
    for (std::size_t length = 2300; length < 2800; ++length) {
        // Set Dynamic Table Capacity, then Insert With Literal Name "x-a" and the value.
        const std::string instructions = integer(0x20, 5, 65536) + integer(0x40, 5, 3) + "x-a" +
                                         integer(0x00, 7, length) + std::string(length, 'v');
        MemoryBudget budget;
        const Outcome outcome =
            Converse({Peers::Control(kDown, 65536),
                      Send(6, kUp, h3::VarInt(h3::kEncoderStream) + instructions)},
                     Split::Whole, budget, 8, 1, limits);
        refused += outcome.gaveUp ? 1 : 0;
        EXPECT_EQ(budget.Used(), 0u) << length;
    }
    // Some values fit whole, the longest do not.
    EXPECT_GT(refused, 0u);
    EXPECT_LT(refused, 500u);
}

// The connection's state, its decoders, what waits and the collected prefixes all come from the
// budget: a refused frame takes nothing, a body streams through, a small budget gives up.
TEST(Http3, MemoryComesFromTheBudget) {
    {
        Peers p;
        const std::string get = p.client.Headers(0, Request("/big"));
        const std::string head = p.server.Headers(0, Response("200"));
        // A DATA frame of the largest length there is, and a mebibyte of it.
        const std::string frame = h3::VarInt(h3::kData) + h3::VarInt((1ull << 62) - 1);
        const auto pieces = Join({Peers::Open(),
                                  {p.ClientTable(), Send(0, kUp, get, true), p.ServerTable(),
                                   Send(0, kDown, head + frame + std::string(1 << 20, 'b'))}});
        MemoryBudget budget;
        const Outcome outcome = Converse(pieces, Split::Whole, budget, 8);
        EXPECT_FALSE(outcome.gaveUp);
        EXPECT_EQ(outcome.lines,
                  (std::vector<std::string>{"head GET https://media.test/big 200 stream 0",
                                            "body /big [bbbbbbbb] partial"}));
        EXPECT_LT(budget.Peak(), 64u << 10);
    }
    {
        // A header block one byte past the bound, its bytes following: refused at its length.
        const auto pieces = Join({Peers::Open(),
                                  {Send(0, kUp,
                                        h3::VarInt(h3::kHeaders) + h3::VarInt((256 << 10) + 1) +
                                            std::string(200000, 'h'))}});
        MemoryBudget budget;
        EXPECT_TRUE(Converse(pieces, Split::Whole, budget, 8).gaveUp);
        EXPECT_LT(budget.Peak(), 64u << 10);
    }
    for (const std::size_t limit : {1u << 10, 3u << 10, 6u << 10, 12u << 10, 24u << 10, 1u << 20}) {
        Peers p;
        const std::string get = p.client.Headers(0, Request("/v", kBrowser));
        const std::string head =
            p.server.Headers(0, Response("200", {{"content-type", "video/mp4"}}));
        const auto pieces = Join(
            {Peers::Open(),
             {Send(0, kUp, get, true), p.ClientTable(),
              Send(0, kDown, head + h3::Data(std::string(3000, 'v')), true), p.ServerTable()}});
        MemoryBudget budget(limit);
        const Outcome outcome = Converse(pieces, Split::Random, budget, 2048);
        if (limit == 1u << 10) {
            EXPECT_TRUE(outcome.gaveUp);  // not even the connection's own state
        }
        if (limit == 1u << 20) {
            EXPECT_FALSE(outcome.gaveUp);
            ASSERT_EQ(outcome.lines.size(), 2u);
            EXPECT_EQ(outcome.lines[1], "body /v [" + std::string(2048, 'v') + "] partial");
        }
        EXPECT_EQ(budget.Used(), 0u) << limit;
    }
}

TEST(Http3, RequestWrittenAsHttp1TextForAFetch) {
    Peers p;
    const std::string get = p.client.Headers(4, {{":method", "GET"},
                                                 {":scheme", "https"},
                                                 {":path", "/v/clip.mp4"},
                                                 {":authority", "media.test"},
                                                 {"user-agent", "ua"},
                                                 {"cookie", "a=1"},
                                                 {"accept", "*/*"},
                                                 {"cookie", "b=2"}});
    const std::string head = p.server.Headers(
        4, Response("200", {{"content-type", "video/mp4"}, {"content-length", "123456789012"}}));
    MemoryBudget budget;
    RecordingExchangeSink sink;
    HttpConnectionContext context;
    context.scheme = "https";
    context.serverPort = 443;
    auto connection = Http3Connection::Create(budget, sink, context);
    ASSERT_TRUE(connection);
    for (const Piece& piece : Join(
             {Peers::Open(),
              {p.ClientTable(), Send(4, kUp, get, true), p.ServerTable(), Send(4, kDown, head)}})) {
        ASSERT_TRUE(
            connection->OnStreamData(piece.stream, piece.direction,
                                     reinterpret_cast<const std::uint8_t*>(piece.bytes.data()),
                                     piece.bytes.size(), piece.fin));
    }
    ASSERT_EQ(sink.exchanges.size(), 1u);
    const HttpExchange& exchange = sink.exchanges[0];
    EXPECT_EQ(exchange.request.headerBlock,
              "GET /v/clip.mp4 HTTP/1.1\r\nHost: media.test\r\nuser-agent: ua\r\n"
              "cookie: a=1; b=2\r\naccept: */*\r\n\r\n");
    EXPECT_EQ(exchange.request.scheme, "https");
    EXPECT_EQ(exchange.request.target, "/v/clip.mp4");
    EXPECT_EQ(exchange.contentLength, 123456789012u);
    EXPECT_EQ(*FindHeader(exchange.response.headers, "content-type"), "video/mp4");
    EXPECT_TRUE(exchange.http3);
    EXPECT_FALSE(exchange.http2);
    EXPECT_EQ(exchange.streamId, 4u);
    EXPECT_EQ(exchange.serverPort, 443);
    connection.reset();
    EXPECT_EQ(budget.Used(), 0u);
}
