#include "support/QuicTraffic.h"

#include <cstring>
#include <deque>

#include "quic/QuicWire.h"
#include "support/FrameBuilder.h"

namespace {

using Bytes = std::string;

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<std::uint8_t> RandomBytes(std::uint64_t& state, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(SplitMix(state));
    return bytes;
}

void PutVarint(Bytes& out, std::uint64_t value) {
    std::uint8_t bytes[8];
    const std::size_t size = PutQuicVarint(bytes, value);
    out.append(reinterpret_cast<const char*>(bytes), size);
}

void PutNumber(Bytes& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i)
        out.push_back(static_cast<char>(value >> (8 * (width - 1 - i))));
}

void PutBytes(Bytes& out, const std::vector<std::uint8_t>& bytes) {
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// A TLS vector: its length in `width` bytes, then `body`.
Bytes Vector(std::size_t width, const Bytes& body) {
    Bytes out;
    PutNumber(out, body.size(), width);
    return out + body;
}

Bytes Extension(std::uint16_t type, const Bytes& body) {
    Bytes out;
    PutNumber(out, type, 2);
    return out + Vector(2, body);
}

Bytes HandshakeMessage(std::uint8_t type, const Bytes& body) {
    Bytes out(1, static_cast<char>(type));
    PutNumber(out, body.size(), 3);
    return out + body;
}

// A QPACK integer with an N-bit prefix whose other bits are `first`.
void PutPrefixed(Bytes& out, std::uint8_t first, int bits, std::uint64_t value) {
    const std::uint64_t limit = (1u << bits) - 1;
    if (value < limit) {
        out.push_back(static_cast<char>(first | value));
        return;
    }
    out.push_back(static_cast<char>(first | limit));
    value -= limit;
    while (value >= 128) {
        out.push_back(static_cast<char>(0x80 | (value & 0x7F)));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

// A field line naming a static table entry's name, with a literal value (no Huffman).
void PutLiteral(Bytes& out, std::uint64_t nameIndex, const std::string& value) {
    PutPrefixed(out, 0x50, 4, nameIndex);
    PutPrefixed(out, 0x00, 7, value.size());
    out += value;
}

Bytes Http3Frame(std::uint64_t type, const Bytes& payload) {
    Bytes out;
    PutVarint(out, type);
    PutVarint(out, payload.size());
    return out + payload;
}

Bytes CryptoFrame(std::uint64_t offset, const Bytes& data) {
    Bytes out(1, 0x06);
    PutVarint(out, offset);
    PutVarint(out, data.size());
    return out + data;
}

Bytes StreamFrame(std::uint64_t id, std::uint64_t offset, const Bytes& data, bool fin) {
    Bytes out(1, static_cast<char>(0x0E | (fin ? 0x01 : 0x00)));  // offset and length fields
    PutVarint(out, id);
    PutVarint(out, offset);
    PutVarint(out, data.size());
    return out + data;
}

Bytes AckFrame(std::uint64_t largest) {
    Bytes out(1, 0x02);
    PutVarint(out, largest);
    PutVarint(out, 0);  // delay
    PutVarint(out, 0);  // no more ranges
    PutVarint(out, largest);
    return out;
}

std::string HexText(const std::uint8_t* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 15]);
    }
    return text;
}

}  // namespace

struct QuicConversation::State {
    enum Space { kInitial = 0, kHandshake = 1, kApplication = 2 };
    struct Sender {
        QuicKeys initial;
        QuicKeys handshake;
        QuicHeaderKey header;  // 1-RTT
        QuicPayloadKey payload;
        TlsSecret secret;
        bool phase = false;
        std::size_t sent = 0;  // 1-RTT packets
        std::uint64_t number[3] = {};
    };
    // What the server sends on one request stream: its response.
    struct Response {
        std::uint64_t id = 0;
        Bytes head;  // HEADERS frame and the DATA frame's header
        std::string bodyStart;
        std::uint64_t bodySize = 0;  // all of the body
        std::uint64_t sent = 0;      // stream bytes sent
        std::uint64_t random = 0;
        std::uint64_t Total() const { return head.size() + bodySize; }
    };

