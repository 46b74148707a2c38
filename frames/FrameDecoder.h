// Turns one captured link-layer frame into an addressed TCP payload, and the marker search with
// which every piece of HTTP recognition is done. Both work on bytes only: no capture handle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An IPv4 address as its four bytes in network order.
using Ipv4Address = std::array<std::uint8_t, 4>;

// An IPv4 or IPv6 address in network order. An IPv4 address is held in the IPv4-mapped form
// (::ffff:A.B.C.D), so one comparison serves both families. IPv6 frames whose own addresses are
// IPv4-mapped never decode (no such address may appear on a wire), so the form is unambiguous.
struct IpAddress {
    std::array<std::uint8_t, 16> bytes{};

    constexpr IpAddress() = default;
    // Deliberately implicit: an IPv4 address is an IP address.
    constexpr IpAddress(const Ipv4Address& v4)
        : bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, v4[0], v4[1], v4[2], v4[3]} {}
    static IpAddress FromIpv6(const std::uint8_t* sixteenBytes);
    // An IPv4 address from its four bytes loaded into one word.
    static IpAddress FromIpv4Word(std::uint32_t word);

    bool IsIpv4() const;
    // The four bytes of an IPv4 address (meaningless for IPv6).
    Ipv4Address Ipv4() const { return {bytes[12], bytes[13], bytes[14], bytes[15]}; }

    friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// "A.B.C.D" for IPv4, the shortest standard text (RFC 5952) for IPv6, without brackets.
std::string AddressText(const IpAddress& address);

// This machine's addresses as one capture sees them: a packet sent from any of them is
// outgoing. Holds at most kMaxPerFamily addresses of each family, the first ones added.
class LocalAddresses {
public:
    static constexpr std::size_t kMaxPerFamily = 32;

    LocalAddresses() = default;
    LocalAddresses(std::initializer_list<IpAddress> addresses);

    // False when the address is there already or its family is full.
    bool Add(const IpAddress& address);
    bool Contains(const IpAddress& address) const;
    // The same for an IPv4 address given as its four bytes loaded into one word.
    bool ContainsIpv4(std::uint32_t word) const;
    // IPv4 addresses first, each family in the order added.
    std::vector<IpAddress> All() const;

private:
    // IPv4 as the four bytes loaded into one word: the common case is a few word compares.
    std::array<std::uint32_t, kMaxPerFamily> m_ipv4{};
    std::array<IpAddress, kMaxPerFamily> m_ipv6{};
    std::uint8_t m_ipv4Count = 0;
    std::uint8_t m_ipv6Count = 0;
};

// One decoded frame. It points into the frame it was decoded from and lives no longer.
struct PacketView {
    IpAddress sourceAddress;
    IpAddress destinationAddress;
    std::uint16_t sourcePort = 0;       // as captured (network order, never converted)
    std::uint16_t destinationPort = 0;  // as captured
    // TCP sequence and acknowledgement numbers, converted to host order, and the flags byte
    // (kTcpFin, kTcpSyn, kTcpRst, kTcpAck); the acknowledgement means something only with kTcpAck.
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgement = 0;
    std::uint8_t tcpFlags = 0;
    const std::uint8_t* payload = nullptr;  // first byte after the TCP header
    std::size_t rawLength = 0;   // captured bytes after the TCP header (link padding included)
    std::size_t scanLength = 0;  // rawLength, at most kScanWindow
    // TCP payload bytes the packet carried on the wire, as its IP header announces them: more
    // than rawLength when the capture's snapshot length cut the frame, 0 for a bare
    // acknowledgement even when link padding follows it. Taken from the frame's length when the
    // IP header gives none (a jumbogram, an offloaded segment whose length field is 0).
    std::size_t wireLength = 0;
    bool outgoing = false;  // the source address is one of the local addresses
};

