#include "httpmsg/Http3Connection.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "httpmsg/FieldSection.h"
#include "httpmsg/HttpText.h"

namespace {

enum H3Frame : std::uint64_t {
    kH3Data = 0x0,
    kH3Headers = 0x1,
    kH3CancelPush = 0x3,
    kH3Settings = 0x4,
    kH3PushPromise = 0x5,
    kH3GoAway = 0x7,
    kH3MaxPushId = 0xd,
};
enum H3StreamType : std::uint64_t { kControlStream = 0x0, kEncoderStream = 0x2 };
constexpr std::uint64_t kSettingQpackMaxTableCapacity = 0x1;
constexpr std::uint64_t kSettingQpackBlockedStreams = 0x7;

// What making a QPACK decoder allocates at most: the decoder and its table's first ring of
// entries (128 pointers), with their bookkeeping.
constexpr std::size_t kDecoderCreation = 2048;

// A SETTINGS frame lists a few pairs; a longer one is no peer's.
constexpr std::uint64_t kMaxSettingsBytes = 16u << 10;

// Frame types HTTP/2 uses that HTTP/3 reserves: a peer must never send them.
bool IsHttp2Frame(std::uint64_t type) {
    return type == 0x2 || type == 0x6 || type == 0x8 || type == 0x9;
}

// One QUIC variable-length integer of a held payload, from `at` on.
bool ReadQuicVarInt(const std::string& bytes, std::size_t& at, std::uint64_t& value) {
    if (at >= bytes.size())
        return false;
    const auto first = static_cast<std::uint8_t>(bytes[at]);
    const std::size_t length = std::size_t{1} << (first >> 6);
    if (length > bytes.size() - at)
        return false;
    value = first & 0x3F;
    for (std::size_t i = 1; i < length; ++i)
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    at += length;
    return true;
}

// The decoder keeps what a peer would send on its decoder stream (acknowledgements, insert
// counts) and stops decoding once a small backlog of it piles up; an observer sends nothing, so
// it is thrown away after each block.
void DrainDecoderStream(nghttp3_qpack_decoder* decoder) {
    const std::size_t length = nghttp3_qpack_decoder_get_decoder_streamlen(decoder);
    if (length == 0)
        return;
    std::uint8_t small[64];
    std::string large;
    std::uint8_t* out = small;
    if (length > sizeof small) {
        large.resize(length);
        out = reinterpret_cast<std::uint8_t*>(large.data());
    }
    nghttp3_buf buffer{out, out + length, out, out};
    nghttp3_qpack_decoder_write_decoder(decoder, &buffer);
}

}  // namespace

void Http3Connection::ContextDelete::operator()(nghttp3_qpack_stream_context* context) const {
    nghttp3_qpack_stream_context_del(context);
}

std::unique_ptr<Http3Connection> Http3Connection::Create(MemoryBudget& budget,
                                                         HttpExchangeSink& sink,
                                                         HttpConnectionContext context,
                                                         const HttpLimits& limits) {
    BudgetHold hold(budget);
    if (!hold.Resize(sizeof(Http3Connection)))
        return nullptr;
    std::unique_ptr<Http3Connection> connection(
        new Http3Connection(budget, sink, std::move(context), limits));
    connection->m_hold = std::move(hold);
    // Until a side's SETTINGS tell its table's capacity, the blocks sent to it are read with
    // the static table alone.
    for (Decoder& decoder : connection->m_decoders) {
        if (!connection->MakeDecoder(decoder, 0, 0))
            return nullptr;
    }
    return connection;
}

Http3Connection::Http3Connection(MemoryBudget& budget, HttpExchangeSink& sink,
                                 HttpConnectionContext context, const HttpLimits& limits)
    : m_budget(budget),
      m_sink(sink),
      m_context(std::move(context)),
      m_limits(limits),
      m_decoders{Decoder(budget, limits.maxQpackDecoderBytes),
                 Decoder(budget, limits.maxQpackDecoderBytes)} {}

Http3Connection::~Http3Connection() {
    m_streams.clear();  // their decoding state goes before the decoders
    for (Decoder& decoder : m_decoders) {
        if (decoder.decoder != nullptr)
            nghttp3_qpack_decoder_del(decoder.decoder);
    }
}