    QuicConnectionPlan plan;
    std::uint64_t random;
    std::vector<std::uint8_t> originalId, clientId, serverId, retryId, movedServerId;
    TlsClientRandom clientRandom{};
    TlsSecret clientHandshake, serverHandshake, client0, server0, early;
    Sender client;
    Sender server;
    QuicKeys earlyKeys;
    std::vector<Response> responses;
    std::size_t responding = 0;
    std::size_t serverPackets = 0;
    std::size_t sinceAck = 0;
    std::uint16_t clientPort = 0;
    bool moved = false;
    bool closed = false;
    int step = 0;
    std::deque<QuicDatagramOut> queue;

    explicit State(const QuicConnectionPlan& p) : plan(p), random(p.seed * 0x9E37 + 1) {
        originalId = RandomBytes(random, 8);
        clientId = RandomBytes(random, plan.clientIdSize);
        serverId = RandomBytes(random, plan.serverIdSize);
        retryId = RandomBytes(random, 8);
        movedServerId = RandomBytes(random, plan.serverIdSize == 0 ? 8 : plan.serverIdSize);
        const auto randomBytes = RandomBytes(random, 32);
        std::memcpy(clientRandom.data(), randomBytes.data(), 32);
        const std::size_t hash = TlsHashSize(plan.suite);
        const auto secret = [&] {
            const auto bytes = RandomBytes(random, hash);
            return TlsSecret(bytes.data(), bytes.size());
        };
        clientHandshake = secret();
        serverHandshake = secret();
        client0 = secret();
        server0 = secret();
        early = secret();
        clientPort = plan.clientPort;
        InstallInitial(originalId);
        SetQuicKeys(client.handshake, plan.suite, plan.version, clientHandshake,
                    AeadKey::Use::Seal);
        SetQuicKeys(server.handshake, plan.suite, plan.version, serverHandshake,
                    AeadKey::Use::Seal);
        SetQuicKeys(earlyKeys, plan.suite, plan.version, early, AeadKey::Use::Seal);
        for (Sender* sender : {&client, &server}) {
            sender->secret = sender == &client ? client0 : server0;
            SetQuicHeaderKey(sender->header, plan.suite, plan.version, sender->secret);
            SetQuicPayloadKey(sender->payload, plan.suite, plan.version, sender->secret,
                              AeadKey::Use::Seal);
        }
        for (std::size_t i = 0; i < plan.exchanges.size(); ++i) {
            const QuicExchangePlan& exchange = plan.exchanges[i];
            Response response;
            response.id = 4 * i;
            Bytes fields("\x00\x00", 2);  // no dynamic table
            if (exchange.status == 200) {
                fields.push_back(static_cast<char>(0xD9));  // :status 200
            } else {
                PutLiteral(fields, 24, std::to_string(exchange.status));
            }
            if (!exchange.contentType.empty())
                PutLiteral(fields, 44, exchange.contentType);
            response.bodySize = exchange.bodyStart.size() + exchange.bodySize;
            if (exchange.contentLength)
                PutLiteral(fields, 4,
                           std::to_string(exchange.claimedLength != 0 ? exchange.claimedLength
                                                                      : response.bodySize));
            response.head = Http3Frame(0x01, fields);
            PutVarint(response.head, 0x00);
            PutVarint(response.head, response.bodySize);
            response.bodyStart = exchange.bodyStart;
            response.random = SplitMix(random);
            responses.push_back(std::move(response));
        }
    }

    void InstallInitial(const std::vector<std::uint8_t>& id) {
        TlsSecret clientSecret;
        TlsSecret serverSecret;
        QuicInitialSecrets(plan.version, id.data(), id.size(), clientSecret, serverSecret);
        SetQuicKeys(client.initial, kQuicInitialSuite, plan.version, clientSecret,
                    AeadKey::Use::Seal);
        SetQuicKeys(server.initial, kQuicInitialSuite, plan.version, serverSecret,
                    AeadKey::Use::Seal);
    }

    const std::vector<std::uint8_t>& ServerIdNow() const { return moved ? movedServerId : serverId; }

