// Turns one captured link-layer frame into an addressed TCP payload, and the marker search with
// which every piece of HTTP recognition is done. Both work on bytes only: no capture handle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// An IPv4 address as its four bytes in network order.
using Ipv4Address = std::array<std::uint8_t, 4>;

// One decoded frame. It points into the frame it was decoded from and lives no longer.
struct PacketView {
    Ipv4Address sourceAddress{};
    Ipv4Address destinationAddress{};
    std::uint16_t sourcePort = 0;           // as captured (network order, never converted)
    std::uint16_t destinationPort = 0;      // as captured
    const std::uint8_t* payload = nullptr;  // first byte after the TCP header
    std::size_t rawLength = 0;   // captured bytes after the TCP header (link padding included)
    std::size_t scanLength = 0;  // rawLength, at most kScanWindow
    bool outgoing = false;       // the source address is the local address
};

inline constexpr std::size_t kEthernetHeaderLength = 14;
inline constexpr std::size_t kScanWindow = 8192;

// Decodes an Ethernet II frame of `capturedLength` bytes. Gives nothing for a frame that is not
// IPv4 carrying TCP, announces a header shorter than 20 bytes, or is too short for the headers
// it announces: nothing past the captured bytes is ever read.
std::optional<PacketView> DecodeFrame(std::size_t capturedLength, const std::uint8_t* frame,
                                      const Ipv4Address& localAddress);

inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Searches `marker` in the range [from, from + length) of a payload of `payloadLength` bytes and
// gives the offset just after its first occurrence, or kNotFound. At least one byte of the range
// must follow an occurrence (so a range of marker-size bytes or fewer finds nothing, and a range
// of marker-size + 1 tests its first offset only), except where the range reaches past the
// payload: then the search runs up to the payload end and an occurrence ending there is found.
std::size_t FindMarker(std::string_view marker, const std::uint8_t* payload,
                       std::size_t payloadLength, std::size_t from, std::size_t length);

// Whether the payload holds `signature` at `position` (FindMarker over signature-size + 1 bytes).
inline bool BeginsWith(std::string_view signature, const std::uint8_t* payload,
                       std::size_t payloadLength, std::size_t position) {
    return FindMarker(signature, payload, payloadLength, position, signature.size() + 1) !=
           kNotFound;
}

// "A.B.C.D" as four bytes; nothing for any other text.
std::optional<Ipv4Address> ParseIpv4Address(std::string_view text);
