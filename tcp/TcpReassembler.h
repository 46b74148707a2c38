// TCP reassembly: the decoded packets of many connections in, each connection's two byte streams
// out, in order, once each, to a handler per connection.
//
// A connection is known by its two addresses and ports. Its client is the side that sent the
// SYN (or, when only the SYN-ACK was seen, the other side); when the opening was not seen at
// all, the side on this machine (PacketView::outgoing), so that a connection that was open
// before the capture began is still read, from the first byte seen in each direction.
//
// Bytes are handed on without copying whenever they arrive in order: the handler gets a pointer
// into the frame. A segment that arrives ahead of a hole is copied and held, within the memory
// budget, until the hole fills. Where segments overlap (retransmissions, repacketised
// retransmissions), the byte that arrived first is the one handed on; later copies of it are
// ignored. Sequence numbers are compared modulo 2^32 and positions counted in 64 bits, so
// streams pass 4 GiB and wrap-around freely.
//
// A connection whose bytes can no longer be had is given up: its handler is told why (OnEnd)
// and gets nothing more; the rest of that connection's packets are dropped cheaply until it
// closes, goes idle or a new SYN reuses its ports. Gaps: data that the peer acknowledged but
// that was never captured (the capture dropped it), a segment cut by the snapshot length, a
// hold past the per-connection bound; and the budget refusing a hold.
//
// Memory: every connection entry (whether it has a handler or not) and every held byte are
// taken from the budget, so neither many idle connections nor huge windows can take the engine
// past it. Entries are bounded in number too; when the bound or the budget is reached, the
// connection idle the longest is given up (Evicted) to make room. Idle connections expire on
// the packet clock (the capture's timestamps), so reading a capture file behaves as watching
// it live did.
//
// Ownership: the sink creates each connection's handler and hands it over; the reassembler owns
// it from then on, calls OnEnd exactly once, and destroys it right after OnEnd returns. No
// handler call is made after OnEnd. The sink and the budget must outlive the reassembler (its
// destructor ends the live connections, calling their handlers). Handlers must not call back
// into the reassembler. One reassembler serves one thread; several may share one budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "frames/FrameDecoder.h"
#include "tcp/Direction.h"
#include "tcp/MemoryBudget.h"

struct TcpConnectionInfo {
    IpAddress clientAddress;
    IpAddress serverAddress;
    std::uint16_t clientPort = 0;  // host order
    std::uint16_t serverPort = 0;  // host order
    // The SYN or the SYN-ACK was seen: both streams are read from their first byte. Otherwise
    // each stream starts at the first byte seen, wherever that falls in the conversation.
    bool openingSeen = false;
};

enum class TcpEndReason : std::uint8_t {
    Closed,    // both sides' FINs, every byte before them handed on (or a new SYN on its ports)
    Reset,     // a RST
    Gap,       // bytes that will never come: acknowledged by the peer but not captured, cut by
               // the snapshot length, or held out of order past the per-connection bound
    Budget,    // the memory budget refused to hold an out-of-order segment
    Expired,   // idle past the timeout
    Evicted,   // idle the longest when room was needed for a new connection
    Declined,  // the handler wanted no more bytes (its OnData returned false)
    Shutdown,  // the reassembler ended every connection (end of a capture, stop)
};

// "closed", "reset", "gap", ...
const char* TcpEndReasonText(TcpEndReason reason);

class TcpStreamHandler {
public:
    virtual ~TcpStreamHandler() = default;
    // The next bytes of one direction, in order. `data` points into the captured frame or into
    // a held copy and is valid only during the call. False gives the connection up (Declined).
    virtual bool OnData(Direction direction, const std::uint8_t* data, std::size_t size) = 0;
    // The side that sends in `direction` closed it: every byte before its FIN was handed on.
    virtual void OnFinished(Direction direction) { (void)direction; }
    // The last call: the connection ended or was given up.
    virtual void OnEnd(TcpEndReason reason) = 0;
};

class TcpConnectionSink {
public:
    virtual ~TcpConnectionSink() = default;
    // A new connection. Gives its handler, or null to ignore the connection (it then costs a
    // small entry and a table look-up per packet until it closes or expires).
    virtual std::unique_ptr<TcpStreamHandler> OnConnection(const TcpConnectionInfo& info) = 0;
};

