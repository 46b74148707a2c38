#include "httpmsg/Http2Parser.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "httpmsg/FieldSection.h"
#include "httpmsg/HttpText.h"

namespace {

enum FrameType : std::uint8_t {
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
constexpr std::uint8_t kEndStream = 0x1;
constexpr std::uint8_t kAck = 0x1;
constexpr std::uint8_t kEndHeaders = 0x4;
constexpr std::uint8_t kPadded = 0x8;
constexpr std::uint8_t kPriorityFlag = 0x20;

constexpr std::uint16_t kSettingHeaderTableSize = 1;
constexpr std::uint16_t kSettingMaxFrameSize = 5;
constexpr std::uint32_t kSmallestMaxFrameSize = 16384;
constexpr std::uint32_t kLargestMaxFrameSize = (1u << 24) - 1;

std::uint32_t Load32(const std::uint8_t* bytes) {
    return (static_cast<std::uint32_t>(bytes[0]) << 24) |
           (static_cast<std::uint32_t>(bytes[1]) << 16) |
           (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
}

}  // namespace

Http2Parser::Http2Parser(MemoryBudget& budget, HttpExchangeSink& sink,
                         const HttpConnectionContext& context, const HttpLimits& limits)
    : m_budget(budget),
      m_sink(sink),
      m_context(context),
      m_limits(limits),
      m_libraryMemory(budget),
      m_memory{&m_libraryMemory, LibraryMemory::Malloc, LibraryMemory::Free,
               LibraryMemory::Calloc, LibraryMemory::Realloc} {
    m_sides[static_cast<int>(Direction::ToServer)].phase = Phase::Preface;
    for (Side& side : m_sides) side.fieldsHold = BudgetHold(budget);
}

Http2Parser::~Http2Parser() {
    m_streams.clear();
    for (Side& side : m_sides) {
        if (side.inflater != nullptr)
            nghttp2_hd_inflate_del(side.inflater);
    }
}

bool Http2Parser::Start() {
    for (Side& side : m_sides) {
        if (side.inflater == nullptr && nghttp2_hd_inflate_new2(&side.inflater, &m_memory) != 0) {
            side.inflater = nullptr;
            return false;
        }
    }
    return true;
}

bool Http2Parser::Feed(Direction direction, const std::uint8_t* data, std::size_t size) {
    Side& side = m_sides[static_cast<int>(direction)];
    if (side.inflater == nullptr)
        return false;
    while (size > 0) {
        std::size_t used = 0;
        switch (side.phase) {
            case Phase::Preface:
                used = std::min(size, kPrefaceLength - side.prefaceSeen);
                if (std::memcmp(data, kPreface + side.prefaceSeen, used) != 0)
                    return false;
                side.prefaceSeen += used;
                if (side.prefaceSeen == kPrefaceLength)
                    side.phase = Phase::Header;
                break;
            case Phase::Header:
                used = std::min(size, sizeof side.header - side.headerHave);
                std::memcpy(side.header + side.headerHave, data, used);
                side.headerHave += used;
                if (side.headerHave == sizeof side.header && !BeginFrame(side, direction))
                    return false;
                break;
            case Phase::Fixed:
                used = std::min(size, side.fixedNeed - side.fixedHave);
                std::memcpy(side.fixed + side.fixedHave, data, used);
                side.fixedHave += used;
                side.left -= static_cast<std::uint32_t>(used);
                break;
            case Phase::Payload:
                used = std::min<std::size_t>(size, side.left - side.padding);
                side.left -= static_cast<std::uint32_t>(used);
                if (side.type == kData) {
                    if (direction == Direction::ToClient) {
                        const auto found = m_streams.find(side.stream);
                        if (found != m_streams.end()) {
                            if (!found->second.response)
                                return false;  // a body before its head
                            found->second.response->Add(data, used);
                        }
                    }
                } else if (!Inflate(side, data, used, false)) {
                    return false;
                }
                break;
            case Phase::Padding:
            case Phase::Skip:
                used = std::min<std::size_t>(size, side.left);
                side.left -= static_cast<std::uint32_t>(used);
                break;
        }
        data += used;
        size -= used;
        if (!Settle(side, direction))
            return false;
    }
    return true;
}

// Runs the steps that need no more bytes: a frame's fixed fields complete, its payload or
// padding read, its end.
bool Http2Parser::Settle(Side& side, Direction direction) {
    for (;;) {
        switch (side.phase) {
            case Phase::Preface:
            case Phase::Header:
                return true;
            case Phase::Fixed:
                if (side.fixedHave < side.fixedNeed)
                    return true;
                if (!OnFixed(side, direction))
                    return false;
                break;
            case Phase::Payload:
                if (side.left > side.padding)
                    return true;
                if (side.type != kData && (side.flags & kEndHeaders) != 0 &&
                    (!Inflate(side, nullptr, 0, true) || !BlockEnd(side, direction))) {
                    return false;
                }
                side.phase = Phase::Padding;
                break;
            case Phase::Padding:
            case Phase::Skip:
                if (side.left > 0)
                    return true;
                if (!FrameEnd(side, direction))
                    return false;
                side.phase = Phase::Header;
                side.headerHave = 0;
                break;
        }
    }
}

bool Http2Parser::BeginFrame(Side& side, Direction direction) {
    const std::uint8_t* h = side.header;
    side.length =
        (static_cast<std::uint32_t>(h[0]) << 16) | (static_cast<std::uint32_t>(h[1]) << 8) | h[2];
    side.type = h[3];
    side.flags = h[4];
    side.stream = Load32(h + 5) & 0x7FFFFFFF;
    side.left = side.length;
    side.padding = 0;
    side.fixedHave = 0;
    side.fixedNeed = 0;
    if (side.length > side.maxFrameSize)
        return false;
    if (side.inBlock) {
        // Nothing may come between a header block's frames.
        if (side.type != kContinuation || side.stream != side.blockStream)
            return false;
        side.blockBytes += sizeof side.header + side.length;
        if (side.blockBytes > m_limits.maxHeaderBlockBytes)
            return false;
        side.phase = Phase::Payload;
        return true;
    }
    const bool padded = (side.flags & kPadded) != 0;
    switch (side.type) {
        case kData:
            if (side.stream == 0)
                return false;
            side.fixedNeed = padded ? 1 : 0;
            break;
        case kHeaders:
            if (side.stream == 0 || (direction == Direction::ToServer && (side.stream & 1) == 0)) {
                return false;
            }
            side.fixedNeed = (padded ? 1 : 0) + ((side.flags & kPriorityFlag) != 0 ? 5 : 0);
            break;
        case kPushPromise:
            if (side.stream == 0 || direction != Direction::ToClient)
                return false;
            side.fixedNeed = (padded ? 1 : 0) + 4;
            break;
        case kPriority:
            if (side.stream == 0 || side.length != 5)
                return false;
            break;
        case kRstStream:
            if (side.stream == 0 || side.length != 4)
                return false;
            side.fixedNeed = 4;
            break;
        case kSettings:
            if (side.stream != 0 || side.length % 6 != 0 ||
                ((side.flags & kAck) != 0 && side.length != 0)) {
                return false;
            }
            side.fixedNeed = side.length > 0 ? 6 : 0;
            break;
        case kPing:
            if (side.stream != 0 || side.length != 8)
                return false;
            break;
        case kGoAway:
            if (side.stream != 0 || side.length < 8)
                return false;
            side.fixedNeed = 8;
            break;
        case kWindowUpdate:
            if (side.length != 4)
                return false;
            break;
        case kContinuation:
            return false;  // outside a header block
        default:
            break;  // unknown types are skipped
    }
    if (side.fixedNeed > side.length)
        return false;
    if (side.fixedNeed > 0)
        side.phase = Phase::Fixed;
    else if (side.type == kData || side.type == kHeaders)
        side.phase = Phase::Payload;
    else
        side.phase = Phase::Skip;
    if (side.phase == Phase::Payload && side.type == kHeaders) {
        side.inBlock = true;
        side.blockPush = false;
        side.blockStream = side.stream;
        side.blockEndStream = (side.flags & kEndStream) != 0;
        side.blockBytes = sizeof side.header + side.length;
        side.listBytes = 0;
    }
    return side.blockBytes <= m_limits.maxHeaderBlockBytes || !side.inBlock;
}

bool Http2Parser::OnFixed(Side& side, Direction direction) {
    const std::uint8_t* fixed = side.fixed;
    switch (side.type) {
        case kData:
        case kHeaders:
        case kPushPromise: {
            std::size_t at = 0;
            if ((side.flags & kPadded) != 0) {
                side.padding = fixed[at++];
                if (side.padding > side.left)
                    return false;  // padding longer than what is left of the frame
            }
            if (side.type == kData) {
                side.phase = Phase::Payload;
                return true;
            }
            side.inBlock = true;
            side.blockStream = side.stream;
            side.blockEndStream = (side.flags & kEndStream) != 0;
            side.blockBytes = sizeof side.header + side.length;
            side.listBytes = 0;
            side.blockPush = side.type == kPushPromise;
            if (side.blockPush) {
                side.promised = Load32(fixed + at) & 0x7FFFFFFF;
                if (side.promised == 0 || (side.promised & 1) != 0)
                    return false;
            }
            if (side.blockBytes > m_limits.maxHeaderBlockBytes)
                return false;
            side.phase = Phase::Payload;
            return true;
        }
        case kRstStream:
            EndStream(side.stream, false);
            side.phase = Phase::Skip;
            return true;
        case kSettings: {
            const std::uint16_t id = static_cast<std::uint16_t>((fixed[0] << 8) | fixed[1]);
            const std::uint32_t value = Load32(fixed + 2);
            // What one side announces bounds what the other side sends it.
            Side& peer = m_sides[static_cast<int>(Opposite(direction))];
            if (id == kSettingHeaderTableSize &&
                !ApplyTableSize(peer, std::min<std::size_t>(value, m_limits.maxHeaderTableBytes))) {
                return false;
            }
            if (id == kSettingMaxFrameSize) {
                if (value < kSmallestMaxFrameSize || value > kLargestMaxFrameSize)
                    return false;
                peer.maxFrameSize = value;
            }
            side.fixedHave = 0;
            side.phase = side.left > 0 ? Phase::Fixed : Phase::Skip;
            return true;
        }
        case kGoAway: {
            // Streams opened by the receiver past the last one the sender took are never
            // answered.
            const std::uint32_t last = Load32(fixed) & 0x7FFFFFFF;
            const std::uint32_t parity = direction == Direction::ToClient ? 1 : 0;
            std::vector<std::uint32_t> dropped;
            for (const auto& [id, stream] : m_streams) {
                if (id > last && (id & 1) == parity)
                    dropped.push_back(id);
            }
            for (const std::uint32_t id : dropped) EndStream(id, false);
            side.phase = Phase::Skip;
            return true;
        }
        default:
            return false;
    }
}

bool Http2Parser::ApplyTableSize(Side& side, std::size_t size) {
    if (side.inBlock) {
        side.pendingTableSize = size;
        return true;
    }
    side.pendingTableSize.reset();
    return nghttp2_hd_inflate_change_table_size(side.inflater, size) == 0;
}

bool Http2Parser::Inflate(Side& side, const std::uint8_t* data, std::size_t size, bool final) {
    for (;;) {
        nghttp2_nv field;
        int flags = 0;
        const ssize_t read =
            nghttp2_hd_inflate_hd2(side.inflater, &field, &flags, data, size, final ? 1 : 0);
        if (read < 0)
            return false;
        data += read;
        size -= static_cast<std::size_t>(read);
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) != 0) {
            side.listBytes += field.namelen + field.valuelen + 32;
            if (side.listBytes > m_limits.maxHeaderBytes ||
                !side.fieldsHold.Grow(field.namelen + field.valuelen + sizeof(HttpHeader))) {
                return false;
            }
            side.fields.push_back(
                {std::string(reinterpret_cast<const char*>(field.name), field.namelen),
                 std::string(reinterpret_cast<const char*>(field.value), field.valuelen)});
        }
        if ((flags & NGHTTP2_HD_INFLATE_FINAL) != 0) {
            nghttp2_hd_inflate_end_headers(side.inflater);
            return true;
        }
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) == 0 && size == 0)
            return !final;  // a final block must come to its end
    }
}

