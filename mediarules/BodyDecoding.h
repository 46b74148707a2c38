// Undoing the content codings of a response body (gzip, deflate, br, zstd) with a bound on
// what comes out, so that a small hostile body cannot expand into gigabytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

struct DecodedBody {
    std::string bytes;
    // The output stopped short of the whole body: at the bound, or because the input (a prefix
    // of the body, or a corrupt stream) ended before the coding did. What is there is exact.
    bool cut = false;
};

// Most codings one Content-Encoding value may stack.
inline constexpr std::size_t kMaxContentCodings = 4;

// Undoes the codings named by a Content-Encoding value ("gzip", "br", "gzip, br": applied in
// order, so undone last to first; "identity" and blanks are ignored; names match in any case).
// Every stage stops after `maxBytes` bytes of output. Nothing when a coding is unknown, there
// are more than kMaxContentCodings, or a stream is corrupt before its first byte of output.
// "deflate" is taken with or without its zlib wrapper, as servers send both.
std::optional<DecodedBody> DecodeContentCodings(std::string_view contentEncoding,
                                                std::string_view body, std::size_t maxBytes);
