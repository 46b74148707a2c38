// The stream engine's QUIC path composed: UDP datagrams of a client (on four ports, so that it
// can move) and a server, over IPv4 or IPv6, through frame decoding, QUIC with a key log
// (given at once, or only after every datagram so that packets wait), HTTP/3, the media rules
// and the reports. Seeds carry connections made in process (every version, suite and way of
// starting) and recorded between real endpoints, with their keys; mutations cut, drop,
// reorder and corrupt them. Checks that every report names an https URL and that the budget
// is whole again once the engine is gone. Whole bodies go to a copy sink that checks the
// receivers' contract (fuzz/CheckingCopies.h), as over TCP.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "CheckingCopies.h"
#include "QuicFuzzInput.h"
#include "streams/StreamEngine.h"
#include "support/FrameBuilder.h"

namespace {

const IpAddress kClient{Ipv4Address{10, 0, 0, 2}};
const IpAddress kServer{Ipv4Address{10, 0, 0, 7}};
const IpAddress kClient6 = Ipv6("fd00::2");
const IpAddress kServer6 = Ipv6("fd00::7");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint8_t options = data[0];
    ++data;
    --size;
    std::string keyText;
    if (options & kQuicFuzzKeys) {
        if (size < 2)
            return 0;
        std::size_t length = static_cast<std::size_t>(data[0]) << 8 | data[1];
        length = length < size - 2 ? length : size - 2;
        keyText.assign(reinterpret_cast<const char*>(data + 2), length);
        data += 2 + length;
        size -= 2 + length;
    }
    const bool lateKeys = (options & kQuicFuzzLateKeys) != 0;
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
        StreamEngine engine(setup, [](MediaReport report) {
            if (report.url.rfind("https://", 0) != 0)
                std::abort();
        });
        std::int64_t now = 0;
        auto clock = std::chrono::steady_clock::time_point{};
        while (size >= 3) {
            const std::uint8_t control = data[0];
            std::size_t length = static_cast<std::size_t>(data[1]) << 8 | data[2];
            data += 3;
            size -= 3;
            length = length < size ? length : size;
            if (control & kDatagramPoll) {
                ++now;
                clock += std::chrono::seconds(1);
                engine.PollKeyLogNow(clock);
            }
            const bool toClient = (control & kDatagramToClient) != 0;
            const bool ipv6 = (control & kDatagramIpv6) != 0;
            const IpAddress& client = ipv6 ? kClient6 : kClient;
            const IpAddress& server = ipv6 ? kServer6 : kServer;
            const auto port = static_cast<std::uint16_t>(50000 + (control & 3));
            const std::string_view payload(reinterpret_cast<const char*>(data), length);
            const auto frame = toClient ? BuildUdpFrame(server, client, 443, port, payload)
                                        : BuildUdpFrame(client, server, port, 443, payload);
            DatagramView view;
            if (DecodeUdpFrame(frame.size(), frame.data(), view))
                engine.HandleDatagram(view, now);
            data += length;
            size -= length;
        }
        if (lateKeys) {
            keyLog.AddText(keyText);
            engine.PollKeyLogNow(clock);
        }
        engine.Finish();
    }
    if (budget.Used() != 0 || copies.Open() != 0)
        __builtin_trap();
    return 0;
}
