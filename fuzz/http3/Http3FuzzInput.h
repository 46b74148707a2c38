// The layout of an HTTP/3 fuzz input, shared by the fuzz target and the maker of its seeds:
//   byte 0: bits 4-7: the budget, 1 KiB << n; bits 1-2: the body prefix the sink asks for;
//           bit 0: small limits (held bytes, a decoder's memory, blocked blocks, streams)
//   records: 1 byte: bits 0-3 choose the stream (kFuzzStreams), bit 4 its direction when it is
//            bidirectional, bit 5 the wrong direction when it is not, bit 6 fin, bit 7 a reset
//            instead of bytes; then (not for a reset) 2 bytes (big-endian) n and n bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Requests on 0, 4, 8, 12; the client's control, encoder and decoder streams 2, 6, 10 and one
// more (14); the server's 3, 7, 11, 15; and streams HTTP/3 gives no use (1, 5, 9, 13).
inline constexpr std::uint64_t kFuzzStreams[16] = {0, 4, 8,  12, 2, 6, 10, 14,
                                                   3, 7, 11, 15, 1, 5, 9,  13};
enum : std::uint8_t {
    kFuzzToClient = 0x10,
    kFuzzWrongWay = 0x20,
    kFuzzFin = 0x40,
    kFuzzReset = 0x80
};

inline std::uint8_t FuzzStreamIndex(std::uint64_t id) {
    for (std::uint8_t i = 0; i < 16; ++i) {
        if (kFuzzStreams[i] == id)
            return i;
    }
    return 0;
}

// Appends the bytes of one stream in records of at most `piece` bytes, fin on the last.
inline void AppendFuzzStream(std::string& input, std::uint64_t id, bool toClient,
                             std::string_view bytes, bool fin, std::size_t piece = 0xFFFF) {
    std::size_t at = 0;
    do {
        const std::size_t size = bytes.size() - at < piece ? bytes.size() - at : piece;
        const bool last = at + size == bytes.size();
        input += static_cast<char>(FuzzStreamIndex(id) | (toClient ? kFuzzToClient : 0) |
                                   (last && fin ? kFuzzFin : 0));
        input += static_cast<char>(size >> 8);
        input += static_cast<char>(size);
        input.append(bytes.substr(at, size));
        at += size;
    } while (at < bytes.size());
}

inline void AppendFuzzReset(std::string& input, std::uint64_t id, bool toClient) {
    input += static_cast<char>(FuzzStreamIndex(id) | (toClient ? kFuzzToClient : 0) | kFuzzReset);
}