bool Http3Connection::MakeDecoder(Decoder& decoder, std::size_t capacity, std::size_t blocked) {
    // The capacity the receiving side announced, however large, is what the encoder counts its
    // Required Insert Count against; the decoder's memory is capped by its allocator instead.
    nghttp3_qpack_decoder* made = nullptr;
    if (!decoder.memory.Prepay(kDecoderCreation))
        return false;
    const int result = nghttp3_qpack_decoder_new(&made, capacity, blocked, &decoder.allocator);
    decoder.memory.Refund();
    if (result != 0)
        return false;
    if (decoder.decoder != nullptr)
        nghttp3_qpack_decoder_del(decoder.decoder);
    decoder.decoder = made;
    return true;
}

bool Http3Connection::Fail() {
    m_failed = true;
    for (const Direction direction : {Direction::ToServer, Direction::ToClient}) {
        if (m_decoders[static_cast<int>(direction)].failed)
            Abandon(direction);
    }
    return false;
}

void Http3Connection::Abandon(Direction direction) {
    Decoder& decoder = m_decoders[static_cast<int>(direction)];
    // The blocks' decoding states came from the decoder's memory too.
    for (auto& [id, stream] : m_streams) {
        std::ignore = stream.readers[static_cast<int>(direction)].context.release();
    }
    decoder.memory.ReleaseAll();
    decoder.decoder = nullptr;
}

bool Http3Connection::OnStreamData(std::uint64_t streamId, Direction direction,
                                   const std::uint8_t* data, std::size_t size, bool fin) {
    if (m_failed || m_ended)
        return false;
    const unsigned kind = streamId & 3;
    if (kind == 1)
        return true;  // server-initiated bidirectional streams carry no HTTP/3
    if ((kind == 2 && direction != Direction::ToServer) ||
        (kind == 3 && direction != Direction::ToClient)) {
        return Fail();
    }
    if (kind == 0 && streamId >= m_goAway)
        return true;  // the server will not answer it
    if (m_lastStream == nullptr || m_lastStreamId != streamId) {
        auto found = m_streams.find(streamId);
        if (found == m_streams.end()) {
            if (m_streams.size() >= m_limits.maxStreams)
                return Fail();
            BudgetHold hold(m_budget);
            if (!hold.Resize(sizeof(Stream) + 64))
                return Fail();
            found = m_streams.try_emplace(streamId, m_budget).first;
            Stream& stream = found->second;
            stream.hold = std::move(hold);
            if (kind != 0) {
                stream.role = Role::Unidirectional;
                stream.readers[static_cast<int>(direction)].phase = Phase::StreamType;
                stream.readers[static_cast<int>(Opposite(direction))].ended = true;
            }
        }
        m_lastStream = &found->second;
        m_lastStreamId = streamId;
    }
    Stream& stream = *m_lastStream;
    Reader& reader = stream.readers[static_cast<int>(direction)];
    if (reader.ended)
        return true;  // after its end or reset nothing belongs to it
    // A response is read once its request is known (the request's packets may come later).
    if (stream.role == Role::Request && direction == Direction::ToClient && !stream.requestRead &&
        !stream.dropped && reader.wait == Wait::None) {
        reader.wait = Wait::Request;
    }
    if (!Read(streamId, stream, direction, data, size, fin))
        return Fail();
    Tidy();
    return true;
}