inline constexpr std::uint8_t kTcpFin = 0x01;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpRst = 0x04;
inline constexpr std::uint8_t kTcpAck = 0x10;

inline constexpr std::size_t kEthernetHeaderLength = 14;
inline constexpr std::size_t kScanWindow = 8192;
// 802.1Q and 802.1ad (QinQ) tags decoded in front of the IP header; a frame with more is dropped.
inline constexpr int kMaxVlanTags = 2;
// IPv6 extension headers walked before the TCP header; a longer chain is dropped.
inline constexpr int kMaxExtensionHeaders = 8;

// Decodes an Ethernet II frame of `capturedLength` bytes, with up to kMaxVlanTags VLAN tags,
// carrying IPv4 or IPv6 (after at most kMaxExtensionHeaders extension headers) and TCP.
// `frameLength` is the frame's length on the wire when the capture knows it (0: the captured
// length). Gives false, leaving `view` untouched, for anything else, for a header shorter than
// it must be, or for a frame too short for the headers it announces: nothing past the captured
// bytes is ever read.
bool DecodeFrame(std::size_t capturedLength, const std::uint8_t* frame,
                 const LocalAddresses& localAddresses, std::size_t frameLength, PacketView& view);

// The same as a value. Packet loops use the form above with one view they keep: a view
// returned by value would be zeroed and copied for every frame.
inline std::optional<PacketView> DecodeFrame(std::size_t capturedLength, const std::uint8_t* frame,
                                             const LocalAddresses& localAddresses,
                                             std::size_t frameLength = 0) {
    PacketView view;
    if (!DecodeFrame(capturedLength, frame, localAddresses, frameLength, view))
        return std::nullopt;
    return view;
}

// One decoded UDP datagram (QUIC, for the stream engine). It points into its frame.
struct DatagramView {
    IpAddress sourceAddress;
    IpAddress destinationAddress;
    std::uint16_t sourcePort = 0;       // host order
    std::uint16_t destinationPort = 0;  // host order
    const std::uint8_t* payload = nullptr;
    // Payload bytes captured, at most as many as the UDP header announces (link padding left
    // out); fewer when the snapshot length cut the frame (then `cut`).
    std::size_t length = 0;
    bool cut = false;
};

// Decodes a frame as DecodeFrame does (Ethernet II, VLAN tags, IPv4 that is not a later
// fragment, IPv6 behind extension headers) when it carries UDP. A separate path, so that the
// TCP one stays as it is: it is tried on the frames DecodeFrame refused.
bool DecodeUdpFrame(std::size_t capturedLength, const std::uint8_t* frame, DatagramView& view);

inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Searches `marker` in the range [from, from + length) of a payload of `payloadLength` bytes and
// gives the offset just after its first occurrence, or kNotFound. At least one byte of the range
// must follow an occurrence (so a range of marker-size bytes or fewer finds nothing, and a range
// of marker-size + 1 tests its first offset only), except where the range reaches past the
// payload: then the search runs up to the payload end and an occurrence ending there is found.
std::size_t FindMarker(std::string_view marker, const std::uint8_t* payload,
                       std::size_t payloadLength, std::size_t from, std::size_t length);

// Whether the payload holds `signature` at `position`: what FindMarker over signature-size + 1
// bytes from there gives, without a search (it runs for nearly every packet).
inline bool BeginsWith(std::string_view signature, const std::uint8_t* payload,
                       std::size_t payloadLength, std::size_t position) {
    return !signature.empty() && payload != nullptr && position <= payloadLength &&
           payloadLength - position >= signature.size() &&
           std::memcmp(payload + position, signature.data(), signature.size()) == 0;
}

// "A.B.C.D" as four bytes; nothing for any other text.
std::optional<Ipv4Address> ParseIpv4Address(std::string_view text);

// "A.B.C.D" or an IPv6 address in its standard text forms; nothing for any other text.
std::optional<IpAddress> ParseIpAddress(std::string_view text);
