#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/TlsTraffic.h"
#include "tls/TlsConnection.h"

namespace {

struct Collector : TlsPlaintextSink {
    std::string text[2];
    void OnPlaintext(Direction direction, const std::uint8_t* data, std::size_t size) override {
        text[static_cast<int>(direction)].append(reinterpret_cast<const char*>(data), size);
    }
    const std::string& ToServer() const { return text[0]; }
    const std::string& ToClient() const { return text[1]; }
};

// Byte strings compared without printing them: their sizes and the first difference.
testing::AssertionResult Same(const std::string& got, const std::string& expected) {
    if (got == expected)
        return testing::AssertionSuccess();
    const auto difference = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
    return testing::AssertionFailure()
           << got.size() << " bytes where " << expected.size()
           << " were expected, first difference at " << (difference.first - got.begin());
}

std::string Body(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string body(size, '\0');
    for (char& c : body) c = static_cast<char>(random());
    return body;
}

// Requests and answers of a few kilobytes to a few records, as an HTTP exchange would be.
std::vector<TlsExchangeStep> Exchange(int rounds = 3) {
    std::vector<TlsExchangeStep> script;
    for (int i = 0; i < rounds; ++i) {
        TlsExchangeStep step;
        step.clientSends = "GET /media/" + std::to_string(i) +
                           ".mp4 HTTP/1.1\r\nHost: media.test\r\n\r\n" + Body(300 * i, i);
        step.serverAnswers = Body(20000 + 17000 * i, 100 + i);
        script.push_back(std::move(step));
    }
    return script;
}

enum class Split { AsSent, OneByte, AcrossRecords, Segments, DirectionsApart };
const Split kSplits[] = {Split::AsSent, Split::OneByte, Split::AcrossRecords, Split::Segments,
                         Split::DirectionsApart};
const char* SplitName(Split split) {
    switch (split) {
        case Split::AsSent:
            return "as sent (several records per feed)";
        case Split::OneByte:
            return "one byte per feed";
        case Split::AcrossRecords:
            return "cut three bytes into each record and in its middle";
        case Split::Segments:
            return "1448-byte segments";
        case Split::DirectionsApart:
            return "all client bytes, then all server bytes";
    }
    return "";
}

void FeedRange(TlsConnection& connection, const TlsTrafficResult& traffic, Direction direction,
               std::size_t begin, std::size_t end, Split split) {
    const std::vector<std::uint8_t>& wire = traffic.wire[static_cast<int>(direction)];
    std::vector<std::size_t> cuts;
    switch (split) {
        case Split::OneByte:
            for (std::size_t at = begin + 1; at < end; ++at) cuts.push_back(at);
            break;
        case Split::AcrossRecords: {
            const std::vector<std::size_t>& starts =
                traffic.recordStarts[static_cast<int>(direction)];
            for (std::size_t i = 0; i < starts.size(); ++i) {
                const std::size_t next = i + 1 < starts.size() ? starts[i + 1] : wire.size();
                cuts.push_back(starts[i] + 3);
                cuts.push_back((starts[i] + next) / 2);
            }
            break;
        }
        case Split::Segments:
            for (std::size_t at = begin + 1448; at < end; at += 1448) cuts.push_back(at);
            break;
        default:
            break;
    }
    std::size_t at = begin;
    for (std::size_t cut : cuts) {
        if (cut <= at || cut >= end)
            continue;
        connection.Feed(direction, wire.data() + at, cut - at);
        at = cut;
    }
    if (end > at)
        connection.Feed(direction, wire.data() + at, end - at);
}

void Feed(TlsConnection& connection, const TlsTrafficResult& traffic, Split split = Split::AsSent) {
    if (split == Split::DirectionsApart) {
        for (Direction direction : {Direction::ToServer, Direction::ToClient})
            FeedRange(connection, traffic, direction, 0,
                      traffic.wire[static_cast<int>(direction)].size(), Split::AsSent);
        return;
    }
    for (const TlsWireChunk& chunk : traffic.chunks)
        FeedRange(connection, traffic, chunk.direction, chunk.offset, chunk.offset + chunk.size,
                  split);
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

TlsTrafficConfig Config(const Suite& suite) {
    TlsTrafficConfig config;
    config.version = suite.version;
    config.cipher = suite.cipher;
    return config;
}

// Decrypts `traffic` with its own key log; checks both directions against what the peers read
// and that the budget is whole again once the connection is gone.
void ExpectDecrypted(const TlsTrafficResult& traffic, Split split = Split::AsSent) {
    SCOPED_TRACE(SplitName(split));
    KeyLog keyLog;
    keyLog.AddText(traffic.keyLog);
    MemoryBudget budget;
    Collector out;
    {
        TlsConnection connection(keyLog, budget, out);
        Feed(connection, traffic, split);
        EXPECT_EQ(connection.State(), TlsState::Ended) << TlsFailureText(connection.Failure());
        EXPECT_EQ(connection.Version(), traffic.version);
        EXPECT_EQ(connection.CipherSuite(), traffic.cipherSuite);
        EXPECT_EQ(connection.ServerName(), "media.test");
        EXPECT_EQ(connection.Alpn(), traffic.alpn);
        EXPECT_EQ(budget.Used(), 0u);  // an ended connection holds nothing
    }
    EXPECT_EQ(budget.Used(), 0u);
    EXPECT_TRUE(Same(out.ToServer(), traffic.received[0]));
    EXPECT_TRUE(Same(out.ToClient(), traffic.received[1]));
}

// The handshake records of the client's stream that hold a ClientHello.
int ClientHellos(const TlsTrafficResult& traffic) {
    int count = 0;
    for (std::size_t start : traffic.recordStarts[0]) {
        const std::uint8_t* record = traffic.wire[0].data() + start;
        count += record[0] == 22 && record[5] == 1;
    }
    return count;
}

// The same traffic with every plaintext handshake record cut into records of `piece` bytes, as
// a peer may send them: handshake messages then span records.
TlsTrafficResult SplitHandshakeRecords(const TlsTrafficResult& traffic, std::size_t piece) {
    TlsTrafficResult split = traffic;
    for (int side = 0; side < 2; ++side) {
        const std::vector<std::uint8_t>& wire = traffic.wire[side];
        std::vector<std::uint8_t> out;
        std::vector<std::size_t> newOffset;  // of each old offset
        newOffset.reserve(wire.size() + 1);
        bool encrypted = false;
        for (std::size_t at = 0; at < wire.size();) {
            const std::size_t length = static_cast<std::size_t>(wire[at + 3]) << 8 | wire[at + 4];
            const bool handshake = wire[at] == 22 && !encrypted;
            encrypted |= wire[at] == 20 || wire[at] == 23;
            std::size_t mapped = out.size();
            for (std::size_t i = 0; i < 5 + length; ++i) {
                if (!handshake || i < 5) {
                    newOffset.push_back(handshake ? mapped : out.size());
                    if (!handshake)
                        out.push_back(wire[at + i]);
                    continue;
                }
                if ((i - 5) % piece == 0) {
                    const std::size_t size = std::min(piece, length - (i - 5));
                    out.insert(out.end(), {wire[at], wire[at + 1], wire[at + 2],
                                           static_cast<std::uint8_t>(size >> 8),
                                           static_cast<std::uint8_t>(size)});
                }
                newOffset.push_back(out.size());
                out.push_back(wire[at + i]);
            }
            at += 5 + length;
        }
        newOffset.push_back(out.size());
        split.wire[side] = std::move(out);
        split.recordStarts[side] = TlsRecordStarts(split.wire[side]);
        for (TlsWireChunk& chunk : split.chunks) {
            if (static_cast<int>(chunk.direction) != side)
                continue;
            const std::size_t end = newOffset[chunk.offset + chunk.size];
            chunk.offset = newOffset[chunk.offset];
            chunk.size = end - chunk.offset;
        }
    }
    return split;
}

}  // namespace

TEST(TlsConnection, BothVersionsAndEverySuiteInAnySplit) {
    for (const Suite& suite : kSuites) {
        SCOPED_TRACE(suite.cipher);
        TlsTrafficConfig config = Config(suite);
        config.alpn = {"h2", "http/1.1"};
        TlsTraffic peers(config);
        const TlsTrafficResult traffic = peers.Run(Exchange());
        ASSERT_TRUE(traffic.ok) << traffic.error;
        ASSERT_EQ(traffic.version, suite.version);
        ASSERT_EQ(traffic.alpn, "h2");
        for (Split split : kSplits) ExpectDecrypted(traffic, split);
    }
}

TEST(TlsConnection, HandshakeMessagesSpanningRecords) {
    for (const Suite& suite : {kSuites[0], kSuites[4]}) {
        SCOPED_TRACE(suite.cipher);
        TlsTrafficConfig config = Config(suite);
        config.alpn = {"http/1.1"};
        TlsTraffic peers(config);
        const TlsTrafficResult traffic = peers.Run(Exchange(1));
        ASSERT_TRUE(traffic.ok) << traffic.error;
        const TlsTrafficResult split = SplitHandshakeRecords(traffic, 7);
        ASSERT_GT(split.recordStarts[0].size(), traffic.recordStarts[0].size() + 8);
        ASSERT_GT(split.recordStarts[1].size(), traffic.recordStarts[1].size() + 8);
        ExpectDecrypted(split, Split::AsSent);
        ExpectDecrypted(split, Split::OneByte);
    }
}

TEST(TlsConnection, KeyUpdatesOfBothSidesTwice) {
    for (const Suite& suite : kSuites) {
        if (suite.version != 0x0304)
            continue;
        SCOPED_TRACE(suite.cipher);
        std::vector<TlsExchangeStep> script = Exchange(6);
        script[1].clientKeyUpdate = true;
        script[2].serverKeyUpdate = true;
        script[4].clientKeyUpdate = script[4].serverKeyUpdate = true;
        TlsTraffic peers(Config(suite));
        const TlsTrafficResult traffic = peers.Run(script);
        ASSERT_TRUE(traffic.ok) << traffic.error;
        ExpectDecrypted(traffic, Split::AsSent);
        ExpectDecrypted(traffic, Split::OneByte);
    }
}

TEST(TlsConnection, HelloRetryRequest) {
    TlsTrafficConfig config = Config(kSuites[4]);
    config.helloRetry = true;
    config.alpn = {"http/1.1"};
    TlsTraffic peers(config);
    const TlsTrafficResult traffic = peers.Run(Exchange());
    ASSERT_TRUE(traffic.ok) << traffic.error;
    ASSERT_EQ(ClientHellos(traffic), 2);
    ExpectDecrypted(traffic, Split::AsSent);
    ExpectDecrypted(traffic, Split::DirectionsApart);
}

TEST(TlsConnection, ResumedSessions) {
    for (const Suite& suite : {kSuites[0], kSuites[5]}) {
        SCOPED_TRACE(suite.cipher);
        TlsTraffic peers(Config(suite));
        const TlsTrafficResult first = peers.Run(Exchange(1));
        ASSERT_TRUE(first.ok) << first.error;
        ASSERT_FALSE(first.resumed);
        TlsRunOptions options;
        options.resume = first.session;
        const TlsTrafficResult second = peers.Run(Exchange(), options);
        ASSERT_TRUE(second.ok) << second.error;
        ASSERT_TRUE(second.resumed);
        ExpectDecrypted(second, Split::AsSent);
        ExpectDecrypted(second, Split::AcrossRecords);
    }
}

TEST(TlsConnection, EarlyDataAcceptedAndRefused) {
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "refused" : "accepted");
        TlsTrafficConfig config = Config(kSuites[3]);
        config.maxEarlyData = 16384;
        config.rejectEarlyData = refuse;
        TlsTraffic peers(config);
        const TlsTrafficResult first = peers.Run(Exchange(1));
        ASSERT_TRUE(first.ok) << first.error;
        TlsRunOptions options;
        options.resume = first.session;
        options.earlyData = "GET /early.mp3 HTTP/1.1\r\nHost: media.test\r\n\r\n" + Body(5000, 7);
        const TlsTrafficResult second = peers.Run(Exchange(), options);
        ASSERT_TRUE(second.ok) << second.error;
        ASSERT_EQ(second.earlyDataAccepted, !refuse);
        // Sent once whichever way: early, or again after the handshake.
        ASSERT_EQ(second.received[0].find("GET /early.mp3"), 0u);
        ASSERT_EQ(second.received[0].find("GET /early.mp3", 1), std::string::npos);
        for (Split split : kSplits) ExpectDecrypted(second, split);

