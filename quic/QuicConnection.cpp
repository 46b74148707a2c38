#include "quic/QuicConnection.h"

#include <algorithm>
#include <cstring>

#include "tls/TlsHello.h"

namespace {

// A header or payload key: a libcrypto cipher context (about 1.2 KiB with its allocations).
constexpr std::size_t kQuicContextCost = 1280;
// Header and payload contexts of: Initial keys of two versions, Handshake, 0-RTT, and the
// 1-RTT keys of both directions (header, current, next and previous payload keys).
constexpr std::size_t kQuicContexts = 2 * 2 * 2 + 2 * 2 + 2 + 2 * 4;
constexpr std::size_t kWaitingPacketCost = 64;
constexpr std::size_t kQuicStreamCost = 256;
// A handshake message read whole (ClientHello, ServerHello, EncryptedExtensions).
constexpr std::size_t kMaxQuicHandshakeMessage = 64u << 10;

const std::uint8_t kNoBytes[1] = {};

int DirectionIndex(Direction direction) {
    return static_cast<int>(direction);
}

}  // namespace

const std::size_t QuicConnection::kCost = sizeof(QuicConnection) + kQuicContexts * kQuicContextCost;

QuicConnection::QuicConnection(QuicReader& reader, BudgetHold hold, const Endpoint& client,
                               const Endpoint& server, std::uint32_t version,
                               const QuicConnectionId& originalId, std::int64_t now)
    : m_reader(reader),
      m_hold(std::move(hold)),
      m_waitingHold(reader.m_budget),
      m_client(client),
      m_server(server),
      m_version(version),
      m_negotiated(version),
      m_originalId(originalId),
      m_initialId(originalId),
      m_lastSeen(now) {}

QuicConnection::~QuicConnection() {
    Release();
}

QuicConnection::Outcome QuicConnection::Handle(const Packet& packet, std::int64_t now) {
    m_lastSeen = now;
    if (m_ended)
        return Outcome::Dropped;
    // Behind packets that wait, a packet waits too, so that every stream's bytes keep their
    // order across the two directions. Initial packets never need the key log, and carry
    // what the waiting ones may need.
    const bool initial = packet.longHeader && packet.type == QuicPacketType::Initial;
    if (!initial && !m_waiting.empty() && !m_replaying)
        return Enqueue(packet);
    const Outcome outcome = Open(packet, false);
    if (m_tryWaiting && !m_waiting.empty())
        Replay();
    return outcome;
}

QuicConnection::Outcome QuicConnection::Open(const Packet& packet, bool fromQueue) {
    QuicReader::Statistics& stats = m_reader.m_stats;
    const Direction direction = packet.direction;
    QuicKeys* keys = nullptr;
    ApplicationKeys* application = nullptr;
    KeyState state = KeyState::Never;
    Space space = kApplicationSpace;
    if (!packet.longHeader) {
        state = ApplicationKeysFor(direction, application);
    } else {
        switch (packet.type) {
            case QuicPacketType::Initial:
                space = kInitialSpace;
                state = InitialKeysFor(packet.version, direction, keys);
                break;
            case QuicPacketType::Handshake:
                space = kHandshakeSpace;
                state = HandshakeKeysFor(packet.version, direction, keys);
                break;
            case QuicPacketType::ZeroRtt:
                state = direction == Direction::ToServer ? EarlyKeysFor(packet.version, keys)
                                                         : KeyState::Never;
                break;
            case QuicPacketType::Retry:
                break;
        }
    }
    if (state == KeyState::Never)
        return Outcome::Dropped;
    if (state == KeyState::Wait)
        return fromQueue ? Outcome::Waiting : Enqueue(packet);

    std::uint8_t* const scratch = m_reader.m_scratch.get();
    QuicHeaderKey& headerKey = application ? application->header : keys->header;
    std::size_t numberSize = 0;
    std::uint64_t truncated = 0;
    if (!RemoveHeaderProtection(headerKey, packet.bytes, packet.size, packet.numberOffset,
                                packet.longHeader, scratch, numberSize, truncated)) {
        ++stats.notAuthentic;
        return Outcome::NotAuthentic;
    }
    std::int64_t& largest = m_largest[space][DirectionIndex(direction)];
    const std::uint64_t number = DecodePacketNumber(largest, truncated, numberSize);
    const std::size_t headerSize = packet.numberOffset + numberSize;
    const std::uint8_t* const payload = packet.bytes + headerSize;
    const std::size_t size = packet.size - headerSize;
    std::uint8_t* const plaintext = scratch + headerSize;
    const bool opened =
        application ? OpenApplication(*application, scratch, headerSize, number, payload, size,
                                      plaintext)
                    : keys->payload.Open(number, scratch, headerSize, payload, size, plaintext);
    if (!opened) {
        ++stats.notAuthentic;
        return Outcome::NotAuthentic;
    }
    ++stats.packets;
    if (static_cast<std::int64_t>(number) > largest)
        largest = static_cast<std::int64_t>(number);
    Followed(packet);
    ProcessFrames(packet, plaintext, size - AeadKey::kTagSize);
    if (m_closing)
        End();
    return Outcome::Opened;
}

