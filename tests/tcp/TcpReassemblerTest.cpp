#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/FrameBuilder.h"
#include "tcp/TcpReassembler.h"

namespace {

const IpAddress kClient{Ipv4Address{10, 0, 0, 2}};
const IpAddress kServer{Ipv4Address{10, 0, 0, 7}};
const LocalAddresses kLocal{kClient};

// What one connection's handler saw, written as one text: "S:bytes" and "C:bytes" for data
// runs, "fin S", "fin C", "end reason".
struct Record {
    TcpConnectionInfo info;
    std::string toServer;
    std::string toClient;
    std::string events;
    int ends = 0;
    TcpEndReason reason = TcpEndReason::Shutdown;
};

class RecordingHandler : public TcpStreamHandler {
public:
    RecordingHandler(Record& record, MemoryBudget& budget, std::size_t stateBytes,
                     std::size_t declineAfter)
        : m_record(record),
          m_budget(budget),
          m_stateBytes(stateBytes),
          m_declineAfter(declineAfter) {}
    ~RecordingHandler() override { m_budget.Release(m_stateBytes); }
    bool OnData(Direction direction, const std::uint8_t* data, std::size_t size) override {
        EXPECT_EQ(m_record.ends, 0) << "data after the end";
        EXPECT_GT(size, 0u);
        std::string& to = direction == Direction::ToServer ? m_record.toServer : m_record.toClient;
        to.append(reinterpret_cast<const char*>(data), size);
        return m_record.toServer.size() + m_record.toClient.size() < m_declineAfter;
    }
    void OnFinished(Direction direction) override {
        m_record.events += direction == Direction::ToServer ? "fin S;" : "fin C;";
    }
    void OnEnd(TcpEndReason reason) override {
        ++m_record.ends;
        m_record.reason = reason;
        m_record.events += std::string("end ") + TcpEndReasonText(reason) + ";";
    }

private:
    Record& m_record;
    MemoryBudget& m_budget;
    std::size_t m_stateBytes;
    std::size_t m_declineAfter;
};

// Gives every connection a recording handler whose own state takes `stateBytes` of the budget
// (none when the budget refuses, as a real handler would).
class RecordingSink : public TcpConnectionSink {
public:
    explicit RecordingSink(MemoryBudget& budget, std::size_t stateBytes = 0)
        : m_budget(budget), m_stateBytes(stateBytes) {}
    std::unique_ptr<TcpStreamHandler> OnConnection(const TcpConnectionInfo& info) override {
        if (m_stateBytes > 0 && !m_budget.TryReserve(m_stateBytes))
            return nullptr;
        records.push_back(std::make_unique<Record>());
        records.back()->info = info;
        return std::make_unique<RecordingHandler>(*records.back(), m_budget, m_stateBytes,
                                                  declineAfter);
    }
    std::vector<std::unique_ptr<Record>> records;
    std::size_t declineAfter = static_cast<std::size_t>(-1);

private:
    MemoryBudget& m_budget;
    std::size_t m_stateBytes;
};

// Builds the frames of one connection between kClient:port and kServer:80.
struct Wire {
    std::uint16_t clientPort = 40000;
    std::uint32_t clientIsn = 1000;
    std::uint32_t serverIsn = 5000;
    IpAddress client = kClient;
    IpAddress server = kServer;