class TcpReassembler {
public:
    struct Limits {
        // Connection entries at most; the one idle the longest makes room for a new one.
        std::size_t maxConnections = 65536;
        // Out-of-order bytes one connection may hold (both directions together).
        std::size_t maxHeldBytes = 8u << 20;
        // A connection that sees no packet for this long is given up (Expired).
        std::int64_t idleSeconds = 600;
        // An entry without a handler (ignored, given up or closed) is kept this long after its
        // last packet, so that late retransmissions do not open it again.
        std::int64_t quietSeconds = 60;
        // Budget made free (by evicting idle connections) before a new connection's handler is
        // created, for the handler's own state (an HTTP/2 connection's header tables alone may
        // grow to 64 KiB each).
        std::size_t handlerRoom = 128u << 10;
    };

    struct Statistics {
        std::uint64_t connections = 0;    // entries created
        std::uint64_t handled = 0;        // of them, given a handler
        std::uint64_t bytesHandedOn = 0;  // in order, to handlers
        std::uint64_t segmentsHeld = 0;   // out-of-order pieces copied
        std::uint64_t untracked = 0;      // packets of new connections no room was found for
        std::uint64_t ended[8] = {};      // connections with a handler ended, by TcpEndReason
    };

    // Bytes of the budget one connection entry costs, with or without a handler.
    static const std::size_t kEntryCost;
    // Bytes of the budget a held piece costs on top of its data.
    static constexpr std::size_t kHeldPieceCost = 96;

    TcpReassembler(MemoryBudget& budget, TcpConnectionSink& sink);
    TcpReassembler(MemoryBudget& budget, TcpConnectionSink& sink, const Limits& limits);
    ~TcpReassembler();
    TcpReassembler(const TcpReassembler&) = delete;
    TcpReassembler& operator=(const TcpReassembler&) = delete;

    // One decoded packet, with the capture time of its frame (seconds on any steady clock;
    // a clock that goes back is taken as standing still).
    void HandlePacket(const PacketView& packet, std::int64_t nowSeconds);
    // Ends the connections idle past their timeouts; HandlePacket does this as the clock moves.
    void ExpireIdle(std::int64_t nowSeconds);
    // Ends every connection (their handlers see `reason`) and forgets them all.
    void EndAll(TcpEndReason reason = TcpEndReason::Shutdown);

    std::size_t ConnectionCount() const { return m_table.size(); }
    const Statistics& Stats() const { return m_stats; }

    struct Connection;
    struct ConnectionKey {
        // The two ends in a fixed order (the lower address and port first), so that both
        // directions of a connection find the same entry. Addresses as two words each, so
        // that a comparison is four word compares.
        std::uint64_t low[2] = {};
        std::uint64_t high[2] = {};
        std::uint16_t lowPort = 0;  // as captured
        std::uint16_t highPort = 0;
        friend bool operator==(const ConnectionKey& a, const ConnectionKey& b) {
            return ((a.low[0] ^ b.low[0]) | (a.low[1] ^ b.low[1]) | (a.high[0] ^ b.high[0]) |
                    (a.high[1] ^ b.high[1])) == 0 &&
                   a.lowPort == b.lowPort && a.highPort == b.highPort;
        }
    };
    struct KeyHash {
        std::size_t operator()(const ConnectionKey& key) const;
    };

private:
    Connection* Create(const ConnectionKey& key, const PacketView& packet, bool sourceIsLow,
                       std::int64_t now);
    bool MakeRoom(std::size_t bytes);
    void Process(Connection& connection, const PacketView& packet, bool sourceIsLow);
    bool Deliver(Connection& connection, Direction direction, const std::uint8_t* data,
                 std::size_t size);
    bool Hold(Connection& connection, Direction direction, std::uint64_t position,
              const std::uint8_t* data, std::size_t size);
    void DrainHeld(Connection& connection, Direction direction);
    void Finish(Connection& connection, Direction direction);
    void End(Connection& connection, TcpEndReason reason);
    void Erase(Connection& connection, TcpEndReason reason);
    void Touch(Connection& connection);

    MemoryBudget& m_budget;
    TcpConnectionSink& m_sink;
    const Limits m_limits;
    std::unordered_map<ConnectionKey, std::unique_ptr<Connection>, KeyHash> m_table;
    // Two lists, each from the connection idle the longest to the newest: with a handler, and
    // without one. Idle entries without a handler go first when room is needed.
    struct List {
        Connection* oldest = nullptr;
        Connection* newest = nullptr;
    };
    List m_live;
    List m_quiet;
    Connection* m_last = nullptr;  // the connection of the previous packet
    std::int64_t m_clock = 0;
    bool m_clockSet = false;
    Statistics m_stats;
};
