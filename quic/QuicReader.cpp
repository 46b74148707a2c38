#include "quic/QuicReader.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "quic/QuicConnection.h"

namespace {

// Room for the largest datagram's header copy and plaintext.
constexpr std::size_t kQuicScratchSize = 65536 + 64;
// The largest UDP payload of a 1500-byte IPv4 packet: a longer datagram may be several that a
// sender's segmentation offload (or a receiver's coalescing) handed the capture as one.
constexpr std::size_t kLargestPlainDatagram = 1472;
// The shortest protected packet: header byte, packet number and sample.
constexpr std::size_t kShortestQuicPacket = 1 + kQuicMaxPacketNumberSize + kQuicSampleSize;
// A client's first Destination Connection ID has at least this many bytes.
constexpr std::size_t kShortestFirstId = 8;
// An ID this long found again in a datagram starts the next packet: by chance, 2^-64.
constexpr std::size_t kSureCutIdSize = 8;
constexpr std::size_t kShortestCutIdSize = 4;
// Piece sizes tried on an offloaded datagram without a connection ID to look for.
constexpr std::size_t kMostEqualCuts = 64;

const std::uint64_t s_quicIdSeed = [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}();

std::uint64_t MixQuicId(std::uint64_t value) {
    value ^= value >> 33;
    value *= 0xFF51AFD7ED558CCDull;
    value ^= value >> 33;
    value *= 0xC4CEB9FE1A85EC53ull;
    return value ^ (value >> 33);
}

}  // namespace

std::size_t QuicReader::IdHash::operator()(const QuicConnectionId& id) const {
    // Keyed per process: peers choose their IDs, and must not choose one bucket for all.
    std::uint64_t hash = s_quicIdSeed ^ id.size;
    for (std::size_t i = 0; i < id.size; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, id.bytes + i, std::min<std::size_t>(8, id.size - i));
        hash = MixQuicId(hash ^ word);
    }
    return static_cast<std::size_t>(hash);
}

std::size_t QuicReader::EndpointHash::operator()(const Endpoint& endpoint) const {
    std::uint64_t low;
    std::uint64_t high;
    std::memcpy(&low, endpoint.address.bytes.data(), 8);
    std::memcpy(&high, endpoint.address.bytes.data() + 8, 8);
    return static_cast<std::size_t>(
        MixQuicId((low ^ s_quicIdSeed) * 0x9E3779B97F4A7C15ull + high * 0xC2B2AE3D27D4EB4Full +
            endpoint.port));
}

QuicReader::QuicReader(MemoryBudget& budget, const KeyLog& keyLog, QuicConnectionSink& sink)
    : QuicReader(budget, keyLog, sink, Limits{}) {}

QuicReader::QuicReader(MemoryBudget& budget, const KeyLog& keyLog, QuicConnectionSink& sink,
                       const Limits& limits)
    : m_budget(budget),
      m_keyLog(keyLog),
      m_sink(sink),
      m_limits(limits),
      m_scratch(std::make_unique_for_overwrite<std::uint8_t[]>(kQuicScratchSize)) {}

QuicReader::~QuicReader() {
    EndAll();
}

void QuicReader::HandleDatagram(const QuicDatagram& datagram, std::int64_t nowSeconds) {
    ++m_stats.datagrams;
    if (!m_clockSeen || nowSeconds > m_lastExpiry) {
        if (m_clockSeen)
            ExpireIdle(nowSeconds);
        m_clockSeen = true;
        m_lastExpiry = nowSeconds;
    }
    // No datagram is larger than this (the reader's scratch holds a whole one).
    const std::size_t size = std::min<std::size_t>(datagram.size, 65535);
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t* data = datagram.data + at;
        // Zeros after the last packet pad the datagram. (A short header's first byte may be 0
        // too when its sender greases the fixed bit.)
        if (data[0] == 0 &&
            std::all_of(data, datagram.data + size, [](std::uint8_t byte) { return byte == 0; }))
            break;
        const std::size_t took = (data[0] & 0x80) != 0
                                     ? HandleLongHeader(datagram, data, size - at, nowSeconds)
                                     : HandleShortHeader(datagram, data, size - at, nowSeconds);
        if (took == 0)
            break;
        at += took;
    }
}

