// QUIC connections carrying HTTP/3, made in process for the tests, the benchmark's capture and
// the fuzz seeds: the datagrams a client and a server exchange, protected with quic/'s own
// packet protection (the same AEAD seals what it opens), and the key log that opens them.
//
// Each connection: the client's Initial with its ClientHello (padded to 1200 bytes); the
// server's Initial with its ServerHello and its Handshake packet with EncryptedExtensions
// (ALPN h3) and Finished, in one datagram; the client's Finished and its 1-RTT requests
// (control, QPACK encoder and decoder streams, one HEADERS frame per request, QPACK by the static
// table and literals); the server's answers, HEADERS and DATA in packets of `packetPayload`
// bytes, with an ACK from the client every few packets; a CONNECTION_CLOSE. On request: a
// Retry, 0-RTT requests, key updates, the client without connection IDs (as Chromium is) and a
// move to a new port, version 2.
//
// The secrets are random (the peers do no real handshake): the key log gives them, which is
// all a reader of the traffic uses. Whoever reads the traffic independently (tshark) checks the
// protection against the standard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frames/FrameDecoder.h"
#include "quic/QuicProtection.h"
#include "tcp/Direction.h"

struct QuicExchangePlan {
    std::string path = "/";
    int status = 200;
    std::string contentType;
    std::string bodyStart;      // the body's first bytes (a media signature)
    std::size_t bodySize = 0;   // the rest is pseudo-random
    bool contentLength = true;  // a content-length field
    // Not 0: what the content-length field says instead of the body's size (an answer whose
    // start alone was captured).
    std::uint64_t claimedLength = 0;
};

struct QuicConnectionPlan {
    std::uint32_t version = kQuicVersion1;
    TlsSuite suite{0x1301, TlsAead::Aes128Gcm, false};
    std::string host = "media.test";
    IpAddress clientAddress{Ipv4Address{10, 0, 0, 2}};
    IpAddress serverAddress{Ipv4Address{10, 0, 0, 7}};
    std::uint16_t clientPort = 50000;
    std::uint16_t serverPort = 443;
    std::size_t clientIdSize = 8;  // 0: none (the server's packets carry no ID)
    std::size_t serverIdSize = 8;
    std::size_t packetPayload = 1300;  // bytes of frames in a full 1-RTT packet
    std::size_t ackEvery = 4;          // server packets per client ACK
    std::size_t keyUpdateEvery = 0;    // 1-RTT packets of a side between its key updates
    bool retry = false;
    bool earlyData = false;      // requests in 0-RTT
    std::size_t moveAfter = 0;   // server packets after which the client moves to a new port
    std::uint64_t seed = 1;
    std::vector<QuicExchangePlan> exchanges;
};

struct QuicDatagramOut {
    Direction direction = Direction::ToServer;
    std::vector<std::uint8_t> bytes;
    // The ends it travels between (ports in host order).
    IpAddress source;
    IpAddress destination;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
};

class QuicConversation {
public:
    explicit QuicConversation(const QuicConnectionPlan& plan);
    ~QuicConversation();
    QuicConversation(const QuicConversation&) = delete;
    QuicConversation& operator=(const QuicConversation&) = delete;

    // The next datagram in the order they travel; false when the conversation is over.
    bool Next(QuicDatagramOut& datagram);
    // Every datagram at once.
    std::vector<QuicDatagramOut> All();
    // The key log's lines for this connection (NSS format).
    std::string KeyLogLines() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// The datagram as a captured Ethernet frame.
std::vector<std::uint8_t> QuicCaptureFrame(const QuicDatagramOut& datagram);
