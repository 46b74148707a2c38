// The layout of an input of the QUIC fuzz target, shared with the maker of its seeds:
//   byte 0: bit 0: key log text follows; bit 1: the key log gets it only after every datagram;
//           bits 4-7: the budget, 256 KiB << n
//   [bit 0] 2 bytes (big-endian) n, then n bytes of key log text
//   datagrams: 1 control byte: bits 0-1 the client's port (50000 + n), bit 2 server to client,
//              bit 3 the key log is read (and the clock moves a second) before the datagram,
//              bit 4 over IPv6; 2 bytes (big-endian) length, then that many bytes of UDP payload
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum : std::uint8_t { kQuicFuzzKeys = 1, kQuicFuzzLateKeys = 2 };
enum : std::uint8_t { kDatagramToClient = 4, kDatagramPoll = 8, kDatagramIpv6 = 16 };

inline void AppendQuicFuzzDatagram(std::string& input, std::uint8_t control,
                                   const std::uint8_t* data, std::size_t size) {
    size = size < 0xFFFF ? size : 0xFFFF;
    input += static_cast<char>(control);
    input += static_cast<char>(size >> 8);
    input += static_cast<char>(size);
    input.append(reinterpret_cast<const char*>(data), size);
}
