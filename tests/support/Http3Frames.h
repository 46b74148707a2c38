// Builds the bytes of HTTP/3 streams for tests and fuzz seeds: frames, stream types, SETTINGS,
// and header blocks encoded by libnghttp3's QPACK encoder (one per direction, so that its
// dynamic table and the encoder stream that fills it carry across blocks as a real peer's do).
#pragma once

#include <nghttp3/nghttp3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace h3 {

using Fields = std::vector<std::pair<std::string, std::string>>;

enum : std::uint64_t {
    kData = 0x0,
    kHeaders = 0x1,
    kCancelPush = 0x3,
    kSettings = 0x4,
    kPushPromise = 0x5,
    kGoAway = 0x7,
    kMaxPushId = 0xd,
};
enum : std::uint64_t {
    kControlStream = 0x0,
    kPushStream = 0x1,
    kEncoderStream = 0x2,
    kDecoderStream = 0x3
};
enum : std::uint64_t {
    kQpackMaxTableCapacity = 0x1,
    kMaxFieldSectionSize = 0x6,
    kQpackBlockedStreams = 0x7
};

// A QUIC variable-length integer in its shortest form (or `length` bytes when given).
inline std::string VarInt(std::uint64_t value, std::size_t length = 0) {
    if (length == 0)
        length = value < 64 ? 1 : value < 16384 ? 2 : value < (1u << 30) ? 4 : 8;
    const std::uint8_t prefix = length == 1 ? 0 : length == 2 ? 1 : length == 4 ? 2 : 3;
    std::string bytes(length, '\0');
    for (std::size_t i = length; i-- > 0; value >>= 8) bytes[i] = static_cast<char>(value & 0xFF);
    bytes[0] = static_cast<char>((static_cast<std::uint8_t>(bytes[0]) & 0x3F) | (prefix << 6));
    return bytes;
}

inline std::string Frame(std::uint64_t type, std::string_view payload) {
    return VarInt(type) + VarInt(payload.size()) + std::string(payload);
}

inline std::string Data(std::string_view body) {
    return Frame(kData, body);
}

inline std::string Settings(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& entries) {
    std::string payload;
    for (const auto& [id, value] : entries) payload += VarInt(id) + VarInt(value);
    return Frame(kSettings, payload);
}

inline std::string GoAway(std::uint64_t id) {
    return Frame(kGoAway, VarInt(id));
}

// One direction's QPACK encoder. Header blocks come out of Headers(); the instructions that
// fill the table the blocks refer to gather until EncoderStream() takes them.
class Encoder {
public:
    // The table may hold `capacity` bytes, and `blocked` blocks may refer to entries the
    // decoder has not acknowledged (as the decoding side's SETTINGS allow).
    explicit Encoder(std::size_t capacity = 4096, std::size_t blocked = 16) {
        nghttp3_qpack_encoder_new(&m_encoder, capacity, nghttp3_mem_default());
        nghttp3_qpack_encoder_set_max_dtable_capacity(m_encoder, capacity);
        nghttp3_qpack_encoder_set_max_blocked_streams(m_encoder, blocked);
    }
    ~Encoder() { nghttp3_qpack_encoder_del(m_encoder); }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // The header block of `fields`, bare.
    std::string Block(std::int64_t stream, const Fields& fields) {
        std::vector<nghttp3_nv> list;
        for (const auto& [name, value] : fields) {
            list.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                            reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())),
                            name.size(), value.size(), NGHTTP3_NV_FLAG_NONE});
        }
        nghttp3_buf prefix, rest, instructions;
        nghttp3_buf_init(&prefix);
        nghttp3_buf_init(&rest);
        nghttp3_buf_init(&instructions);
        nghttp3_qpack_encoder_encode(m_encoder, &prefix, &rest, &instructions, stream, list.data(),
                                     list.size());
        std::string block = Take(prefix) + Take(rest);
        m_instructions += Take(instructions);
        for (nghttp3_buf* buffer : {&prefix, &rest, &instructions})
            nghttp3_buf_free(buffer, nghttp3_mem_default());
        // The decoder's acknowledgements are not simulated: every entry counts as known to it,
        // so later blocks refer to entries freely.
        nghttp3_qpack_encoder_ack_everything(m_encoder);
        return block;
    }

    // A HEADERS frame of `fields` for `stream`.
    std::string Headers(std::int64_t stream, const Fields& fields) {
        return Frame(kHeaders, Block(stream, fields));
    }

    // The encoder stream's instructions made since the last call.
    std::string EncoderStream() { return std::exchange(m_instructions, {}); }

private:
    static std::string Take(const nghttp3_buf& buffer) {
        return {reinterpret_cast<const char*>(buffer.pos),
                static_cast<std::size_t>(buffer.last - buffer.pos)};
    }

    nghttp3_qpack_encoder* m_encoder = nullptr;
    std::string m_instructions;
};

}  // namespace h3
