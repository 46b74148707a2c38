// Browser DevTools exports (HAR 1.2, JSON): each entry's request and response as the HTTP layer
// would have handed them on, so that the same media rules read HTTPS, HTTP/2 and HTTP/3
// sessions without a key log.
//
// The file is read as a stream, in steps of a fixed size: memory stays near the fields one
// entry keeps (its URL, headers and the start of its body) plus a fixed amount, whatever the
// file holds, and the time is linear in its size. What no rule uses is skipped as it is read,
// never stored: other members and arrays, keys longer than any known one, the rest of a long
// body.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "httpmsg/HttpExchange.h"
#include "mediarules/Playlist.h"

// Headers kept of one request or response; a longer header value is dropped.
inline constexpr std::size_t kMaxHarHeaders = 256;
inline constexpr std::size_t kMaxHarHeaderValueBytes = 65536;
// The start of an entry's content.text that is kept: the most a media rule reads of a body (a
// whole playlist), in base64 with room for line breaks. The lengths count the whole text.
inline constexpr std::size_t kMaxHarBodyTextBytes = kMaxPlaylistBytes / 2 * 3;
// Nesting skipped inside what is not read; deeper is taken for a hostile file.
inline constexpr std::size_t kMaxHarSkippedDepth = 1u << 20;

struct HarEntry {
    // The request line and headers (pseudo-headers turned into the request line and Host; a
    // request whose headers the browser left out gets just those), the response status and
    // headers. The body a HAR holds is decoded already, so Content-Encoding is left out, and
    // the content length is the decoded body's (else Content-Length, else content.size).
    HttpExchange exchange;
    std::string bodyText;        // the start of content.text as stored (JSON escapes undone)
    bool bodyTextWhole = false;  // bodyText is all of content.text
    bool base64 = false;         // content.encoding is "base64"
    bool hasBody = false;        // content.text was there
    std::time_t started = 0;     // startedDateTime, 0 when absent or unreadable
};

// Whether the first bytes of a file are those of a HAR: a JSON object whose first member is
// "log" (after blanks and a byte order mark).
bool LooksLikeHar(std::string_view start);

// Reads a HAR document and hands each entry of log.entries to `onEntry`, in order. Entries
// that are not an http(s) request with a status are skipped. False, with `error` set, when
// the JSON is malformed or has no log.entries; the entries before the fault were handed on.
// When `stop` turns true, the reading ends within a step (false, error "stopped").
bool ReadHar(std::string_view document, const std::function<void(const HarEntry&)>& onEntry,
             std::string& error, const std::atomic<bool>* stop = nullptr);

// The same for a file: a regular file (anything else is refused without blocking), or an
// open descriptor of one, read from its start.
bool ReadHarFile(const std::string& path, const std::function<void(const HarEntry&)>& onEntry,
                 std::string& error, const std::atomic<bool>* stop = nullptr);
bool ReadHarDescriptor(int fd, const std::function<void(const HarEntry&)>& onEntry,
                       std::string& error, const std::atomic<bool>* stop = nullptr);

// Hands one entry to a sink as the HTTP layer would: the head, then as much of the body as the
// sink asked for (base64 decoded on the way, no further than asked).
void FeedHarEntry(const HarEntry& entry, HttpExchangeSink& sink);
