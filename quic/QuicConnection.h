// One QUIC connection as the reader follows it (quic/QuicReader): its keys at each level, the
// handshake messages that name its secrets, its streams put in order, the packets that wait
// for keys. Only the reader makes and drives connections.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "quic/QuicOrderedBytes.h"
#include "quic/QuicReader.h"
#include "tcp/BudgetHold.h"

class QuicConnection {
public:
    using Endpoint = QuicReader::Endpoint;

    // A packet as it stands in its datagram: `size` bytes from its first byte to its end.
    struct Packet {
        const std::uint8_t* bytes = nullptr;
        std::size_t size = 0;
        std::size_t numberOffset = 0;
        bool longHeader = false;
        QuicPacketType type = QuicPacketType::Initial;  // long headers
        std::uint32_t version = 0;                      // long headers
        Direction direction = Direction::ToServer;
        Endpoint source;
    };

    enum class Outcome : std::uint8_t { Opened, NotAuthentic, Waiting, Dropped };

    // What the budget holds for a connection: its own state and every key it may hold at once.
    static const std::size_t kCost;

    QuicConnection(QuicReader& reader, BudgetHold hold, const Endpoint& client,
                   const Endpoint& server, std::uint32_t version,
                   const QuicConnectionId& originalId, std::int64_t now);
    ~QuicConnection();
    QuicConnection(const QuicConnection&) = delete;
    QuicConnection& operator=(const QuicConnection&) = delete;

    Outcome Handle(const Packet& packet, std::int64_t now);
    // A Retry to the client; its integrity tag is checked here.
    void Retry(const QuicLongHeader& header, const std::uint8_t* data, std::size_t size);
    // A Version Negotiation to the client: true when it ends the attempt (no packet of the
    // server came before, and the list leaves out the version the client tried).
    bool VersionNegotiation(const std::uint8_t* data, std::size_t size,
                            const QuicLongHeader& header) const;
    void KeysChanged();
    // Gives up the packets that wait for keys, and the connection with them.
    void GiveUpWaiting();
    // Hands the end to the stream handler and lets go of everything but the entry.
    void End();

    // The client's Initial carried CRYPTO data (its ClientHello: the start of a connection).
    bool HelloStarted() const { return m_helloStarted; }
    bool Waiting() const { return !m_waiting.empty(); }
    std::chrono::steady_clock::time_point WaitingSince() const { return m_waitingSince; }
    bool Ended() const { return m_ended; }
    bool ServerSeen() const { return m_serverSeen; }
    std::uint32_t Version() const { return m_version; }
    std::int64_t LastSeen() const { return m_lastSeen; }
    std::int64_t EndedAt() const { return m_endedAt; }
    const Endpoint& Client() const { return m_client; }
    const Endpoint& Server() const { return m_server; }
    const std::vector<QuicConnectionId>& Ids() const { return m_ids; }
    const std::vector<Endpoint>& EndpointIds() const { return m_endpointIds; }
    // Its place in the reader's list.
    std::size_t m_index = 0;

private:
    friend class QuicReader;

    enum class KeyState : std::uint8_t { Ready, Wait, Never };
    // Packet number spaces; Initial and Handshake are the CRYPTO levels too.
    enum Space : std::uint8_t { kInitialSpace = 0, kHandshakeSpace = 1, kApplicationSpace = 2 };

    struct InitialKeys {
        std::uint32_t version = 0;
        QuicKeys keys[2];  // by direction
    };
    // 1-RTT keys of one direction: the header key stays, the payload key changes at each key
    // update. The previous key opens packets sent before the update that arrive after it.
    struct ApplicationKeys {
        QuicHeaderKey header;
        std::unique_ptr<QuicPayloadKey> current;
        std::unique_ptr<QuicPayloadKey> next;
        std::unique_ptr<QuicPayloadKey> previous;
        TlsSecret secret;      // of the current key
        TlsSecret nextSecret;  // of `next`, once made
        bool phase = false;
        std::uint64_t phaseStart = 0;  // the first packet number of the current phase
    };
    // The CRYPTO bytes of one level and direction, read as TLS handshake messages.
    struct HandshakeStream {
        explicit HandshakeStream(MemoryBudget& budget) : bytes(budget), hold(budget) {}
        QuicOrderedBytes bytes;
        std::uint8_t header[4] = {};
        std::size_t headerHave = 0;
        std::size_t remaining = 0;
        std::string message;
        BudgetHold hold;
        bool done = false;
    };
    struct StreamSide {
        explicit StreamSide(MemoryBudget& budget) : bytes(budget) {}
        QuicOrderedBytes bytes;
        std::uint64_t finalSize = ~std::uint64_t{0};  // not known yet
        bool done = false;
    };
    struct Stream {
        explicit Stream(MemoryBudget& budget) : toServer(budget), toClient(budget) {}
        StreamSide toServer;
        StreamSide toClient;
        StreamSide& Side(Direction direction) {
            return direction == Direction::ToServer ? toServer : toClient;
        }
    };
    struct WaitingPacket {
        std::unique_ptr<std::uint8_t[]> bytes;
        Packet packet;
    };

