#include "tcp/TcpReassembler.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <random>

namespace {

// The largest window TCP can announce (a 16-bit window scaled by at most 2^14). A segment
// further than this from where its stream stands belongs to no plausible conversation.
constexpr std::int64_t kMaxWindow = std::int64_t{1} << 30;

std::int64_t SequenceDistance(std::uint32_t from, std::uint32_t to) {
    return static_cast<std::int32_t>(to - from);
}

struct HeldPiece {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
};

// One direction of a connection.
struct Stream {
    std::uint32_t next = 0;         // sequence number of the next byte to hand on
    std::uint64_t position = 0;     // bytes handed on so far: the stream position of `next`
    std::uint32_t initial = 0;      // sequence number of its SYN
    std::uint64_t finPosition = 0;  // stream position of its FIN, once known
    bool synSeen = false;
    bool started = false;  // `next` is known
    bool finKnown = false;
    bool finished = false;                    // its FIN was reached in order
    std::map<std::uint64_t, HeldPiece> held;  // out-of-order bytes by position; never overlapping
};

}  // namespace

struct TcpReassembler::Connection {
    ConnectionKey key;
    Connection* older = nullptr;
    Connection* newer = nullptr;
    std::unique_ptr<TcpStreamHandler> handler;  // null: ignored, given up or closed
    Stream streams[2];                          // indexed by Direction
    std::size_t heldCost = 0;                   // budget held for out-of-order pieces
    std::int64_t lastSeen = 0;
    bool clientIsLow = false;
    bool live = false;  // in m_live (else m_quiet)
};

const std::size_t TcpReassembler::kEntryCost =
    sizeof(TcpReassembler::Connection) + sizeof(TcpReassembler::ConnectionKey) + 64;

const char* TcpEndReasonText(TcpEndReason reason) {
    switch (reason) {
        case TcpEndReason::Closed:
            return "closed";
        case TcpEndReason::Reset:
            return "reset";
        case TcpEndReason::Gap:
            return "gap";
        case TcpEndReason::Budget:
            return "budget";
        case TcpEndReason::Expired:
            return "expired";
        case TcpEndReason::Evicted:
            return "evicted";
        case TcpEndReason::Declined:
            return "declined";
        case TcpEndReason::Shutdown:
            return "shutdown";
    }
    return "?";
}

namespace {

// Seeded once per process, so that nobody can choose addresses and ports that all land in one
// bucket of every capture's table.
const std::uint64_t s_hashSeed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}();

std::uint64_t Mix(std::uint64_t value) {
    value ^= value >> 33;
    value *= 0xFF51AFD7ED558CCDull;
    value ^= value >> 33;
    value *= 0xC4CEB9FE1A85EC53ull;
    return value ^ (value >> 33);
}

}  // namespace

std::size_t TcpReassembler::KeyHash::operator()(const ConnectionKey& key) const {
    const std::uint64_t ports = (static_cast<std::uint64_t>(key.lowPort) << 16) | key.highPort;
    // Odd multipliers spread each word before the one final mix.
    const std::uint64_t h =
        (key.low[0] ^ s_hashSeed) * 0x9E3779B97F4A7C15ull + key.low[1] * 0xC2B2AE3D27D4EB4Full +
        (key.high[0] ^ ports) * 0x165667B19E3779F9ull + key.high[1] * 0xD6E8FEB86659FD93ull;
    return static_cast<std::size_t>(Mix(h));
}

TcpReassembler::TcpReassembler(MemoryBudget& budget, TcpConnectionSink& sink)
    : TcpReassembler(budget, sink, Limits{}) {}

TcpReassembler::TcpReassembler(MemoryBudget& budget, TcpConnectionSink& sink, const Limits& limits)
    : m_budget(budget), m_sink(sink), m_limits(limits) {}

TcpReassembler::~TcpReassembler() {
    EndAll(TcpEndReason::Shutdown);
}

void TcpReassembler::HandlePacket(const PacketView& packet, std::int64_t nowSeconds) {
    if (!m_clockSet || nowSeconds > m_clock) {
        m_clock = nowSeconds;
        m_clockSet = true;
        ExpireIdle(nowSeconds);
    }
    std::uint64_t source[2];
    std::uint64_t destination[2];
    std::memcpy(source, packet.sourceAddress.bytes.data(), 16);
    std::memcpy(destination, packet.destinationAddress.bytes.data(), 16);
    // Any fixed order of the two ends serves.
    const bool sourceIsLow = source[1] != destination[1] ? source[1] < destination[1]
                             : source[0] != destination[0]
                                 ? source[0] < destination[0]
                                 : packet.sourcePort < packet.destinationPort;
    ConnectionKey key;
    if (sourceIsLow) {
        key = {{source[0], source[1]},
               {destination[0], destination[1]},
               packet.sourcePort,
               packet.destinationPort};
    } else {
        key = {{destination[0], destination[1]},
               {source[0], source[1]},
               packet.destinationPort,
               packet.sourcePort};
    }
    Connection* connection = m_last;
    if (connection == nullptr || !(connection->key == key)) {
        const auto found = m_table.find(key);
        if (found != m_table.end()) {
            connection = found->second.get();
        } else {
            // A reset of a connection never seen opens nothing.
            if ((packet.tcpFlags & kTcpRst) != 0)
                return;
            connection = Create(key, packet, sourceIsLow, nowSeconds);
            if (connection == nullptr)
                return;
        }
        m_last = connection;
    }
    Touch(*connection);
    Process(*connection, packet, sourceIsLow);
}