    QuicDatagramOut Datagram(Direction direction) const {
        QuicDatagramOut datagram;
        datagram.direction = direction;
        const bool toServer = direction == Direction::ToServer;
        datagram.source = toServer ? plan.clientAddress : plan.serverAddress;
        datagram.destination = toServer ? plan.serverAddress : plan.clientAddress;
        datagram.sourcePort = toServer ? clientPort : plan.serverPort;
        datagram.destinationPort = toServer ? plan.serverPort : clientPort;
        return datagram;
    }

    void Append(QuicDatagramOut& datagram, const std::vector<std::uint8_t>& packet) {
        datagram.bytes.insert(datagram.bytes.end(), packet.begin(), packet.end());
    }

    std::vector<std::uint8_t> Long(QuicPacketType type, Direction direction, Bytes payload,
                                   const std::vector<std::uint8_t>& destination,
                                   const std::vector<std::uint8_t>& token = {},
                                   std::size_t padTo = 0) {
        Sender& sender = direction == Direction::ToServer ? client : server;
        const Space space = type == QuicPacketType::Initial     ? kInitial
                            : type == QuicPacketType::Handshake ? kHandshake
                                                                : kApplication;
        QuicKeys& keys = type == QuicPacketType::Initial     ? sender.initial
                         : type == QuicPacketType::Handshake ? sender.handshake
                                                             : earlyKeys;
        const std::vector<std::uint8_t>& source =
            direction == Direction::ToServer ? clientId : serverId;
        Bytes header;
        header.push_back(static_cast<char>(0xC0 | LongHeaderTypeBits(plan.version, type) | 0x03));
        PutNumber(header, plan.version, 4);
        header.push_back(static_cast<char>(destination.size()));
        PutBytes(header, destination);
        header.push_back(static_cast<char>(source.size()));
        PutBytes(header, source);
        if (type == QuicPacketType::Initial) {
            PutVarint(header, token.size());
            PutBytes(header, token);
        }
        // A client's datagram with an Initial is at least 1200 bytes: padding frames.
        const std::size_t fixed = header.size() + 2 + 4 + AeadKey::kTagSize;
        if (fixed + payload.size() < padTo)
            payload.append(padTo - fixed - payload.size(), '\0');
        std::uint8_t length[8];
        PutQuicVarint(length, 4 + payload.size() + AeadKey::kTagSize, 2);
        header.append(reinterpret_cast<const char*>(length), 2);
        const std::size_t numberOffset = header.size();
        const std::uint64_t number = sender.number[space]++;
        PutNumber(header, number, 4);
        std::vector<std::uint8_t> packet(header.begin(), header.end());
        packet.insert(packet.end(), payload.begin(), payload.end());
        packet.resize(packet.size() + AeadKey::kTagSize);
        SealQuicPacket(keys, packet.data(), numberOffset, 4, number, payload.size());
        return packet;
    }

    std::vector<std::uint8_t> Short(Direction direction, Bytes payload) {
        Sender& sender = direction == Direction::ToServer ? client : server;
        if (plan.keyUpdateEvery != 0 && sender.sent != 0 && sender.sent % plan.keyUpdateEvery == 0) {
            TlsSecret next;
            QuicNextSecret(plan.suite, plan.version, sender.secret, next);
            sender.secret = next;
            SetQuicPayloadKey(sender.payload, plan.suite, plan.version, sender.secret,
                              AeadKey::Use::Seal);
            sender.phase = !sender.phase;
        }
        ++sender.sent;
        if (payload.size() < 3)
            payload.append(3 - payload.size(), '\0');
        const std::vector<std::uint8_t>& destination =
            direction == Direction::ToServer ? ServerIdNow() : clientId;
        std::vector<std::uint8_t> packet;
        packet.push_back(static_cast<std::uint8_t>(0x41 | (sender.phase ? 0x04 : 0x00)));
        packet.insert(packet.end(), destination.begin(), destination.end());
        const std::size_t numberOffset = packet.size();
        const std::uint64_t number = sender.number[kApplication]++;
        packet.push_back(static_cast<std::uint8_t>(number >> 8));
        packet.push_back(static_cast<std::uint8_t>(number));
        packet.insert(packet.end(), payload.begin(), payload.end());
        packet.resize(packet.size() + AeadKey::kTagSize);
        std::uint8_t* bytes = packet.data();
        sender.payload.Seal(number, bytes, numberOffset + 2, bytes + numberOffset + 2,
                            payload.size(), bytes + numberOffset + 2);
        std::uint8_t mask[5];
        sender.header.Mask(bytes + numberOffset + 4, mask);
        bytes[0] ^= mask[0] & 0x1F;
        bytes[numberOffset] ^= mask[1];
        bytes[numberOffset + 1] ^= mask[2];
        return packet;
    }

