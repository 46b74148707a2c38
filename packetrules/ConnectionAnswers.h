// The last answer seen on each connection, so that a body whose first packet comes after its
// header packet is tied to the request of its own connection, even while other transfers
// overlap it. Owned and touched by one capture thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "frames/FrameDecoder.h"
#include "packetrules/PendingRequests.h"

// A connection as its request travelled: from the client to the server. Ports as captured.
struct ConnectionKey {
    IpAddress client;
    IpAddress server;
    std::uint16_t clientPort = 0;
    std::uint16_t serverPort = 0;

    friend bool operator==(const ConnectionKey&, const ConnectionKey&) = default;
};

struct RememberedAnswer {
    PendingRequest request;  // the request the answer was tied to; empty when none was
    std::string lengthText;
    std::int64_t timeAdded = 0;  // when the answer arrived, on the clock the table was given
};

class ConnectionAnswers {
public:
    // Traffic of many connections must not grow the table without bound: past this many
    // connections, or this many bytes of remembered texts (a request's header block may be tens
    // of KiB), the connections whose answers are oldest give way.
    static constexpr std::size_t kMaxConnections = 4096;
    static constexpr std::size_t kMaxBytes = 8 << 20;
    // Answers older than this many seconds are freed when the next answer is remembered.
    static constexpr std::int64_t kExpirySeconds = 60;

    // Frees the answers older than kExpirySeconds at `now` (entries are kept in the order they
    // were last renewed, so the walk stops at the first young one), makes room when the table
    // is full, and remembers `request` and `lengthText` as the connection's answer, stamped
    // `now` and newest; then the oldest answers give way until the texts fit the byte budget.
    // `awaitingBody`: the answer's header packet carried no body bytes, so the next data packet
    // of the connection is the body's first. Assigning keeps the buffers of a renewed or reused
    // entry, so this allocates only when a text outgrows them.
    void Remember(const ConnectionKey& key, bool awaitingBody, std::int64_t now,
                  const PendingRequest& request, std::string_view lengthText);

    // The connection's answer, or null.
    const RememberedAnswer* Find(const ConnectionKey& key) const;

    // The connection's answer when it still awaits its body's first packet, or null. Either
    // way the connection awaits nothing afterwards: this packet was that first body packet.
    const RememberedAnswer* TakeFirstBody(const ConnectionKey& key);

    // Answers still awaiting their first body packet. While none does, a data packet needs no
    // look-up at all.
    std::size_t AwaitingBody() const { return m_awaitingBody; }

    std::size_t Size() const { return m_order.size(); }
    // The bytes the remembered texts hold, as counted against kMaxBytes.
    std::size_t Bytes() const { return m_bytes; }
    void Clear();

private:
    struct Entry {
        ConnectionKey key;
        RememberedAnswer answer;
        bool awaitingBody = false;
        std::size_t bytes = 0;  // the texts' memory, as counted in m_bytes
    };
    using Order = std::list<Entry>;
    struct KeyHash {
        std::size_t operator()(const ConnectionKey& key) const noexcept;
    };

    void EraseOldest();

    Order m_order;  // least recently renewed first
    std::unordered_map<ConnectionKey, Order::iterator, KeyHash> m_index;
    std::size_t m_awaitingBody = 0;
    std::size_t m_bytes = 0;
};
