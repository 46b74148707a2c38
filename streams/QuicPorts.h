// The UDP ports whose QUIC traffic the stream engine reads: 443, and those that servers named
// for HTTP/3 in their Alt-Svc answers (h3=":8443"), so that a capture takes those too.
//
// Bounded, and only ports a web server may sensibly name: at most kMaxNamed of them, the first
// named kept, none below 1024 (a page's server must not make the capture take a system
// service's traffic, DNS or NTP, whole).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

inline constexpr std::uint16_t kQuicPort = 443;

class QuicPorts {
public:
    static constexpr std::size_t kMaxNamed = 8;

    // Reads one Alt-Svc field value; true when it named a port not taken before.
    bool TakeAltSvc(std::string_view value);
    bool Has(std::uint16_t port) const {
        if (port == kQuicPort)
            return true;
        for (const std::uint16_t named : m_named)
            if (named == port)
                return true;
        return false;
    }
    // 443 first, then the named ones in the order they came.
    std::vector<std::uint16_t> All() const;
    // Counts the ports taken: a capture compares it with the value it set its filter for.
    std::uint64_t Generation() const { return m_named.size(); }

private:
    std::vector<std::uint16_t> m_named;
};