const QuicReader::Route* QuicReader::FindLong(const QuicDatagram& datagram,
                                              const QuicConnectionId& destination) {
    if (destination.size == 0) {
        const auto found =
            m_endpointRoutes.find(Endpoint{datagram.destinationAddress, datagram.destinationPort});
        return found != m_endpointRoutes.end() ? &found->second : nullptr;
    }
    const auto found = m_routes.find(destination);
    return found != m_routes.end() ? &found->second : nullptr;
}

const QuicReader::Route* QuicReader::FindShort(const QuicDatagram& datagram,
                                               const std::uint8_t* data, std::size_t size,
                                               std::size_t& idSize) {
    for (const Recent& recent : m_recent) {
        if (recent.route.connection != nullptr && size > recent.id.size &&
            recent.id.bytes[0] == data[1] &&
            std::memcmp(data + 1, recent.id.bytes, recent.id.size) == 0) {
            idSize = recent.id.size;
            return &recent.route;
        }
    }
    for (std::size_t length = 1; length <= kQuicMaxConnectionId; ++length) {
        if (m_idSizes[length] == 0 || size <= length)
            continue;
        const QuicConnectionId id(data + 1, length);
        const auto found = m_routes.find(id);
        if (found != m_routes.end()) {
            idSize = length;
            m_recent[m_recentNext] = Recent{id, found->second};
            m_recentNext = (m_recentNext + 1) % kRecent;
            return &found->second;
        }
    }
    idSize = 0;
    if (m_endpointRoutes.empty())
        return nullptr;
    const auto found =
        m_endpointRoutes.find(Endpoint{datagram.destinationAddress, datagram.destinationPort});
    return found != m_endpointRoutes.end() ? &found->second : nullptr;
}

std::size_t QuicReader::HandleLongHeader(const QuicDatagram& datagram, const std::uint8_t* data,
                                         std::size_t size, std::int64_t now) {
    QuicLongHeader header;
    const QuicHeaderResult result = ParseLongHeader(data, size, header);
    if (result == QuicHeaderResult::Malformed || result == QuicHeaderResult::UnknownVersion)
        return 0;
    const Route* route = FindLong(datagram, header.destination);
    if (result == QuicHeaderResult::VersionNegotiation) {
        if (route != nullptr && route->direction == Direction::ToClient &&
            route->connection->VersionNegotiation(data, size, header)) {
            ++m_stats.versionNegotiations;
            Remove(*route->connection);
        }
        return 0;
    }
    if (result == QuicHeaderResult::Retry) {
        if (route != nullptr && route->direction == Direction::ToClient)
            route->connection->Retry(header, data, size);
        return 0;
    }
    const Endpoint source{datagram.sourceAddress, datagram.sourcePort};
    if (route != nullptr && header.type == QuicPacketType::Initial &&
        route->direction == Direction::ToServer && header.version != route->connection->Version() &&
        !route->connection->ServerSeen()) {
        // The client tries again with another version (a Version Negotiation we did not see).
        Remove(*route->connection);
        route = nullptr;
    }
    if (route == nullptr) {
        if (header.type == QuicPacketType::Initial)
            Start(datagram, header, data, now);
        else
            ++m_stats.unknownConnection;
        return header.size;
    }
    QuicConnection::Packet packet;
    packet.bytes = data;
    packet.size = header.size;
    packet.numberOffset = header.numberOffset;
    packet.longHeader = true;
    packet.type = header.type;
    packet.version = header.version;
    packet.direction = route->direction;
    packet.source = source;
    route->connection->Handle(packet, now);
    return header.size;
}

