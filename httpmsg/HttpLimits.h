// Bounds of the HTTP layer of the stream engine, and what it knows of the connection it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "frames/FrameDecoder.h"

struct HttpLimits {
    // One header block: an HTTP/1.1 head as sent, or an HTTP/2 header list as decoded (names
    // and values plus 32 bytes a field, as HTTP/2 counts them). Past it, the connection is
    // given up.
    std::size_t maxHeaderBytes = 64u << 10;
    // HTTP/2: compressed bytes of one header block (HEADERS or PUSH_PROMISE and its
    // CONTINUATION frames, frame headers counted too).
    std::size_t maxHeaderBlockBytes = 256u << 10;
    // HTTP/1.1 requests waiting for their responses (pipelining).
    std::size_t maxPipelined = 64;
    // HTTP/2 streams open at once, pushed ones included.
    std::size_t maxStreams = 256;
    // HTTP/2: the largest HPACK dynamic table the decoder allows, whatever a peer announces.
    std::size_t maxHeaderTableBytes = 1u << 20;
};

// The connection an HTTP parser reads, as its exchanges carry it.
struct HttpConnectionContext {
    std::string scheme = "http";  // "http" or "https"
    IpAddress serverAddress;
    std::uint16_t serverPort = 0;  // host order
};
