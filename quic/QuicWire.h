// What QUIC puts on the wire, read with bounds: variable-length integers, the long and short
// packet headers, Version Negotiation, and the frames of a decrypted payload. Nothing here
// allocates; every read stops at the end of its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quic/QuicProtection.h"

inline constexpr std::size_t kQuicMaxConnectionId = 20;

// A connection ID of up to 20 bytes.
struct QuicConnectionId {
    std::uint8_t size = 0;
    std::uint8_t bytes[kQuicMaxConnectionId] = {};

    QuicConnectionId() = default;
    QuicConnectionId(const std::uint8_t* data, std::size_t length) {
        size = static_cast<std::uint8_t>(length <= kQuicMaxConnectionId ? length : 0);
        if (size != 0)
            std::memcpy(bytes, data, size);
    }
    friend bool operator==(const QuicConnectionId& a, const QuicConnectionId& b) {
        return a.size == b.size && std::memcmp(a.bytes, b.bytes, a.size) == 0;
    }
};

// Bounded reads over a byte range; a read past the end sets it failed and gives zeros.
class QuicBytes {
public:
    QuicBytes(const std::uint8_t* data, std::size_t size) : m_at(data), m_end(data + size) {}

    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_at == m_end; }
    std::size_t Left() const { return static_cast<std::size_t>(m_end - m_at); }
    const std::uint8_t* Position() const { return m_at; }

    std::uint8_t Byte() {
        if (!m_ok || m_at == m_end)
            return Fail(), 0;
        return *m_at++;
    }
    std::uint64_t Number(std::size_t width) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) value = value << 8 | Byte();
        return value;
    }
    // A variable-length integer (1, 2, 4 or 8 bytes, the length in its first two bits).
    std::uint64_t Varint() {
        if (!m_ok || m_at == m_end)
            return Fail(), 0;
        const std::size_t width = std::size_t{1} << (*m_at >> 6);
        if (Left() < width)
            return Fail(), 0;
        std::uint64_t value = *m_at++ & 0x3F;
        for (std::size_t i = 1; i < width; ++i) value = value << 8 | *m_at++;
        return value;
    }
    const std::uint8_t* Bytes(std::uint64_t size) {
        if (!m_ok || size > Left())
            return Fail(), nullptr;
        const std::uint8_t* bytes = m_at;
        m_at += size;
        return bytes;
    }
    void Skip(std::uint64_t size) { Bytes(size); }
    // The rest.
    const std::uint8_t* Rest(std::size_t& size) {
        size = Left();
        const std::uint8_t* bytes = m_at;
        m_at = m_end;
        return bytes;
    }

private:
    void Fail() {
        m_ok = false;
        m_at = m_end;
    }

    const std::uint8_t* m_at;
    const std::uint8_t* m_end;
    bool m_ok = true;
};

// Writes `value` as a variable-length integer of the shortest size (or `width` bytes when
// given); gives the bytes written (0 when it does not fit in 2^62).
std::size_t PutQuicVarint(std::uint8_t* out, std::uint64_t value, std::size_t width = 0);
std::size_t QuicVarintSize(std::uint64_t value);

// One long-header packet in a datagram.
struct QuicLongHeader {
    std::uint8_t first = 0;
    std::uint32_t version = 0;  // 0: Version Negotiation
    QuicConnectionId destination;
    QuicConnectionId source;
    QuicPacketType type = QuicPacketType::Initial;
    const std::uint8_t* token = nullptr;  // Initial and Retry
    std::size_t tokenSize = 0;
    std::size_t numberOffset = 0;  // where the (protected) packet number starts
    std::size_t size = 0;          // of the whole packet; the next coalesced one starts here
};

enum class QuicHeaderResult : std::uint8_t {
    Packet,             // a protected packet (Initial, 0-RTT, Handshake) of a known version
    Retry,              // the whole datagram's rest is the Retry (its tag last)
    VersionNegotiation, // the whole datagram's rest
    UnknownVersion,     // of a version not read here: the rest of the datagram is skipped
    Malformed,
};

// Reads the long header at the start of `data` (`size` bytes: the rest of the datagram).
QuicHeaderResult ParseLongHeader(const std::uint8_t* data, std::size_t size, QuicLongHeader& header);

// The frames of a decrypted payload.
enum class QuicFrameKind : std::uint8_t {
    Padding,
    Ping,
    Ack,
    ResetStream,
    StopSending,
    Crypto,
    NewToken,
    Stream,
    MaxData,
    NewConnectionId,
    RetireConnectionId,
    PathChallenge,
    ConnectionClose,
    HandshakeDone,
    Datagram,
    Other,  // a frame of a kind known to carry nothing for us (flow control, ACK_FREQUENCY, ...)
};

struct QuicFrame {
    QuicFrameKind kind = QuicFrameKind::Padding;
    std::uint64_t type = 0;
    std::uint64_t streamId = 0;       // STREAM, RESET_STREAM, STOP_SENDING
    std::uint64_t offset = 0;         // STREAM, CRYPTO
    std::uint64_t finalSize = 0;      // RESET_STREAM
    std::uint64_t sequence = 0;       // NEW_CONNECTION_ID, RETIRE_CONNECTION_ID
    std::uint64_t retirePriorTo = 0;  // NEW_CONNECTION_ID
    const std::uint8_t* data = nullptr;  // STREAM, CRYPTO
    std::size_t size = 0;
    bool fin = false;                  // STREAM
    QuicConnectionId connectionId;     // NEW_CONNECTION_ID
};

enum class QuicFrameResult : std::uint8_t { Frame, End, Malformed };

// Reads the next frame of `payload`; End when nothing is left, Malformed for a frame that does
// not fit its bytes or whose type is unknown (its size cannot be known, so the rest of the
// payload is lost).
QuicFrameResult NextQuicFrame(QuicBytes& payload, QuicFrame& frame);