bool QuicConnection::OpenApplication(ApplicationKeys& keys, std::uint8_t* header,
                                     std::size_t headerSize, std::uint64_t number,
                                     const std::uint8_t* payload, std::size_t size,
                                     std::uint8_t* out) {
    const bool phase = (header[0] & 0x04) != 0;
    if (phase == keys.phase)
        return keys.current->Open(number, header, headerSize, payload, size, out);
    // A packet sent before the latest update, overtaken by one sent after it.
    if (keys.previous && number < keys.phaseStart)
        return keys.previous->Open(number, header, headerSize, payload, size, out);
    // The sender updated its keys.
    if (!keys.next) {
        auto next = std::make_unique<QuicPayloadKey>();
        if (!QuicNextSecret(m_suite, m_negotiated, keys.secret, keys.nextSecret) ||
            !SetQuicPayloadKey(*next, m_suite, m_negotiated, keys.nextSecret))
            return false;
        keys.next = std::move(next);
    }
    if (!keys.next->Open(number, header, headerSize, payload, size, out))
        return false;
    keys.previous = std::move(keys.current);
    keys.current = std::move(keys.next);
    keys.secret = keys.nextSecret;
    keys.nextSecret.Clear();
    keys.phase = phase;
    keys.phaseStart = number;
    ++m_reader.m_stats.keyUpdates;
    return true;
}

void QuicConnection::Followed(const Packet& packet) {
    const bool fromServer = packet.direction == Direction::ToClient;
    if (fromServer)
        m_serverSeen = true;
    // The server's own ID, which the client's packets carry from now on.
    if (fromServer && packet.longHeader && !m_serverIdKnown) {
        QuicLongHeader header;
        if (ParseLongHeader(packet.bytes, packet.size, header) == QuicHeaderResult::Packet) {
            m_serverIdKnown = true;
            if (IsKnownQuicVersion(header.version) && packet.type != QuicPacketType::ZeroRtt)
                m_negotiated = header.version;
            if (header.source.size == 0)
                m_reader.AddEndpointRoute(m_server, *this, Direction::ToServer);
            else
                m_reader.AddRoute(header.source, *this, Direction::ToServer);
        }
    }
    // An authentic packet from another address or port: that side moved there.
    Endpoint& sender = fromServer ? m_server : m_client;
    if (packet.source == sender)
        return;
    ++m_reader.m_stats.migrations;
    const Endpoint old = sender;
    sender = packet.source;
    // A side that uses no connection ID is found by its address and port.
    for (Endpoint& endpoint : m_endpointIds) {
        if (endpoint == old) {
            m_reader.DropEndpointRoute(old, *this);
            m_reader.AddEndpointRoute(sender, *this, fromServer ? Direction::ToServer
                                                                : Direction::ToClient);
            break;
        }
    }
}

QuicConnection::Outcome QuicConnection::Enqueue(const Packet& packet) {
    const std::size_t cost = packet.size + kWaitingPacketCost;
    if (m_waitingBytes + cost > m_reader.m_limits.maxWaitingBytes || !m_waitingHold.Grow(cost)) {
        GiveUpWaiting();
        return Outcome::Dropped;
    }
    const bool first = m_waiting.empty();
    WaitingPacket waiting;
    waiting.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(packet.size);
    std::memcpy(waiting.bytes.get(), packet.bytes, packet.size);
    waiting.packet = packet;
    waiting.packet.bytes = waiting.bytes.get();
    m_waiting.push_back(std::move(waiting));
    m_waitingBytes += cost;
    ++m_reader.m_stats.waited;
    if (first) {
        m_waitingSince = std::chrono::steady_clock::now();
        // The browser writes a connection's secrets while its handshake runs: the key log
        // most likely holds them already.
        if (m_reader.m_sink.OnKeysWanted())
            m_reader.KeysChanged();
    }
    return Outcome::Waiting;
}