bool Http3Connection::Read(std::uint64_t id, Stream& stream, Direction direction,
                           const std::uint8_t* data, std::size_t size, bool fin) {
    Reader& reader = stream.readers[static_cast<int>(direction)];
    while (size > 0) {
        if (reader.wait != Wait::None)
            return Hold(reader, data, size, fin);
        std::size_t used = 0;
        switch (reader.phase) {
            case Phase::StreamType:
            case Phase::FrameType:
            case Phase::FrameLength: {
                used = reader.varint.Take(data, size);
                if (!reader.varint.Whole())
                    break;
                const std::uint64_t value = reader.varint.value;
                reader.varint = {};
                if (reader.phase == Phase::FrameLength) {
                    reader.left = value;
                    if (!BeginFrame(id, stream, direction))
                        return false;
                    break;
                }
                reader.type = value;
                if (reader.phase == Phase::FrameType)
                    reader.phase = Phase::FrameLength;
                else if (!OnStreamType(id, stream, direction))
                    return false;
                break;
            }
            case Phase::Block: {
                used = static_cast<std::size_t>(std::min<std::uint64_t>(size, reader.left));
                const std::size_t needed = reader.block.size() + used;
                if (needed > reader.block.capacity()) {
                    // The frame's length is bounded already; the block grows as it arrives.
                    const std::size_t whole = reader.block.size() + reader.left;
                    const std::size_t grown = std::max(
                        needed,
                        std::min(whole, std::max<std::size_t>(2 * reader.block.capacity(), 1024)));
                    if (!reader.blockHold.Resize(grown))
                        return false;
                    reader.block.reserve(grown);
                }
                reader.block.append(reinterpret_cast<const char*>(data), used);
                reader.left -= used;
                if (reader.left == 0 && !BlockRead(id, stream, direction))
                    return false;
                break;
            }
            case Phase::Body:
            case Phase::Skip:
                used = static_cast<std::size_t>(std::min<std::uint64_t>(size, reader.left));
                if (reader.phase == Phase::Body)
                    Body(stream, data, used);
                reader.left -= used;
                if (reader.left == 0)
                    reader.phase = Phase::FrameType;
                break;
            case Phase::Encoder:
                used = size;
                if (!OnEncoder(direction, data, size))
                    return false;
                break;
            case Phase::Discard:
                used = size;
                break;
        }
        data += used;
        size -= used;
    }
    if (reader.wait != Wait::None)
        return Hold(reader, data, 0, fin);
    if (!fin)
        return true;
    return Finish(id, stream, direction,
                  reader.phase == Phase::FrameType && reader.varint.need == 0);
}

bool Http3Connection::OnStreamType(std::uint64_t id, Stream& stream, Direction direction) {
    Reader& reader = stream.readers[static_cast<int>(direction)];
    Side& side = m_sides[static_cast<int>(direction)];
    switch (reader.type) {
        case kControlStream:
            if (side.control)
                return false;  // one control stream a side
            side.control = true;
            stream.role = Role::Control;
            reader.phase = Phase::FrameType;
            return true;
        case kEncoderStream:
            if (side.encoder)
                return false;
            side.encoder = true;
            side.encoderStream = id;
            stream.role = Role::Encoder;
            reader.phase = Phase::Encoder;
            // Its instructions fit the table the other side allowed: they wait for that.
            if (!m_decoders[static_cast<int>(direction)].configured)
                reader.wait = Wait::Settings;
            return true;
        default:
            // Decoder streams, pushed responses, extensions and reserved types: nothing here
            // tells of an exchange.
            stream.role = Role::Ignored;
            reader.phase = Phase::Discard;
            return true;
    }
}

bool Http3Connection::BeginFrame(std::uint64_t id, Stream& stream, Direction direction) {
    Reader& reader = stream.readers[static_cast<int>(direction)];
    const bool ok = stream.role == Role::Control ? BeginControlFrame(reader, direction)
                                                 : BeginRequestFrame(stream, reader, direction);
    if (!ok)
        return false;
    if (reader.left > 0)
        return true;
    if (reader.phase == Phase::Block)
        return BlockRead(id, stream, direction);
    reader.phase = Phase::FrameType;
    return true;
}

bool Http3Connection::BeginRequestFrame(Stream& stream, Reader& reader, Direction direction) {
    const bool response = direction == Direction::ToClient;
    const bool headRead = response ? stream.finalHead : stream.requestRead;
    switch (reader.type) {
        case kH3Data:
            if (!headRead || reader.trailers)
                return false;  // a body before its head, or after its trailers
            reader.phase = response && stream.response ? Phase::Body : Phase::Skip;
            return true;
        case kH3Headers:
            if (reader.left == 0 || reader.left > m_limits.maxHeaderBlockBytes || reader.trailers)
                return false;
            // The head is read (a response's until its final one); trailers are passed over.
            reader.trailers = headRead;
            reader.phase = headRead ? Phase::Skip : Phase::Block;
            return true;
        case kH3PushPromise:
            // Pushed responses are not followed; the promise is passed over.
            if (!response || reader.left > m_limits.maxHeaderBlockBytes)
                return false;
            reader.phase = Phase::Skip;
            return true;
        case kH3CancelPush:
        case kH3Settings:
        case kH3GoAway:
        case kH3MaxPushId:
            return false;  // control frames belong on the control stream
        default:
            if (IsHttp2Frame(reader.type))
                return false;
            reader.phase = Phase::Skip;  // unknown and reserved types
            return true;
    }
}

