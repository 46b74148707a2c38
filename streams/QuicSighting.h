// HTTP/3 runs over QUIC (UDP), which no key log opens here. The capture with the stream engine
// also takes the long-header packets a QUIC client sends to UDP port 443 (a handful per
// connection, the first of them at its start) and knows them by their first bytes, so that the
// user can be told once to run the browser without QUIC.
#pragma once

#include <cstddef>
#include <cstdint>

// The capture filter's clause for them: UDP to port 443 whose first payload byte has the
// long-header bit, over IPv4 and over IPv6 (UDP as the first next header).
inline constexpr const char* kQuicFilterClause =
    "(udp dst port 443 and ((ip and udp[8] & 0x80 != 0) or"
    " (ip6 and ip6[6] == 17 and ip6[48] & 0x80 != 0)))";

// What the user is told, once per capture.
inline constexpr const char* kQuicNotice =
    "HTTP/3 (QUIC) traffic was seen, which Pelnix cannot read: run the browser without QUIC "
    "(Chromium: start it with --disable-quic) for Pelnix to see its media.";

// Whether a captured Ethernet frame (up to two VLAN tags, IPv4 that is not a later fragment or
// IPv6 with UDP as its first next header) carries a QUIC long-header packet to UDP port 443:
// header form and fixed bit set, a version other than 0 (version negotiation), connection ids
// of at most 20 bytes each, all within the captured bytes.
bool IsQuicLongHeader(const std::uint8_t* frame, std::size_t capturedLength);
