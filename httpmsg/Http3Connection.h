// HTTP/3 of one QUIC connection, read from the bytes of its streams as the QUIC stage puts
// them in order, and handed to the sink exchange by exchange as HTTP/2's are: the response head
// tied to its request, then the body prefix the sink asked for.
//
// Request streams carry HEADERS and DATA frames (unknown and reserved types skipped; a
// PUSH_PROMISE, a pushed stream, the trailers and interim 1xx answers passed over). Each side's
// control stream opens with its SETTINGS; its QPACK_MAX_TABLE_CAPACITY and
// QPACK_BLOCKED_STREAMS configure the decoder of the header blocks sent to that side. Header
// blocks are decoded by libnghttp3's QPACK decoder, one per direction, whose dynamic table the
// sending side's encoder stream fills; a block that refers to entries not inserted yet waits,
// with what follows it on its stream, until the encoder stream delivers them. A response waits
// likewise until its request's head is decoded. The server's GOAWAY ends the requests it will
// not answer and lets no new one in; those before it go on.
//
// A header block is held whole (at most HttpLimits::maxHeaderBlockBytes) until decoded; DATA is
// streamed into the response's body without being held. Everything it holds comes from the
// budget, the decoders' memory through their allocator (each capped at
// HttpLimits::maxQpackDecoderBytes). Hostile framing, a bound passed, a malformed head, a
// critical stream closed or the budget refusing give the connection up: the call returns false,
// nothing more is read, and nothing wrong is reported. OnEnd still hands over what the answers
// collected. The sink and the budget must outlive it.
#pragma once

#include <nghttp3/nghttp3.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "httpmsg/HttpExchange.h"
#include "httpmsg/HttpLimits.h"
#include "httpmsg/LibraryMemory.h"
#include "httpmsg/ResponseBody.h"
#include "tcp/BudgetHold.h"
#include "tcp/Direction.h"

class Http3Connection {
public:
    // Null when the budget refuses the connection's own state.
    static std::unique_ptr<Http3Connection> Create(MemoryBudget& budget, HttpExchangeSink& sink,
                                                   HttpConnectionContext context,
                                                   const HttpLimits& limits = HttpLimits{});
    ~Http3Connection();
    Http3Connection(const Http3Connection&) = delete;
    Http3Connection& operator=(const Http3Connection&) = delete;

    // The bytes of one QUIC stream in order, from offset 0 on, as the side that sends on it sent
    // them: `direction` ToServer for bytes the client sent, ToClient for the server's. Bidi
    // streams (client-initiated, id % 4 == 0) carry a request one way and its response the
    // other; unidirectional streams (id % 4 == 2 from the client, 3 from the server) begin with
    // their stream type (control, QPACK encoder, QPACK decoder, push, or unknown: ignored).
    // `fin`: the stream's last byte is in this call (size may be 0). False gives the connection
    // up: nothing more is read and nothing wrong is reported.
    bool OnStreamData(std::uint64_t streamId, Direction direction, const std::uint8_t* data,
                      std::size_t size, bool fin);
    // RESET_STREAM / STOP_SENDING seen for the stream in that direction: what it carried so far
    // ends (an answer collecting hands over what it has, not complete).
    void OnStreamReset(std::uint64_t streamId, Direction direction);
    // The connection ended (CONNECTION_CLOSE, idle, the capture's end): answers still
    // collecting hand over what they have.
    void OnEnd();

private:
    struct ContextDelete {
        void operator()(nghttp3_qpack_stream_context* context) const;
    };
    // What one direction of a stream is reading.
    enum class Phase : std::uint8_t {
        StreamType,   // a unidirectional stream's type
        FrameType,    // a frame's type, then its length
        FrameLength,  //
        Block,        // a header block or control frame, held whole
        Body,         // a response's DATA, streamed
        Skip,         // a frame passed over
        Encoder,      // QPACK encoder instructions
        Discard,      // nothing more of this direction matters
    };
    // Why a direction does not read on: what arrives meanwhile is held.
    enum class Wait : std::uint8_t {
        None,
        Table,     // its header block refers to entries not inserted yet
        Settings,  // its decoder waits for the SETTINGS that configure it
        Request,   // a response whose request's head is not decoded yet
    };
    enum class Role : std::uint8_t { Request, Unidirectional, Control, Encoder, Ignored };
    // A QUIC variable-length integer arriving in pieces.
    struct VarInt {
        std::uint64_t value = 0;
        std::uint8_t have = 0;
        std::uint8_t need = 0;  // 1, 2, 4 or 8 once its first byte came
        // Takes what it still needs of `data` (size at least 1); gives how much it took.
        std::size_t Take(const std::uint8_t* data, std::size_t size) {
            std::size_t used = 0;
            if (need == 0) {
                need = static_cast<std::uint8_t>(1u << (data[0] >> 6));
                value = data[0] & 0x3F;
                have = 1;
                used = 1;
            }
            for (; have < need && used < size; ++have) value = (value << 8) | data[used++];
            return used;
        }
        bool Whole() const { return need != 0 && have == need; }
    };
    struct Reader {
        explicit Reader(MemoryBudget& budget) : blockHold(budget), heldHold(budget) {}
        Phase phase = Phase::FrameType;
        VarInt varint;
        std::uint64_t type = 0;  // the frame being read
        std::uint64_t left = 0;  // its payload bytes still to come
        std::string block;       // a header block or control frame being held
        BudgetHold blockHold;
        std::size_t blockAt = 0;  // what the decoder has read of it
        std::unique_ptr<nghttp3_qpack_stream_context, ContextDelete> context;
        Wait wait = Wait::None;
        std::string held;  // what arrived while waiting
        BudgetHold heldHold;
        bool heldFin = false;
        bool trailers = false;  // the trailers' HEADERS came
        bool ended = false;     // its last byte read, or reset
    };
    struct Stream {
        explicit Stream(MemoryBudget& budget)
            : readers{Reader(budget), Reader(budget)}, hold(budget) {}
        Role role = Role::Request;
        Reader readers[2];                       // by Direction
        std::optional<HttpRequestHead> request;  // once its head is decoded, until the answer
        bool requestRead = false;
        bool dropped = false;                  // no exchange comes of it
        bool finalHead = false;                // the final response head came
        std::optional<ResponseBody> response;  // collecting
        BudgetHold hold;
    };
    // The QPACK decoder of the header blocks that travel one way, and what the side receiving
    // them announced.
    struct Decoder {
        Decoder(MemoryBudget& budget, std::size_t cap)
            : memory(budget, cap),
              allocator{&memory, LibraryMemory::Malloc, LibraryMemory::Free, LibraryMemory::Calloc,
                        LibraryMemory::Realloc},
              waitingHold(budget) {}
        LibraryMemory memory;
        nghttp3_mem allocator;
        nghttp3_qpack_decoder* decoder = nullptr;
        bool configured = false;  // the receiving side's SETTINGS read
        // The library reported an error: its state may be in disorder (libnghttp3 0.8 drops
        // references it still holds when an insertion's allocation is refused), so it is never
        // called again and its memory is taken back whole.
        bool failed = false;
        std::size_t allowedBlocked = 0;
        std::vector<std::uint64_t> waiting;  // streams whose blocks wait (Table or Settings)
        BudgetHold waitingHold;
    };
    // What one side opened, by the Direction it sends in.
    struct Side {
        bool control = false;
        bool settings = false;
        bool encoder = false;
        std::uint64_t encoderStream = 0;
    };
    enum class Decoded : std::uint8_t { Failed, Waiting, Done };

