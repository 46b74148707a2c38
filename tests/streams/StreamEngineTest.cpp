// The stream engine composed: real TLS traffic (OpenSSL peers in process, their key log
// written by OpenSSL) carrying HTTP/1.1 and HTTP/2, wrapped into the frames of a capture and
// fed through TCP reassembly, TLS, HTTP and the media rules. Only media answers of at least
// 100,000 bytes are listed, with their https URLs and sizes; whatever goes wrong on the way
// (gaps, tampered records, keys that never come) lists nothing wrong and gives every byte of
// the budget back.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "catalogue/MediaCatalogue.h"
#include "streams/StreamEngine.h"
#include "streams/TlsSighting.h"
#include "support/HttpsScript.h"

namespace {

using Frame = TcpConversation::Frame;
using Frames = std::vector<Frame>;

const IpAddress kClient{Ipv4Address{10, 0, 0, 2}};
const IpAddress kServer{Ipv4Address{10, 0, 0, 7}};
const std::string kHost = "media.test";

// The engine with a catalogue behind it, as a session runs it.
class EngineRun {
public:
    explicit EngineRun(KeyLog* keyLog, CaptureRules rules = CaptureRules::Packets,
                       MessageMediaRules::IgnoreCheck ignore = {})
        : m_engine(
              Setup(keyLog, rules), [this](MediaReport r) { m_reports.push_back(r); },
              std::move(ignore)) {}

