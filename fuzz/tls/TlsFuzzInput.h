// The layout of a TLS fuzz input, shared by the fuzz target and the maker of its seeds:
//   byte 0: bit 0: key log text follows; bit 1: the keys are given only after every chunk
//   [bit 0] 2 bytes (big-endian) n, then n bytes of key log text
//   chunks: 2 bytes (big-endian): top bit set for server-to-client bytes, low 15 bits the size
//           (0: the key log grew), then that many bytes of the direction's stream
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum : std::uint8_t { kFuzzKeyLogText = 1, kFuzzLateKeys = 2 };
inline constexpr std::size_t kFuzzMaxChunk = 0x7FFF;

inline void AppendFuzzSize(std::string& input, std::size_t value) {
    input += static_cast<char>(value >> 8);
    input += static_cast<char>(value);
}

// Appends `size` bytes of one direction (true: server to client) as chunks.
inline void AppendFuzzBytes(std::string& input, bool toClient, const std::uint8_t* data,
                            std::size_t size) {
    while (size > 0) {
        const std::size_t piece = size < kFuzzMaxChunk ? size : kFuzzMaxChunk;
        AppendFuzzSize(input, piece | (toClient ? 0x8000 : 0));
        input.append(reinterpret_cast<const char*>(data), piece);
        data += piece;
        size -= piece;
    }
}
