// The memory budget bounds what the engine really holds: TCP reassembly with the HTTP layer
// behind it, under many idle connections (HTTP/1.1 heads half sent, HTTP/2 header decoders
// with full tables) and huge out-of-order windows. The heap in use is measured, so memory that
// escaped the budget's accounting would show.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "HttpRecording.h"
#include "support/FrameBuilder.h"
#include "support/Http2Frames.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapMeasured = false;  // the sanitizers' allocators keep their own books
#else
constexpr bool kHeapMeasured = true;
#endif

std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

class HttpSink : public TcpConnectionSink {
public:
    HttpSink(MemoryBudget& budget, HttpExchangeSink& exchanges)
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

struct Endpoint {
    IpAddress client;
    std::uint16_t port;
};

class Driver {
public:
    Driver(TcpReassembler& reassembler) : m_reassembler(reassembler) {}

    void Send(const Endpoint& e, bool fromClient, std::uint32_t offset, const std::string& data,
              std::uint8_t flags = kTcpAck) {
        const IpAddress server{Ipv4Address{10, 9, 0, 1}};
        FrameLayout layout = fromClient ? ClientToServer(e.client, server, e.port, data)
                                        : ServerToClient(server, e.client, e.port, data);
        layout.destinationPort = fromClient ? 443 : e.port;
        layout.sourcePort = fromClient ? e.port : 443;
        layout.sequence = (fromClient ? 1000u : 9000u) + ((flags & kTcpSyn) != 0 ? 0 : 1) + offset;
        layout.acknowledgement = fromClient ? 9001 : 1001;
        layout.tcpFlags = flags;
        const auto frame = BuildFrame(layout);
        const auto view = DecodeFrame(frame.size(), frame.data(), LocalAddresses{e.client});
        ASSERT_TRUE(view);
        m_reassembler.HandlePacket(*view, m_now);
        m_peakHeap = std::max(m_peakHeap, HeapInUse());
    }
    void Open(const Endpoint& e) {
        Send(e, true, 0, "", kTcpSyn);
        Send(e, false, 0, "", kTcpSyn | kTcpAck);
    }
    std::size_t PeakHeap() const { return m_peakHeap; }
    std::int64_t m_now = 0;

private:
    TcpReassembler& m_reassembler;
    std::size_t m_peakHeap = 0;
};

}  // namespace

TEST(EngineBudget, IdleConnectionsAndHugeWindowsStayWithinIt) {
    constexpr std::size_t kLimit = 8u << 20;
    MemoryBudget budget(kLimit);
    RecordingExchangeSink exchanges;
    HttpSink sink(budget, exchanges);
    const std::size_t heapBefore = HeapInUse();
    std::size_t peakHeap = 0;
    {
        TcpReassembler reassembler(budget, sink);
        Driver driver(reassembler);
        // 3,000 HTTP/2 connections whose header decoders hold full 64 KiB tables.
        for (std::uint32_t i = 0; i < 3000; ++i) {
            const Endpoint e{
                Ipv4Address{10, 2, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)},
                static_cast<std::uint16_t>(20000 + i)};
            h2::Encoder client;
            HeaderFields big = {{":method", "GET"}, {":scheme", "https"}, {":path", "/"}};
            for (int f = 0; f < 12; ++f)
                big.push_back({"x-field-" + std::to_string(f), std::string(4000, 'v')});
            // The server lets the client's table grow to 64 KiB, and the client fills it.
            client.SetTableSize(65536);
            driver.Open(e);
            driver.Send(e, true, 0, std::string(kHttp2Preface) + h2::Settings({}));
            driver.Send(e, false, 0, h2::Settings({{1, 65536}}));
            const std::string request = client.Headers(1, big, true, 16000);
            driver.Send(e, true, static_cast<std::uint32_t>(kHttp2Preface.size() + 9), request);
        }
        // 20,000 HTTP/1.1 connections that send 3 KB of a request head and go quiet.
        const std::string head = "GET /x HTTP/1.1\r\nCookie: " + std::string(3000, 'c') + "\r\n";
        for (std::uint32_t i = 0; i < 20000; ++i) {
            const Endpoint e{
                Ipv4Address{10, 1, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)},
                static_cast<std::uint16_t>(20000 + i % 30000)};
            driver.Open(e);
            driver.Send(e, true, 0, head);
        }
        // 32 connections sending 16 MiB each behind a hole that never fills.
        for (std::uint32_t i = 0; i < 32; ++i) {
            const Endpoint e{Ipv4Address{10, 3, 0, static_cast<std::uint8_t>(i)},
                             static_cast<std::uint16_t>(30000 + i)};
            driver.Open(e);
            for (std::uint32_t at = 100; at < (16u << 20); at += 1400)
                driver.Send(e, false, at, std::string(1400, 'w'));
        }
        peakHeap = driver.PeakHeap();
        // The oldest idle connections made room: none was refused memory.
        EXPECT_EQ(reassembler.Stats().ended[static_cast<int>(TcpEndReason::Declined)], 0u);
        EXPECT_GT(reassembler.Stats().ended[static_cast<int>(TcpEndReason::Evicted)], 15000u);
        EXPECT_LE(budget.Peak(), kLimit);
        EXPECT_GT(budget.Peak(), kLimit / 2);  // the traffic did press on it
    }
    EXPECT_EQ(budget.Used(), 0u);
    EXPECT_TRUE(exchanges.lines.empty());
    if (kHeapMeasured) {
        // What the budget does not see: allocator headers and rounding, hash buckets. Memory
        // that escaped the accounting (20,000 heads, 3,000 decoder tables, 512 MiB of
        // windows) would pass this by far.
        const std::size_t grown = peakHeap > heapBefore ? peakHeap - heapBefore : 0;
        EXPECT_LE(grown, kLimit + kLimit / 2) << "heap grew by " << grown;
    }
}