bool Http2Parser::BlockEnd(Side& side, Direction direction) {
    std::vector<HttpHeader> fields = std::move(side.fields);
    side.fields.clear();
    side.fieldsHold.Resize(0);
    side.inBlock = false;
    if (side.pendingTableSize && !ApplyTableSize(side, *side.pendingTableSize))
        return false;

    if (side.blockPush) {
        // A pushed response's request: the server's own promise.
        bool ignore = false;
        auto request = RequestFromFields(fields, m_context.scheme, ignore);
        if (!request || m_streams.count(side.promised) != 0)
            return false;
        return ignore || AddStream(side.promised, std::move(*request));
    }
    const std::uint32_t id = side.blockStream;
    if (direction == Direction::ToServer) {
        if (id <= m_lastClientStream)
            return true;  // trailers of a request
        m_lastClientStream = id;
        bool ignore = false;
        auto request = RequestFromFields(fields, m_context.scheme, ignore);
        if (!request)
            return false;
        return ignore || AddStream(id, std::move(*request));
    }
    const auto found = m_streams.find(id);
    if (found == m_streams.end())
        return true;  // a stream given up, reset or never seen: decoded for the table only
    return OnResponseFields(id, found->second, fields, side.blockEndStream);
}

bool Http2Parser::AddStream(std::uint32_t id, HttpRequestHead request) {
    if (m_streams.size() >= m_limits.maxStreams)
        return false;
    Stream stream(m_budget);
    if (!stream.hold.Resize(sizeof(Stream) + 64 + RequestCost(request)))
        return false;
    stream.request = std::move(request);
    m_streams.emplace(id, std::move(stream));
    return true;
}

