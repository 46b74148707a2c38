// The QUIC stage of the stream engine: UDP datagrams of many connections in, each
// connection's streams out, in order, to a handler per connection (HTTP/3 above it).
//
// QUIC versions 1 and 2. A connection starts with a client's Initial packet, which anyone can
// open (its keys come from its Destination Connection ID); its ClientHello gives the client
// random by which the key log holds the connection's secrets, and the server's ServerHello
// gives the cipher suite. Handshake, 0-RTT and 1-RTT packets are opened with the key log's
// secrets (AES-128-GCM, AES-256-GCM, ChaCha20-Poly1305), key updates followed by the key phase
// bit. A packet that does not authenticate is dropped: nothing wrong is handed on.
//
// Connections are found by the connection IDs that packets carry (long and short headers;
// those issued by NEW_CONNECTION_ID and chosen by a Retry), and where a side uses none, by its
// address and port; a client that moves to a new address or port is followed. Coalesced
// packets, datagrams that a sender's segmentation offload handed the capture as one (cut at
// the next packet of the same connection ID), Retry (its integrity tag checked) and Version
// Negotiation are read.
//
// Order: CRYPTO and STREAM frames are put in order per stream (retransmissions, duplicates and
// overlaps are normal); a stream whose hole is held past the bounds is given up (its handler
// sees a reset). Packets that arrive before their keys wait, in order, within the budget and a
// bound per connection, and are opened when the key log gives their secrets (KeysChanged); a
// connection that waits too long or too much gives up and is counted (Statistics::unopened).
//
// Memory: every connection, its keys, held bytes and waiting packets come from the
// MemoryBudget; connections are bounded in number too (the one idle the longest makes room).
// One reader serves one thread; the sink, the key log and the budget must outlive it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "frames/FrameDecoder.h"
#include "quic/QuicWire.h"
#include "tcp/Direction.h"
#include "tcp/MemoryBudget.h"
#include "tls/KeyLog.h"

// One UDP datagram as the stage takes it; ports in host order.
struct QuicDatagram {
    IpAddress sourceAddress;
    IpAddress destinationAddress;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

struct QuicConnectionInfo {
    IpAddress clientAddress;
    IpAddress serverAddress;
    std::uint16_t clientPort = 0;  // host order
    std::uint16_t serverPort = 0;
    std::uint32_t version = 0;
    std::string serverName;                // the ClientHello's SNI, when it named one
    std::vector<std::string> offeredAlpn;  // the ClientHello's protocols
    std::string alpn;  // the server's choice, once its EncryptedExtensions were read
};

// The application protocol of one connection. Calls come from HandleDatagram, KeysChanged,
// GiveUpWaiting and EndAll, on the reader's thread; a handler must not call back into the reader.
class QuicStreamHandler {
public:
    virtual ~QuicStreamHandler() = default;
    // The next bytes of one stream as the side sending in `direction` sent them, from offset 0
    // on, in order; `fin`: the stream's last byte is in this call (`size` may be 0). False
    // gives the connection up: nothing more comes to this handler but OnEnd.
    virtual bool OnStreamData(std::uint64_t streamId, Direction direction, const std::uint8_t* data,
                              std::size_t size, bool fin) = 0;
    // The side sending in `direction` reset the stream, or its bytes can no longer be had.
    virtual void OnStreamReset(std::uint64_t streamId, Direction direction) = 0;
    // The last call: the connection closed, went idle or was ended.
    virtual void OnEnd() = 0;
};

class QuicConnectionSink {
public:
    virtual ~QuicConnectionSink() = default;
    // A connection's first stream bytes are ready: gives its handler, or null to leave its
    // streams unread.
    virtual std::unique_ptr<QuicStreamHandler> OnQuicConnection(const QuicConnectionInfo& info) = 0;
    // A connection's packets begin to wait for secrets the key log does not hold: true when the
    // key log was read again and holds new secrets, so that they are tried at once.
    virtual bool OnKeysWanted() { return false; }
};

class QuicConnection;

class QuicReader {
public:
    struct Limits {
        // Connections at most; the one idle the longest makes room for a new one.
        std::size_t maxConnections = 4096;
        // Bytes of packets one connection may hold while they wait for keys.
        std::size_t maxWaitingBytes = 4u << 20;
        // Out-of-order bytes one connection may hold (all its streams together).
        std::size_t maxHeldBytes = 8u << 20;
        // Streams of one connection open at once.
        std::size_t maxStreams = 1024;
        // A connection that sees no packet for this long (packet clock) is ended.
        std::int64_t idleSeconds = 120;
        // A closed connection's IDs are kept this long, so that its late packets start nothing.
        std::int64_t quietSeconds = 10;
        // Packets that wait longer than this for keys are given up (see GiveUpWaiting).
        std::chrono::seconds keyWait{10};
    };

