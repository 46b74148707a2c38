// URLs as playlists name them: references resolved against the playlist's own URL (RFC 3986,
// section 5), and the key under which two spellings of one http(s) URL meet.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Longest URL the media rules keep or report; longer ones are dropped, never cut.
inline constexpr std::size_t kMaxMediaUrlLength = 8192;

// The five components of a URI reference (RFC 3986, appendix B). A component that is absent
// differs from one that is empty ("http://h/p?" has an empty query).
struct UrlParts {
    std::string_view scheme, authority, path, query, fragment;
    bool hasScheme = false, hasAuthority = false, hasQuery = false, hasFragment = false;
};
UrlParts SplitUrl(std::string_view reference);

// RFC 3986, 5.2.4.
std::string RemoveDotSegments(std::string_view path);

// `reference` resolved against the absolute URL `base` (RFC 3986, 5.2.2), without its
// fragment. Empty when the result is not an absolute http or https URL, is longer than
// kMaxMediaUrlLength, or holds a blank or a control byte. Leading and trailing blanks of the
// reference are ignored.
std::string ResolveReference(std::string_view base, std::string_view reference);

// The key under which a URL's spellings meet: scheme and host in lower case, the scheme's
// default port left out, an empty path made "/", the fragment dropped, and the query dropped
// too unless `keepQuery`. Empty when `url` is not an absolute http or https URL.
std::string UrlKey(std::string_view url, bool keepQuery);
