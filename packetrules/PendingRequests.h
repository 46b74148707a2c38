// The outgoing requests that still wait for their response, so that a response can be tied to
// the request that asked for it. Owned and touched by one capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "frames/FrameDecoder.h"

struct PendingRequest {
    IpAddress sourceAddress;            // this machine, as seen in the request
    IpAddress destinationAddress;       // the server
    std::uint16_t sourcePort = 0;       // as captured
    std::uint16_t destinationPort = 0;  // as captured
    std::string host;                   // value of the Host line, may be empty
    std::string path;                   // request target with the blank that ends it, may be empty
    std::string requestHeaders;         // the request's header block, may be empty
    std::int64_t timeAdded = 0;         // seconds on the clock the list was given

    // Empties the request without giving up its buffers.
    void Clear();
    // The memory its texts hold.
    std::size_t Bytes() const {
        return host.capacity() + path.capacity() + requestHeaders.capacity();
    }
};

// Seconds of the monotonic clock: expiry must not jump when the wall clock is set.
std::int64_t MonotonicSeconds();

class PendingRequestList {
public:
    // Entries older than this many seconds are freed by the next insertion.
    static constexpr std::int64_t kExpirySeconds = 60;
    // Traffic with many unanswered requests must not grow the list without bound: past this
    // many entries, or this many bytes of their texts (a header block may be tens of KiB), the
    // oldest entries give way to the new one.
    static constexpr std::size_t kMaxEntries = 4096;
    static constexpr std::size_t kMaxBytes = 8 << 20;

    // Frees every entry older than kExpirySeconds at `now`, makes room within both bounds,
    // stamps the entry with `now` and appends it as the newest.
    void AddPendingRequest(PendingRequest entry, std::int64_t now);

    // Removes the oldest entry sent from client to server on these ports and moves it into
    // `out`; when none matches, `out` becomes an empty request. No expiry is applied here.
    // Gives whether an entry matched.
    bool TakePendingRequest(const IpAddress& clientAddress, const IpAddress& serverAddress,
                            std::uint16_t clientPort, std::uint16_t serverPort,
                            PendingRequest& out);

    void Clear() {
        m_entries.clear();
        m_bytes = 0;
    }
    std::size_t Size() const { return m_entries.size(); }
    // The bytes the entries' texts hold, as counted against kMaxBytes.
    std::size_t Bytes() const { return m_bytes; }
    bool Empty() const { return m_entries.empty(); }
    // Oldest entry first.
    const std::list<PendingRequest>& Entries() const { return m_entries; }

private:
    std::list<PendingRequest>::iterator Erase(std::list<PendingRequest>::iterator entry);

    std::list<PendingRequest> m_entries;  // oldest first
    std::size_t m_bytes = 0;
};