    struct Statistics {
        std::uint64_t datagrams = 0;
        std::uint64_t packets = 0;            // opened
        std::uint64_t notAuthentic = 0;       // failed authentication (or header protection)
        std::uint64_t unknownConnection = 0;  // packets of connections whose start was not seen
        std::uint64_t connections = 0;        // started by a client's Initial
        std::uint64_t handled = 0;            // of them, given a stream handler
        std::uint64_t waited = 0;             // packets that waited for keys
        std::uint64_t unopened = 0;  // connections given up while their packets waited for keys
        std::uint64_t keyUpdates = 0;
        std::uint64_t retries = 0;
        std::uint64_t versionNegotiations = 0;
        std::uint64_t migrations = 0;
        std::uint64_t split = 0;              // packets cut out of offloaded datagrams
        std::uint64_t streamsGivenUp = 0;     // holes past the bounds
    };

    QuicReader(MemoryBudget& budget, const KeyLog& keyLog, QuicConnectionSink& sink);
    QuicReader(MemoryBudget& budget, const KeyLog& keyLog, QuicConnectionSink& sink,
               const Limits& limits);
    // Ends every connection (their handlers see OnEnd).
    ~QuicReader();
    QuicReader(const QuicReader&) = delete;
    QuicReader& operator=(const QuicReader&) = delete;

    // One datagram with its capture time (seconds on any steady clock).
    void HandleDatagram(const QuicDatagram& datagram, std::int64_t nowSeconds);
    // The key log's secrets changed: packets waiting for keys are opened when theirs are there.
    void KeysChanged();
    // Gives up the connections whose packets have waited for keys since before
    // `now` - keyWait (every waiting one when `all`); gives how many gave up.
    std::size_t GiveUpWaiting(std::chrono::steady_clock::time_point now, bool all);
    // Ends every connection and forgets them all.
    void EndAll();

    std::size_t ConnectionCount() const { return m_connections.size(); }
    std::size_t WaitingForKeys() const;
    const Statistics& Stats() const { return m_stats; }

private:
    friend class QuicConnection;

    // Where packets with a connection ID go, or, for a side that uses none, packets to its
    // address and port.
    struct Route {
        QuicConnection* connection = nullptr;
        Direction direction = Direction::ToServer;
    };
    struct IdHash {
        std::size_t operator()(const QuicConnectionId& id) const;
    };
    struct Endpoint {
        IpAddress address;
        std::uint16_t port = 0;
        friend bool operator==(const Endpoint&, const Endpoint&) = default;
    };
    struct EndpointHash {
        std::size_t operator()(const Endpoint& endpoint) const;
    };

    // The packet at `data` (the rest of the datagram: `size` bytes) with a long header.
    // Gives the bytes it took, 0 to stop reading the datagram.
    std::size_t HandleLongHeader(const QuicDatagram& datagram, const std::uint8_t* data,
                                 std::size_t size, std::int64_t now);
    // A short-header packet: to the datagram's end, or to the next packet of its connection
    // in an offloaded datagram. Gives the bytes it took, 0 to stop.
    std::size_t HandleShortHeader(const QuicDatagram& datagram, const std::uint8_t* data,
                                  std::size_t size, std::int64_t now);
    const Route* FindShort(const QuicDatagram& datagram, const std::uint8_t* data,
                           std::size_t size, std::size_t& idSize);
    const Route* FindLong(const QuicDatagram& datagram, const QuicConnectionId& destination);
    QuicConnection* Start(const QuicDatagram& datagram, const QuicLongHeader& header,
                          const std::uint8_t* data, std::int64_t now);
    bool MakeRoom(std::size_t bytes);
    void ExpireIdle(std::int64_t now);
    void Remove(QuicConnection& connection);

    // For connections: their IDs and unnamed ends.
    bool AddRoute(const QuicConnectionId& id, QuicConnection& connection, Direction direction);
    void DropRoute(const QuicConnectionId& id, const QuicConnection& connection);
    bool AddEndpointRoute(const Endpoint& endpoint, QuicConnection& connection,
                          Direction direction);
    void DropEndpointRoute(const Endpoint& endpoint, const QuicConnection& connection);

    MemoryBudget& m_budget;
    const KeyLog& m_keyLog;
    QuicConnectionSink& m_sink;
    const Limits m_limits;
    Statistics m_stats;
    // The piece size of the last offloaded datagram cut without a connection ID to look for.
    std::size_t m_equalCut = 0;

    std::vector<std::unique_ptr<QuicConnection>> m_connections;
    std::unordered_map<QuicConnectionId, Route, IdHash> m_routes;
    std::unordered_map<Endpoint, Route, EndpointHash> m_endpointRoutes;
    // How many routes use IDs of each size: a short header does not say its ID's size.
    std::size_t m_idSizes[kQuicMaxConnectionId + 1] = {};
    // The routes short headers found last, tried first: a few connections at a time carry
    // most packets, and each has an ID per direction (a browser keeps a dozen or more open).
    struct Recent {
        QuicConnectionId id;
        Route route;
    };
    static constexpr std::size_t kRecent = 32;
    Recent m_recent[kRecent];
    std::size_t m_recentNext = 0;
    // Room for one packet's header and plaintext.
    std::unique_ptr<std::uint8_t[]> m_scratch;
    std::int64_t m_lastExpiry = 0;
    bool m_clockSeen = false;
};
