// TCP reassembly with the HTTP layer behind it, over segments of four connections in any
// order, with any flags, overlaps, sequence numbers near the wrap, cuts and idle times. The
// first byte chooses the budget; then records of four bytes and a payload: connection (bits
// 0-1), direction (bit 2), cut by the snapshot (bit 3), SYN/FIN/RST/ACK (bits 4-7); a 16-bit
// sequence offset (from 256 before the stream's start); an acknowledgement offset; the payload
// length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "httpmsg/HttpConnection.h"
#include "support/FrameBuilder.h"
#include "tcp/TcpReassembler.h"

namespace {

class NullExchanges : public HttpExchangeSink {
public:
    std::size_t OnResponseHead(const HttpExchange&) override { return 64; }
    void OnResponseBody(const HttpExchange&, std::string_view body, bool) override {
        if (body.size() > 64)
            std::abort();
    }
};

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

const IpAddress kClient{Ipv4Address{10, 0, 0, 2}};
const IpAddress kServer{Ipv4Address{10, 0, 0, 7}};
// Initial sequence numbers near the wrap and near the sign change.
constexpr std::uint32_t kClientIsn[4] = {0xFFFFFF00u, 1000u, 0x7FFFFFF0u, 0};
constexpr std::uint32_t kServerIsn[4] = {0xFFFFFFF0u, 0x80000000u, 5u, 0xFFFF0000u};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t limit = std::size_t{1} << (12 + (data[0] & 0x0F));  // 4 KiB to 128 MiB
    ++data;
    --size;
    MemoryBudget budget(limit);
    NullExchanges exchanges;
    HttpSink sink(budget, exchanges);
    {
        TcpReassembler::Limits limits;
        limits.maxConnections = 3;
        limits.maxHeldBytes = 4096;
        limits.idleSeconds = 5;
        limits.quietSeconds = 3;
        limits.handlerRoom = 4096;
        TcpReassembler reassembler(budget, sink, limits);
        std::int64_t now = 0;
        const LocalAddresses local{kClient};
        while (size >= 5) {
            const std::uint8_t control = data[0];
            const int connection = control & 3;
            const bool fromServer = (control & 4) != 0;
            const bool cut = (control & 8) != 0;
            const auto offset = static_cast<std::uint32_t>((data[1] << 8) | data[2]) - 256;
            const std::uint32_t ackOffset = data[3];
            std::size_t length = data[4];
            data += 5;
            size -= 5;
            if (length > size)
                length = size;
            const std::string payload(reinterpret_cast<const char*>(data), length);
            data += length;
            size -= length;

            const std::uint16_t port = static_cast<std::uint16_t>(40000 + connection);
            FrameLayout layout = fromServer ? ServerToClient(kServer, kClient, port, payload)
                                            : ClientToServer(kClient, kServer, port, payload);
            const std::uint32_t isn = fromServer ? kServerIsn[connection] : kClientIsn[connection];
            const std::uint32_t peerIsn =
                fromServer ? kClientIsn[connection] : kServerIsn[connection];
            layout.tcpFlags = 0;
            if ((control & 0x10) != 0)
                layout.tcpFlags |= kTcpSyn;
            if ((control & 0x20) != 0)
                layout.tcpFlags |= kTcpFin;
            if ((control & 0x40) != 0)
                layout.tcpFlags |= kTcpRst;
            if ((control & 0x80) != 0)
                layout.tcpFlags |= kTcpAck;
            layout.sequence = (layout.tcpFlags & kTcpSyn) != 0 ? isn : isn + 1 + offset;
            layout.acknowledgement = peerIsn + 1 + ackOffset * 64;
            const std::vector<std::uint8_t> frame = BuildFrame(layout);
            const std::size_t captured = cut && length > 0 ? frame.size() - 1 : frame.size();
            // Exactly the captured bytes, so that a read past them is caught.
            const std::vector<std::uint8_t> bytes(frame.begin(), frame.begin() + captured);
            if (const auto view = DecodeFrame(bytes.size(), bytes.data(), local, frame.size()))
                reassembler.HandlePacket(*view, now);
            if ((ackOffset & 0xF0) == 0xF0)
                now += ackOffset & 0x0F;  // the clock moves, expiring idle connections
        }
        if (budget.Peak() > limit)
            std::abort();
    }
    if (budget.Used() != 0)
        std::abort();
    return 0;
}