        KeyLog keyLog;
        keyLog.AddText(second.keyLog);
        MemoryBudget budget;
        Collector out;
        TlsConnection connection(keyLog, budget, out);
        Feed(connection, second);
        EXPECT_EQ(connection.EarlyDataAccepted(), !refuse);
    }
}

TEST(TlsConnection, TamperedRecordEndsTheConnection) {
    struct Case {
        Suite suite;
        bool inTag;  // the byte flipped is in the tag, else in the ciphertext
    };
    for (const Case& test : {Case{kSuites[0], false}, Case{kSuites[2], true},
                             Case{kSuites[3], false}, Case{kSuites[5], true}}) {
        SCOPED_TRACE(test.suite.cipher);
        TlsTraffic peers(Config(test.suite));
        TlsTrafficResult traffic = peers.Run(Exchange());
        ASSERT_TRUE(traffic.ok) << traffic.error;
        // The fourth record from the end of the server's stream: application data.
        const std::vector<std::size_t>& starts = traffic.recordStarts[1];
        ASSERT_GE(starts.size(), 8u);
        const std::size_t start = starts[starts.size() - 4];
        const std::size_t end = starts[starts.size() - 3];
        ASSERT_EQ(traffic.wire[1][start], 23);
        traffic.wire[1][test.inTag ? end - 3 : start + 30] ^= 0x40;

        KeyLog keyLog;
        keyLog.AddText(traffic.keyLog);
        MemoryBudget budget;
        Collector out;
        TlsConnection connection(keyLog, budget, out);
        Feed(connection, traffic, Split::Segments);
        EXPECT_EQ(connection.State(), TlsState::Failed);
        EXPECT_EQ(connection.Failure(), TlsFailure::AuthenticationFailed);
        // What came out is exactly what the records before the tampered one held.
        EXPECT_TRUE(Same(out.ToServer(), traffic.received[0]));
        ASSERT_LT(out.ToClient().size(), traffic.received[1].size());
        EXPECT_GT(out.ToClient().size(), 20000u);
        EXPECT_EQ(traffic.received[1].compare(0, out.ToClient().size(), out.ToClient()), 0);
        const std::size_t tail = traffic.received[1].size() - out.ToClient().size();
        EXPECT_GT(tail, 2 * 16384u);  // the tampered record and the two after it
        EXPECT_EQ(budget.Used(), 0u);
    }
}