    // A segment from the client carrying `data` at stream offset `offset` (the first data byte
    // is offset 0, one past the SYN), acknowledging `ack` bytes of the server's stream.
    std::vector<std::uint8_t> FromClient(std::uint32_t offset, std::string data,
                                         std::uint8_t flags = kTcpAck,
                                         std::uint32_t ack = 0) const {
        FrameLayout layout = ClientToServer(client, server, clientPort, std::move(data));
        layout.sequence = clientIsn + 1 + offset;
        layout.acknowledgement = serverIsn + 1 + ack;
        layout.tcpFlags = flags;
        return BuildFrame(layout);
    }
    std::vector<std::uint8_t> FromServer(std::uint32_t offset, std::string data,
                                         std::uint8_t flags = kTcpAck,
                                         std::uint32_t ack = 0) const {
        FrameLayout layout = ServerToClient(server, client, clientPort, std::move(data));
        layout.sequence = serverIsn + 1 + offset;
        layout.acknowledgement = clientIsn + 1 + ack;
        layout.tcpFlags = flags;
        return BuildFrame(layout);
    }
    std::vector<std::uint8_t> Syn() const {
        FrameLayout layout = ClientToServer(client, server, clientPort, "");
        layout.sequence = clientIsn;
        layout.tcpFlags = kTcpSyn;
        return BuildFrame(layout);
    }
    std::vector<std::uint8_t> SynAck() const {
        FrameLayout layout = ServerToClient(server, client, clientPort, "");
        layout.sequence = serverIsn;
        layout.acknowledgement = clientIsn + 1;
        layout.tcpFlags = kTcpSyn | kTcpAck;
        return BuildFrame(layout);
    }
};

void Feed(TcpReassembler& reassembler, const std::vector<std::uint8_t>& frame, std::int64_t now = 0,
          std::size_t captured = 0) {
    const std::size_t length = captured == 0 ? frame.size() : captured;
    const auto view = DecodeFrame(length, frame.data(), kLocal, frame.size());
    ASSERT_TRUE(view);
    reassembler.HandlePacket(*view, now);
}

std::string Text(std::size_t size, std::uint32_t seed = 1) {
    std::string text(size, ' ');
    std::mt19937 random(seed);
    for (char& c : text) c = static_cast<char>('a' + random() % 26);
    return text;
}

}  // namespace

// One message from the client, sent as the segments of each case in the order given. A
// segment marked `other` carries different bytes for the same positions, so the case shows
// which copy of an overlapped byte was handed on: always the one that arrived first.
TEST(TcpReassembler, OrderRetransmissionsOverlapsAndWrapAround) {
    struct Segment {
        std::uint32_t from;
        std::uint32_t to;
        bool other = false;
        bool fin = false;
    };
    struct Case {
        const char* name;
        std::vector<Segment> segments;
        const char* expected;   // the message is "0123456789ABCDEFGHIJabcdefghij", other "*"
        bool finished = false;  // the client's FIN was reached
    };
    const Case cases[] = {
        {"in order", {{0, 10}, {10, 20}, {20, 30}}, "0123456789ABCDEFGHIJabcdefghij"},
        {"swapped", {{10, 20}, {0, 10}, {20, 30}}, "0123456789ABCDEFGHIJabcdefghij"},
        {"reversed", {{20, 30}, {10, 20}, {0, 10}}, "0123456789ABCDEFGHIJabcdefghij"},
        {"retransmitted",
         {{0, 10}, {0, 10}, {10, 20}, {0, 20}, {10, 20}, {20, 30}},
         "0123456789ABCDEFGHIJabcdefghij"},
        {"overlap past what was handed on",
         {{0, 10}, {5, 15, true}, {15, 30}},
         "0123456789*****FGHIJabcdefghij"},
        {"overlap among held pieces",
         {{20, 30, true}, {15, 25}, {0, 15}},
         "0123456789ABCDEFGHIJ**********"},
        {"held piece inside a later one",
         {{12, 14, true}, {10, 20}, {0, 10}, {20, 30}},
         "0123456789AB**EFGHIJabcdefghij"},
        {"old retransmission with other bytes",
         {{0, 20}, {0, 10, true}, {20, 30}},
         "0123456789ABCDEFGHIJabcdefghij"},
        {"one byte at a time, backwards",
         {{29, 30},
          {28, 29},
          {27, 28},
          {26, 27},
          {25, 26},
          {24, 25},
          {23, 24},
          {22, 23},
          {21, 22},
          {20, 21},
          {0, 20}},
         "0123456789ABCDEFGHIJabcdefghij"},
        {"FIN held before the hole fills",
         {{20, 30, false, true}, {0, 20}},
         "0123456789ABCDEFGHIJabcdefghij",
         true},
        {"data past the FIN ignored", {{0, 10, false, true}, {10, 20}}, "0123456789", true},
        {"a hole never filled hands on the start only", {{0, 10}, {20, 30}}, "0123456789"},
    };
    const std::string message = "0123456789ABCDEFGHIJabcdefghij";
    // Around 2^32 the sequence numbers wrap inside the message.
    for (const std::uint32_t isn : {1000u, 0xFFFFFFF0u, 0xFFFFFFFFu, 0x7FFFFFF8u}) {
        for (const Case& c : cases) {
            MemoryBudget budget;
            RecordingSink sink(budget);
            {
                TcpReassembler reassembler(budget, sink);
                Wire wire;
                wire.clientIsn = isn;
                Feed(reassembler, wire.Syn());
                Feed(reassembler, wire.SynAck());
                for (const Segment& s : c.segments) {
                    std::string bytes = message.substr(s.from, s.to - s.from);
                    if (s.other)
                        bytes.assign(bytes.size(), '*');
                    Feed(reassembler,
                         wire.FromClient(s.from, bytes, kTcpAck | (s.fin ? kTcpFin : 0)));
                }
                ASSERT_EQ(sink.records.size(), 1u);
                const Record& record = *sink.records[0];
                EXPECT_EQ(record.toServer, c.expected) << c.name << ", ISN " << isn;
                EXPECT_EQ(record.ends, 0) << c.name;
                EXPECT_EQ(record.events, c.finished ? "fin S;" : "") << c.name;
            }
            EXPECT_EQ(budget.Used(), 0u) << c.name;
        }
    }
}

