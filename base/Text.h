// Small text helpers that every layer shares, so that each rule exists once: white space,
// decimal numbers (one overflow rule: saturate), names compared without case, the "http://"
// scheme. Header-only, so that the capture pipeline uses them without linking anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

// The white space the C library skips: blank, tab, line feed, carriage return, form feed,
// vertical tab.
inline constexpr std::string_view kWhiteSpace = " \t\n\r\f\v";

inline bool IsWhiteSpace(char c) {
    return kWhiteSpace.find(c) != std::string_view::npos;
}

// `text` without white space at either end.
inline std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kWhiteSpace) - first + 1);
}

// The unsigned decimal number at the very start of `text`: its digits up to the first other
// character. A value past 2^64 - 1 saturates there. `digits` receives how many digits were read
// (0: `text` does not start with a digit, and the value is 0).
inline std::uint64_t LeadingDecimal(std::string_view text, std::size_t& digits) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
        ++digits;
    }
    return value;
}

// `text` as one decimal number: digits only, at least one (saturating as above).
inline std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
    std::size_t digits = 0;
    const std::uint64_t value = LeadingDecimal(text, digits);
    if (digits == 0 || digits != text.size())
        return std::nullopt;
    return value;
}

inline char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Equal when compared without regard to the case of ASCII letters.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

inline bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// `text` with every "http://" taken out, wherever it stands.
inline std::string WithoutHttpScheme(std::string text) {
    constexpr std::string_view kScheme = "http://";
    for (std::size_t at; (at = text.find(kScheme)) != std::string::npos;)
        text.erase(at, kScheme.size());
    return text;
}
