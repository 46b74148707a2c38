// The layout of an input of the composed stream engine's fuzz target, shared with the maker of
// its seeds:
//   byte 0: bit 0: key log text follows; bit 1: the key log gets it only after every segment;
//           bit 2: the rules streams (plain HTTP read too); bits 4-7: the budget, 256 KiB << n
//   [bit 0] 2 bytes (big-endian) n, then n bytes of key log text
//   segments: 1 control byte: bits 0-1 the connection, bit 2 server to client, bit 3 FIN
//             after the bytes, bit 4 RST instead, bit 5 skip the bytes (never captured), bit 6
//             the key log is read (and the clock moves a second) before the segment;
//             2 bytes (big-endian) length, then that many bytes of the direction's stream
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum : std::uint8_t { kStreamFuzzKeys = 1, kStreamFuzzLateKeys = 2, kStreamFuzzPlainHttp = 4 };
enum : std::uint8_t {
    kSegmentToClient = 4,
    kSegmentFin = 8,
    kSegmentReset = 16,
    kSegmentSkip = 32,
    kSegmentPoll = 64,
};
inline constexpr std::size_t kStreamFuzzMaxSegment = 0xFFFF;

inline void AppendStreamFuzzSize(std::string& input, std::size_t value) {
    input += static_cast<char>(value >> 8);
    input += static_cast<char>(value);
}

// Appends the bytes of one direction of `connection` as segments of at most 1448 bytes.
inline void AppendStreamFuzzBytes(std::string& input, int connection, bool toClient,
                                  const std::uint8_t* data, std::size_t size,
                                  std::uint8_t extra = 0) {
    do {
        const std::size_t piece = size < 1448 ? size : 1448;
        input += static_cast<char>(connection | (toClient ? kSegmentToClient : 0) | extra);
        AppendStreamFuzzSize(input, piece);
        input.append(reinterpret_cast<const char*>(data), piece);
        data += piece;
        size -= piece;
    } while (size > 0);
}