bool Http3Connection::BeginControlFrame(Reader& reader, Direction direction) {
    Side& side = m_sides[static_cast<int>(direction)];
    if (!side.settings && reader.type != kH3Settings)
        return false;  // SETTINGS come first
    switch (reader.type) {
        case kH3Settings:
            if (side.settings || reader.left > kMaxSettingsBytes)
                return false;
            reader.phase = Phase::Block;
            return true;
        case kH3GoAway:
        case kH3CancelPush:
        case kH3MaxPushId:
            // One variable-length integer.
            if (reader.left == 0 || reader.left > 8)
                return false;
            reader.phase = Phase::Block;
            return true;
        case kH3Data:
        case kH3Headers:
        case kH3PushPromise:
            return false;
        default:
            if (IsHttp2Frame(reader.type))
                return false;
            reader.phase = Phase::Skip;
            return true;
    }
}

bool Http3Connection::BlockRead(std::uint64_t id, Stream& stream, Direction direction) {
    Reader& reader = stream.readers[static_cast<int>(direction)];
    if (stream.role == Role::Control) {
        const bool ok = OnControlFrame(reader, direction);
        ReleaseBlock(reader);
        reader.phase = Phase::FrameType;
        return ok;
    }
    std::vector<HttpHeader> fields;
    BudgetHold fieldsHold(m_budget);
    switch (DecodeBlock(id, reader, direction, fields, fieldsHold)) {
        case Decoded::Failed:
            return false;
        case Decoded::Waiting:
            return true;  // the block stays, whole, until it can be read
        case Decoded::Done:
            break;
    }
    ReleaseBlock(reader);
    reader.phase = Phase::FrameType;
    return OnFields(id, stream, direction, fields);
}

Http3Connection::Decoded Http3Connection::DecodeBlock(std::uint64_t id, Reader& reader,
                                                      Direction direction,
                                                      std::vector<HttpHeader>& fields,
                                                      BudgetHold& fieldsHold) {
    Decoder& decoder = m_decoders[static_cast<int>(direction)];
    // Before the receiving side's SETTINGS, its table's capacity, which a block's Required
    // Insert Count is encoded against, is unknown: only a block that needs no entry (that
    // count, its first byte, zero) can be read.
    if (!decoder.configured && reader.block[0] != 0)
        return SetWait(id, reader, direction, Wait::Settings) ? Decoded::Waiting : Decoded::Failed;
    if (!reader.context) {
        nghttp3_qpack_stream_context* context = nullptr;
        if (nghttp3_qpack_stream_context_new(&context, static_cast<std::int64_t>(id),
                                             &decoder.allocator) != 0) {
            return Decoded::Failed;
        }
        reader.context.reset(context);
    }
    std::size_t listBytes = 0;
    for (;;) {
        nghttp3_qpack_nv field;
        std::uint8_t flags = 0;
        const auto* at =
            reinterpret_cast<const std::uint8_t*>(reader.block.data()) + reader.blockAt;
        const nghttp3_ssize read =
            nghttp3_qpack_decoder_read_request(decoder.decoder, reader.context.get(), &field,
                                               &flags, at, reader.block.size() - reader.blockAt, 1);
        if (read < 0) {
            decoder.failed = true;
            return Decoded::Failed;
        }
        reader.blockAt += static_cast<std::size_t>(read);
        if ((flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT) != 0) {
            const nghttp3_vec name = nghttp3_rcbuf_get_buf(field.name);
            const nghttp3_vec value = nghttp3_rcbuf_get_buf(field.value);
            listBytes += name.len + value.len + 32;
            const bool fits = listBytes <= m_limits.maxHeaderBytes &&
                              fieldsHold.Grow(name.len + value.len + sizeof(HttpHeader));
            if (fits) {
                fields.push_back(
                    {std::string(reinterpret_cast<const char*>(name.base), name.len),
                     std::string(reinterpret_cast<const char*>(value.base), value.len)});
            }
            nghttp3_rcbuf_decref(field.name);
            nghttp3_rcbuf_decref(field.value);
            if (!fits)
                return Decoded::Failed;
        }
        if ((flags & NGHTTP3_QPACK_DECODE_FLAG_FINAL) != 0)
            break;
        if ((flags & NGHTTP3_QPACK_DECODE_FLAG_BLOCKED) != 0)
            return SetWait(id, reader, direction, Wait::Table) ? Decoded::Waiting : Decoded::Failed;
        if ((flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT) == 0 && read == 0)
            return Decoded::Failed;  // no progress: never expected of a whole block
    }
    reader.context.reset();
    DrainDecoderStream(decoder.decoder);
    return Decoded::Done;
}