    Http3Connection(MemoryBudget& budget, HttpExchangeSink& sink, HttpConnectionContext context,
                    const HttpLimits& limits);
    bool MakeDecoder(Decoder& decoder, std::size_t capacity, std::size_t blocked);
    bool Fail();
    void Abandon(Direction direction);
    bool Read(std::uint64_t id, Stream& stream, Direction direction, const std::uint8_t* data,
              std::size_t size, bool fin);
    bool BeginFrame(std::uint64_t id, Stream& stream, Direction direction);
    bool BeginRequestFrame(Stream& stream, Reader& reader, Direction direction);
    bool BeginControlFrame(Reader& reader, Direction direction);
    bool BlockRead(std::uint64_t id, Stream& stream, Direction direction);
    bool OnStreamType(std::uint64_t id, Stream& stream, Direction direction);
    bool OnEncoder(Direction direction, const std::uint8_t* data, std::size_t size);
    bool OnControlFrame(Reader& reader, Direction direction);
    bool OnSettings(const std::string& payload, Direction direction);
    void OnGoAway(std::uint64_t id);
    Decoded DecodeBlock(std::uint64_t id, Reader& reader, Direction direction,
                        std::vector<HttpHeader>& fields, BudgetHold& fieldsHold);
    bool OnFields(std::uint64_t id, Stream& stream, Direction direction,
                  std::vector<HttpHeader>& fields);
    bool Finish(std::uint64_t id, Stream& stream, Direction direction, bool whole);
    void Body(Stream& stream, const std::uint8_t* data, std::size_t size);
    void Drop(std::uint64_t id, Stream& stream);
    bool Silence(std::uint64_t id, Reader& reader, Direction direction);
    bool Hold(Reader& reader, const std::uint8_t* data, std::size_t size, bool fin);
    bool SetWait(std::uint64_t id, Reader& reader, Direction direction, Wait wait);
    void ClearWait(std::uint64_t id, Reader& reader, Direction direction);
    bool Resume(std::uint64_t id, Direction direction);
    bool ResumeWaiting(Direction direction, Wait wait);
    void ReleaseBlock(Reader& reader);
    void Tidy();

    MemoryBudget& m_budget;
    HttpExchangeSink& m_sink;
    const HttpConnectionContext m_context;
    const HttpLimits m_limits;
    BudgetHold m_hold;
    Decoder m_decoders[2];  // by the Direction of the header blocks they decode
    Side m_sides[2];        // by the Direction each side sends in
    std::unordered_map<std::uint64_t, Stream> m_streams;
    // The stream the last data went to: a body's packets come one after the other on one
    // stream, and the map's nodes stay where they are until erased (forgotten then).
    Stream* m_lastStream = nullptr;
    std::uint64_t m_lastStreamId = 0;
    std::uint64_t m_goAway = UINT64_MAX;  // the first request stream the server will not answer
    std::size_t m_heldBytes = 0;
    bool m_tidy = false;  // a stream may have ended
    bool m_failed = false;
    bool m_ended = false;
};