// Many segments of random sizes, with duplicates and overlaps, in a shuffled order within a
// window: the message arrives whole, once, in both directions, whatever the order.
TEST(TcpReassembler, ShuffledSegmentsWithOverlapsGiveTheMessageOnce) {
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        const std::string request = Text(3000 + random() % 2000, round);
        const std::string answer = Text(20000 + random() % 20000, round + 100);
        MemoryBudget budget;
        RecordingSink sink(budget);
        TcpReassembler reassembler(budget, sink);
        Wire wire;
        wire.clientIsn = static_cast<std::uint32_t>(random());
        wire.serverIsn = 0xFFFFFFFF - static_cast<std::uint32_t>(random() % 30000);
        std::vector<std::vector<std::uint8_t>> frames;
        const auto cut = [&](const std::string& text, bool fromClient) {
            std::uint32_t at = 0;
            while (at < text.size()) {
                const std::uint32_t size = 1 + random() % 1500;
                // Sometimes start a little earlier: an overlap with the piece before.
                const std::uint32_t from =
                    at > 0 && random() % 4 == 0 ? at - random() % at % 50 : at;
                const std::uint32_t to = std::min<std::uint32_t>(text.size(), at + size);
                const std::string piece = text.substr(from, to - from);
                frames.push_back(fromClient ? wire.FromClient(from, piece)
                                            : wire.FromServer(from, piece));
                if (random() % 5 == 0)
                    frames.push_back(frames.back());  // a retransmission
                at = to;
            }
        };
        cut(request, true);
        cut(answer, false);
        // Shuffle within windows of 16 frames: reordered, never so far that a peer would have
        // acknowledged past a hole (the segments acknowledge nothing new).
        for (std::size_t i = 0; i < frames.size(); i += 16) {
            std::shuffle(frames.begin() + i, frames.begin() + std::min(frames.size(), i + 16),
                         random);
        }
        Feed(reassembler, wire.Syn());
        Feed(reassembler, wire.SynAck());
        for (const auto& frame : frames) Feed(reassembler, frame);
        ASSERT_EQ(sink.records.size(), 1u);
        EXPECT_EQ(sink.records[0]->toServer, request) << round;
        EXPECT_EQ(sink.records[0]->toClient, answer) << round;
        EXPECT_EQ(sink.records[0]->ends, 0) << round;
    }
}

