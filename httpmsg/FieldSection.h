// Decoded header lists (field sections) of the multiplexed versions, HTTP/2 and HTTP/3: both
// send the request line as pseudo-headers and lower-case field names, and tie each response to
// its request by its stream. Shared by their parsers so that both hand the sink the same
// exchange.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "httpmsg/HttpExchange.h"
#include "httpmsg/HttpLimits.h"

// Whether a decoded field name may stand in a header list: a token without upper case (a
// pseudo-header's colon aside).
bool IsFieldName(std::string_view name);

// The request of a request header list: :method, :path and :authority (or Host) turned into
// the request line and Host of `headerBlock`, cookie crumbs joined into one Cookie header,
// pseudo-headers left out of `headers`. Null when the list is malformed (a field that cannot be
// written as HTTP/1.1 text, pseudo-headers after regular fields, repeated or unknown, no method
// or path). `ignore` is set for CONNECT: a tunnel, not an exchange.
std::optional<HttpRequestHead> RequestFromFields(std::vector<HttpHeader>& fields,
                                                 const std::string& scheme, bool& ignore);

// The status and headers of a response header list; null when malformed (no :status of three
// digits from 100 to 599, another pseudo-header, a field that cannot be written as text).
std::optional<HttpResponseHead> ResponseFromFields(std::vector<HttpHeader>& fields);

// The exchange of a request and its final response: the connection's server, and the content
// length when it frames a body (not for an answer to HEAD, a 204 or a 304).
HttpExchange AnswerExchange(HttpRequestHead request, HttpResponseHead response,
                            const HttpConnectionContext& context);

// Whether the answer has no body whatever its headers say.
bool AnswerIsBodyless(std::string_view method, int status);