void QuicConnection::Replay() {
    if (m_replaying)
        return;
    m_replaying = true;
    while (!m_waiting.empty() && !m_ended) {
        m_tryWaiting = false;
        const Outcome outcome = Open(m_waiting.front().packet, true);
        if (outcome == Outcome::Waiting)
            break;
        // Gone already when the connection ended while opening it.
        if (m_waiting.empty())
            break;
        m_waitingBytes -= m_waiting.front().packet.size + kWaitingPacketCost;
        m_waitingHold.Shrink(m_waiting.front().packet.size + kWaitingPacketCost);
        m_waiting.pop_front();
    }
    m_tryWaiting = false;
    m_replaying = false;
}

void QuicConnection::KeysChanged() {
    if (!m_ended && !m_waiting.empty())
        Replay();
}

void QuicConnection::GiveUpWaiting() {
    if (m_ended)
        return;
    // Packets whose connection named its secrets, which the key log never gave.
    if (m_randomKnown && m_suiteKnown)
        ++m_reader.m_stats.unopened;
    End();
}

QuicConnection::KeyState QuicConnection::InitialKeysFor(std::uint32_t version, Direction direction,
                                                        QuicKeys*& keys) {
    for (auto& slot : m_initial) {
        if (slot && slot->version == version) {
            keys = &slot->keys[DirectionIndex(direction)];
            return KeyState::Ready;
        }
    }
    if (m_handshakeDropped || !IsKnownQuicVersion(version))
        return KeyState::Never;
    auto& slot = m_initial[0] ? m_initial[1] : m_initial[0];
    slot = std::make_unique<InitialKeys>();
    slot->version = version;
    TlsSecret client;
    TlsSecret server;
    if (!QuicInitialSecrets(version, m_initialId.bytes, m_initialId.size, client, server) ||
        !SetQuicKeys(slot->keys[0], kQuicInitialSuite, version, client) ||
        !SetQuicKeys(slot->keys[1], kQuicInitialSuite, version, server)) {
        slot.reset();
        return KeyState::Never;
    }
    keys = &slot->keys[DirectionIndex(direction)];
    return KeyState::Ready;
}

QuicConnection::KeyState QuicConnection::FindSecret(TlsSecretKind kind, TlsSecret& secret) {
    if (!m_randomKnown || !m_suiteKnown)
        return KeyState::Wait;
    if (!m_reader.m_keyLog.Find(m_random, kind, secret))
        return KeyState::Wait;
    // A secret of another hash than the suite's opens nothing.
    return secret.Size() == TlsHashSize(m_suite) ? KeyState::Ready : KeyState::Never;
}

QuicConnection::KeyState QuicConnection::HandshakeKeysFor(std::uint32_t version,
                                                          Direction direction, QuicKeys*& keys) {
    if (m_handshakeDropped)
        return KeyState::Never;
    const int side = DirectionIndex(direction);
    auto& slot = m_handshake[side];
    if (slot && m_handshakeVersion[side] == version) {
        keys = slot.get();
        return KeyState::Ready;
    }
    TlsSecret secret;
    KeyState state = FindSecret(direction == Direction::ToServer
                                    ? TlsSecretKind::ClientHandshakeTraffic
                                    : TlsSecretKind::ServerHandshakeTraffic,
                                secret);
    if (state == KeyState::Wait && m_randomKnown && m_suiteKnown) {
        // Without them, but with the 1-RTT ones: the streams need no handshake packets.
        TlsSecret later;
        if (m_reader.m_keyLog.Find(m_random, TlsSecretKind::ClientTraffic0, later))
            state = KeyState::Never;
    }
    if (state != KeyState::Ready)
        return state;
    slot = std::make_unique<QuicKeys>();
    if (!SetQuicKeys(*slot, m_suite, version, secret)) {
        slot.reset();
        return KeyState::Never;
    }
    m_handshakeVersion[side] = version;
    keys = slot.get();
    return KeyState::Ready;
}