TEST(TcpReassembler, OpeningClosingResetAndReuseOfPorts) {
    struct Case {
        const char* name;
        std::vector<std::string> steps;  // see Run below
        std::size_t connections;         // handlers created
        std::string events;              // of the first connection
    };
    const Case cases[] = {
        {"FIN both ways",
         {"syn", "synack", "c:GET", "s:OK", "cfin", "sfin"},
         1,
         "fin S;fin C;end closed;"},
        {"RST ends; later packets open nothing",
         {"syn", "synack", "c:GET", "rst", "s:OK"},
         1,
         "end reset;"},
        {"retransmitted SYN is the same connection", {"syn", "syn", "synack", "c:GET"}, 1, ""},
        {"new SYN after the close is a new connection",
         {"syn", "synack", "cfin", "sfin", "syn2", "synack"},
         2,
         "fin S;fin C;end closed;"},
        {"new SYN on a live connection ends it", {"syn", "synack", "c:GET", "syn2"}, 2, "end gap;"},
        {"late packets after the close open nothing",
         {"syn", "synack", "cfin", "sfin", "c:x"},
         1,
         "fin S;fin C;end closed;"},
    };
    for (const Case& c : cases) {
        MemoryBudget budget;
        RecordingSink sink(budget);
        TcpReassembler reassembler(budget, sink);
        Wire wire;
        std::uint32_t clientSent = 0;
        std::uint32_t serverSent = 0;
        for (const std::string& step : c.steps) {
            if (step == "syn") {
                Feed(reassembler, wire.Syn());
            } else if (step == "syn2") {
                wire.clientIsn += 100000;
                wire.serverIsn += 100000;
                clientSent = serverSent = 0;
                Feed(reassembler, wire.Syn());
            } else if (step == "synack") {
                Feed(reassembler, wire.SynAck());
            } else if (step.rfind("c:", 0) == 0) {
                Feed(reassembler, wire.FromClient(clientSent, step.substr(2)));
                clientSent += step.size() - 2;
            } else if (step.rfind("s:", 0) == 0) {
                Feed(reassembler, wire.FromServer(serverSent, step.substr(2)));
                serverSent += step.size() - 2;
            } else if (step == "cfin") {
                Feed(reassembler, wire.FromClient(clientSent, "", kTcpAck | kTcpFin));
            } else if (step == "sfin") {
                Feed(reassembler,
                     wire.FromServer(serverSent, "", kTcpAck | kTcpFin, clientSent + 1));
            } else if (step == "rst") {
                Feed(reassembler, wire.FromServer(serverSent, "", kTcpRst));
            }
        }
        ASSERT_EQ(sink.records.size(), c.connections) << c.name;
        EXPECT_EQ(sink.records[0]->events, c.events) << c.name;
        EXPECT_TRUE(sink.records[0]->info.openingSeen) << c.name;
        EXPECT_LE(sink.records[0]->ends, 1) << c.name;
    }
}

// Who is the client: the SYN's sender, the SYN-ACK's receiver, else this machine's side.
TEST(TcpReassembler, RolesFromTheOpeningOrFromThisMachine) {
    struct Case {
        const char* name;
        bool syn;
        bool synAck;
        bool firstFromServer;  // the first data segment seen comes from the server
    };
    const Case cases[] = {
        {"SYN seen", true, true, false},
        {"only the SYN-ACK seen", false, true, false},
        {"joined in the middle, client speaks first", false, false, false},
        {"joined in the middle, server speaks first", false, false, true},
    };
    for (const Case& c : cases) {
        MemoryBudget budget;
        RecordingSink sink(budget);
        TcpReassembler reassembler(budget, sink);
        Wire wire;
        if (c.syn)
            Feed(reassembler, wire.Syn());
        if (c.synAck)
            Feed(reassembler, wire.SynAck());
        // Mid-stream, the streams begin at the first bytes seen, wherever they fall.
        const std::uint32_t offset = c.syn || c.synAck ? 0 : 70000;
        if (c.firstFromServer)
            Feed(reassembler, wire.FromServer(offset, "answer", kTcpAck, offset));
        Feed(reassembler, wire.FromClient(offset, "request", kTcpAck, offset));
        if (!c.firstFromServer)
            Feed(reassembler, wire.FromServer(offset, "answer", kTcpAck, offset + 7));
        ASSERT_EQ(sink.records.size(), 1u) << c.name;
        const Record& record = *sink.records[0];
        EXPECT_EQ(record.info.clientAddress, kClient) << c.name;
        EXPECT_EQ(record.info.serverAddress, kServer) << c.name;
        EXPECT_EQ(record.info.clientPort, 40000) << c.name;
        EXPECT_EQ(record.info.serverPort, 80) << c.name;
        EXPECT_EQ(record.info.openingSeen, c.syn || c.synAck) << c.name;
        EXPECT_EQ(record.toServer, "request") << c.name;
        EXPECT_EQ(record.toClient, "answer") << c.name;
        EXPECT_EQ(record.ends, 0) << c.name;
    }
}