TcpReassembler::Connection* TcpReassembler::Create(const ConnectionKey& key,
                                                   const PacketView& packet, bool sourceIsLow,
                                                   std::int64_t now) {
    const std::uint8_t opening = packet.tcpFlags & (kTcpSyn | kTcpAck);
    bool sourceIsClient = packet.outgoing;
    if (opening == kTcpSyn)
        sourceIsClient = true;
    else if (opening == (kTcpSyn | kTcpAck))
        sourceIsClient = false;
    if (!MakeRoom(kEntryCost + m_limits.handlerRoom)) {
        ++m_stats.untracked;
        return nullptr;
    }
    m_budget.Release(m_limits.handlerRoom);  // for the handler to take

    auto owned = std::make_unique<Connection>();
    Connection& connection = *owned;
    connection.key = key;
    connection.clientIsLow = sourceIsClient == sourceIsLow;
    connection.lastSeen = now;
    if ((packet.tcpFlags & kTcpSyn) != 0) {
        // Known from the start, so that a retransmission of this SYN is not taken for a new
        // connection on the same ports.
        Stream& opener = connection.streams[static_cast<int>(
            opening == kTcpSyn ? Direction::ToServer : Direction::ToClient)];
        opener.synSeen = true;
        opener.initial = packet.sequence;
    }

    TcpConnectionInfo info;
    info.clientAddress = sourceIsClient ? packet.sourceAddress : packet.destinationAddress;
    info.serverAddress = sourceIsClient ? packet.destinationAddress : packet.sourceAddress;
    info.clientPort = ntohs(sourceIsClient ? packet.sourcePort : packet.destinationPort);
    info.serverPort = ntohs(sourceIsClient ? packet.destinationPort : packet.sourcePort);
    info.openingSeen = (packet.tcpFlags & kTcpSyn) != 0;
    connection.handler = m_sink.OnConnection(info);

    ++m_stats.connections;
    if (connection.handler)
        ++m_stats.handled;
    connection.live = connection.handler != nullptr;
    List& list = connection.live ? m_live : m_quiet;
    connection.older = list.newest;
    (list.newest != nullptr ? list.newest->newer : list.oldest) = &connection;
    list.newest = &connection;
    m_table.emplace(key, std::move(owned));
    return &connection;
}

bool TcpReassembler::MakeRoom(std::size_t bytes) {
    for (;;) {
        if (m_table.size() < m_limits.maxConnections && m_budget.TryReserve(bytes))
            return true;
        Connection* victim = m_quiet.oldest != nullptr ? m_quiet.oldest : m_live.oldest;
        if (victim == nullptr)
            return false;
        Erase(*victim, TcpEndReason::Evicted);
    }
}

void TcpReassembler::Touch(Connection& connection) {
    connection.lastSeen = m_clock;
    List& list = connection.live ? m_live : m_quiet;
    if (list.newest == &connection)
        return;
    // Unlink (it has a newer neighbour), then append as the newest.
    connection.newer->older = connection.older;
    (connection.older != nullptr ? connection.older->newer : list.oldest) = connection.newer;
    connection.older = list.newest;
    connection.newer = nullptr;
    list.newest->newer = &connection;
    list.newest = &connection;
}