bool Http3Connection::OnFields(std::uint64_t id, Stream& stream, Direction direction,
                               std::vector<HttpHeader>& fields) {
    if (direction == Direction::ToServer) {
        bool ignore = false;
        auto request = RequestFromFields(fields, m_context.scheme, ignore);
        if (!request)
            return false;
        stream.requestRead = true;
        if (ignore) {
            Drop(id, stream);
            return true;
        }
        if (!stream.hold.Resize(sizeof(Stream) + 64 + RequestCost(*request)))
            return false;
        stream.request = std::move(*request);
        // A response that came first reads on.
        return Resume(id, Direction::ToClient);
    }
    auto response = ResponseFromFields(fields);
    if (!response)
        return false;
    if (response->status < 200)
        return true;  // 100, 103: the real answer follows
    stream.finalHead = true;
    const bool bodyless = AnswerIsBodyless(stream.request->method, response->status);
    HttpExchange exchange =
        AnswerExchange(std::move(*stream.request), std::move(*response), m_context);
    stream.request.reset();
    exchange.http3 = true;
    exchange.streamId = id;
    stream.hold.Resize(sizeof(Stream) + 64);
    stream.response.emplace(m_budget);
    if (!stream.response->Begin(m_sink, std::move(exchange), !bodyless))
        return false;
    if (bodyless)
        stream.response.reset();
    return true;
}

void Http3Connection::Body(Stream& stream, const std::uint8_t* data, std::size_t size) {
    if (stream.response)
        stream.response->Add(data, size);
}

bool Http3Connection::OnEncoder(Direction direction, const std::uint8_t* data, std::size_t size) {
    Decoder& decoder = m_decoders[static_cast<int>(direction)];
    const nghttp3_ssize read = nghttp3_qpack_decoder_read_encoder(decoder.decoder, data, size);
    if (read < 0 || static_cast<std::size_t>(read) != size) {
        decoder.failed = true;
        return false;
    }
    return decoder.waiting.empty() || ResumeWaiting(direction, Wait::Table);
}

bool Http3Connection::OnControlFrame(Reader& reader, Direction direction) {
    Side& side = m_sides[static_cast<int>(direction)];
    if (reader.type == kH3Settings) {
        side.settings = true;
        return OnSettings(reader.block, direction);
    }
    std::size_t at = 0;
    std::uint64_t value = 0;
    if (!ReadQuicVarInt(reader.block, at, value) || at != reader.block.size())
        return false;
    if (reader.type != kH3GoAway || direction != Direction::ToClient)
        return true;  // a client's GOAWAY names pushes, which are not followed
    // The server's names the first request it will not answer; a later one only lowers it.
    if ((value & 3) != 0 || value > m_goAway)
        return false;
    OnGoAway(value);
    return true;
}

