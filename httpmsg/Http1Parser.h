// HTTP/1.1 messages of one connection: requests from the client, responses from the server,
// each response tied to the oldest request still waiting for one (keep-alive and pipelining).
// Bodies are framed by Content-Length, chunked coding (extensions and trailers skipped) or the
// server's close; HEAD, 204 and 304 answers carry none, and 1xx answers come before the real
// one. Framing that cannot be followed safely (a head past the bound, a bad or contradictory
// length, a malformed chunk, a response that answers nothing) gives the connection up before
// any wrong exchange is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "httpmsg/HttpExchange.h"
#include "httpmsg/HttpLimits.h"
#include "httpmsg/ResponseBody.h"
#include "tcp/BudgetHold.h"
#include "tcp/Direction.h"

class Http1Parser {
public:
    Http1Parser(MemoryBudget& budget, HttpExchangeSink& sink, const HttpConnectionContext& context,
                const HttpLimits& limits);

    // The next bytes of one direction. False: the connection cannot be read on (hostile or
    // unfollowable framing, the budget, or a protocol switch); it gives nothing more.
    bool Feed(Direction direction, const std::uint8_t* data, std::size_t size);
    // The side sending in `direction` closed it: a body that lasts until the close ends.
    void Finish(Direction direction);
    // The connection ended: a response still collecting hands over what it has.
    void End();

private:
    enum class State : std::uint8_t {
        Head,       // collecting a head
        Length,     // a body of `remaining` bytes
        ChunkSize,  // the hex digits of a chunk size
        ChunkLine,  // the rest of a chunk-size line (extensions)
        ChunkData,  // `remaining` bytes of chunk data
        ChunkCr,    // the line end after chunk data
        ChunkLf,
        Trailer,     // trailer lines up to the blank line
        UntilClose,  // a body that ends with the server's close
    };
    struct Reader {
        explicit Reader(MemoryBudget& budget) : headHold(budget) {}
        State state = State::Head;
        std::string head;  // the head so far, as sent
        BudgetHold headHold;
        std::size_t lineStart = 0;    // where in `head` the line being collected starts
        std::size_t skipped = 0;      // blank lines before a start line
        std::uint64_t remaining = 0;  // of a body or a chunk
        std::uint64_t chunkSize = 0;
        int chunkDigits = 0;
        std::size_t lineLength = 0;  // of the chunk-size or trailer line being read
        bool lineBeganWithCr = false;
        bool pendingCr = false;  // a chunk-size line's bytes so far end with a CR
        std::size_t trailerBytes = 0;
    };

    bool ConsumeHead(Reader& reader, Direction direction, const std::uint8_t* data,
                     std::size_t size, std::size_t& used);
    bool AppendHead(Reader& reader, const std::uint8_t* data, std::size_t size);
    bool OnRequestHead(Reader& reader);
    bool OnResponseHead(Reader& reader);
    void Body(Direction direction, const std::uint8_t* data, std::size_t size);
    void MessageEnd(Reader& reader, Direction direction);
    void ClearHead(Reader& reader);

    MemoryBudget& m_budget;
    HttpExchangeSink& m_sink;
    const HttpConnectionContext& m_context;
    const HttpLimits& m_limits;
    Reader m_readers[2];                    // by Direction
    std::deque<HttpRequestHead> m_waiting;  // requests without a response yet, oldest first
    BudgetHold m_waitingHold;
    std::optional<ResponseBody> m_response;  // the response being read
};
