#include "mediarules/UrlReference.h"

#include "base/Text.h"

namespace {

bool SchemeChar(char c, bool first) {
    const bool alpha = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return alpha || (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
}

bool HttpScheme(std::string_view scheme) {
    std::string lower;
    for (const char c : scheme.substr(0, 6)) lower.push_back(LowerAscii(c));
    return scheme.size() <= 5 && (lower == "http" || lower == "https");
}

bool CleanText(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F)
            return false;
    }
    return true;
}

// The path of `base` up to and including its last "/", followed by `reference`
// (RFC 3986, 5.2.3).
std::string MergePaths(const UrlParts& base, std::string_view reference) {
    if (base.hasAuthority && base.path.empty())
        return "/" + std::string(reference);
    const std::size_t slash = base.path.rfind('/');
    if (slash == std::string_view::npos)
        return std::string(reference);
    return std::string(base.path.substr(0, slash + 1)) + std::string(reference);
}

}  // namespace

UrlParts SplitUrl(std::string_view reference) {
    UrlParts parts;
    std::string_view rest = reference;
    // scheme ":" when the text before the first ":" is a scheme and no "/?#" comes before it.
    const std::size_t colon = rest.find(':');
    const std::size_t delimiter = rest.find_first_of("/?#");
    if (colon != std::string_view::npos && colon > 0 &&
        (delimiter == std::string_view::npos || colon < delimiter)) {
        bool scheme = true;
        for (std::size_t i = 0; i < colon && scheme; ++i) scheme = SchemeChar(rest[i], i == 0);
        if (scheme) {
            parts.scheme = rest.substr(0, colon);
            parts.hasScheme = true;
            rest.remove_prefix(colon + 1);
        }
    }
    if (rest.substr(0, 2) == "//") {
        rest.remove_prefix(2);
        const std::size_t end = rest.find_first_of("/?#");
        parts.authority = rest.substr(0, end);
        parts.hasAuthority = true;
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    }
    const std::size_t hash = rest.find('#');
    if (hash != std::string_view::npos) {
        parts.fragment = rest.substr(hash + 1);
        parts.hasFragment = true;
        rest = rest.substr(0, hash);
    }
    const std::size_t question = rest.find('?');
    if (question != std::string_view::npos) {
        parts.query = rest.substr(question + 1);
        parts.hasQuery = true;
        rest = rest.substr(0, question);
    }
    parts.path = rest;
    return parts;
}

std::string RemoveDotSegments(std::string_view input) {
    std::string output;
    output.reserve(input.size());
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../" || input == "/..") {
            // The prefix becomes "/", and the last segment of the output goes with its "/".
            if (input == "/..")
                input = "/";
            else
                input.remove_prefix(3);
            const std::size_t slash = output.rfind('/');
            output.resize(slash == std::string::npos ? 0 : slash);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            // Move the first segment (with its leading "/", if any) to the output.
            const std::size_t next = input.find('/', input.front() == '/' ? 1 : 0);
            const std::size_t length = next == std::string_view::npos ? input.size() : next;
            output.append(input.substr(0, length));
            input.remove_prefix(length);
        }
    }
    return output;
}

std::string ResolveReference(std::string_view base, std::string_view reference) {
    while (!reference.empty() && (reference.front() == ' ' || reference.front() == '\t'))
        reference.remove_prefix(1);
    while (!reference.empty() &&
           (reference.back() == ' ' || reference.back() == '\t' || reference.back() == '\r')) {
        reference.remove_suffix(1);
    }
    if (reference.size() > kMaxMediaUrlLength || !CleanText(reference))
        return {};
    const UrlParts r = SplitUrl(reference);
    const UrlParts b = SplitUrl(base);
    std::string_view scheme, authority, query;
    std::string path;
    bool hasQuery = false;
    if (r.hasScheme) {
        scheme = r.scheme;
        authority = r.authority;
        path = RemoveDotSegments(r.path);
        query = r.query;
        hasQuery = r.hasQuery;
        if (!r.hasAuthority)
            return {};  // "http:path" names nothing fetchable
    } else {
        if (!b.hasScheme || !b.hasAuthority)
            return {};
        scheme = b.scheme;
        if (r.hasAuthority) {
            authority = r.authority;
            path = RemoveDotSegments(r.path);
            query = r.query;
            hasQuery = r.hasQuery;
        } else {
            authority = b.authority;
            if (r.path.empty()) {
                path = std::string(b.path);
                query = r.hasQuery ? r.query : b.query;
                hasQuery = r.hasQuery || b.hasQuery;
            } else {
                path = RemoveDotSegments(r.path.front() == '/' ? std::string(r.path)
                                                               : MergePaths(b, r.path));
                query = r.query;
                hasQuery = r.hasQuery;
            }
        }
    }
    if (!HttpScheme(scheme) || authority.empty())
        return {};
    std::string url;
    url.reserve(scheme.size() + authority.size() + path.size() + query.size() + 5);
    for (const char c : scheme) url.push_back(LowerAscii(c));
    url += "://";
    url += authority;
    url += path.empty() || path.front() != '/' ? "/" + path : path;
    if (hasQuery) {
        url += '?';
        url += query;
    }
    if (url.size() > kMaxMediaUrlLength || !CleanText(url))
        return {};
    return url;
}

std::string UrlKey(std::string_view url, bool keepQuery) {
    const UrlParts parts = SplitUrl(url);
    if (!parts.hasScheme || !parts.hasAuthority || !HttpScheme(parts.scheme) ||
        parts.authority.empty()) {
        return {};
    }
    std::string scheme;
    for (const char c : parts.scheme) scheme.push_back(LowerAscii(c));
    // user information is no part of where a resource is
    std::string_view hostPort = parts.authority.substr(parts.authority.rfind('@') + 1);
    std::string_view port;
    const std::size_t colon = hostPort.rfind(':');
    if (colon != std::string_view::npos && hostPort.find(']', colon) == std::string_view::npos) {
        port = hostPort.substr(colon + 1);
        hostPort = hostPort.substr(0, colon);
    }
    std::string key = scheme + "://";
    for (const char c : hostPort) key.push_back(LowerAscii(c));
    const bool defaultPort =
        port.empty() || (scheme == "http" && port == "80") || (scheme == "https" && port == "443");
    if (!defaultPort) {
        key += ':';
        key += port;
    }
    key += parts.path.empty() ? std::string_view("/") : parts.path;
    if (keepQuery && parts.hasQuery) {
        key += '?';
        key += parts.query;
    }
    return key;
}