TEST(TlsConnection, KeysThatArriveAfterTheRecords) {
    for (const Suite& suite : {kSuites[1], kSuites[4]}) {
        SCOPED_TRACE(suite.cipher);
        TlsTraffic peers(Config(suite));
        const TlsTrafficResult traffic = peers.Run(Exchange());
        ASSERT_TRUE(traffic.ok) << traffic.error;
        KeyLog keyLog;
        MemoryBudget budget;
        Collector out;
        TlsConnection connection(keyLog, budget, out);
        Feed(connection, traffic, Split::Segments);
        EXPECT_EQ(connection.State(), TlsState::AwaitingKeys);
        EXPECT_TRUE(out.ToServer().empty() && out.ToClient().empty());
        EXPECT_GT(budget.Used(), traffic.wire[1].size() / 2);
        connection.KeysChanged();  // nothing new yet
        EXPECT_EQ(connection.State(), TlsState::AwaitingKeys);

        ASSERT_TRUE(keyLog.AddText(traffic.keyLog));
        connection.KeysChanged();
        EXPECT_EQ(connection.State(), TlsState::Ended) << TlsFailureText(connection.Failure());
        EXPECT_TRUE(Same(out.ToServer(), traffic.received[0]));
        EXPECT_TRUE(Same(out.ToClient(), traffic.received[1]));
        EXPECT_EQ(budget.Used(), 0u);
    }
}

