// The stream engine composed, over the segments of four connections: TCP reassembly, TLS with
// a key log (given at once, or only after every segment so that connections wait and park), the
// plaintext read as HTTP/1.1 or HTTP/2 by ALPN, the media rules, the reports. Seeds carry real
// TLS traffic with its keys; mutations cut, skip, reorder and corrupt it. Checks that every
// report names an http(s) URL of the connection's scheme and that the budget is whole again
// once the engine is gone. Whole bodies go to a copy sink that checks the receivers' contract:
// pieces in order from the first byte without gaps, one end, nothing after it, every receiver
// ended before it goes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "CheckingCopies.h"
#include "StreamFuzzInput.h"
#include "streams/StreamEngine.h"
#include "support/FrameBuilder.h"

namespace {

const IpAddress kClient{Ipv4Address{10, 0, 0, 2}};
const IpAddress kServer{Ipv4Address{10, 0, 0, 7}};
constexpr std::uint32_t kClientIsn[4] = {0xFFFFFF00u, 1000u, 0x7FFFFFF0u, 0};
constexpr std::uint32_t kServerIsn[4] = {0xFFFFFFF0u, 0x80000000u, 5u, 0xFFFF0000u};

struct Connection {
    bool open = false;
    std::uint64_t sent[2] = {0, 0};
};

std::uint32_t s_reports = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint8_t options = data[0];
    ++data;
    --size;
    std::string keyText;
    if (options & kStreamFuzzKeys) {
        if (size < 2)
            return 0;
        std::size_t length = static_cast<std::size_t>(data[0]) << 8 | data[1];
        length = length < size - 2 ? length : size - 2;
        keyText.assign(reinterpret_cast<const char*>(data + 2), length);
        data += 2 + length;
        size -= 2 + length;
    }
    const bool lateKeys = (options & kStreamFuzzLateKeys) != 0;
    KeyLog keyLog;
    if (!lateKeys)
        keyLog.AddText(keyText);
    MemoryBudget budget(std::size_t{256} << (10 + (options >> 4)));  // 256 KiB to 8 GiB
    CheckingCopies copies;
    {
        StreamEngine::Setup setup;
        setup.budget = &budget;
        setup.copies = &copies;
        setup.keyLog = &keyLog;
        setup.rules =
            (options & kStreamFuzzPlainHttp) ? CaptureRules::Streams : CaptureRules::Packets;
        setup.limits.maxConnections = 3;
        setup.limits.idleSeconds = 30;
        setup.limits.quietSeconds = 10;
        setup.limits.handlerRoom = 16u << 10;
        StreamEngine engine(setup, [](MediaReport report) {
            if (report.url.rfind("http://", 0) != 0 && report.url.rfind("https://", 0) != 0)
                std::abort();
            ++s_reports;
        });
        Connection connections[4];
        std::int64_t now = 0;
        auto clock = std::chrono::steady_clock::time_point{};
        const LocalAddresses local{kClient};
        const auto feed = [&](const FrameLayout& layout) {
            const auto frame = BuildFrame(layout);
            PacketView view;
            if (DecodeFrame(frame.size(), frame.data(), local, 0, view))
                engine.HandlePacket(view, now);
        };
        while (size >= 3) {
            const std::uint8_t control = data[0];
            std::size_t length = static_cast<std::size_t>(data[1]) << 8 | data[2];
            data += 3;
            size -= 3;
            length = length < size ? length : size;
            const int index = control & 3;
            const bool toClient = (control & kSegmentToClient) != 0;
            Connection& c = connections[index];
            if (control & kSegmentPoll) {
                ++now;
                clock += std::chrono::seconds(1);
                engine.PollKeyLogNow(clock);
            }
            FrameLayout layout;
            const std::uint16_t port = static_cast<std::uint16_t>(40000 + index);
            layout.source = toClient ? kServer : kClient;
            layout.destination = toClient ? kClient : kServer;
            layout.sourcePort = toClient ? 443 : port;
            layout.destinationPort = toClient ? port : 443;
            if (!c.open) {
                c = Connection{};
                c.open = true;
                FrameLayout syn = layout;
                syn.source = kClient, syn.destination = kServer;
                syn.sourcePort = port, syn.destinationPort = 443;
                syn.sequence = kClientIsn[index];
                syn.tcpFlags = kTcpSyn;
                feed(syn);
                FrameLayout synAck = syn;
                std::swap(synAck.source, synAck.destination);
                std::swap(synAck.sourcePort, synAck.destinationPort);
                synAck.sequence = kServerIsn[index];
                synAck.acknowledgement = kClientIsn[index] + 1;
                synAck.tcpFlags = kTcpSyn | kTcpAck;
                feed(synAck);
            }
            const int side = toClient ? 1 : 0;
            const std::uint32_t isn = toClient ? kServerIsn[index] : kClientIsn[index];
            const std::uint32_t peerIsn = toClient ? kClientIsn[index] : kServerIsn[index];
            layout.sequence = static_cast<std::uint32_t>(isn + 1 + c.sent[side]);
            layout.acknowledgement = static_cast<std::uint32_t>(peerIsn + 1 + c.sent[1 - side]);
            if (!(control & kSegmentSkip)) {
                layout.payload.assign(reinterpret_cast<const char*>(data), length);
                layout.tcpFlags = kTcpAck;
                if (control & kSegmentReset)
                    layout.tcpFlags = kTcpRst | kTcpAck;
                else if (control & kSegmentFin)
                    layout.tcpFlags |= kTcpFin;
                feed(layout);
            }
            c.sent[side] += length + ((control & kSegmentFin) ? 1 : 0);
            if (control & kSegmentReset)
                c.open = false;
            data += length;
            size -= length;
        }
        if (lateKeys) {
            keyLog.AddText(keyText);
            engine.PollKeyLogNow(clock);
        }
        engine.Finish();
        if (engine.WaitingForKeys() != 0 || engine.ParkedCount() != 0)
            std::abort();
    }
    if (budget.Used() != 0 || copies.Open() != 0)
        __builtin_trap();
    return 0;
}
