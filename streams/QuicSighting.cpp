#include "streams/QuicSighting.h"

namespace {

std::size_t Load16(const std::uint8_t* at) {
    return static_cast<std::size_t>(at[0]) << 8 | at[1];
}

constexpr std::size_t kMaxConnectionId = 20;

}  // namespace

bool IsQuicLongHeader(const std::uint8_t* frame, std::size_t capturedLength) {
    if (frame == nullptr || capturedLength < 14)
        return false;
    std::size_t at = 12;
    std::size_t type = Load16(frame + at);
    for (int tags = 0; (type == 0x8100 || type == 0x88A8) && tags < 2; ++tags) {
        at += 4;
        if (capturedLength < at + 2)
            return false;
        type = Load16(frame + at);
    }
    at += 2;
    std::size_t udp = 0;
    if (type == 0x0800) {
        if (capturedLength < at + 20 || (frame[at] >> 4) != 4)
            return false;
        const std::size_t headerLength = static_cast<std::size_t>(frame[at] & 0x0F) * 4;
        const bool laterFragment = (Load16(frame + at + 6) & 0x1FFF) != 0;
        if (headerLength < 20 || laterFragment || frame[at + 9] != 17)
            return false;
        udp = at + headerLength;
    } else if (type == 0x86DD) {
        if (capturedLength < at + 40 || (frame[at] >> 4) != 6 || frame[at + 6] != 17)
            return false;
        udp = at + 40;
    } else {
        return false;
    }
    // UDP header, then the QUIC long header: flags, version, DCID length and id, SCID length.
    const std::size_t quic = udp + 8;
    if (capturedLength < quic + 6 || Load16(frame + udp + 2) != 443)
        return false;
    const std::uint8_t flags = frame[quic];
    if ((flags & 0xC0) != 0xC0)
        return false;
    const bool versionSet =
        (frame[quic + 1] | frame[quic + 2] | frame[quic + 3] | frame[quic + 4]) != 0;
    const std::size_t destinationIdLength = frame[quic + 5];
    if (!versionSet || destinationIdLength > kMaxConnectionId)
        return false;
    const std::size_t sourceIdAt = quic + 6 + destinationIdLength;
    return capturedLength > sourceIdAt && frame[sourceIdAt] <= kMaxConnectionId;
}