void TcpReassembler::Process(Connection& connection, const PacketView& packet, bool sourceIsLow) {
    const Direction direction =
        sourceIsLow == connection.clientIsLow ? Direction::ToServer : Direction::ToClient;
    const std::uint8_t flags = packet.tcpFlags;
    Stream& stream = connection.streams[static_cast<int>(direction)];

    if ((flags & (kTcpSyn | kTcpAck)) == kTcpSyn) {
        // A SYN opens a connection. Its own retransmission changes nothing; any other SYN on
        // these ports is a new connection, and the old one has ended unseen.
        const bool repeated =
            direction == Direction::ToServer && stream.synSeen && stream.initial == packet.sequence;
        if (!repeated) {
            const ConnectionKey key = connection.key;
            Erase(connection, TcpEndReason::Gap);
            Connection* fresh = Create(key, packet, sourceIsLow, m_clock);
            m_last = fresh;
            if (fresh != nullptr)
                Process(*fresh, packet, sourceIsLow);
            return;
        }
    }
    if (!connection.handler) {
        if ((flags & kTcpRst) != 0)
            Erase(connection, TcpEndReason::Reset);
        return;
    }

    std::uint32_t sequence = packet.sequence;
    if ((flags & kTcpSyn) != 0) {
        if (!stream.synSeen) {
            stream.synSeen = true;
            stream.initial = sequence;
        }
        if (!stream.started && stream.initial == sequence) {
            stream.started = true;
            stream.next = sequence + 1;
        }
        ++sequence;  // the SYN takes one sequence number; data in its segment follows it
        if ((flags & kTcpAck) != 0 && direction == Direction::ToClient) {
            // The SYN-ACK says where the client's stream begins when its SYN was missed.
            Stream& client = connection.streams[static_cast<int>(Direction::ToServer)];
            if (!client.started) {
                client.started = true;
                client.next = packet.acknowledgement;
            }
        }
    }

    // Link-layer padding is no payload; bytes the snapshot length cut off are a gap.
    const std::size_t size = std::min(packet.rawLength, packet.wireLength);
    const bool cut = packet.wireLength > packet.rawLength;
    const bool fin = (flags & kTcpFin) != 0;
    if (!stream.started && (size > 0 || cut || fin)) {
        stream.started = true;  // joined in the middle: the stream begins here
        stream.next = sequence;
    }

    if (stream.started) {
        const std::int64_t distance = SequenceDistance(stream.next, sequence);
        if (distance > kMaxWindow || distance < -kMaxWindow)
            return;  // outside any window: not of this connection's present
        if ((flags & kTcpRst) != 0) {
            End(connection, TcpEndReason::Reset);
            return;
        }
        const std::int64_t start = static_cast<std::int64_t>(stream.position) + distance;
        if (cut && start + static_cast<std::int64_t>(packet.wireLength) >
                       static_cast<std::int64_t>(stream.position)) {
            End(connection, TcpEndReason::Gap);
            return;
        }
        if (!stream.finished) {
            std::int64_t end = start + static_cast<std::int64_t>(size);
            if (fin && !stream.finKnown && end >= static_cast<std::int64_t>(stream.position)) {
                stream.finKnown = true;
                stream.finPosition = static_cast<std::uint64_t>(end);
            }
            if (stream.finKnown)
                end = std::min(end, static_cast<std::int64_t>(stream.finPosition));
            const auto position = static_cast<std::int64_t>(stream.position);
            if (end > position) {
                if (start <= position) {
                    const std::uint8_t* from = packet.payload + (position - start);
                    if (!Deliver(connection, direction, from,
                                 static_cast<std::size_t>(end - position))) {
                        return;
                    }
                    DrainHeld(connection, direction);
                } else if (!Hold(connection, direction, static_cast<std::uint64_t>(start),
                                 packet.payload, static_cast<std::size_t>(end - start))) {
                    return;
                }
                if (!connection.handler)
                    return;
            }
            if (stream.finKnown && stream.position == stream.finPosition) {
                Finish(connection, direction);
                if (!connection.handler)
                    return;
            }
        }
    } else if ((flags & kTcpRst) != 0) {
        End(connection, TcpEndReason::Reset);
        return;
    }

    // The peer acknowledged bytes of the other stream that were never handed on: they were
    // lost before the capture saw them, and TCP will never send them again.
    if ((flags & kTcpAck) != 0) {
        const Stream& other = connection.streams[static_cast<int>(Opposite(direction))];
        if (other.started) {
            const std::int64_t ahead = SequenceDistance(other.next, packet.acknowledgement);
            if (ahead > 0 && ahead <= kMaxWindow)
                End(connection, TcpEndReason::Gap);
        }
    }
}

bool TcpReassembler::Deliver(Connection& connection, Direction direction, const std::uint8_t* data,
                             std::size_t size) {
    Stream& stream = connection.streams[static_cast<int>(direction)];
    stream.position += size;
    stream.next += static_cast<std::uint32_t>(size);
    m_stats.bytesHandedOn += size;
    if (!connection.handler->OnData(direction, data, size)) {
        End(connection, TcpEndReason::Declined);
        return false;
    }
    return true;
}