bool Http3Connection::OnSettings(const std::string& payload, Direction direction) {
    std::optional<std::uint64_t> capacity;
    std::optional<std::uint64_t> blocked;
    std::size_t at = 0;
    while (at < payload.size()) {
        std::uint64_t id = 0;
        std::uint64_t value = 0;
        if (!ReadQuicVarInt(payload, at, id) || !ReadQuicVarInt(payload, at, value))
            return false;
        if (id >= 0x2 && id <= 0x5)
            return false;  // HTTP/2's settings, reserved
        std::optional<std::uint64_t>* known = id == kSettingQpackMaxTableCapacity ? &capacity
                                              : id == kSettingQpackBlockedStreams ? &blocked
                                                                                  : nullptr;
        if (known != nullptr) {
            if (*known)
                return false;  // given twice
            *known = value;
        }
    }
    // What a side announces configures the decoder of the blocks sent to it.
    const Direction decoded = Opposite(direction);
    Decoder& decoder = m_decoders[static_cast<int>(decoded)];
    if (capacity.value_or(0) > 0 &&
        !MakeDecoder(decoder, static_cast<std::size_t>(*capacity),
                     static_cast<std::size_t>(std::min<std::uint64_t>(
                         blocked.value_or(0), m_limits.maxBlockedStreams)))) {
        return false;
    }
    decoder.configured = true;
    decoder.allowedBlocked = static_cast<std::size_t>(
        std::min<std::uint64_t>(blocked.value_or(0), m_limits.maxBlockedStreams));
    // What waited for it reads on: the encoder stream first, so that fewer blocks wait again.
    const Side& encoding = m_sides[static_cast<int>(decoded)];
    if (encoding.encoder && !Resume(encoding.encoderStream, decoded))
        return false;
    return ResumeWaiting(decoded, Wait::Settings);
}

void Http3Connection::OnGoAway(std::uint64_t first) {
    m_goAway = first;
    for (auto& [id, stream] : m_streams) {
        if (stream.role != Role::Request || id < first)
            continue;
        // Never answered: forgotten, and what comes for it later is not read.
        Drop(id, stream);
        for (int d = 0; d < 2; ++d) {
            Silence(id, stream.readers[d], static_cast<Direction>(d));
            stream.readers[d].ended = true;
        }
    }
    m_tidy = true;
}

bool Http3Connection::Finish(std::uint64_t id, Stream& stream, Direction direction, bool whole) {
    Reader& reader = stream.readers[static_cast<int>(direction)];
    reader.ended = true;
    ReleaseBlock(reader);
    m_tidy = true;
    switch (stream.role) {
        case Role::Control:
        case Role::Encoder:
            return false;  // they last as long as the connection
        case Role::Request:
            if (direction == Direction::ToServer) {
                if (!stream.requestRead)
                    Drop(id, stream);  // ended before its head: no exchange
            } else if (stream.response) {
                stream.response->End(whole);
                stream.response.reset();
            }
            return true;
        default:
            return true;
    }
}

void Http3Connection::OnStreamReset(std::uint64_t streamId, Direction direction) {
    if (m_failed || m_ended)
        return;
    const auto found = m_streams.find(streamId);
    if (found == m_streams.end())
        return;
    Stream& stream = found->second;
    Reader& reader = stream.readers[static_cast<int>(direction)];
    if (reader.ended)
        return;
    Silence(streamId, reader, direction);
    reader.ended = true;
    m_tidy = true;
    switch (stream.role) {
        case Role::Control:
        case Role::Encoder:
            m_failed = true;  // the connection cannot be read on without them
            return;
        case Role::Request:
            if (direction == Direction::ToServer) {
                if (!stream.requestRead)
                    Drop(streamId, stream);
            } else if (stream.response) {
                stream.response->End(false);
                stream.response.reset();
            }
            break;
        default:
            break;
    }
    Tidy();
}

void Http3Connection::Drop(std::uint64_t id, Stream& stream) {
    stream.dropped = true;
    stream.request.reset();
    if (stream.response) {
        stream.response->End(false);
        stream.response.reset();
    }
    Reader& response = stream.readers[static_cast<int>(Direction::ToClient)];
    if (!response.ended && Silence(id, response, Direction::ToClient)) {
        response.ended = true;  // its end had come while it waited
        m_tidy = true;
    }
}

bool Http3Connection::Silence(std::uint64_t id, Reader& reader, Direction direction) {
    const bool fin = reader.heldFin;
    ClearWait(id, reader, direction);
    m_heldBytes -= reader.held.size();
    std::string().swap(reader.held);
    reader.heldHold.Resize(0);
    reader.heldFin = false;
    ReleaseBlock(reader);
    reader.phase = Phase::Discard;
    return fin;
}

bool Http3Connection::Hold(Reader& reader, const std::uint8_t* data, std::size_t size, bool fin) {
    if (size > m_limits.maxHeldBytes - m_heldBytes || !reader.heldHold.Grow(size))
        return false;
    reader.held.append(reinterpret_cast<const char*>(data), size);
    m_heldBytes += size;
    reader.heldFin = reader.heldFin || fin;
    return true;
}