    Outcome Open(const Packet& packet, bool fromQueue);
    Outcome Enqueue(const Packet& packet);
    void Replay();
    KeyState InitialKeysFor(std::uint32_t version, Direction direction, QuicKeys*& keys);
    KeyState HandshakeKeysFor(std::uint32_t version, Direction direction, QuicKeys*& keys);
    KeyState EarlyKeysFor(std::uint32_t version, QuicKeys*& keys);
    KeyState ApplicationKeysFor(Direction direction, ApplicationKeys*& keys);
    // The key log's secret of `kind`: Ready when found and fit for the suite.
    KeyState FindSecret(TlsSecretKind kind, TlsSecret& secret);
    bool OpenApplication(ApplicationKeys& keys, std::uint8_t* header, std::size_t headerSize,
                         std::uint64_t number, const std::uint8_t* payload, std::size_t size,
                         std::uint8_t* out);
    void Followed(const Packet& packet);

    void ProcessFrames(const Packet& packet, const std::uint8_t* payload, std::size_t size);
    void CryptoData(Space space, Direction direction, std::uint64_t offset,
                    const std::uint8_t* data, std::size_t size);
    bool HandshakeBytes(int index, const std::uint8_t* data, std::size_t size);
    bool HandshakeMessage(int index, std::uint8_t type, const std::uint8_t* body,
                          std::size_t size);
    bool ParseClientHello(const std::uint8_t* body, std::size_t size);
    bool ParseServerHello(const std::uint8_t* body, std::size_t size, bool& helloRetry);
    bool ParseEncryptedExtensions(const std::uint8_t* body, std::size_t size);

    void StreamData(Direction direction, const QuicFrame& frame);
    void StreamReset(Direction direction, std::uint64_t id);
    Stream* FindStream(std::uint64_t id, Direction direction, bool create);
    bool Closed(std::uint64_t id) const;
    void Finish(std::uint64_t id);
    bool HaveHandler();
    bool Deliver(std::uint64_t id, Direction direction, const std::uint8_t* data, std::size_t size,
                 bool fin);
    void DropHandshakeKeys();
    void Release();

    QuicReader& m_reader;
    BudgetHold m_hold;
    BudgetHold m_waitingHold;
    Endpoint m_client;
    Endpoint m_server;
    const std::uint32_t m_version;  // the client's first
    std::uint32_t m_negotiated;     // the server's (compatible negotiation may change it)
    const QuicConnectionId m_originalId;
    QuicConnectionId m_initialId;  // what the Initial keys come from (a Retry's choice)
    bool m_retried = false;
    bool m_serverSeen = false;
    bool m_serverIdKnown = false;
    bool m_helloStarted = false;
    std::vector<QuicConnectionId> m_ids;  // routes of this connection
    std::vector<Endpoint> m_endpointIds;

    std::unique_ptr<InitialKeys> m_initial[2];
    std::unique_ptr<QuicKeys> m_handshake[2];
    std::uint32_t m_handshakeVersion[2] = {};
    std::unique_ptr<QuicKeys> m_early;
    std::uint32_t m_earlyVersion = 0;
    std::unique_ptr<ApplicationKeys> m_application[2];
    bool m_handshakeDropped = false;
    std::int64_t m_largest[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};

    TlsClientRandom m_random{};
    bool m_randomKnown = false;
    TlsSuite m_suite{};
    bool m_suiteKnown = false;
    std::string m_serverName;
    std::vector<std::string> m_offeredAlpn;
    std::string m_alpn;
    // Client Initial, server Initial, server Handshake.
    std::unique_ptr<HandshakeStream> m_handshakeStreams[3];
    bool m_tryWaiting = false;  // something the waiting packets needed came

    std::unordered_map<std::uint64_t, std::unique_ptr<Stream>> m_streams;
    // The stream found last: the frames of a packet, and of the next, mostly continue it.
    std::uint64_t m_lastStreamId = 0;
    Stream* m_lastStream = nullptr;
    std::size_t m_streamHeld = 0;  // out-of-order bytes of all streams
    // Streams done with, by type (the low two bits of the ID): every one below `below` (ID / 4),
    // and the ones above it.
    std::uint64_t m_closedBelow[4] = {};
    std::set<std::uint64_t> m_closedAbove[4];
    std::unique_ptr<QuicStreamHandler> m_handler;
    bool m_handlerAsked = false;
    bool m_handlerGaveUp = false;

    std::deque<WaitingPacket> m_waiting;
    std::size_t m_waitingBytes = 0;
    std::chrono::steady_clock::time_point m_waitingSince{};
    bool m_replaying = false;
    bool m_closing = false;  // CONNECTION_CLOSE seen
    bool m_ended = false;
    std::int64_t m_lastSeen = 0;
    std::int64_t m_endedAt = 0;
};
