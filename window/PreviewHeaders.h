// What a Preview gives the player of the request the browser made for the entry.
#pragma once

#include <string>
#include <string_view>

// The player's -headers value for `url` (an entry's URL) from the captured `requestHeaders`,
// empty for none. The player sends its -headers to every host it is led to (a redirect, a
// playlist's variants, segments and keys, whose TLS it does not check) and its -cookies to any
// host whose name ends with the cookie's domain; so nothing that carries the session goes: no
// Cookie, no Authorization, and of the Referer only its origin ("https://host[:port]"), besides
// the User-Agent. A plain http:// file gets nothing (it plays as it always did), and so does an
// entry whose URL is not on the scheme, host and port its headers were captured for.
std::string PreviewHeaders(std::string_view url, std::string_view requestHeaders, bool stream);

// "scheme://host[:port]" of an absolute http(s) URL (lower case, default port left out, user
// information dropped); empty for anything else or when the host is empty or holds a blank or
// a control byte.
std::string UrlOrigin(std::string_view url);