    void Feed(const Frames& frames) {
        for (const Frame& frame : frames) {
            const auto view = DecodeFrame(frame.size(), frame.data(), LocalAddresses{kClient});
            ASSERT_TRUE(view);
            m_engine.HandlePacket(*view, m_now);
        }
    }
    // "type\tsize\tURL" of every record the catalogue took, sorted.
    std::vector<std::string> Listed() const {
        MediaCatalogue catalogue;
        std::vector<std::string> rows;
        for (const MediaReport& report : m_reports) {
            const CatalogueChange change = catalogue.Apply(report, 0);
            if (change.kind == CatalogueChange::Kind::Added)
                rows.push_back(change.record.type + "\t" + std::to_string(change.record.size) +
                               "\t" + change.record.url);
        }
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    const std::vector<MediaReport>& Reports() const { return m_reports; }
    const std::vector<std::string>& Notices() const { return m_notices; }
    StreamEngine& Engine() { return m_engine; }
    MemoryBudget& Budget() { return m_budget; }
    // The budget held beyond the reassembler's entries (a closed connection's entry stays a
    // while, so that its late retransmissions are known).
    std::size_t Held() const {
        return m_budget.Used() -
               TcpReassembler::kEntryCost * m_engine.Reassembler().ConnectionCount();
    }

private:
    StreamEngine::Setup Setup(KeyLog* keyLog, CaptureRules rules) {
        StreamEngine::Setup setup;
        setup.budget = &m_budget;
        setup.keyLog = keyLog;
        setup.rules = rules;
        setup.notice = [this](std::string_view text) { m_notices.emplace_back(text); };
        return setup;
    }
    MemoryBudget m_budget{16u << 20};
    std::vector<MediaReport> m_reports;
    std::vector<std::string> m_notices;
    StreamEngine m_engine;
    std::int64_t m_now = 100;
};

// Three media answers of distinct sizes, a picture and a video one byte short of being listed.
std::vector<https::Answer> Answers(std::uint32_t seed) {
    const std::size_t k = seed * 10;
    return {
        {"/v/clip.flv", "video/x-flv", https::Body(https::kFlv, 150000 + k, seed)},
        {"/v/movie.mp4?q=1", "video/mp4", https::Body(https::kMp4, 210000 + k, seed + 1)},
        {"/a/song.mp3", "audio/mpeg", https::Body(https::kMp3, 120000 + k, seed + 2)},
        {"/i/logo.png", "image/png", https::Body(https::kPng, 5000, seed + 3)},
        {"/v/short.mp4", "video/mp4", https::Body(https::kMp4, 99999, seed + 4)},
    };
}

std::vector<std::string> Expected(std::uint32_t seed, std::size_t count = 3,
                                  const std::string& scheme = "https") {
    const std::size_t k = seed * 10;
    std::vector<std::string> rows = {
        "flv\t" + std::to_string(150000 + k) + "\t" + scheme + "://" + kHost + "/v/clip.flv",
        "mp4\t" + std::to_string(210000 + k) + "\t" + scheme + "://" + kHost + "/v/movie.mp4?q=1",
        "mp3\t" + std::to_string(120000 + k) + "\t" + scheme + "://" + kHost + "/a/song.mp3",
    };
    rows.resize(count);
    std::sort(rows.begin(), rows.end());
    return rows;
}

struct Suite {
    std::uint16_t version;
    const char* cipher;
};
const Suite kSuites[] = {
    {0x0303, "ECDHE-ECDSA-AES128-GCM-SHA256"}, {0x0303, "ECDHE-ECDSA-AES256-GCM-SHA384"},
    {0x0303, "ECDHE-ECDSA-CHACHA20-POLY1305"}, {0x0304, "TLS_AES_128_GCM_SHA256"},
    {0x0304, "TLS_AES_256_GCM_SHA384"},        {0x0304, "TLS_CHACHA20_POLY1305_SHA256"},
};

TlsTrafficConfig Config(const Suite& suite, bool http2) {
    TlsTrafficConfig config;
    config.version = suite.version;
    config.cipher = suite.cipher;
    config.serverName = kHost;
    config.alpn =
        http2 ? std::vector<std::string>{"h2", "http/1.1"} : std::vector<std::string>{"http/1.1"};
    return config;
}

Frames ConnectionFrames(const TlsTrafficResult& traffic, std::uint16_t port,
                        std::size_t segmentSize = 1448) {
    TcpConversation tcp(kClient, kServer, port);
    Frames frames;
    https::EmitConnection(tcp, traffic, segmentSize, [&](Frame f) { frames.push_back(f); });
    return frames;
}

// A key log holding the secrets of `traffic`.
struct KeysOf : KeyLog {
    explicit KeysOf(const TlsTrafficResult& traffic) { AddText(traffic.keyLog); }
};

std::string Joined(const std::vector<std::string>& rows) {
    std::string text;
    for (const auto& row : rows) text += row + "\n";
    return text;
}

}  // namespace

// Both TLS versions with each of the three ciphers, over HTTP/1.1 with keep-alive (five
// answers on one connection) and HTTP/2 (five concurrent streams, the first request's header
// block over CONTINUATION frames, the answers' DATA frames interleaved).
TEST(StreamEngine, ListsHttpsMediaOfEverySuiteOverHttp1AndHttp2) {
    std::uint32_t seed = 1;
    for (const Suite& suite : kSuites) {
        for (const bool http2 : {false, true}) {
            SCOPED_TRACE(std::string(suite.cipher) + (http2 ? " over HTTP/2" : " over HTTP/1.1"));
            TlsTraffic peers(Config(suite, http2));
            const auto answers = Answers(seed);
            const auto traffic = peers.Run(http2 ? https::Http2Script(kHost, answers)
                                                 : https::Http1Script(kHost, answers));
            ASSERT_TRUE(traffic.ok) << traffic.error;
            ASSERT_EQ(traffic.alpn, http2 ? "h2" : "http/1.1");
            KeysOf keys(traffic);
            EngineRun run(&keys);
            run.Feed(ConnectionFrames(traffic, 50000));
            EXPECT_EQ(run.Listed(), Expected(seed)) << Joined(run.Listed());
            for (const MediaReport& report : run.Reports()) {
                EXPECT_NE(report.requestHeaders.find("ookie: session=42"), std::string::npos)
                    << report.requestHeaders;
                EXPECT_EQ(report.serverAddress, kServer);
                EXPECT_EQ(report.serverPort, 443);
            }
            EXPECT_EQ(run.Engine().Stats().decrypted, 1u);
            EXPECT_EQ(run.Held(), 0u);  // closed: everything given back
            ++seed;
        }
    }
}

// TLS 1.3 KeyUpdate from both sides between answers, a HelloRetryRequest, and sessions resumed
// in both versions (the second connection's keys come from its own key log lines).
TEST(StreamEngine, FollowsKeyUpdatesHelloRetriesAndResumedSessions) {
    const Suite tls12 = kSuites[0];
    const Suite tls13 = kSuites[3];
    {
        SCOPED_TRACE("KeyUpdate");
        TlsTraffic peers(Config(tls13, false));
        auto script = https::Http1Script(kHost, Answers(31));
        script[1].clientKeyUpdate = true;
        script[2].serverKeyUpdate = true;
        const auto traffic = peers.Run(script);
        ASSERT_TRUE(traffic.ok) << traffic.error;
        KeysOf keys(traffic);
        EngineRun run(&keys);
        run.Feed(ConnectionFrames(traffic, 50001));
        EXPECT_EQ(run.Listed(), Expected(31));
    }
    {
        SCOPED_TRACE("HelloRetryRequest");
        TlsTrafficConfig config = Config(tls13, true);
        config.helloRetry = true;
        TlsTraffic peers(config);
        const auto traffic = peers.Run(https::Http2Script(kHost, Answers(32)));
        ASSERT_TRUE(traffic.ok) << traffic.error;
        KeysOf keys(traffic);
        EngineRun run(&keys);
        run.Feed(ConnectionFrames(traffic, 50002));
        EXPECT_EQ(run.Listed(), Expected(32));
    }
    for (const Suite& suite : {tls12, tls13}) {
        SCOPED_TRACE(std::string("resumed: ") + suite.cipher);
        TlsTraffic peers(Config(suite, false));
        const auto first = peers.Run(https::Http1Script(kHost, {Answers(33)[3]}));
        ASSERT_TRUE(first.ok) << first.error;
        TlsRunOptions options;
        options.resume = first.session;
        const auto second = peers.Run(https::Http1Script(kHost, Answers(34)), options);
        ASSERT_TRUE(second.ok) << second.error;
        ASSERT_TRUE(second.resumed);
        KeyLog keys;
        keys.AddText(first.keyLog + second.keyLog);
        EngineRun run(&keys);
        run.Feed(ConnectionFrames(first, 50003));
        run.Feed(ConnectionFrames(second, 50004));
        EXPECT_EQ(run.Listed(), Expected(34));
    }
}

namespace {

// What a capture may make of a connection's frames.
struct Mangle {
    const char* what;
    std::size_t segmentSize;
    std::function<Frames(const Frames&)> apply;
    std::size_t listed;  // of the three media
    TcpEndReason end;
};

std::size_t DataSize(const Frame& frame) {
    const auto view = DecodeFrame(frame.size(), frame.data(), LocalAddresses{kClient});
    return view ? view->rawLength : 0;
}

bool HasData(const Frame& frame) {
    return DataSize(frame) > 0;
}

bool FromServer(const Frame& frame) {
    const auto view = DecodeFrame(frame.size(), frame.data(), LocalAddresses{kClient});
    return view && !view->outgoing;
}

// A frame carrying the bytes of `a` from `from` to its end and the bytes of the frame `b`
// that follows it up to `to`: a retransmission cut anew.
Frame Spanning(const Frame& a, std::size_t from, const Frame& b, std::size_t to) {
    const auto va = DecodeFrame(a.size(), a.data(), LocalAddresses{kClient});
    const auto vb = DecodeFrame(b.size(), b.data(), LocalAddresses{kClient});
    FrameLayout layout;
    layout.source = va->sourceAddress;
    layout.destination = va->destinationAddress;
    layout.sourcePort = ntohs(va->sourcePort);
    layout.destinationPort = ntohs(va->destinationPort);
    layout.sequence = va->sequence + static_cast<std::uint32_t>(from);
    layout.acknowledgement = va->acknowledgement;
    layout.payload.assign(reinterpret_cast<const char*>(va->payload) + from, va->rawLength - from);
    layout.payload.append(reinterpret_cast<const char*>(vb->payload), to);
    return BuildFrame(layout);
}

// Indices of the server's data frames.
std::vector<std::size_t> ServerData(const Frames& frames) {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < frames.size(); ++i)
        if (HasData(frames[i]) && FromServer(frames[i]))
            at.push_back(i);
    return at;
}

}  // namespace