std::size_t QuicReader::HandleShortHeader(const QuicDatagram& datagram, const std::uint8_t* data,
                                          std::size_t size, std::int64_t now) {
    std::size_t idSize = 0;
    const Route* found = FindShort(datagram, data, size, idSize);
    if (found == nullptr) {
        ++m_stats.unknownConnection;
        return 0;
    }
    const Route route = *found;  // a packet's handling may change the tables
    QuicConnection::Packet packet;
    packet.bytes = data;
    packet.size = size;
    packet.numberOffset = 1 + idSize;
    packet.direction = route.direction;
    packet.source = Endpoint{datagram.sourceAddress, datagram.sourcePort};
    // A short header's packet runs to the datagram's end; in a datagram that offload made of
    // several, the next one starts where the same connection ID follows a short header byte.
    const auto findCut = [&]() -> std::size_t {
        const std::size_t shortest = packet.numberOffset + kShortestQuicPacket;
        if (idSize < kShortestCutIdSize || size < 2 * shortest)
            return 0;
        const std::uint8_t* from = data + shortest;
        const std::uint8_t* const last = data + size - shortest;
        while (from <= last) {
            const void* hit = memmem(from, static_cast<std::size_t>(last - from) + idSize,
                                     data + 1, idSize);
            if (hit == nullptr)
                return 0;
            const auto* at = static_cast<const std::uint8_t*>(hit);
            if ((at[-1] & 0x80) == 0)
                return static_cast<std::size_t>(at - 1 - data);
            from = at + 1;
        }
        return 0;
    };
    const auto tryCut = [&](std::size_t cut) {
        if (cut == 0)
            return false;
        packet.size = cut;
        const bool opened = route.connection->Handle(packet, now) !=
                            QuicConnection::Outcome::NotAuthentic;
        packet.size = size;
        if (opened)
            ++m_stats.split;
        return opened;
    };
    // Past one plain datagram's size, a long ID found again is a cut for sure; otherwise a cut
    // is looked for only when the whole does not open.
    const bool sure = size > kLargestPlainDatagram && idSize >= kSureCutIdSize;
    std::size_t cut = sure ? findCut() : 0;
    if (tryCut(cut))
        return cut;
    // Without a connection ID (a client such as Chromium uses none), offload cut the datagram
    // into pieces of one size but the last, each starting with a short header's two bits.
    const bool unnamed = size > kLargestPlainDatagram && idSize < kShortestCutIdSize;
    const std::size_t shortest = packet.numberOffset + kShortestQuicPacket;
    const auto equalPieces = [&](std::size_t piece) {
        if (piece < shortest || piece >= size || (size % piece != 0 && size % piece < shortest))
            return false;
        for (std::size_t at = piece; at < size; at += piece) {
            if ((data[at] & 0xC0) != 0x40)
                return false;
        }
        return true;
    };
    if (unnamed && m_equalCut != 0 && equalPieces(m_equalCut) && tryCut(m_equalCut))
        return m_equalCut;
    if (route.connection->Handle(packet, now) != QuicConnection::Outcome::NotAuthentic || sure)
        return size;
    cut = findCut();
    if (tryCut(cut))
        return cut;
    if (unnamed) {
        std::size_t tries = 0;
        for (std::size_t piece = kLargestPlainDatagram; piece >= shortest && tries < kMostEqualCuts;
             --piece) {
            if (piece == m_equalCut || !equalPieces(piece))
                continue;
            ++tries;
            if (tryCut(piece)) {
                m_equalCut = piece;
                return piece;
            }
        }
    }
    return size;
}

QuicConnection* QuicReader::Start(const QuicDatagram& datagram, const QuicLongHeader& header,
                                  const std::uint8_t* data, std::int64_t now) {
    if (header.destination.size < kShortestFirstId || !MakeRoom(QuicConnection::kCost))
        return nullptr;
    BudgetHold hold(m_budget);
    if (!hold.Resize(QuicConnection::kCost))
        return nullptr;
    const Endpoint client{datagram.sourceAddress, datagram.sourcePort};
    const Endpoint server{datagram.destinationAddress, datagram.destinationPort};
    auto connection = std::make_unique<QuicConnection>(*this, std::move(hold), client, server,
                                                       header.version, header.destination, now);
    QuicConnection::Packet packet;
    packet.bytes = data;
    packet.size = header.size;
    packet.numberOffset = header.numberOffset;
    packet.longHeader = true;
    packet.type = QuicPacketType::Initial;
    packet.version = header.version;
    packet.direction = Direction::ToServer;
    packet.source = client;
    // Only a client's Initial that opens and carries CRYPTO data starts a connection: anyone
    // can make Initial keys, but no datagram to port 443 opens with them by chance.
    if (connection->Handle(packet, now) != QuicConnection::Outcome::Opened ||
        !connection->HelloStarted())
        return nullptr;
    QuicConnection& made = *connection;
    made.m_index = m_connections.size();
    m_connections.push_back(std::move(connection));
    ++m_stats.connections;
    AddRoute(header.destination, made, Direction::ToServer);
    if (header.source.size == 0)
        AddEndpointRoute(client, made, Direction::ToClient);
    else
        AddRoute(header.source, made, Direction::ToClient);
    return &made;
}

bool QuicReader::AddRoute(const QuicConnectionId& id, QuicConnection& connection,
                          Direction direction) {
    if (id.size == 0)
        return false;
    // The first connection to name an ID keeps it.
    const auto [it, added] = m_routes.try_emplace(id, Route{&connection, direction});
    if (!added)
        return false;
    ++m_idSizes[id.size];
    connection.m_ids.push_back(id);
    return true;
}