QuicConnection::KeyState QuicConnection::EarlyKeysFor(std::uint32_t version, QuicKeys*& keys) {
    if (m_early && m_earlyVersion == version) {
        keys = m_early.get();
        return KeyState::Ready;
    }
    TlsSecret secret;
    KeyState state = FindSecret(TlsSecretKind::ClientEarlyTraffic, secret);
    if (state == KeyState::Wait && m_randomKnown && m_suiteKnown) {
        // A client that logs no early secret must not hold its 1-RTT packets back: the
        // requests of refused early data come again in 1-RTT.
        TlsSecret later;
        if (m_reader.m_keyLog.Find(m_random, TlsSecretKind::ClientTraffic0, later))
            state = KeyState::Never;
    }
    if (state != KeyState::Ready)
        return state;
    m_early = std::make_unique<QuicKeys>();
    if (!SetQuicKeys(*m_early, m_suite, version, secret)) {
        m_early.reset();
        return KeyState::Never;
    }
    m_earlyVersion = version;
    keys = m_early.get();
    return KeyState::Ready;
}

QuicConnection::KeyState QuicConnection::ApplicationKeysFor(Direction direction,
                                                            ApplicationKeys*& keys) {
    auto& slot = m_application[DirectionIndex(direction)];
    if (slot) {
        keys = slot.get();
        return KeyState::Ready;
    }
    TlsSecret secret;
    const KeyState state = FindSecret(direction == Direction::ToServer
                                          ? TlsSecretKind::ClientTraffic0
                                          : TlsSecretKind::ServerTraffic0,
                                      secret);
    if (state != KeyState::Ready)
        return state;
    auto made = std::make_unique<ApplicationKeys>();
    made->current = std::make_unique<QuicPayloadKey>();
    if (!SetQuicHeaderKey(made->header, m_suite, m_negotiated, secret) ||
        !SetQuicPayloadKey(*made->current, m_suite, m_negotiated, secret))
        return KeyState::Never;
    made->secret = secret;
    slot = std::move(made);
    keys = slot.get();
    return KeyState::Ready;
}

void QuicConnection::ProcessFrames(const Packet& packet, const std::uint8_t* payload,
                                   std::size_t size) {
    const Direction direction = packet.direction;
    const bool application =
        !packet.longHeader || packet.type == QuicPacketType::ZeroRtt;
    const Space space = !packet.longHeader || packet.type == QuicPacketType::ZeroRtt
                            ? kApplicationSpace
                        : packet.type == QuicPacketType::Initial ? kInitialSpace
                                                                 : kHandshakeSpace;
    QuicBytes in(payload, size);
    QuicFrame frame;
    while (!m_ended && NextQuicFrame(in, frame) == QuicFrameResult::Frame) {
        switch (frame.kind) {
            case QuicFrameKind::Crypto:
                CryptoData(space, direction, frame.offset, frame.data, frame.size);
                break;
            case QuicFrameKind::Stream:
                if (application)
                    StreamData(direction, frame);
                break;
            case QuicFrameKind::ResetStream:
                if (application)
                    StreamReset(direction, frame.streamId);
                break;
            case QuicFrameKind::NewConnectionId:
                // The sender's new ID: the packets of the other side will carry it.
                if (application && m_ids.size() < 64)
                    m_reader.AddRoute(frame.connectionId, *this, Opposite(direction));
                break;
            case QuicFrameKind::ConnectionClose:
                m_closing = true;
                break;
            case QuicFrameKind::HandshakeDone:
                if (direction == Direction::ToClient && !packet.longHeader)
                    DropHandshakeKeys();
                break;
            default:
                break;
        }
    }
}

void QuicConnection::DropHandshakeKeys() {
    // The handshake is confirmed: no Initial or Handshake packet is needed any more.
    m_handshakeDropped = true;
    for (auto& slot : m_initial) slot.reset();
    for (auto& slot : m_handshake) slot.reset();
    m_early.reset();
    for (auto& stream : m_handshakeStreams) stream.reset();
}

void QuicConnection::CryptoData(Space space, Direction direction, std::uint64_t offset,
                                const std::uint8_t* data, std::size_t size) {
    // What is read: the ClientHello, the ServerHello and the server's EncryptedExtensions.
    int index = -1;
    if (space == kInitialSpace)
        index = direction == Direction::ToServer ? 0 : 1;
    else if (space == kHandshakeSpace && direction == Direction::ToClient)
        index = 2;
    if (index < 0)
        return;
    // Chromium scatters its ClientHello over several Initial packets and frames, in any order.
    if (index == 0 && size > 0)
        m_helloStarted = true;
    auto& stream = m_handshakeStreams[index];
    if (!stream) {
        if (m_handshakeDropped)
            return;
        stream = std::make_unique<HandshakeStream>(m_reader.m_budget);
    }
    if (stream->done)
        return;
    const auto result = stream->bytes.Take(
        offset, data, size, kMaxQuicHandshakeMessage,
        [&](const std::uint8_t* bytes, std::size_t length, std::uint64_t) {
            return HandshakeBytes(index, bytes, length);
        });
    if (result != QuicOrderedBytes::Result::Taken) {
        stream->done = true;
        stream->bytes.Clear();
    }
}