// The same connection (TLS 1.2 and 1.3, HTTP/1.1) as a capture may hold it: records cut
// across segments, segments holding several records, segments out of order, retransmitted,
// overlapping, and a segment never captured.
TEST(StreamEngine, ReadsSegmentsAsCapturesHoldThem) {
    const Mangle mangles[] = {
        {"records split across 1448-byte segments", 1448, [](const Frames& f) { return f; }, 3,
         TcpEndReason::Closed},
        {"segments of 60,000 bytes holding several records", 60000,
         [](const Frames& f) { return f; }, 3, TcpEndReason::Closed},
        {"every other pair of server segments swapped", 1448,
         [](const Frames& f) {
             Frames out = f;
             const auto data = ServerData(f);
             // Neighbours only: the client acknowledges what it received, so a capture on its
             // machine never holds an acknowledgement ahead of the data.
             for (std::size_t i = 0; i + 1 < data.size(); i += 4) {
                 if (data[i + 1] == data[i] + 1)
                     std::swap(out[data[i]], out[data[i + 1]]);
             }
             return out;
         },
         3, TcpEndReason::Closed},
        {"every third segment sent again two frames later", 1448,
         [](const Frames& f) {
             Frames out;
             for (std::size_t i = 0; i < f.size(); ++i) {
                 out.push_back(f[i]);
                 if (i >= 2 && HasData(f[i - 2]) && i % 3 == 0)
                     out.push_back(f[i - 2]);
             }
             return out;
         },
         3, TcpEndReason::Closed},
        {"segments cut anew, overlapping what came and what comes", 1448,
         [](const Frames& f) {
             Frames out;
             const auto data = ServerData(f);
             std::vector<bool> isData(f.size(), false);
             for (std::size_t i : data) isData[i] = true;
             for (std::size_t i = 0; i < f.size(); ++i) {
                 // Before every fifth server segment: the second half of the one before and
                 // the first half of this one; after it, both halves again.
                 if (isData[i] && i >= 1 && isData[i - 1] && i % 5 == 0 &&
                     DataSize(f[i - 1]) == 1448 && DataSize(f[i]) >= 1000) {
                     out.push_back(Spanning(f[i - 1], 700, f[i], 500));
                     out.push_back(f[i]);
                     out.push_back(Spanning(f[i - 1], 100, f[i], 1000));
                 } else {
                     out.push_back(f[i]);
                 }
             }
             return out;
         },
         3, TcpEndReason::Closed},
        {"a server segment of the second answer's body never captured", 1448,
         [](const Frames& f) {
             Frames out = f;
             const auto data = ServerData(f);
             // Well into the second answer (the first takes about 105 segments).
             out.erase(out.begin() + static_cast<std::ptrdiff_t>(data[data.size() / 2]));
             return out;
         },
         2, TcpEndReason::Gap},
    };
    for (const Suite& suite : {kSuites[1], kSuites[5]}) {
        TlsTraffic peers(Config(suite, false));
        auto answers = Answers(40);
        // The answers in the order flv, mp4, mp3: the second is the longest.
        const auto traffic = peers.Run(https::Http1Script(kHost, answers));
        ASSERT_TRUE(traffic.ok) << traffic.error;
        for (const Mangle& mangle : mangles) {
            SCOPED_TRACE(std::string(suite.cipher) + ": " + mangle.what);
            const Frames frames =
                mangle.apply(ConnectionFrames(traffic, 50010, mangle.segmentSize));
            KeysOf keys(traffic);
            EngineRun run(&keys);
            run.Feed(frames);
            auto expected = Expected(40);
            if (mangle.listed < 3) {
                // The first answers in the order sent.
                const std::vector<std::string> sent = {expected[0], expected[2], expected[1]};
                expected.assign(sent.begin(), sent.begin() + mangle.listed);
                std::sort(expected.begin(), expected.end());
            }
            EXPECT_EQ(run.Listed(), expected) << Joined(run.Listed());
            const auto& tcp = run.Engine().Reassembler().Stats();
            EXPECT_EQ(tcp.ended[static_cast<int>(mangle.end)], 1u)
                << "closed " << tcp.ended[0] << ", reset " << tcp.ended[1] << ", gap "
                << tcp.ended[2] << ", declined " << tcp.ended[6] << ", TLS or HTTP failed "
                << run.Engine().Stats().failed;
            EXPECT_EQ(run.Held(), 0u);
        }
    }
}