void QuicReader::DropRoute(const QuicConnectionId& id, const QuicConnection& connection) {
    const auto found = m_routes.find(id);
    if (found == m_routes.end() || found->second.connection != &connection)
        return;
    m_routes.erase(found);
    --m_idSizes[id.size];
    for (Recent& recent : m_recent) {
        if (recent.id == id)
            recent = Recent{};
    }
}

bool QuicReader::AddEndpointRoute(const Endpoint& endpoint, QuicConnection& connection,
                                  Direction direction) {
    const auto [it, added] = m_endpointRoutes.try_emplace(endpoint, Route{&connection, direction});
    if (!added)
        return false;
    connection.m_endpointIds.push_back(endpoint);
    return true;
}

void QuicReader::DropEndpointRoute(const Endpoint& endpoint, const QuicConnection& connection) {
    const auto found = m_endpointRoutes.find(endpoint);
    if (found != m_endpointRoutes.end() && found->second.connection == &connection)
        m_endpointRoutes.erase(found);
}

void QuicReader::Remove(QuicConnection& connection) {
    connection.End();
    for (const QuicConnectionId& id : connection.m_ids) DropRoute(id, connection);
    for (const Endpoint& endpoint : connection.m_endpointIds) DropEndpointRoute(endpoint, connection);
    for (Recent& recent : m_recent) {
        if (recent.route.connection == &connection)
            recent = Recent{};
    }
    const std::size_t index = connection.m_index;
    if (index != m_connections.size() - 1) {
        std::swap(m_connections[index], m_connections.back());
        m_connections[index]->m_index = index;
    }
    m_connections.pop_back();
}

bool QuicReader::MakeRoom(std::size_t bytes) {
    // The connection idle the longest (an ended one first) makes room, a few at most.
    for (int tries = 0; tries < 16; ++tries) {
        const bool full = m_connections.size() >= m_limits.maxConnections;
        if (!full && m_budget.Used() + bytes <= m_budget.Limit())
            return true;
        if (m_connections.empty())
            return false;
        QuicConnection* oldest = nullptr;
        for (const auto& connection : m_connections) {
            if (oldest == nullptr || connection->Ended() > oldest->Ended() ||
                (connection->Ended() == oldest->Ended() &&
                 connection->LastSeen() < oldest->LastSeen()))
                oldest = connection.get();
        }
        Remove(*oldest);
    }
    return false;
}

void QuicReader::ExpireIdle(std::int64_t now) {
    for (std::size_t i = 0; i < m_connections.size();) {
        QuicConnection& connection = *m_connections[i];
        const bool quiet = connection.Ended() && now - connection.EndedAt() >= m_limits.quietSeconds;
        const bool idle = !connection.Ended() && now - connection.LastSeen() >= m_limits.idleSeconds;
        // A connection waiting for keys stays until GiveUpWaiting lets it go.
        if ((quiet || idle) && !connection.Waiting()) {
            Remove(connection);  // the last one moves to `i`
            continue;
        }
        ++i;
    }
}

void QuicReader::KeysChanged() {
    // A connection's replay may end it, never remove it: walking by index is safe.
    for (std::size_t i = 0; i < m_connections.size(); ++i) {
        if (m_connections[i]->Waiting())
            m_connections[i]->KeysChanged();
    }
}

std::size_t QuicReader::GiveUpWaiting(std::chrono::steady_clock::time_point now, bool all) {
    const std::uint64_t before = m_stats.unopened;
    for (const auto& connection : m_connections) {
        if (connection->Waiting() && (all || now - connection->WaitingSince() >= m_limits.keyWait))
            connection->GiveUpWaiting();
    }
    return static_cast<std::size_t>(m_stats.unopened - before);
}

std::size_t QuicReader::WaitingForKeys() const {
    return static_cast<std::size_t>(std::count_if(
        m_connections.begin(), m_connections.end(),
        [](const auto& connection) { return connection->Waiting(); }));
}

void QuicReader::EndAll() {
    for (const auto& connection : m_connections) connection->End();
    m_connections.clear();
    m_routes.clear();
    m_endpointRoutes.clear();
    std::fill(std::begin(m_idSizes), std::end(m_idSizes), 0);
    std::fill(std::begin(m_recent), std::end(m_recent), Recent{});
}
