// Browser DevTools exports (HAR 1.2, JSON): each entry's request and response as the HTTP layer
// would have handed them on, so that the same media rules read HTTPS, HTTP/2 and HTTP/3
// sessions without a key log.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "httpmsg/HttpExchange.h"

// Largest HAR file read. Entries are read one at a time, so memory stays near the largest
// entry, not the file.
inline constexpr std::uint64_t kMaxHarFileBytes = 1ull << 30;
// Headers kept of one request or response; a longer header value is dropped.
inline constexpr std::size_t kMaxHarHeaders = 256;
inline constexpr std::size_t kMaxHarHeaderValueBytes = 65536;

struct HarEntry {
    // The request line and headers (pseudo-headers turned into the request line and Host; a
    // request whose headers the browser left out gets just those), the response status and
    // headers. The body a HAR holds is decoded already, so Content-Encoding is left out, and
    // the content length is the decoded body's (else Content-Length, else content.size).
    HttpExchange exchange;
    std::string_view bodyText;  // content.text as stored
    bool base64 = false;        // content.encoding is "base64"
    bool hasBody = false;       // content.text was there
    std::time_t started = 0;    // startedDateTime, 0 when absent or unreadable
};

// Whether the first bytes of a file are those of a HAR: a JSON object whose first member is
// "log" (after blanks and a byte order mark).
bool LooksLikeHar(std::string_view start);

// Reads a HAR document and hands each entry of log.entries to `onEntry`, in order. Entries
// that are not an http(s) request with a status are skipped. False, with `error` set, when
// the JSON is malformed or has no log.entries; the entries before the fault were handed on.
bool ReadHar(std::string_view document, const std::function<void(const HarEntry&)>& onEntry,
             std::string& error);

// The same for a file (at most kMaxHarFileBytes).
bool ReadHarFile(const std::string& path, const std::function<void(const HarEntry&)>& onEntry,
                 std::string& error);

// Hands one entry to a sink as the HTTP layer would: the head, then as much of the body as the
// sink asked for (base64 decoded on the way, no further than asked).
void FeedHarEntry(const HarEntry& entry, HttpExchangeSink& sink);
