// What a fetch of a listed entry sends again of the request the browser made for it: the
// headers that carry the user's session and identity on the site (Cookie, Referer, User-Agent,
// Authorization), taken from the captured header block and nothing else. The block is HTTP/1.1
// text (an HTTP/2 request arrives as one, its pseudo-headers turned into the request line and
// Host). Range and If-Range, Host, Content-Length, Connection, Accept-Encoding and every other
// header stay out: the fetch asks for the whole resource, on a connection of its own, in the
// coding its own engine reads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Largest value taken of one header; a longer one is left out whole (cut, a cookie or a
// credential would be wrong).
inline constexpr std::size_t kMaxRefetchHeaderValue = 16384;

struct RefetchHeaders {
    // Empty when the captured request had none (or none that could be sent again safely).
    std::string cookie;  // several Cookie lines joined with "; ", as one line carries them
    std::string referer;
    std::string userAgent;
    std::string authorization;
};

// Reads the headers above from a captured request header block: names in any case, folded
// continuation lines joined with one blank, blanks around a value trimmed. A header whose name
// is not a token or whose value holds a control character (a carriage return or line feed
// within it, a NUL, ...), or is longer than kMaxRefetchHeaderValue, is left out. The first
// Referer, User-Agent and Authorization count.
RefetchHeaders ChooseRefetchHeaders(std::string_view headerBlock);

// The lines the transfer engine adds to its request ("Cookie: ...", "Referer: ...",
// "Authorization: ..."; the user agent is its own setting), without line ends.
std::vector<std::string> TransferHeaderLines(const RefetchHeaders& headers);

// Which of the captured headers one request may carry, by where it goes. The captured Cookie,
// Authorization and the whole Referer (its path and query can hold a session) go only to the
// scheme, host and port of `capturedUrl`, and only over https (a certificate the transfer engine
// checked). Any other destination gets at most the Referer's origin ("https://site/"), and
// none when the Referer is https and the request is not. Once a request's chain of redirects
// stepped down from https to http (`steppedDown`), nothing is sent at all. The user agent is
// the engine's own setting and is not among the lines.
std::vector<std::string> ScopedHeaderLines(const RefetchHeaders& headers,
                                           std::string_view capturedUrl,
                                           std::string_view requestUrl, bool steppedDown);

// Whether `a` and `b` are one origin: the same scheme, host (in any case) and port (the
// scheme's default when none is given). False when either does not parse.
bool SameOrigin(std::string_view a, std::string_view b);

// The converter's and the player's -headers value: the Cookie, Referer and User-Agent lines, each
// ended by CR LF; empty when there are none. Authorization stays out: the converter sends these
// headers to every server a playlist names.
std::string ConverterHeaders(const RefetchHeaders& headers);
