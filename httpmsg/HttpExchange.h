// One request and its response as the HTTP layer of the stream engine hands them on, whether
// they came over HTTP/1.1 or as a stream of HTTP/2, in clear or out of TLS, or as a stream of
// HTTP/3 out of QUIC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frames/FrameDecoder.h"

struct HttpHeader {
    std::string name;  // as sent (HTTP/2 sends lower case)
    std::string value;
};

// The value of the first header called `name` (compared without regard to case), or null.
const std::string* FindHeader(const std::vector<HttpHeader>& headers, std::string_view name);

struct HttpRequestHead {
    std::string method;     // "GET"
    std::string scheme;     // "http" or "https"
    std::string authority;  // the Host value (HTTP/1.1) or :authority (HTTP/2, 3); may be empty
    std::string target;     // path and query, "/v/clip.mp4?x=1"
    std::vector<HttpHeader> headers;  // as sent; HTTP/2 and HTTP/3 pseudo-headers left out
    // The request as HTTP/1.1 text: its request line, the headers and the blank line. For
    // HTTP/2 and HTTP/3 it is written from the pseudo-headers ("GET /v HTTP/1.1", "Host: ...")
    // and the headers, so that a fetch can send the captured headers again.
    std::string headerBlock;
};

struct HttpResponseHead {
    int status = 0;
    std::vector<HttpHeader> headers;
};

struct HttpExchange {
    HttpRequestHead request;
    HttpResponseHead response;
    bool http2 = false;
    // Read from an HTTP/3 stream of a QUIC connection (the port is then UDP's); a fetch again
    // goes over TCP all the same.
    bool http3 = false;
    std::uint64_t streamId = 0;  // HTTP/2 or QUIC stream; 0 on HTTP/1.1
    // The connection's server side; port in host order.
    IpAddress serverAddress;
    std::uint16_t serverPort = 0;
    // The response's announced body length (Content-Length, or content-length on HTTP/2, 3),
    // when it gave a valid one that frames its body: not set for a chunked or close-delimited
    // HTTP/1.1 body, nor for an answer that has no body whatever its headers say (to HEAD, 204,
    // 304).
    std::optional<std::uint64_t> contentLength;
};

// Receives the whole body of one response as it arrives, for a sink that keeps bodies (the
// capture's copies of media). Its calls come from the thread that feeds the connection.
class HttpBodyReceiver {
public:
    virtual ~HttpBodyReceiver() = default;
    // The next bytes of the body, `offset` bytes from its start: chunked framing (HTTP/1.1) and
    // DATA framing (HTTP/2, HTTP/3) removed, content coding as sent. Pieces come in order and
    // without gaps. `data` points into the caller's buffer (a capture frame, a decrypted record,
    // an opened QUIC packet) and is valid during the call only: the HTTP layer copies nothing.
    virtual void OnBodyBytes(std::uint64_t offset, const std::uint8_t* data, std::size_t size) = 0;
    // Once, last: `complete` when the body ended where its framing said, not when its stream or
    // connection ended first or was given up.
    virtual void OnBodyEnd(bool complete) = 0;
};

// Receives the exchanges of one connection, in the order their responses begin. Its calls come
// from the thread that feeds the connection, during that feeding.
class HttpExchangeSink {
public:
    virtual ~HttpExchangeSink() = default;
    // A response head has arrived, tied to its request. Gives how many bytes of its body (after
    // the chunked framing is removed, before any content coding is undone) to collect; 0 for
    // none, and then OnResponseBody is not called for it.
    virtual std::size_t OnResponseHead(const HttpExchange& exchange) = 0;
    // Called once per response that asked for bytes: when the collected prefix reached the size
    // asked for, when the body ended (`complete`), or when the connection ended or was given up
    // first (not complete; `body` then holds what arrived). `complete` is true exactly when
    // `body` is the whole body; a body longer than the size asked for is handed over, not
    // complete, once its next byte arrives. A prefix may also stop short when the memory budget
    // refuses to hold more (not complete).
    virtual void OnResponseBody(const HttpExchange& exchange, std::string_view body,
                                bool complete) = 0;

    // The whole-body path. The HTTP layer calls the two functions below in place of the two
    // above; their defaults call those and follow no body, so a sink that keeps no body
    // implements neither.
    struct BodyRequest {
        std::size_t prefix = 0;  // as OnResponseHead gives it
        // Gets every byte of the body from the first, then its end; null for none.
        std::unique_ptr<HttpBodyReceiver> receiver;
    };
    // A response head has arrived (as OnResponseHead).
    virtual BodyRequest OnResponseStart(const HttpExchange& exchange) {
        return {OnResponseHead(exchange), nullptr};
    }
    // The prefix is handed over (as OnResponseBody). `follows`: the body goes on past `body`
    // (it reached the size asked for, or the budget held no more). A receiver given then gets
    // every later byte, from offset body.size(), and the end; one already given at the start
    // stays the only one.
    virtual std::unique_ptr<HttpBodyReceiver> OnResponsePrefix(const HttpExchange& exchange,
                                                               std::string_view body,
                                                               bool complete, bool follows) {
        static_cast<void>(follows);
        OnResponseBody(exchange, body, complete);
        return nullptr;
    }
};
