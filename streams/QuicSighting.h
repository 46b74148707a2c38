// HTTP/3 runs over QUIC (UDP). With a key log the stream engine reads it (quic/); without one,
// the capture with the stream engine takes only the long-header packets a QUIC client sends to
// UDP port 443 (a handful per connection, the first of them at its start) and knows them by
// their first bytes, so that the user can be told once how Pelnix would read them.
#pragma once

#include <cstddef>
#include <cstdint>

// The capture filter's clause for them: UDP to port 443 whose first payload byte has the
// long-header bit, over IPv4 and over IPv6 (UDP as the first next header).
inline constexpr const char* kQuicFilterClause =
    "(udp dst port 443 and ((ip and udp[8] & 0x80 != 0) or"
    " (ip6 and ip6[6] == 17 and ip6[48] & 0x80 != 0)))";

// What the user is told, once per capture, without a key log.
inline constexpr const char* kQuicNotice =
    "HTTP/3 (QUIC) traffic was seen, which Pelnix reads only with the browser's TLS key log: "
    "start the browser with SSLKEYLOGFILE naming a key log and give Pelnix that file "
    "(--keylog, the setting TlsKeyLogFile), or start it through pelnix --launch.";

// With a key log, once per capture, when a QUIC connection's packets waited for secrets that
// the key log never gave.
inline constexpr const char* kQuicKeysNotice =
    "HTTP/3 (QUIC) traffic was seen whose keys are not in the key log, so Pelnix cannot read "
    "it: start the browser with SSLKEYLOGFILE naming the key log Pelnix reads, or through "
    "pelnix --launch.";

// Whether a captured Ethernet frame (up to two VLAN tags, IPv4 that is not a later fragment or
// IPv6 with UDP as its first next header) carries a QUIC long-header packet to UDP port 443:
// header form and fixed bit set, a version other than 0 (version negotiation), connection ids
// of at most 20 bytes each, all within the captured bytes.
bool IsQuicLongHeader(const std::uint8_t* frame, std::size_t capturedLength);
