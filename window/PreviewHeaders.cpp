#include "window/PreviewHeaders.h"

#include "base/Text.h"
#include "http/RefetchHeaders.h"
#include "httpmsg/HttpText.h"
#include "mediarules/UrlReference.h"

namespace {

// The value of the first Host line of a captured header block, blanks trimmed; empty when there
// is none before the blank line.
std::string_view CapturedHost(std::string_view block) {
    bool requestLine = true;
    while (!block.empty()) {
        const std::size_t end = block.find('\n');
        std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view() : block.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (requestLine) {
            requestLine = false;
            continue;
        }
        if (line.empty())
            break;
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && EqualsNoCase(line.substr(0, colon), "Host"))
            return TrimBlanks(line.substr(colon + 1));
    }
    return {};
}

}  // namespace

std::string UrlOrigin(std::string_view url) {
    const std::string key = UrlKey(url, false);
    const std::size_t hostAt = key.find("://");
    if (hostAt == std::string::npos)
        return {};
    const std::size_t pathAt = key.find('/', hostAt + 3);
    std::string origin = key.substr(0, pathAt);
    if (origin.size() == hostAt + 3)
        return {};
    for (const char c : origin) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F)
            return {};
    }
    return origin;
}

std::string PreviewHeaders(std::string_view url, std::string_view requestHeaders, bool stream) {
    const std::string origin = UrlOrigin(url);
    if (origin.empty() || (!stream && !StartsWithNoCase(url, "https://")))
        return {};
    // The origin the headers were captured for: the URL's scheme with the captured Host.
    const std::string_view host = CapturedHost(requestHeaders);
    const std::string scheme(url.substr(0, url.find("://") + 3));
    if (host.empty() || UrlOrigin(scheme + std::string(host) + "/") != origin)
        return {};
    const RefetchHeaders captured = ChooseRefetchHeaders(requestHeaders);
    std::string headers;
    if (const std::string referer = UrlOrigin(captured.referer); !referer.empty())
        headers += "Referer: " + referer + "\r\n";
    if (!captured.userAgent.empty())
        headers += "User-Agent: " + captured.userAgent + "\r\n";
    return headers;
}