// A connection whose bytes can no longer be had is given up once, and its handler hears
// nothing more; its later packets open no new connection.
TEST(TcpReassembler, GivenUpCleanly) {
    struct Case {
        const char* name;
        TcpEndReason reason;
        std::string delivered;  // to the server before the end
    };
    const Case cases[] = {
        {"acknowledged but never captured", TcpEndReason::Gap, "hello"},
        {"cut by the snapshot length", TcpEndReason::Gap, "hello"},
        {"held past the bound", TcpEndReason::Gap, "hello"},
        {"idle past the timeout", TcpEndReason::Expired, "hello"},
        {"handler declines", TcpEndReason::Declined, "hello"},
    };
    for (const Case& c : cases) {
        MemoryBudget budget;
        RecordingSink sink(budget);
        TcpReassembler::Limits limits;
        limits.maxHeldBytes = 4096;
        limits.idleSeconds = 30;
        const std::string name = c.name;
        if (name == "handler declines")
            sink.declineAfter = 5;
        std::unique_ptr<TcpReassembler> reassembler =
            std::make_unique<TcpReassembler>(budget, sink, limits);
        Wire wire;
        Feed(*reassembler, wire.Syn(), 100);
        Feed(*reassembler, wire.SynAck(), 100);
        Feed(*reassembler, wire.FromClient(0, "hello"), 100);
        if (name == "acknowledged but never captured") {
            // Bytes 5-9 were lost by the capture; the server acknowledges them.
            Feed(*reassembler, wire.FromClient(10, "later"), 100);
            Feed(*reassembler, wire.FromServer(0, "", kTcpAck, 10), 100);
        } else if (name == "cut by the snapshot length") {
            const auto frame = wire.FromClient(5, std::string(1000, 'x'));
            Feed(*reassembler, frame, 100, frame.size() - 400);
        } else if (name == "held past the bound") {
            Feed(*reassembler, wire.FromClient(100, std::string(3000, 'x')), 100);
            Feed(*reassembler, wire.FromClient(3100, std::string(3000, 'x')), 100);
        } else if (name == "idle past the timeout") {
            Feed(*reassembler, wire.FromServer(0, "", kTcpAck, 5), 130);  // not yet
            Wire other;
            other.clientPort = 40001;
            Feed(*reassembler, other.Syn(), 161);  // the clock moves on
        } else if (name == "handler declines") {
            Feed(*reassembler, wire.FromClient(5, " more"), 100);
        }
        // Whatever comes later is not handed on, and opens nothing (but after an expiry).
        const std::int64_t later = name == "idle past the timeout" ? 161 : 101;
        Feed(*reassembler, wire.FromClient(5, "xxxxxxxxxxxxxxxxxxxx"), later);
        Feed(*reassembler, wire.FromServer(0, "answer"), later);
        const Record& record = *sink.records[0];
        EXPECT_EQ(record.toServer, c.delivered) << c.name;
        EXPECT_EQ(record.toClient, "") << c.name;
        EXPECT_EQ(record.ends, 1) << c.name;
        EXPECT_EQ(record.reason, c.reason) << c.name;
        EXPECT_EQ(reassembler->Stats().ended[static_cast<int>(c.reason)], 1u) << c.name;
        const std::size_t opened = name == "idle past the timeout" ? 3u : 1u;
        EXPECT_EQ(sink.records.size(), opened) << c.name;
        reassembler.reset();
        EXPECT_EQ(budget.Used(), 0u) << c.name;
    }
}

