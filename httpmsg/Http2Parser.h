// HTTP/2 of one connection, read from both directions: the client's connection preface, then
// frames, each direction on its own. Header blocks (HEADERS or PUSH_PROMISE and their
// CONTINUATION frames) are decoded by libnghttp2's HPACK inflater, one per direction, whose
// dynamic table may grow only as far as the other side's SETTINGS_HEADER_TABLE_SIZE allows;
// its memory comes from the budget. A request's stream is tied to its response; a pushed
// response to the request its PUSH_PROMISE carried. DATA is streamed (padding removed) into
// the response's body without being held; nothing but header fields is ever buffered.
//
// Frames longer than the receiver's SETTINGS_MAX_FRAME_SIZE, header blocks or header lists past
// their bounds, more open streams than allowed, padding longer than its frame, a malformed
// request or response head, or a frame where only CONTINUATION may stand give the connection
// up. Unknown frame types are skipped.
#pragma once

#include <nghttp2/nghttp2.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "httpmsg/HttpExchange.h"
#include "httpmsg/HttpLimits.h"
#include "httpmsg/LibraryMemory.h"
#include "httpmsg/ResponseBody.h"
#include "tcp/BudgetHold.h"
#include "tcp/Direction.h"

class Http2Parser {
public:
    // What the client sends first on every HTTP/2 connection.
    static constexpr char kPreface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    static constexpr std::size_t kPrefaceLength = sizeof kPreface - 1;

    Http2Parser(MemoryBudget& budget, HttpExchangeSink& sink, const HttpConnectionContext& context,
                const HttpLimits& limits);
    ~Http2Parser();
    Http2Parser(const Http2Parser&) = delete;
    Http2Parser& operator=(const Http2Parser&) = delete;

    // Makes the two header decoders; false when the budget refuses their memory.
    bool Start();
    // The next bytes of one direction. False: the connection cannot be read on; it gives
    // nothing more.
    bool Feed(Direction direction, const std::uint8_t* data, std::size_t size);
    // The connection ended: responses still collecting hand over what they have.
    void End();

private:
    enum class Phase : std::uint8_t { Preface, Header, Fixed, Payload, Padding, Skip };
    struct Side {
        nghttp2_hd_inflater* inflater = nullptr;
        std::uint32_t maxFrameSize = 16384;           // as the receiving side announced it
        std::optional<std::size_t> pendingTableSize;  // waits for the end of a header block
        Phase phase = Phase::Header;
        std::size_t prefaceSeen = 0;
        std::uint8_t header[9] = {};
        std::size_t headerHave = 0;
        // The frame being read.
        std::uint32_t length = 0;
        std::uint8_t type = 0;
        std::uint8_t flags = 0;
        std::uint32_t stream = 0;
        std::uint32_t left = 0;      // payload bytes still to read, padding included
        std::uint32_t padding = 0;   // padding bytes at the payload's end
        std::uint8_t fixed[8] = {};  // fields at the payload's start, or one SETTINGS entry
        std::size_t fixedHave = 0;
        std::size_t fixedNeed = 0;
        // The header block being read.
        bool inBlock = false;
        bool blockPush = false;
        bool blockEndStream = false;
        std::uint32_t blockStream = 0;
        std::uint32_t promised = 0;
        std::size_t blockBytes = 0;  // compressed, frame headers included
        std::size_t listBytes = 0;   // decoded, as HTTP/2 counts a header list
        std::vector<HttpHeader> fields;
        BudgetHold fieldsHold;
    };
    struct Stream {
        explicit Stream(MemoryBudget& budget) : hold(budget) {}
        HttpRequestHead request;
        std::optional<ResponseBody> response;  // once its final head came
        BudgetHold hold;
    };

    bool BeginFrame(Side& side, Direction direction);
    bool Settle(Side& side, Direction direction);
    bool OnFixed(Side& side, Direction direction);
    bool FrameEnd(Side& side, Direction direction);
    bool Inflate(Side& side, const std::uint8_t* data, std::size_t size, bool final);
    bool BlockEnd(Side& side, Direction direction);
    bool ApplyTableSize(Side& side, std::size_t size);
    bool AddStream(std::uint32_t id, HttpRequestHead request);
    bool OnResponseFields(std::uint32_t id, Stream& stream, std::vector<HttpHeader>& fields,
                          bool endStream);
    void EndStream(std::uint32_t id, bool complete);

    MemoryBudget& m_budget;
    HttpExchangeSink& m_sink;
    const HttpConnectionContext& m_context;
    const HttpLimits& m_limits;
    LibraryMemory m_libraryMemory;
    nghttp2_mem m_memory;
    Side m_sides[2];  // by Direction
    std::unordered_map<std::uint32_t, Stream> m_streams;
    std::uint32_t m_lastClientStream = 0;  // the highest stream a request opened
};