bool Http3Connection::SetWait(std::uint64_t id, Reader& reader, Direction direction, Wait wait) {
    Decoder& decoder = m_decoders[static_cast<int>(direction)];
    const std::size_t allowed = decoder.configured
                                    ? std::min(decoder.allowedBlocked, m_limits.maxBlockedStreams)
                                    : m_limits.maxBlockedStreams;
    if (decoder.waiting.size() >= allowed)
        return false;
    decoder.waiting.push_back(id);
    if (!decoder.waitingHold.Resize(decoder.waiting.capacity() * sizeof(std::uint64_t))) {
        decoder.waiting.pop_back();
        return false;
    }
    reader.wait = wait;
    return true;
}

void Http3Connection::ClearWait(std::uint64_t id, Reader& reader, Direction direction) {
    if (reader.wait == Wait::Table || reader.wait == Wait::Settings) {
        std::vector<std::uint64_t>& waiting = m_decoders[static_cast<int>(direction)].waiting;
        const auto found = std::find(waiting.begin(), waiting.end(), id);
        if (found != waiting.end())
            waiting.erase(found);
    }
    reader.wait = Wait::None;
}

bool Http3Connection::Resume(std::uint64_t id, Direction direction) {
    const auto found = m_streams.find(id);
    if (found == m_streams.end())
        return true;
    Stream& stream = found->second;
    Reader& reader = stream.readers[static_cast<int>(direction)];
    if (reader.wait == Wait::None)
        return true;
    ClearWait(id, reader, direction);
    const std::string held = std::move(reader.held);
    const BudgetHold heldHold = std::move(reader.heldHold);
    const bool fin = reader.heldFin;
    m_heldBytes -= held.size();
    reader.held.clear();
    reader.heldFin = false;
    // A header block that waited whole is read first, then what followed it.
    if (reader.phase == Phase::Block && reader.left == 0 && !BlockRead(id, stream, direction))
        return false;
    return Read(id, stream, direction, reinterpret_cast<const std::uint8_t*>(held.data()),
                held.size(), fin);
}

bool Http3Connection::ResumeWaiting(Direction direction, Wait wait) {
    Decoder& decoder = m_decoders[static_cast<int>(direction)];
    if (decoder.waiting.empty())
        return true;
    const std::uint64_t inserted = nghttp3_qpack_decoder_get_icnt(decoder.decoder);
    std::vector<std::uint64_t> ready;
    for (const std::uint64_t id : decoder.waiting) {
        const auto found = m_streams.find(id);
        if (found == m_streams.end())
            continue;
        const Reader& reader = found->second.readers[static_cast<int>(direction)];
        if (reader.wait != wait)
            continue;
        if (wait == Wait::Table &&
            nghttp3_qpack_stream_context_get_ricnt(reader.context.get()) > inserted) {
            continue;
        }
        ready.push_back(id);
    }
    for (const std::uint64_t id : ready) {
        if (!Resume(id, direction))
            return false;
    }
    return true;
}

void Http3Connection::ReleaseBlock(Reader& reader) {
    std::string().swap(reader.block);
    reader.blockHold.Resize(0);
    reader.blockAt = 0;
    reader.context.reset();
}

void Http3Connection::Tidy() {
    if (!m_tidy)
        return;
    m_tidy = false;
    for (auto it = m_streams.begin(); it != m_streams.end();) {
        const Reader* readers = it->second.readers;
        if (readers[0].ended && readers[1].ended) {
            if (&it->second == m_lastStream)
                m_lastStream = nullptr;
            it = m_streams.erase(it);
        } else {
            ++it;
        }
    }
}

void Http3Connection::OnEnd() {
    if (m_ended)
        return;
    m_ended = true;
    // In the order the requests were made, for a sink that lists them.
    std::vector<std::uint64_t> collecting;
    for (const auto& [id, stream] : m_streams) {
        if (stream.response)
            collecting.push_back(id);
    }
    std::sort(collecting.begin(), collecting.end());
    for (const std::uint64_t id : collecting) m_streams.at(id).response->End(false);
    m_lastStream = nullptr;
    m_streams.clear();
    for (Decoder& decoder : m_decoders) {
        decoder.waiting.clear();
        decoder.waitingHold.Resize(0);
    }
    m_heldBytes = 0;
}