// The budget holds, whatever the traffic: a flood of idle connections makes the oldest give
// way, and huge out-of-order windows give their connections up instead of passing it.
TEST(TcpReassembler, BudgetNeverExceeded) {
    constexpr std::size_t kLimit = 2u << 20;
    constexpr std::size_t kHandlerState = 4096;  // what each handler takes for itself
    MemoryBudget budget(kLimit);
    RecordingSink sink(budget, kHandlerState);
    {
        TcpReassembler reassembler(budget, sink);
        // 20,000 connections that open and go quiet, each with a handler holding state.
        for (std::uint32_t i = 0; i < 20000; ++i) {
            Wire wire;
            wire.clientPort = static_cast<std::uint16_t>(1024 + i % 60000);
            wire.client =
                Ipv4Address{10, 1, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
            Feed(reassembler, wire.Syn(), i / 100);
            Feed(reassembler, wire.FromClient(0, "GET / HTTP/1.1\r\n"), i / 100);
        }
        EXPECT_LE(budget.Peak(), kLimit);
        EXPECT_GT(budget.Peak(), kLimit - 64 * 1024);  // the flood did fill it
        // Every connection still got a handler: the oldest made room for the newest.
        EXPECT_EQ(sink.records.size(), 20000u);
        EXPECT_GT(reassembler.Stats().ended[static_cast<int>(TcpEndReason::Evicted)], 15000u);
        EXPECT_EQ(sink.records.back()->toServer, "GET / HTTP/1.1\r\n");

        // Eight connections each sending 8 MiB behind a hole that never fills.
        for (std::uint16_t c = 0; c < 8; ++c) {
            Wire wire;
            wire.clientPort = static_cast<std::uint16_t>(50000 + c);
            Feed(reassembler, wire.Syn(), 300);
            for (std::uint32_t at = 1; at < (8u << 20); at += 1400)
                Feed(reassembler, wire.FromClient(at, std::string(1400, 'w')), 300);
        }
        EXPECT_LE(budget.Peak(), kLimit);
    }
    EXPECT_EQ(budget.Used(), 0u);
    std::size_t heldUp = 0;
    for (const auto& record : sink.records) {
        if (record->info.clientPort >= 50000 && record->info.clientPort < 50008) {
            EXPECT_TRUE(record->reason == TcpEndReason::Gap ||
                        record->reason == TcpEndReason::Budget);
            EXPECT_EQ(record->toServer, "");
            ++heldUp;
        }
    }
    EXPECT_EQ(heldUp, 8u);
}

TEST(TcpReassembler, ConnectionBoundEvictsTheLongestIdle) {
    MemoryBudget budget;
    RecordingSink sink(budget);
    TcpReassembler::Limits limits;
    limits.maxConnections = 3;
    TcpReassembler reassembler(budget, sink, limits);
    std::vector<Wire> wires(4);
    for (std::size_t i = 0; i < wires.size(); ++i) {
        wires[i].clientPort = static_cast<std::uint16_t>(41000 + i);
        Feed(reassembler, wires[i].Syn(), static_cast<std::int64_t>(i));
        if (i == 2)  // the first connection becomes the most recently active
            Feed(reassembler, wires[0].FromClient(0, "a"), 2);
    }
    EXPECT_EQ(reassembler.ConnectionCount(), 3u);
    ASSERT_EQ(sink.records.size(), 4u);
    EXPECT_EQ(sink.records[0]->ends, 0);
    EXPECT_EQ(sink.records[1]->reason, TcpEndReason::Evicted);
    EXPECT_EQ(sink.records[1]->ends, 1);
    EXPECT_EQ(sink.records[2]->ends, 0);
}