    Bytes ClientHello() const {
        Bytes body;
        PutNumber(body, 0x0303, 2);
        body.append(reinterpret_cast<const char*>(clientRandom.data()), 32);
        body.push_back('\0');  // no session ID in QUIC
        Bytes suites;
        for (const std::uint16_t id : {0x1301, 0x1302, 0x1303}) PutNumber(suites, id, 2);
        body += Vector(2, suites);
        body += Bytes("\x01\x00", 2);
        Bytes name(1, '\0');
        name += Vector(2, plan.host);
        Bytes extensions = Extension(0, Vector(2, name));
        extensions += Extension(16, Vector(2, Bytes("\x02h3", 3)));
        extensions += Extension(43, Bytes("\x02\x03\x04", 3));
        extensions += Extension(10, Vector(2, Bytes("\x00\x1d", 2)));
        extensions += Extension(13, Vector(2, Bytes("\x04\x03", 2)));
        Bytes share("\x00\x1d", 2);
        share += Vector(2, Bytes(32, 'k'));
        extensions += Extension(51, Vector(2, share));
        if (plan.earlyData)
            extensions += Extension(42, "");
        Bytes parameters("\x0f", 1);
        parameters.push_back(static_cast<char>(clientId.size()));
        PutBytes(parameters, clientId);
        extensions += Extension(57, parameters);
        body += Vector(2, extensions);
        return HandshakeMessage(1, body);
    }

    Bytes ServerHello() const {
        Bytes body;
        PutNumber(body, 0x0303, 2);
        body.append(32, 's');
        body.push_back('\0');
        PutNumber(body, plan.suite.id, 2);
        body.push_back('\0');
        Bytes share("\x00\x1d", 2);
        share += Vector(2, Bytes(32, 'K'));
        body += Vector(2, Extension(43, Bytes("\x03\x04", 2)) + Extension(51, share));
        return HandshakeMessage(2, body);
    }

    Bytes EncryptedExtensions() const {
        Bytes parameters("\x00", 1);
        parameters.push_back(static_cast<char>(originalId.size()));
        PutBytes(parameters, originalId);
        parameters.push_back('\x0f');
        parameters.push_back(static_cast<char>(serverId.size()));
        PutBytes(parameters, serverId);
        Bytes extensions = Extension(16, Vector(2, Bytes("\x02h3", 3))) + Extension(57, parameters);
        if (plan.earlyData)
            extensions += Extension(42, "");
        return HandshakeMessage(8, Vector(2, extensions));
    }

    Bytes Finished() const { return HandshakeMessage(20, Bytes(TlsHashSize(plan.suite), 'f')); }

    // The client's streams: control, QPACK encoder and decoder, and the requests.
    Bytes ClientStreams() const {
        // SETTINGS: no dynamic table (QPACK_MAX_TABLE_CAPACITY 0).
        Bytes frames = StreamFrame(2, 0, Bytes(1, '\0') + Http3Frame(0x04, Bytes("\x01\x00", 2)), false);
        frames += StreamFrame(6, 0, Bytes(1, '\x02'), false);
        frames += StreamFrame(10, 0, Bytes(1, '\x03'), false);
        for (std::size_t i = 0; i < plan.exchanges.size(); ++i) {
            Bytes fields("\x00\x00\xD1\xD7", 4);  // :method GET, :scheme https
            PutLiteral(fields, 0, plan.host);
            PutLiteral(fields, 1, plan.exchanges[i].path);
            frames += StreamFrame(4 * i, 0, Http3Frame(0x01, fields), true);
        }
        return frames;
    }