TEST(TlsConnection, KeysThatNeverArriveOrBuffersPastTheirBound) {
    TlsTraffic peers(Config(kSuites[3]));
    std::vector<TlsExchangeStep> script = Exchange();
    script[2].serverAnswers = Body(3u << 20, 9);
    const TlsTrafficResult traffic = peers.Run(script);
    ASSERT_TRUE(traffic.ok) << traffic.error;
    struct Case {
        const char* name;
        std::size_t budget;
        std::size_t pendingBound;
        TlsState state;
    };
    for (const Case& test : {
             Case{"never", MemoryBudget::kDefaultLimit, 8u << 20, TlsState::AwaitingKeys},
             Case{"past the connection's bound", MemoryBudget::kDefaultLimit, 1u << 20,
                  TlsState::Failed},
             Case{"past the budget", 1u << 20, 8u << 20, TlsState::Failed},
         }) {
        SCOPED_TRACE(test.name);
        KeyLog keyLog;
        MemoryBudget budget(test.budget);
        Collector out;
        {
            TlsConnection connection(keyLog, budget, out, {test.pendingBound});
            Feed(connection, traffic, Split::Segments);
            EXPECT_EQ(connection.State(), test.state);
            if (test.state == TlsState::Failed) {
                EXPECT_EQ(connection.Failure(), TlsFailure::BufferLimit);
                EXPECT_EQ(budget.Used(), 0u);  // given back when it gave up
            } else {
                EXPECT_GT(budget.Used(), traffic.wire[1].size());
            }
            EXPECT_LE(budget.Peak(), std::min(test.budget, test.pendingBound + 2 * 20000));
        }
        EXPECT_EQ(budget.Used(), 0u);
        EXPECT_TRUE(out.ToServer().empty() && out.ToClient().empty());
    }
}

