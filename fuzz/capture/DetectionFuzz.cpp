// Frame decoding plus media detection over arbitrary bytes. The input is split into frames
// (two length bytes each), decoded for either side of the connection and handed to one
// detector, so that requests, responses and continuations meet across frames.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "capture/FrameDecoder.h"
#include "capture/MediaCatalogue.h"
#include "capture/MediaDetector.h"

namespace {

std::size_t s_reports = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5)
        return 0;
    // First four bytes: the local address. Taking it from the input lets the fuzzer reach
    // both the request and the response side.
    Ipv4Address local;
    std::memcpy(local.data(), data, 4);
    data += 4;
    size -= 4;

    MediaCatalogue catalogue;
    MediaDetector detector;
    detector.SetReportSink(
        [&](std::string url, std::string headers, std::string length, std::string type) {
            ++s_reports;
            catalogue.AddSniffedMedia("http://" + url, headers, length, type, 0);
        });
    detector.IgnoreUrl("10.0.0.7/a.flv", 1);

    std::int64_t now = 0;
    while (size >= 2) {
        const std::size_t length = (static_cast<std::size_t>(data[0]) << 8) | data[1];
        data += 2;
        size -= 2;
        const std::size_t take = length < size ? length : size;
        // Each frame in its own allocation so that a read past it is caught.
        std::vector<std::uint8_t> frame(data, data + take);
        if (const auto packet = DecodeFrame(frame.size(), frame.data(), local)) {
            detector.HandlePacket(*packet, now);
        }
        now += 7;
        data += take;
        size -= take;
    }
    return 0;
}