bool Http2Parser::OnResponseFields(std::uint32_t id, Stream& stream,
                                   std::vector<HttpHeader>& fields, bool endStream) {
    if (stream.response) {
        // Trailers.
        if (endStream)
            EndStream(id, true);
        return true;
    }
    auto response = ResponseFromFields(fields);
    if (!response)
        return false;
    const int status = response->status;
    if (status < 200)
        return !endStream;  // 100, 103: the real answer follows

    const bool bodyless = AnswerIsBodyless(stream.request.method, status) || endStream;
    HttpExchange exchange =
        AnswerExchange(std::move(stream.request), std::move(*response), m_context);
    exchange.http2 = true;
    exchange.streamId = id;
    stream.hold.Resize(sizeof(Stream) + 64);
    stream.response.emplace(m_budget);
    if (!stream.response->Begin(m_sink, std::move(exchange), !bodyless))
        return false;
    if (bodyless)
        m_streams.erase(id);
    return true;
}

bool Http2Parser::FrameEnd(Side& side, Direction direction) {
    if (side.type == kData && direction == Direction::ToClient && (side.flags & kEndStream) != 0)
        EndStream(side.stream, true);
    return true;
}

void Http2Parser::EndStream(std::uint32_t id, bool complete) {
    const auto found = m_streams.find(id);
    if (found == m_streams.end())
        return;
    if (found->second.response)
        found->second.response->End(complete);
    m_streams.erase(found);
}

void Http2Parser::End() {
    for (auto& [id, stream] : m_streams) {
        if (stream.response)
            stream.response->End(false);
    }
    m_streams.clear();
}
