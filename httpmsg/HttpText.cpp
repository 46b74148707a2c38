#include "httpmsg/HttpText.h"

#include <array>

namespace {

constexpr std::array<bool, 256> MakeTokenTable() {
    std::array<bool, 256> table{};
    for (int c = '0'; c <= '9'; ++c) table[c] = true;
    for (int c = 'a'; c <= 'z'; ++c) table[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) table[c] = true;
    for (const char c : std::string_view("!#$%&'*+-.^_`|~"))
        table[static_cast<unsigned char>(c)] = true;
    return table;
}
constexpr std::array<bool, 256> kToken = MakeTokenTable();

std::size_t HeadersCost(const std::vector<HttpHeader>& headers) {
    std::size_t cost = headers.capacity() * sizeof(HttpHeader);
    for (const HttpHeader& header : headers) cost += header.name.size() + header.value.size();
    return cost;
}

}  // namespace

bool IsToken(std::string_view text) {
    if (text.empty())
        return false;
    for (const char c : text) {
        if (!kToken[static_cast<unsigned char>(c)])
            return false;
    }
    return true;
}

bool IsFieldValue(std::string_view value) {
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F)
            return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::optional<std::uint64_t> ContentLength(const std::vector<HttpHeader>& headers, bool& valid) {
    valid = true;
    std::optional<std::uint64_t> length;
    for (const HttpHeader& header : headers) {
        if (!EqualsNoCase(header.name, "content-length"))
            continue;
        std::string_view rest = header.value;
        for (;;) {
            const std::size_t comma = rest.find(',');
            const std::string_view element = TrimBlanks(rest.substr(0, comma));
            std::uint64_t value = 0;
            if (element.empty()) {
                valid = false;
                return std::nullopt;
            }
            for (const char c : element) {
                const auto digit = static_cast<std::uint64_t>(c - '0');
                if (c < '0' || c > '9' || value > (UINT64_MAX - digit) / 10) {
                    valid = false;
                    return std::nullopt;
                }
                value = value * 10 + digit;
            }
            if (length && *length != value) {
                valid = false;
                return std::nullopt;
            }
            length = value;
            if (comma == std::string_view::npos)
                break;
            rest.remove_prefix(comma + 1);
        }
    }
    return length;
}

std::size_t RequestCost(const HttpRequestHead& request) {
    return sizeof(HttpRequestHead) + request.method.size() + request.scheme.size() +
           request.authority.size() + request.target.size() + request.headerBlock.size() +
           HeadersCost(request.headers);
}

std::size_t ExchangeCost(const HttpExchange& exchange) {
    return sizeof(HttpExchange) + RequestCost(exchange.request) +
           HeadersCost(exchange.response.headers);
}