bool TcpReassembler::Hold(Connection& connection, Direction direction, std::uint64_t start,
                          const std::uint8_t* data, std::size_t size) {
    auto& held = connection.streams[static_cast<int>(direction)].held;
    const std::uint64_t end = start + size;
    std::uint64_t cursor = start;
    auto it = held.upper_bound(cursor);
    if (it != held.begin())
        --it;  // a piece that starts before the segment may cover its beginning
    while (cursor < end) {
        while (it != held.end() && it->first + it->second.size <= cursor) ++it;
        if (it != held.end() && it->first <= cursor) {
            cursor = it->first + it->second.size;  // held already: the first arrival stays
            ++it;
            continue;
        }
        const std::uint64_t gapEnd = it != held.end() ? std::min(end, it->first) : end;
        const auto pieceSize = static_cast<std::size_t>(gapEnd - cursor);
        const std::size_t cost = pieceSize + kHeldPieceCost;
        if (connection.heldCost + cost > m_limits.maxHeldBytes) {
            End(connection, TcpEndReason::Gap);
            return false;
        }
        if (!m_budget.TryReserve(cost)) {
            End(connection, TcpEndReason::Budget);
            return false;
        }
        connection.heldCost += cost;
        HeldPiece piece;
        piece.bytes.reset(new std::uint8_t[pieceSize]);
        piece.size = pieceSize;
        std::memcpy(piece.bytes.get(), data + (cursor - start), pieceSize);
        held.emplace_hint(it, cursor, std::move(piece));
        ++m_stats.segmentsHeld;
        cursor = gapEnd;
    }
    return true;
}

void TcpReassembler::DrainHeld(Connection& connection, Direction direction) {
    Stream& stream = connection.streams[static_cast<int>(direction)];
    while (connection.handler && !stream.held.empty() &&
           stream.held.begin()->first <= stream.position) {
        auto node = stream.held.extract(stream.held.begin());
        const std::uint64_t start = node.key();
        const HeldPiece& piece = node.mapped();
        const std::size_t cost = piece.size + kHeldPieceCost;
        connection.heldCost -= cost;
        m_budget.Release(cost);
        std::uint64_t end = start + piece.size;
        if (stream.finKnown)
            end = std::min(end, stream.finPosition);
        if (end > stream.position) {
            const std::size_t skip = static_cast<std::size_t>(stream.position - start);
            if (!Deliver(connection, direction, piece.bytes.get() + skip,
                         static_cast<std::size_t>(end - stream.position))) {
                return;
            }
        }
    }
}

void TcpReassembler::Finish(Connection& connection, Direction direction) {
    Stream& stream = connection.streams[static_cast<int>(direction)];
    stream.finished = true;
    ++stream.next;  // the FIN takes one sequence number
    connection.handler->OnFinished(direction);
    if (connection.streams[0].finished && connection.streams[1].finished)
        End(connection, TcpEndReason::Closed);
}

void TcpReassembler::End(Connection& connection, TcpEndReason reason) {
    if (!connection.handler)
        return;
    std::unique_ptr<TcpStreamHandler> handler = std::move(connection.handler);
    for (Stream& stream : connection.streams) stream.held.clear();
    m_budget.Release(connection.heldCost);
    connection.heldCost = 0;
    ++m_stats.ended[static_cast<int>(reason)];
    handler->OnEnd(reason);
    handler.reset();

    // From the live list to the newest end of the quiet one.
    Connection* const older = connection.older;
    Connection* const newer = connection.newer;
    (older != nullptr ? older->newer : m_live.oldest) = newer;
    (newer != nullptr ? newer->older : m_live.newest) = older;
    connection.live = false;
    connection.older = m_quiet.newest;
    connection.newer = nullptr;
    (m_quiet.newest != nullptr ? m_quiet.newest->newer : m_quiet.oldest) = &connection;
    m_quiet.newest = &connection;
}

void TcpReassembler::Erase(Connection& connection, TcpEndReason reason) {
    End(connection, reason);
    Connection* const older = connection.older;
    Connection* const newer = connection.newer;
    (older != nullptr ? older->newer : m_quiet.oldest) = newer;
    (newer != nullptr ? newer->older : m_quiet.newest) = older;
    if (m_last == &connection)
        m_last = nullptr;
    const ConnectionKey key = connection.key;
    m_table.erase(key);  // destroys `connection`
    m_budget.Release(kEntryCost);
}

void TcpReassembler::ExpireIdle(std::int64_t nowSeconds) {
    while (m_live.oldest != nullptr && m_live.oldest->lastSeen + m_limits.idleSeconds < nowSeconds)
        Erase(*m_live.oldest, TcpEndReason::Expired);
    while (m_quiet.oldest != nullptr &&
           m_quiet.oldest->lastSeen + m_limits.quietSeconds < nowSeconds) {
        Erase(*m_quiet.oldest, TcpEndReason::Expired);
    }
}

void TcpReassembler::EndAll(TcpEndReason reason) {
    while (m_live.oldest != nullptr) Erase(*m_live.oldest, reason);
    while (m_quiet.oldest != nullptr) Erase(*m_quiet.oldest, reason);
}
