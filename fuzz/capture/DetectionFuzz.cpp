// Frame decoding plus media detection over arbitrary bytes. The input is split into frames
// (two length bytes each), decoded for either side of the connection and handed to one
// detector, so that requests, responses and continuations meet across frames, over IPv4 and
// IPv6, tagged or not, on many connections at once.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue/MediaCatalogue.h"
#include "frames/FrameDecoder.h"
#include "packetrules/MediaDetector.h"

namespace {

std::size_t s_reports = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5)
        return 0;
    // First four bytes: the local IPv4 address, and the last four of the local IPv6 address
    // fd00::/96. Taking them from the input lets the fuzzer reach both the request and the
    // response side in both families.
    Ipv4Address local4;
    std::memcpy(local4.data(), data, 4);
    std::uint8_t local6[16] = {0xFD};
    std::memcpy(local6 + 12, data, 4);
    const LocalAddresses local{local4, IpAddress::FromIpv6(local6)};
    data += 4;
    size -= 4;

    MediaCatalogue catalogue;
    MediaDetector detector;
    detector.SetReportSink([&](MediaReport report) {
        ++s_reports;
        catalogue.AddSniffedMedia(report, 0);
    });
    detector.IgnoreUrl("10.0.0.7/a.flv", 1);

    std::int64_t now = 0;
    while (size >= 2) {
        // Fifteen bits of length; the top bit says the frame was cut by a snapshot length.
        const std::size_t length = (static_cast<std::size_t>(data[0] & 0x7F) << 8) | data[1];
        const bool cut = (data[0] & 0x80) != 0;
        data += 2;
        size -= 2;
        const std::size_t take = length < size ? length : size;
        // Each frame in its own allocation so that a read past it is caught.
        std::vector<std::uint8_t> frame(data, data + take);
        const std::size_t wire = cut ? frame.size() + 1000 : 0;
        if (const auto packet = DecodeFrame(frame.size(), frame.data(), local, wire)) {
            detector.HandlePacket(*packet, now);
        }
        now += 7;
        data += take;
        size -= take;
    }
    return 0;
}