    void Start() {
        QuicDatagramOut first = Datagram(Direction::ToServer);
        Append(first, Long(QuicPacketType::Initial, Direction::ToServer, CryptoFrame(0, ClientHello()),
                           originalId, {}, 1200));
        queue.push_back(std::move(first));
        std::vector<std::uint8_t> token;
        const std::vector<std::uint8_t>* initialTo = &originalId;
        if (plan.retry) {
            // Retry: a new ID to send to, a token, and the tag over the first ID.
            QuicDatagramOut retry = Datagram(Direction::ToClient);
            Bytes packet;
            packet.push_back(static_cast<char>(0xC0 | LongHeaderTypeBits(plan.version, QuicPacketType::Retry)));
            PutNumber(packet, plan.version, 4);
            packet.push_back(static_cast<char>(clientId.size()));
            PutBytes(packet, clientId);
            packet.push_back(static_cast<char>(retryId.size()));
            PutBytes(packet, retryId);
            packet += "retry-token";
            std::uint8_t tag[16];
            QuicRetryTag(plan.version, originalId.data(), originalId.size(),
                         reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size(), tag);
            packet.append(reinterpret_cast<const char*>(tag), 16);
            retry.bytes.assign(packet.begin(), packet.end());
            queue.push_back(std::move(retry));
            token.assign(11, 't');
            InstallInitial(retryId);
            initialTo = &retryId;
            QuicDatagramOut again = Datagram(Direction::ToServer);
            Append(again, Long(QuicPacketType::Initial, Direction::ToServer,
                               CryptoFrame(0, ClientHello()), retryId, token, 1200));
            queue.push_back(std::move(again));
        }
        if (plan.earlyData) {
            QuicDatagramOut zero = Datagram(Direction::ToServer);
            Append(zero, Long(QuicPacketType::ZeroRtt, Direction::ToServer, ClientStreams(), *initialTo));
            queue.push_back(std::move(zero));
        }
        QuicDatagramOut answer = Datagram(Direction::ToClient);
        Append(answer, Long(QuicPacketType::Initial, Direction::ToClient,
                            AckFrame(0) + CryptoFrame(0, ServerHello()), clientId));
        Append(answer, Long(QuicPacketType::Handshake, Direction::ToClient,
                            CryptoFrame(0, EncryptedExtensions() + Finished()), clientId));
        queue.push_back(std::move(answer));
        QuicDatagramOut finished = Datagram(Direction::ToServer);
        Append(finished, Long(QuicPacketType::Handshake, Direction::ToServer,
                              AckFrame(0) + CryptoFrame(0, Finished()), serverId));
        Bytes frames = plan.earlyData ? Bytes() : ClientStreams();
        Append(finished, Short(Direction::ToServer, frames.empty() ? AckFrame(0) : frames));
        queue.push_back(std::move(finished));
        // The server confirms the handshake, gives an ID to move to, opens its own streams.
        Bytes server1 = Bytes(1, '\x1e');
        if (plan.moveAfter != 0) {
            server1.push_back('\x18');
            PutVarint(server1, 1);
            PutVarint(server1, 0);
            server1.push_back(static_cast<char>(movedServerId.size()));
            PutBytes(server1, movedServerId);
            server1.append(16, 'r');
        }
        server1 += StreamFrame(3, 0, Bytes(1, '\0') + Http3Frame(0x04, Bytes("\x01\x00", 2)), false);
        server1 += StreamFrame(7, 0, Bytes(1, '\x02'), false);
        server1 += StreamFrame(11, 0, Bytes(1, '\x03'), false);
        QuicDatagramOut confirm = Datagram(Direction::ToClient);
        Append(confirm, Short(Direction::ToClient, server1));
        queue.push_back(std::move(confirm));
    }

    // Stream bytes of a response at its current offset, `size` of them.
    Bytes ResponseBytes(Response& response, std::size_t size) {
        Bytes bytes;
        bytes.reserve(size);
        while (bytes.size() < size) {
            const std::uint64_t at = response.sent + bytes.size();
            if (at < response.head.size()) {
                bytes.push_back(response.head[at]);
                continue;
            }
            const std::uint64_t bodyAt = at - response.head.size();
            if (bodyAt < response.bodyStart.size()) {
                bytes.push_back(response.bodyStart[bodyAt]);
                continue;
            }
            const std::uint64_t word = SplitMix(response.random);
            for (int i = 0; i < 8 && bytes.size() < size; ++i)
                bytes.push_back(static_cast<char>(word >> (8 * i)));
        }
        response.sent += size;
        return bytes;
    }

