#include "http/RefetchHeaders.h"

#include "base/Text.h"
#include "http/HttpDownloader.h"
#include "httpmsg/HttpText.h"

namespace {

// One header of the block with its continuation lines joined.
struct Field {
    std::string_view name;
    std::string value;
    bool sendable = true;
};

// Takes `field` when it is one of those sent again.
void Take(const Field& field, RefetchHeaders& out) {
    if (!field.sendable || !IsToken(field.name) || field.value.size() > kMaxRefetchHeaderValue)
        return;
    const std::string_view value = TrimBlanks(field.value);
    if (value.empty() || !IsFieldValue(value))
        return;
    if (EqualsNoCase(field.name, "Cookie")) {
        // Crumbs sent on several lines travel as one line.
        if (out.cookie.size() + 2 + value.size() > kMaxRefetchHeaderValue)
            return;
        if (!out.cookie.empty())
            out.cookie += "; ";
        out.cookie += value;
    } else if (EqualsNoCase(field.name, "Referer")) {
        if (out.referer.empty())
            out.referer = value;
    } else if (EqualsNoCase(field.name, "User-Agent")) {
        if (out.userAgent.empty())
            out.userAgent = value;
    } else if (EqualsNoCase(field.name, "Authorization")) {
        if (out.authorization.empty())
            out.authorization = value;
    }
}

}  // namespace

RefetchHeaders ChooseRefetchHeaders(std::string_view headerBlock) {
    RefetchHeaders out;
    Field field;
    bool haveField = false;
    bool first = true;
    std::size_t position = 0;
    while (position < headerBlock.size()) {
        std::size_t end = headerBlock.find('\n', position);
        const bool lastLine = end == std::string_view::npos;
        if (lastLine)
            end = headerBlock.size();
        std::string_view line = headerBlock.substr(position, end - position);
        position = lastLine ? end : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (first) {
            first = false;  // the request line
            continue;
        }
        if (line.empty())
            break;  // the end of the header block
        if (line.front() == ' ' || line.front() == '\t') {
            // A folded continuation of the header before.
            if (haveField) {
                field.value += ' ';
                field.value += TrimBlanks(line);
                field.sendable = field.sendable && field.value.size() <= kMaxRefetchHeaderValue;
            }
            continue;
        }
        if (haveField)
            Take(field, out);
        haveField = false;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        field = Field{};
        field.name = line.substr(0, colon);  // no blank may stand before the colon
        const std::string_view value = line.substr(colon + 1);
        field.sendable = value.size() <= kMaxRefetchHeaderValue;
        if (field.sendable)
            field.value.assign(value);
        haveField = true;
    }
    if (haveField)
        Take(field, out);
    return out;
}

std::vector<std::string> TransferHeaderLines(const RefetchHeaders& headers) {
    std::vector<std::string> lines;
    if (!headers.cookie.empty())
        lines.push_back("Cookie: " + headers.cookie);
    if (!headers.referer.empty())
        lines.push_back("Referer: " + headers.referer);
    if (!headers.authorization.empty())
        lines.push_back("Authorization: " + headers.authorization);
    return lines;
}

bool SameOrigin(std::string_view a, std::string_view b) {
    HttpUrlParts first, second;
    return ParseHttpUrl(std::string(a), first) && ParseHttpUrl(std::string(b), second) &&
           first.scheme == second.scheme && EqualsNoCase(first.server, second.server) &&
           first.port == second.port;
}

std::vector<std::string> ScopedHeaderLines(const RefetchHeaders& headers,
                                           std::string_view capturedUrl,
                                           std::string_view requestUrl, bool steppedDown) {
    std::vector<std::string> lines;
    HttpUrlParts request;
    if (steppedDown || !ParseHttpUrl(std::string(requestUrl), request))
        return lines;
    const bool secure = request.scheme == "https";
    if (secure && SameOrigin(capturedUrl, requestUrl))
        return TransferHeaderLines(headers);
    // Elsewhere the Referer says at most which site the request came from.
    HttpUrlParts referer;
    if (!headers.referer.empty() && ParseHttpUrl(headers.referer, referer) &&
        (secure || referer.scheme != "https")) {
        const bool defaultPort = (referer.scheme == "https" && referer.port == 443) ||
                                 (referer.scheme == "http" && referer.port == 80);
        std::string origin = referer.scheme + "://";
        for (const char c : referer.server) origin.push_back(LowerAscii(c));
        if (!defaultPort)
            origin += ":" + std::to_string(referer.port);
        lines.push_back("Referer: " + origin + "/");
    }
    return lines;
}

std::string ConverterHeaders(const RefetchHeaders& headers) {
    std::string text;
    if (!headers.cookie.empty())
        text += "Cookie: " + headers.cookie + "\r\n";
    if (!headers.referer.empty())
        text += "Referer: " + headers.referer + "\r\n";
    if (!headers.userAgent.empty())
        text += "User-Agent: " + headers.userAgent + "\r\n";
    return text;
}
