#include "quic/QuicWire.h"

std::size_t QuicVarintSize(std::uint64_t value) {
    if (value < (1u << 6))
        return 1;
    if (value < (1u << 14))
        return 2;
    if (value < (1u << 30))
        return 4;
    return 8;
}

std::size_t PutQuicVarint(std::uint8_t* out, std::uint64_t value, std::size_t width) {
    if (value >= (std::uint64_t{1} << 62))
        return 0;
    if (width == 0)
        width = QuicVarintSize(value);
    if (width < QuicVarintSize(value) || (width != 1 && width != 2 && width != 4 && width != 8))
        return 0;
    const std::uint8_t lengthBits = width == 1 ? 0x00 : width == 2 ? 0x40 : width == 4 ? 0x80 : 0xC0;
    for (std::size_t i = 0; i < width; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
    out[0] |= lengthBits;
    return width;
}

QuicHeaderResult ParseLongHeader(const std::uint8_t* data, std::size_t size, QuicLongHeader& header) {
    QuicBytes in(data, size);
    header.first = in.Byte();
    header.version = static_cast<std::uint32_t>(in.Number(4));
    if (!in.Ok() || (header.first & 0x80) == 0)
        return QuicHeaderResult::Malformed;
    if (header.version != 0 && !IsKnownQuicVersion(header.version))
        return QuicHeaderResult::UnknownVersion;
    const std::size_t destinationSize = in.Byte();
    const std::uint8_t* destination = in.Bytes(destinationSize);
    const std::size_t sourceSize = in.Byte();
    const std::uint8_t* source = in.Bytes(sourceSize);
    // Version Negotiation may carry longer IDs (any version's), which are none of ours.
    if (!in.Ok() || destinationSize > kQuicMaxConnectionId || sourceSize > kQuicMaxConnectionId)
        return QuicHeaderResult::Malformed;
    header.destination = QuicConnectionId(destination, destinationSize);
    header.source = QuicConnectionId(source, sourceSize);
    header.token = nullptr;
    header.tokenSize = 0;
    if (header.version == 0) {
        header.size = size;
        // At least one version, in whole four-byte steps.
        return in.Left() >= 4 && in.Left() % 4 == 0 ? QuicHeaderResult::VersionNegotiation
                                                    : QuicHeaderResult::Malformed;
    }
    header.type = LongHeaderType(header.version, header.first);
    if (header.type == QuicPacketType::Retry) {
        if (in.Left() < AeadKey::kTagSize)
            return QuicHeaderResult::Malformed;
        header.tokenSize = in.Left() - AeadKey::kTagSize;
        header.token = in.Bytes(header.tokenSize);
        header.size = size;
        return QuicHeaderResult::Retry;
    }
    if (header.type == QuicPacketType::Initial) {
        header.tokenSize = static_cast<std::size_t>(in.Varint());
        header.token = in.Bytes(header.tokenSize);
    }
    const std::uint64_t length = in.Varint();
    if (!in.Ok() || length > in.Left())
        return QuicHeaderResult::Malformed;
    header.numberOffset = size - in.Left();
    header.size = header.numberOffset + static_cast<std::size_t>(length);
    return QuicHeaderResult::Packet;
}

QuicFrameResult NextQuicFrame(QuicBytes& payload, QuicFrame& frame) {
    if (payload.AtEnd())
        return QuicFrameResult::End;
    const std::uint64_t type = payload.Varint();
    frame.type = type;
    frame.data = nullptr;
    frame.size = 0;
    frame.fin = false;
    switch (type) {
        case 0x00:
            // A run of padding is one frame.
            while (!payload.AtEnd() && *payload.Position() == 0) payload.Byte();
            frame.kind = QuicFrameKind::Padding;
            break;
        case 0x01:
            frame.kind = QuicFrameKind::Ping;
            break;
        case 0x02:
        case 0x03: {
            frame.kind = QuicFrameKind::Ack;
            payload.Varint();  // largest acknowledged
            payload.Varint();  // delay
            const std::uint64_t ranges = payload.Varint();
            payload.Varint();  // first range
            // Each range takes two bytes at least: a hostile count ends at the payload's end.
            for (std::uint64_t i = 0; i < ranges && payload.Ok(); ++i) {
                payload.Varint();
                payload.Varint();
            }
            if (type == 0x03) {
                for (int i = 0; i < 3; ++i) payload.Varint();
            }
            break;
        }
        case 0x04:
            frame.kind = QuicFrameKind::ResetStream;
            frame.streamId = payload.Varint();
            payload.Varint();  // error code
            frame.finalSize = payload.Varint();
            break;
        case 0x05:
            frame.kind = QuicFrameKind::StopSending;
            frame.streamId = payload.Varint();
            payload.Varint();
            break;
        case 0x06: {
            frame.kind = QuicFrameKind::Crypto;
            frame.offset = payload.Varint();
            const std::uint64_t length = payload.Varint();
            frame.data = payload.Bytes(length);
            frame.size = static_cast<std::size_t>(length);
            break;
        }
        case 0x07:
            frame.kind = QuicFrameKind::NewToken;
            payload.Skip(payload.Varint());
            break;
        case 0x08:
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x0E:
        case 0x0F:
            frame.kind = QuicFrameKind::Stream;
            frame.streamId = payload.Varint();
            frame.offset = (type & 0x04) != 0 ? payload.Varint() : 0;
            if ((type & 0x02) != 0) {
                const std::uint64_t length = payload.Varint();
                frame.data = payload.Bytes(length);
                frame.size = static_cast<std::size_t>(length);
            } else {
                frame.data = payload.Rest(frame.size);
            }
            frame.fin = (type & 0x01) != 0;
            break;
        case 0x10:
        case 0x12:
        case 0x13:
        case 0x14:
        case 0x16:
        case 0x17:
            frame.kind = QuicFrameKind::MaxData;
            payload.Varint();
            break;
        case 0x11:
        case 0x15:
            frame.kind = QuicFrameKind::MaxData;
            payload.Varint();
            payload.Varint();
            break;
        case 0x18: {
            frame.kind = QuicFrameKind::NewConnectionId;
            frame.sequence = payload.Varint();
            frame.retirePriorTo = payload.Varint();
            const std::size_t length = payload.Byte();
            const std::uint8_t* id = payload.Bytes(length);
            payload.Skip(16);  // stateless reset token
            if (length == 0 || length > kQuicMaxConnectionId)
                return QuicFrameResult::Malformed;
            if (id != nullptr)
                frame.connectionId = QuicConnectionId(id, length);
            break;
        }
        case 0x19:
            frame.kind = QuicFrameKind::RetireConnectionId;
            frame.sequence = payload.Varint();
            break;
        case 0x1A:
        case 0x1B:
            frame.kind = QuicFrameKind::PathChallenge;
            payload.Skip(8);
            break;
        case 0x1C:
        case 0x1D:
            frame.kind = QuicFrameKind::ConnectionClose;
            payload.Varint();  // error code
            if (type == 0x1C)
                payload.Varint();  // the frame type that caused it
            payload.Skip(payload.Varint());  // reason
            break;
        case 0x1E:
            frame.kind = QuicFrameKind::HandshakeDone;
            break;
        case 0x1F:  // IMMEDIATE_ACK
            frame.kind = QuicFrameKind::Other;
            break;
        case 0x30:
            frame.kind = QuicFrameKind::Datagram;
            payload.Rest(frame.size);
            frame.size = 0;
            break;
        case 0x31:
            frame.kind = QuicFrameKind::Datagram;
            payload.Skip(payload.Varint());
            break;
        case 0xAF:  // ACK_FREQUENCY: sequence, threshold, delay, reordering threshold
            frame.kind = QuicFrameKind::Other;
            for (int i = 0; i < 4; ++i) payload.Varint();
            break;
        default:
            return QuicFrameResult::Malformed;
    }
    return payload.Ok() ? QuicFrameResult::Frame : QuicFrameResult::Malformed;
}