// A record whose authentication fails gives the connection up at once: what came before it is
// listed, nothing after it, and the connection's memory is given back.
TEST(StreamEngine, TamperedRecordGivesTheConnectionUp) {
    for (const Suite& suite : {kSuites[0], kSuites[4]}) {
        SCOPED_TRACE(suite.cipher);
        TlsTraffic peers(Config(suite, false));
        const auto traffic = peers.Run(https::Http1Script(kHost, Answers(50)));
        ASSERT_TRUE(traffic.ok) << traffic.error;
        // The second long answer's first record (its head) gets one bit flipped.
        TlsTrafficResult tampered = traffic;
        int longAnswers = 0;
        for (const TlsWireChunk& chunk : traffic.chunks) {
            if (chunk.direction == Direction::ToClient && chunk.size > 100000 && ++longAnswers == 2)
                tampered.wire[1][chunk.offset + 60] ^= 0x01;
        }
        ASSERT_EQ(longAnswers, 4);  // short.mp4 too
        KeysOf keys(traffic);
        EngineRun run(&keys);
        run.Feed(ConnectionFrames(tampered, 50020));
        EXPECT_EQ(run.Listed(), std::vector<std::string>{Expected(50)[0]});  // the flv alone
        EXPECT_EQ(run.Engine().Stats().failed, 1u);
        EXPECT_EQ(
            run.Engine().Reassembler().Stats().ended[static_cast<int>(TcpEndReason::Declined)], 1u);
        EXPECT_EQ(run.Held(), 0u);
    }
}