bool QuicConnection::HandshakeBytes(int index, const std::uint8_t* data, std::size_t size) {
    HandshakeStream& stream = *m_handshakeStreams[index];
    while (size > 0 && !stream.done) {
        if (stream.headerHave < 4) {
            const std::size_t take = std::min(size, 4 - stream.headerHave);
            std::memcpy(stream.header + stream.headerHave, data, take);
            stream.headerHave += take;
            data += take;
            size -= take;
            if (stream.headerHave < 4)
                break;
            stream.remaining = static_cast<std::size_t>(stream.header[1]) << 16 |
                               static_cast<std::size_t>(stream.header[2]) << 8 | stream.header[3];
            if (stream.remaining > kMaxQuicHandshakeMessage || !stream.hold.Resize(stream.remaining))
                return false;
            stream.message.clear();
            stream.message.reserve(stream.remaining);
        }
        const std::size_t take = std::min(size, stream.remaining - stream.message.size());
        stream.message.append(reinterpret_cast<const char*>(data), take);
        data += take;
        size -= take;
        if (stream.message.size() < stream.remaining)
            break;
        const bool keepGoing = HandshakeMessage(
            index, stream.header[0], reinterpret_cast<const std::uint8_t*>(stream.message.data()),
            stream.message.size());
        stream.headerHave = 0;
        std::string().swap(stream.message);
        stream.hold.Resize(0);
        if (!keepGoing)
            stream.done = true;
    }
    return true;
}

bool QuicConnection::HandshakeMessage(int index, std::uint8_t type, const std::uint8_t* body,
                                      std::size_t size) {
    switch (index) {
        case 0:  // the client's Initial: its (first) ClientHello is all we need
            if (type == kTlsClientHello && ParseClientHello(body, size)) {
                m_tryWaiting = true;
                return false;
            }
            return type != kTlsClientHello;
        case 1: {  // the server's Initial: a HelloRetryRequest, then the ServerHello
            if (type != kTlsServerHello)
                return true;
            bool helloRetry = false;
            if (!ParseServerHello(body, size, helloRetry))
                return false;
            if (helloRetry)
                return true;
            m_tryWaiting = true;
            return false;
        }
        default:  // the server's Handshake: EncryptedExtensions come first
            if (type == kTlsEncryptedExtensions)
                ParseEncryptedExtensions(body, size);
            return false;
    }
}

bool QuicConnection::ParseClientHello(const std::uint8_t* body, std::size_t size) {
    TlsClientHello hello;
    if (!ReadClientHello(body, size, hello))
        return false;
    m_random = hello.random;
    m_randomKnown = true;
    m_serverName = std::move(hello.serverName);
    m_offeredAlpn = std::move(hello.alpn);
    return true;
}

bool QuicConnection::ParseServerHello(const std::uint8_t* body, std::size_t size,
                                      bool& helloRetry) {
    TlsServerHello hello;
    if (!ReadServerHello(body, size, hello))
        return false;
    helloRetry = hello.helloRetry;
    if (helloRetry)
        return true;
    // QUIC runs over TLS 1.3 only.
    const std::optional<TlsSuite> suite = FindTlsSuite(hello.suite, kTls13);
    if (hello.version != kTls13 || !suite)
        return false;
    m_suite = *suite;
    m_suiteKnown = true;
    return true;
}

bool QuicConnection::ParseEncryptedExtensions(const std::uint8_t* body, std::size_t size) {
    TlsEncryptedExtensions extensions;
    if (!ReadEncryptedExtensions(body, size, extensions))
        return false;
    m_alpn = std::move(extensions.alpn);
    return true;
}

bool QuicConnection::Closed(std::uint64_t id) const {
    const std::uint64_t number = id >> 2;
    const int type = static_cast<int>(id & 3);
    return number < m_closedBelow[type] || m_closedAbove[type].count(number) != 0;
}

