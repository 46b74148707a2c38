// Without a key log nothing of HTTPS can be read, and the packet rules see plain HTTP only: a
// user who browses HTTPS sites would see an empty list and not know why. The capture notices
// HTTPS connections that carry media-sized answers, so that the user can be told once how
// Pelnix would read them. It is packet inspection only, on what the capture takes anyway (the
// first bytes of each segment are enough), in a small fixed table of connections.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "frames/FrameDecoder.h"

// What the user is told, once per capture, without a key log.
inline constexpr const char* kTlsNotice =
    "HTTPS traffic was seen that Pelnix cannot read without the browser's keys: start the "
    "browser from Pelnix (pelnix --launch chromium).";

// With a key log, once per capture, when TLS connections waited for keys that never came.
inline constexpr const char* kTlsKeysNotice =
    "HTTPS traffic was seen whose keys are not in the key log, so Pelnix cannot read it: start "
    "the browser with SSLKEYLOGFILE naming the key log Pelnix reads, or through pelnix --launch.";

class TlsSighting {
public:
    // More than this much from a server's port 443 after its first application data record
    // counts as a media-sized answer.
    static constexpr std::uint64_t kMediaSizedBytes = 1 << 20;
    // Connections followed at once; a new one takes the place of the one idle the longest.
    static constexpr std::size_t kConnections = 32;

    // One decoded TCP packet. A segment from TCP port 443 that starts with a TLS application
    // data record (type 23, version 3.x) makes its connection followed; from then on every
    // payload byte the server sends it counts, as the IP header announces them (the capture
    // may have cut the frame). True once, for the packet that takes a connection past
    // kMediaSizedBytes; false for every packet after that.
    bool Handle(const PacketView& packet);
    bool Seen() const { return m_seen; }

private:
    struct Connection {
        IpAddress server;
        IpAddress client;
        std::uint16_t clientPort = 0;
        std::uint64_t bytes = 0;
        std::uint64_t lastUse = 0;  // 0: the slot is free
    };
    std::array<Connection, kConnections> m_connections{};
    std::uint64_t m_clock = 0;
    bool m_seen = false;
};