    void Step() {
        if (step == 0) {
            Start();
            step = 1;
            return;
        }
        if (closed)
            return;
        if (responding == responses.size()) {
            QuicDatagramOut close = Datagram(Direction::ToServer);
            Append(close, Short(Direction::ToServer, AckFrame(server.number[kApplication] - 1) +
                                                         Bytes("\x1c\x00\x00\x00", 4)));
            queue.push_back(std::move(close));
            closed = true;
            return;
        }
        // One full packet of answers.
        Bytes frames;
        while (responding < responses.size() && frames.size() + 32 < plan.packetPayload) {
            Response& response = responses[responding];
            const std::size_t room = plan.packetPayload - frames.size() - 24;
            // A HEADERS frame is not cut between packets (as servers send them, and as
            // analysers that reassemble no HTTP/3 frame read them).
            if (response.sent == 0 && room < response.head.size() + 1 && !frames.empty())
                break;
            const std::uint64_t left = response.Total() - response.sent;
            const std::size_t size = static_cast<std::size_t>(left < room ? left : room);
            const std::uint64_t offset = response.sent;
            frames += StreamFrame(response.id, offset, ResponseBytes(response, size),
                                  response.sent == response.Total());
            if (response.sent == response.Total())
                ++responding;
        }
        QuicDatagramOut data = Datagram(Direction::ToClient);
        Append(data, Short(Direction::ToClient, frames));
        queue.push_back(std::move(data));
        ++serverPackets;
        if (++sinceAck >= plan.ackEvery) {
            sinceAck = 0;
            if (plan.moveAfter != 0 && !moved && serverPackets >= plan.moveAfter) {
                moved = true;
                clientPort = static_cast<std::uint16_t>(clientPort + 1);
            }
            QuicDatagramOut ack = Datagram(Direction::ToServer);
            Append(ack, Short(Direction::ToServer, AckFrame(server.number[kApplication] - 1)));
            queue.push_back(std::move(ack));
        }
    }
};

QuicConversation::QuicConversation(const QuicConnectionPlan& plan)
    : m_state(std::make_unique<State>(plan)) {}

QuicConversation::~QuicConversation() = default;

bool QuicConversation::Next(QuicDatagramOut& datagram) {
    while (m_state->queue.empty() && !m_state->closed) m_state->Step();
    if (m_state->queue.empty())
        return false;
    datagram = std::move(m_state->queue.front());
    m_state->queue.pop_front();
    return true;
}

std::vector<QuicDatagramOut> QuicConversation::All() {
    std::vector<QuicDatagramOut> all;
    QuicDatagramOut datagram;
    while (Next(datagram)) all.push_back(std::move(datagram));
    return all;
}

std::string QuicConversation::KeyLogLines() const {
    const State& state = *m_state;
    const std::string random = HexText(state.clientRandom.data(), 32);
    std::string lines;
    const auto line = [&](const char* label, const TlsSecret& secret) {
        lines += std::string(label) + " " + random + " " + HexText(secret.Data(), secret.Size()) +
                 "\n";
    };
    if (state.plan.earlyData)
        line("CLIENT_EARLY_TRAFFIC_SECRET", state.early);
    line("CLIENT_HANDSHAKE_TRAFFIC_SECRET", state.clientHandshake);
    line("SERVER_HANDSHAKE_TRAFFIC_SECRET", state.serverHandshake);
    line("CLIENT_TRAFFIC_SECRET_0", state.client0);
    line("SERVER_TRAFFIC_SECRET_0", state.server0);
    return lines;
}

std::vector<std::uint8_t> QuicCaptureFrame(const QuicDatagramOut& datagram) {
    return BuildUdpFrame(datagram.source, datagram.destination, datagram.sourcePort,
                         datagram.destinationPort,
                         std::string_view(reinterpret_cast<const char*>(datagram.bytes.data()),
                                          datagram.bytes.size()));
}
