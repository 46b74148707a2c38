// Bounds of the HTTP layer of the stream engine, and what it knows of the connection it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "frames/FrameDecoder.h"

struct HttpLimits {
    // One header block: an HTTP/1.1 head as sent, or an HTTP/2 or HTTP/3 header list as
    // decoded (names and values plus 32 bytes a field, as both count them). Past it, the
    // connection is given up.
    std::size_t maxHeaderBytes = 64u << 10;
    // Compressed bytes of one header block: HTTP/2 HEADERS or PUSH_PROMISE and its
    // CONTINUATION frames, frame headers counted too; the payload of an HTTP/3 HEADERS or
    // PUSH_PROMISE frame.
    std::size_t maxHeaderBlockBytes = 256u << 10;
    // HTTP/1.1 requests waiting for their responses (pipelining).
    std::size_t maxPipelined = 64;
    // HTTP/2 streams open at once, pushed ones included; HTTP/3 streams read at once, of
    // either kind.
    std::size_t maxStreams = 256;
    // HTTP/2: the largest HPACK dynamic table the decoder allows, whatever a peer announces.
    std::size_t maxHeaderTableBytes = 1u << 20;
    // HTTP/3: all that one QPACK decoder holds at once (its dynamic table with the library's
    // own bookkeeping per entry, and the field being decoded), whatever table capacity a peer
    // announces.
    std::size_t maxQpackDecoderBytes = 4u << 20;
    // HTTP/3: header blocks of one direction waiting at once for QPACK table entries not
    // inserted yet, whatever a peer allows.
    std::size_t maxBlockedStreams = 128;
    // HTTP/3: the bytes held while streams wait (for table entries, for the SETTINGS that
    // configure their decoder, or a response for its request's head), all streams together.
    std::size_t maxHeldBytes = 1u << 20;
};

// The connection an HTTP parser reads, as its exchanges carry it.
struct HttpConnectionContext {
    std::string scheme = "http";  // "http" or "https"
    IpAddress serverAddress;
    std::uint16_t serverPort = 0;  // host order
};
