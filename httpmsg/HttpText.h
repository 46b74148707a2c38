// Small pieces of HTTP syntax shared by the HTTP/1.1 and HTTP/2 parsers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/Text.h"  // EqualsNoCase, for the parsers
#include "httpmsg/HttpExchange.h"

// Whether `text` is an HTTP token (a method, a field name): one or more of the characters
// RFC 9110 allows there.
bool IsToken(std::string_view text);

// Whether a field value holds only what may be sent again as HTTP/1.1 text: no NUL, CR or LF
// (nor other control bytes but horizontal tab).
bool IsFieldValue(std::string_view value);

// Trims spaces and tabs at both ends.
std::string_view TrimBlanks(std::string_view text);

// The body length the Content-Length fields of a message announce: every field, and every
// comma-separated element of each, must be the same decimal number of at most 2^64 - 1.
// Nothing when there is no such field; `valid` false when they are not all one number.
std::optional<std::uint64_t> ContentLength(const std::vector<HttpHeader>& headers, bool& valid);

// The approximate bytes an exchange holds in memory, for the budget.
std::size_t ExchangeCost(const HttpExchange& exchange);
std::size_t RequestCost(const HttpRequestHead& request);