// The key log followed as a file: keys written after the records (the connection still open,
// or closed already), and keys that never come, told once.
TEST(StreamEngine, KeysThatComeLateListAndKeysThatNeverComeListNothing) {
    for (const Suite& suite : {kSuites[3], kSuites[2]}) {
        SCOPED_TRACE(suite.cipher);
        TlsTraffic peers(Config(suite, true));
        const auto traffic = peers.Run(https::Http2Script(kHost, Answers(60)));
        ASSERT_TRUE(traffic.ok) << traffic.error;
        Frames frames = ConnectionFrames(traffic, 50030);
        const Frames closing(frames.end() - 3, frames.end());
        const Frames open(frames.begin(), frames.end() - 3);

        TempFolder folder;
        const std::string path = (folder.path / "keys.log").string();
        const auto now = std::chrono::steady_clock::now();
        const std::string lines = traffic.keyLog;
        const std::size_t half = lines.find('\n', lines.size() / 2) + 1;
        {
            // The keys stand in the file before the records come (the browser wrote them during
            // the handshake), and the packet loop never read it: the first wait reads it.
            std::ofstream(path) << lines;
            KeyLog keys(path);
            EngineRun run(&keys);
            run.Feed(frames);
            EXPECT_EQ(run.Listed(), Expected(60));
            EXPECT_EQ(run.Engine().WaitingForKeys(), 0u);
        }
        struct Case {
            const char* what;
            bool closeFirst;  // the connection ends before the keys come
            bool keys;
        };
        for (const Case& c :
             {Case{"open while the keys come", false, true},
              Case{"closed before the keys come", true, true}, Case{"keys never come", true, false},
              Case{"keys never come, still open", false, false}}) {
            SCOPED_TRACE(c.what);
            std::filesystem::remove(path);
            KeyLog keys(path);  // the file does not exist yet
            EngineRun run(&keys);
            run.Engine().PollKeyLogNow(now);
            run.Feed(open);
            if (c.closeFirst)
                run.Feed(closing);
            EXPECT_EQ(run.Engine().WaitingForKeys(), 1u);
            EXPECT_GT(run.Budget().Used(), 100000u);  // the records wait, counted
            if (c.keys) {
                // The file appears with half the lines (the handshake's), then grows.
                std::ofstream(path) << lines.substr(0, half);
                run.Engine().PollKeyLogNow(now);
                if (suite.version == 0x0304) {  // TLS 1.2 has one line, the master secret
                    EXPECT_TRUE(run.Listed().empty());
                }
                std::ofstream(path, std::ios::app) << lines.substr(half);
                run.Engine().PollKeyLogNow(now);
                EXPECT_EQ(run.Engine().WaitingForKeys(), 0u);
                if (!c.closeFirst)
                    run.Feed(closing);
                EXPECT_EQ(run.Listed(), Expected(60))
                    << run.Engine().Stats().failed << " failed, " << run.Engine().Stats().decrypted
                    << " decrypted, " << run.Engine().Stats().keysTooLate << " too late";
                EXPECT_EQ(run.Engine().ParkedCount(), 0u);
                EXPECT_TRUE(run.Notices().empty());
            } else {
                // Parked connections go after kParkSeconds; live ones at the capture's end.
                run.Engine().PollKeyLogNow(now + StreamEngine::kParkSeconds +
                                           std::chrono::seconds(1));
                if (!c.closeFirst)
                    run.Engine().Finish();
                EXPECT_TRUE(run.Listed().empty());
                EXPECT_EQ(run.Engine().WaitingForKeys(), 0u);
                EXPECT_EQ(run.Engine().ParkedCount(), 0u);
                // The user is told once that the key log lacks them.
                run.Engine().Finish();
                EXPECT_EQ(run.Notices(), std::vector<std::string>{kTlsKeysNotice});
            }
            EXPECT_EQ(run.Held(), 0u);
        }
    }
}