void QuicConnection::Finish(std::uint64_t id) {
    if (m_lastStreamId == id)
        m_lastStream = nullptr;
    const auto found = m_streams.find(id);
    if (found != m_streams.end()) {
        m_streamHeld -= found->second->toServer.bytes.Held() + found->second->toClient.bytes.Held();
        m_streams.erase(found);
        m_hold.Shrink(kQuicStreamCost);
    }
    const std::uint64_t number = id >> 2;
    const int type = static_cast<int>(id & 3);
    auto& above = m_closedAbove[type];
    if (number < m_closedBelow[type])
        return;
    above.insert(number);
    while (!above.empty() && *above.begin() == m_closedBelow[type]) {
        above.erase(above.begin());
        ++m_closedBelow[type];
    }
    // Bounded: past it the lowest open ones count as done too (a stream still in the table is
    // never taken for done).
    while (above.size() > 4096) {
        m_closedBelow[type] = *above.begin() + 1;
        above.erase(above.begin());
    }
}

QuicConnection::Stream* QuicConnection::FindStream(std::uint64_t id, Direction direction,
                                                   bool create) {
    // Unidirectional streams carry the bytes of the side that opened them only.
    const bool unidirectional = (id & 2) != 0;
    const Direction opener = (id & 1) == 0 ? Direction::ToServer : Direction::ToClient;
    if (unidirectional && direction != opener)
        return nullptr;
    if (m_lastStream != nullptr && m_lastStreamId == id)
        return m_lastStream;
    const auto found = m_streams.find(id);
    if (found != m_streams.end()) {
        m_lastStreamId = id;
        m_lastStream = found->second.get();
        return m_lastStream;
    }
    if (!create || Closed(id))
        return nullptr;
    if (m_streams.size() >= m_reader.m_limits.maxStreams || !m_hold.Grow(kQuicStreamCost)) {
        ++m_reader.m_stats.streamsGivenUp;
        if (m_handler && !m_handlerGaveUp)
            m_handler->OnStreamReset(id, direction);
        Finish(id);
        return nullptr;
    }
    auto stream = std::make_unique<Stream>(m_reader.m_budget);
    if (unidirectional)
        stream->Side(Opposite(opener)).done = true;
    m_lastStreamId = id;
    m_lastStream = stream.get();
    return m_streams.emplace(id, std::move(stream)).first->second.get();
}

bool QuicConnection::HaveHandler() {
    if (!m_handlerAsked) {
        m_handlerAsked = true;
        QuicConnectionInfo info;
        info.clientAddress = m_client.address;
        info.clientPort = m_client.port;
        info.serverAddress = m_server.address;
        info.serverPort = m_server.port;
        info.version = m_negotiated;
        info.serverName = m_serverName;
        info.offeredAlpn = m_offeredAlpn;
        info.alpn = m_alpn;
        m_handler = m_reader.m_sink.OnQuicConnection(info);
        if (m_handler)
            ++m_reader.m_stats.handled;
    }
    return m_handler && !m_handlerGaveUp;
}

bool QuicConnection::Deliver(std::uint64_t id, Direction direction, const std::uint8_t* data,
                             std::size_t size, bool fin) {
    if (m_handlerGaveUp)
        return false;
    if (!m_handler->OnStreamData(id, direction, data, size, fin)) {
        m_handlerGaveUp = true;
        return false;
    }
    return true;
}