TEST(TlsConnection, SuitesWithoutAeadAreRefused) {
    for (const Suite& suite :
         {Suite{0x0303, "ECDHE-ECDSA-AES128-SHA256"}, Suite{0x0303, "ECDHE-ECDSA-AES256-SHA"},
          Suite{0x0304, "TLS_AES_128_CCM_SHA256"}}) {
        SCOPED_TRACE(suite.cipher);
        TlsTraffic peers(Config(suite));
        const TlsTrafficResult traffic = peers.Run(Exchange(1));
        ASSERT_TRUE(traffic.ok) << traffic.error;
        KeyLog keyLog;
        keyLog.AddText(traffic.keyLog);
        MemoryBudget budget;
        Collector out;
        TlsConnection connection(keyLog, budget, out);
        Feed(connection, traffic);
        EXPECT_EQ(connection.State(), TlsState::Failed);
        EXPECT_STREQ(TlsFailureText(connection.Failure()), "cipher suite not supported");
        EXPECT_TRUE(out.ToServer().empty() && out.ToClient().empty());
        EXPECT_EQ(budget.Used(), 0u);
    }
}

TEST(TlsConnection, OtherProtocolsAreNotTlsAndPassThrough) {
    struct Case {
        const char* name;
        std::string client;
        std::string server;
        bool serverFirst;
    };
    const std::string sslv2("\x80\x2e\x01\x03\x01\x00\x15", 7);
    const std::string serverHelloFirst("\x16\x03\x03\x00\x30\x02\x00\x00\x2c", 9);
    for (const Case& test : {
             Case{"HTTP", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n", false},
             Case{"SSH", "SSH-2.0-OpenSSH_9.2\r\n", "SSH-2.0-OpenSSH_9.2\r\n", false},
             Case{"server speaks first", "EHLO a\r\n", "220 mail ESMTP\r\n", true},
             Case{"SSL 2 hello", sslv2, "", false},
             Case{"handshake record without a ClientHello", serverHelloFirst, "", false},
             Case{"handshake record of TLS 7", std::string("\x16\x07\x01\x00\x30\x01", 6), "",
                  false},
         }) {
        SCOPED_TRACE(test.name);
        KeyLog keyLog;
        MemoryBudget budget;
        Collector out;
        TlsConnection connection(keyLog, budget, out);
        auto feedServer = [&] {
            connection.Feed(Direction::ToClient,
                            reinterpret_cast<const std::uint8_t*>(test.server.data()),
                            test.server.size());
        };
        if (test.serverFirst)
            feedServer();
        // One byte at a time: the verdict comes from as few bytes as tell.
        for (char c : test.client)
            connection.Feed(Direction::ToServer, reinterpret_cast<const std::uint8_t*>(&c), 1);
        if (!test.serverFirst)
            feedServer();
        EXPECT_EQ(connection.State(), TlsState::NotTls);
        EXPECT_EQ(out.ToServer(), test.client);
        EXPECT_EQ(out.ToClient(), test.server);
        EXPECT_EQ(budget.Used(), 0u);
    }
}

TEST(TlsConnection, MalformedRecordsAreRefused) {
    TlsTraffic peers(Config(kSuites[0]));
    const TlsTrafficResult traffic = peers.Run(Exchange(1));
    ASSERT_TRUE(traffic.ok) << traffic.error;
    const std::size_t helloSize = traffic.recordStarts[0][1];
    struct Case {
        const char* name;
        Direction direction;
        std::string bytes;
        TlsFailure failure;
    };
    for (const Case& test : {
             Case{"handshake record past 2^14", Direction::ToClient,
                  std::string("\x16\x03\x03\x40\x01", 5), TlsFailure::RecordTooLong},
             Case{"record past 2^14 + 2048", Direction::ToClient,
                  std::string("\x17\x03\x03\x48\x01", 5), TlsFailure::RecordTooLong},
             Case{"unknown record type", Direction::ToClient,
                  std::string("\x18\x03\x03\x00\x01\x00", 6), TlsFailure::MalformedRecord},
             Case{"empty record", Direction::ToClient, std::string("\x16\x03\x03\x00\x00", 5),
                  TlsFailure::MalformedRecord},
             Case{"application data before the keys", Direction::ToClient,
                  std::string("\x17\x03\x03\x00\x02\xAA\xBB", 7), TlsFailure::UnexpectedMessage},
             Case{"ServerHello cut short", Direction::ToClient,
                  std::string("\x16\x03\x03\x00\x08\x02\x00\x00\x04\x03\x03\x00\x00", 13),
                  TlsFailure::MalformedHandshake},
             Case{"a second ClientHello without a HelloRetryRequest", Direction::ToServer,
                  std::string(reinterpret_cast<const char*>(traffic.wire[0].data()), helloSize),
                  TlsFailure::UnexpectedMessage},
         }) {
        SCOPED_TRACE(test.name);
        KeyLog keyLog;
        keyLog.AddText(traffic.keyLog);
        MemoryBudget budget;
        Collector out;
        TlsConnection connection(keyLog, budget, out);
        connection.Feed(Direction::ToServer, traffic.wire[0].data(), helloSize);
        EXPECT_EQ(connection.State(), TlsState::Decrypting);
        if (test.direction == Direction::ToServer) {
            // The server's real hello first, so that the client's next record is read.
            connection.Feed(Direction::ToClient, traffic.wire[1].data(),
                            traffic.recordStarts[1][1]);
        }
        connection.Feed(test.direction, reinterpret_cast<const std::uint8_t*>(test.bytes.data()),
                        test.bytes.size());
        EXPECT_EQ(connection.State(), TlsState::Failed);
        EXPECT_EQ(connection.Failure(), test.failure) << TlsFailureText(connection.Failure());
        EXPECT_EQ(budget.Used(), 0u);
    }
}