// Plain HTTP: the stream engine reads it under the rules `streams` only (the packet rules keep
// it otherwise); without a key log, a TLS connection is given up at its first records. The
// program's own fetch, in the session's ignore list, is used up by one sighting.
TEST(StreamEngine, PlainHttpOnlyUnderStreamRulesAndOwnFetchesStayOff) {
    const auto answers = Answers(70);
    std::string client;
    std::string server;
    for (const auto& step : https::Http1Script(kHost, answers)) {
        client += step.clientSends;
        server += step.serverAnswers;
    }
    TlsTraffic peers(Config(kSuites[3], false));
    const auto tls = peers.Run(https::Http1Script(kHost, answers));
    ASSERT_TRUE(tls.ok) << tls.error;

    const auto plainFrames = [&](std::uint16_t port) {
        TcpConversation tcp(kClient, kServer, port, 80);
        Frames frames;
        const auto emit = [&](Frame f) { frames.push_back(f); };
        tcp.Open(emit);
        tcp.Send(Direction::ToServer, reinterpret_cast<const std::uint8_t*>(client.data()),
                 client.size(), 1448, emit);
        tcp.Send(Direction::ToClient, reinterpret_cast<const std::uint8_t*>(server.data()),
                 server.size(), 1448, emit);
        tcp.Close(emit);
        return frames;
    };
    {
        EngineRun run(nullptr, CaptureRules::Streams);
        run.Feed(plainFrames(50040));
        run.Feed(ConnectionFrames(tls, 50041));
        EXPECT_EQ(run.Listed(), Expected(70, 3, "http"));
        EXPECT_EQ(run.Engine().Stats().plain, 1u);
        EXPECT_EQ(run.Engine().Stats().failed, 1u);  // TLS without a key log
        EXPECT_EQ(run.Held(), 0u);
    }
    {
        KeysOf keys(tls);
        std::vector<std::string> ignoreList = {"media.test/v/clip.flv", "media.test/a/song.mp3",
                                               "media.test/v/clip.flv"};
        EngineRun run(&keys, CaptureRules::Packets, [&](std::string_view url) {
            const auto it = std::find(ignoreList.begin(), ignoreList.end(), url);
            if (it == ignoreList.end())
                return false;
            ignoreList.erase(it);
            return true;
        });
        run.Feed(plainFrames(50042));
        run.Feed(ConnectionFrames(tls, 50043));
        EXPECT_EQ(run.Listed(), (std::vector<std::string>{Expected(70)[2]}));  // the mp4
        EXPECT_EQ(ignoreList, std::vector<std::string>{"media.test/v/clip.flv"});
        EXPECT_EQ(run.Engine().Stats().leftAlone, 1u);
        EXPECT_EQ(run.Engine().Stats().plain, 0u);
        EXPECT_EQ(run.Held(), 0u);
    }
}