void QuicConnection::StreamData(Direction direction, const QuicFrame& frame) {
    if (!HaveHandler())
        return;
    const std::uint64_t id = frame.streamId;
    Stream* stream = FindStream(id, direction, true);
    if (stream == nullptr)
        return;
    StreamSide& side = stream->Side(direction);
    if (side.done)
        return;
    const std::uint64_t end = frame.offset + frame.size;
    if (frame.fin && side.finalSize == ~std::uint64_t{0} && end >= side.bytes.Next())
        side.finalSize = end;
    // Nothing past the final size counts.
    std::size_t size = frame.size;
    if (side.finalSize != ~std::uint64_t{0}) {
        if (frame.offset >= side.finalSize)
            size = 0;
        else if (end > side.finalSize)
            size = static_cast<std::size_t>(side.finalSize - frame.offset);
    }
    auto result = QuicOrderedBytes::Result::Taken;
    if (size != 0) {
        const std::size_t heldBefore = side.bytes.Held();
        const std::size_t room = m_reader.m_limits.maxHeldBytes > m_streamHeld
                                     ? m_reader.m_limits.maxHeldBytes - m_streamHeld
                                     : 0;
        result = side.bytes.Take(
            frame.offset, frame.data, size, heldBefore + room,
            [&](const std::uint8_t* data, std::size_t length, std::uint64_t at) {
                const bool fin = at == side.finalSize;
                if (fin)
                    side.done = true;
                return Deliver(id, direction, data, length, fin);
            });
        m_streamHeld = m_streamHeld - heldBefore + side.bytes.Held();
    }
    if (result == QuicOrderedBytes::Result::Refused) {
        ++m_reader.m_stats.streamsGivenUp;
        side.done = true;
        m_streamHeld -= side.bytes.Held();
        side.bytes.Clear();
        if (!m_handlerGaveUp)
            m_handler->OnStreamReset(id, direction);
    } else if (result == QuicOrderedBytes::Result::Taken && !side.done &&
               side.bytes.Next() == side.finalSize) {
        // A FIN that comes alone, after the last byte.
        side.done = true;
        Deliver(id, direction, kNoBytes, 0, true);
    }
    if (stream->toServer.done && stream->toClient.done)
        Finish(id);
}

void QuicConnection::StreamReset(Direction direction, std::uint64_t id) {
    if (!HaveHandler())
        return;
    Stream* stream = FindStream(id, direction, true);
    if (stream == nullptr)
        return;
    StreamSide& side = stream->Side(direction);
    if (!side.done) {
        side.done = true;
        m_streamHeld -= side.bytes.Held();
        side.bytes.Clear();
        if (!m_handlerGaveUp)
            m_handler->OnStreamReset(id, direction);
    }
    if (stream->toServer.done && stream->toClient.done)
        Finish(id);
}

void QuicConnection::Retry(const QuicLongHeader& header, const std::uint8_t* data,
                           std::size_t size) {
    // A client takes one Retry, before anything else of the server, of the version it tried.
    if (m_ended || m_retried || m_serverSeen || header.version != m_version ||
        size < AeadKey::kTagSize)
        return;
    std::uint8_t tag[AeadKey::kTagSize];
    if (!QuicRetryTag(header.version, m_originalId.bytes, m_originalId.size, data,
                      size - AeadKey::kTagSize, tag) ||
        std::memcmp(tag, data + size - AeadKey::kTagSize, AeadKey::kTagSize) != 0)
        return;
    m_retried = true;
    ++m_reader.m_stats.retries;
    // The client's next Initial goes to the ID the server chose, and its keys come from it.
    m_initialId = header.source;
    for (auto& slot : m_initial) slot.reset();
    if (header.source.size != 0)
        m_reader.AddRoute(header.source, *this, Direction::ToServer);
}

bool QuicConnection::VersionNegotiation(const std::uint8_t* data, std::size_t size,
                                        const QuicLongHeader& header) const {
    if (m_ended || m_serverSeen)
        return false;
    // A list that holds the version tried is no answer to it.
    const std::size_t versionsAt =
        1 + 4 + 1 + header.destination.size + 1 + header.source.size;
    for (std::size_t at = versionsAt; at + 4 <= size; at += 4) {
        const std::uint32_t version = static_cast<std::uint32_t>(data[at]) << 24 |
                                      static_cast<std::uint32_t>(data[at + 1]) << 16 |
                                      static_cast<std::uint32_t>(data[at + 2]) << 8 |
                                      data[at + 3];
        if (version == m_version)
            return false;
    }
    return true;
}

void QuicConnection::End() {
    if (m_ended)
        return;
    m_ended = true;
    m_endedAt = m_lastSeen;
    if (m_handler)
        m_handler->OnEnd();
    Release();
}

void QuicConnection::Release() {
    m_handler.reset();
    m_lastStream = nullptr;
    m_streams.clear();
    for (auto& set : m_closedAbove) set.clear();
    m_streamHeld = 0;
    m_waiting.clear();
    m_waitingBytes = 0;
    m_waitingHold.Resize(0);
    for (auto& slot : m_initial) slot.reset();
    for (auto& slot : m_handshake) slot.reset();
    m_early.reset();
    for (auto& slot : m_application) slot.reset();
    for (auto& stream : m_handshakeStreams) stream.reset();
    m_hold.Resize(sizeof(QuicConnection));
}
