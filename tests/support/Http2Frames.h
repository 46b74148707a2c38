// Builds HTTP/2 frames for tests, benchmarks and fuzz seeds: header blocks encoded by
// libnghttp2's HPACK encoder (one per direction, so that its dynamic table carries across
// blocks as a real peer's does), DATA with padding, SETTINGS and the rest.
#pragma once

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

inline constexpr std::string_view kHttp2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

namespace h2 {

enum : std::uint8_t {
    kData = 0,
    kHeaders = 1,
    kPriority = 2,
    kRstStream = 3,
    kSettings = 4,
    kPushPromise = 5,
    kPing = 6,
    kGoAway = 7,
    kWindowUpdate = 8,
    kContinuation = 9,
};
enum : std::uint8_t {
    kEndStream = 0x1,
    kAck = 0x1,
    kEndHeaders = 0x4,
    kPadded = 0x8,
    kPriorityFlag = 0x20
};

inline std::string Be32(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

inline std::string Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                         std::string_view payload) {
    const std::size_t n = payload.size();
    std::string frame = {static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                         static_cast<char>(n), static_cast<char>(type), static_cast<char>(flags)};
    frame += Be32(stream);
    frame.append(payload);
    return frame;
}

inline std::string Settings(const std::vector<std::pair<std::uint16_t, std::uint32_t>>& entries) {
    std::string payload;
    for (const auto& [id, value] : entries) {
        payload += static_cast<char>(id >> 8);
        payload += static_cast<char>(id);
        payload += Be32(value);
    }
    return Frame(kSettings, 0, 0, payload);
}

inline std::string Data(std::uint32_t stream, std::string_view data, bool endStream,
                        std::size_t padding = 0) {
    if (padding == 0)
        return Frame(kData, endStream ? kEndStream : 0, stream, data);
    std::string payload(1, static_cast<char>(padding - 1));
    payload.append(data);
    payload.append(padding - 1, '\0');
    return Frame(kData, (endStream ? kEndStream : 0) | kPadded, stream, payload);
}

// One direction's HPACK encoder.
class Encoder {
public:
    // Its table may grow to 64 KiB when the peer allows it (SetTableSize).
    Encoder() { nghttp2_hd_deflate_new(&m_deflater, 65536); }
    ~Encoder() { nghttp2_hd_deflate_del(m_deflater); }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // The encoder's next header block starts with a table size update to `size`.
    void SetTableSize(std::size_t size) { nghttp2_hd_deflate_change_table_size(m_deflater, size); }

    std::string Encode(const HeaderFields& fields) {
        std::vector<nghttp2_nv> list;
        for (const auto& [name, value] : fields) {
            list.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                            reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())),
                            name.size(), value.size(), NGHTTP2_NV_FLAG_NONE});
        }
        std::string block(nghttp2_hd_deflate_bound(m_deflater, list.data(), list.size()), '\0');
        const auto written =
            nghttp2_hd_deflate_hd(m_deflater, reinterpret_cast<std::uint8_t*>(block.data()),
                                  block.size(), list.data(), list.size());
        block.resize(written < 0 ? 0 : static_cast<std::size_t>(written));
        return block;
    }

    // HEADERS (or PUSH_PROMISE when `promised` is not 0) carrying `fields`, split into
    // CONTINUATION frames of at most `fragment` bytes when given, padded by `padding` bytes
    // (the pad length byte included), with a priority block when asked.
    std::string Headers(std::uint32_t stream, const HeaderFields& fields, bool endStream,
                        std::size_t fragment = 0, std::size_t padding = 0, bool priority = false,
                        std::uint32_t promised = 0) {
        const std::string block = Encode(fields);
        const std::size_t first = fragment == 0 ? block.size() : std::min(fragment, block.size());
        std::string payload;
        std::uint8_t flags = endStream && promised == 0 ? kEndStream : 0;
        if (padding > 0) {
            payload += static_cast<char>(padding - 1);
            flags |= kPadded;
        }
        if (promised != 0) {
            payload += Be32(promised);
        } else if (priority) {
            payload += Be32(0x80000000u | 0) + std::string(1, '\x0F');
            flags |= kPriorityFlag;
        }
        payload.append(block, 0, first);
        if (padding > 0)
            payload.append(padding - 1, '\0');
        if (first == block.size())
            flags |= kEndHeaders;
        std::string frames = Frame(promised != 0 ? kPushPromise : kHeaders, flags, stream, payload);
        for (std::size_t at = first; at < block.size(); at += fragment) {
            const std::size_t size = std::min(fragment, block.size() - at);
            frames += Frame(kContinuation, at + size == block.size() ? kEndHeaders : 0, stream,
                            std::string_view(block).substr(at, size));
        }
        return frames;
    }

private:
    nghttp2_hd_deflater* m_deflater = nullptr;
};

}  // namespace h2
