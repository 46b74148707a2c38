#include "httpmsg/FieldSection.h"

#include <algorithm>
#include <utility>

#include "httpmsg/HttpText.h"

bool IsFieldName(std::string_view name) {
    if (!name.empty() && name.front() == ':')
        name.remove_prefix(1);
    if (!IsToken(name))
        return false;
    return std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

std::optional<HttpRequestHead> RequestFromFields(std::vector<HttpHeader>& fields,
                                                 const std::string& scheme, bool& ignore) {
    HttpRequestHead request;
    std::string path;
    std::string host;
    bool regular = false;
    std::vector<HttpHeader> headers;
    std::string cookie;
    std::size_t cookieAt = 0;
    for (HttpHeader& field : fields) {
        if (!IsFieldName(field.name) || !IsFieldValue(field.value))
            return std::nullopt;
        if (field.name.front() == ':') {
            std::string* target = nullptr;
            if (field.name == ":method")
                target = &request.method;
            else if (field.name == ":path")
                target = &path;
            else if (field.name == ":authority")
                target = &request.authority;
            else if (field.name == ":scheme")
                continue;
            // Pseudo-headers come first, once each, and only these.
            if (target == nullptr || regular || !target->empty() || field.value.empty())
                return std::nullopt;
            *target = std::move(field.value);
            continue;
        }
        regular = true;
        if (field.name == "cookie") {
            // Crumbs sent as separate fields are one Cookie header in HTTP/1.1.
            if (!cookie.empty())
                cookie += "; ";
            else
                cookieAt = headers.size();
            cookie += field.value;
            continue;
        }
        if (field.name == "host" && host.empty())
            host = field.value;
        headers.push_back(std::move(field));
    }
    if (!cookie.empty())
        headers.insert(headers.begin() + static_cast<std::ptrdiff_t>(cookieAt),
                       HttpHeader{"cookie", cookie});
    if (request.method.empty() || !IsToken(request.method))
        return std::nullopt;
    if (request.method == "CONNECT") {
        ignore = true;  // a tunnel, not an exchange
        return request;
    }
    if (path.empty() || path.find_first_of(" \t") != std::string::npos)
        return std::nullopt;
    if (request.authority.empty())
        request.authority = host;
    request.scheme = scheme;
    request.target = std::move(path);

    std::string& block = request.headerBlock;
    block = request.method + ' ' + request.target + " HTTP/1.1\r\n";
    if (!request.authority.empty())
        block += "Host: " + request.authority + "\r\n";
    for (const HttpHeader& header : headers) {
        if (header.name == "host")
            continue;  // written above
        block += header.name + ": " + header.value + "\r\n";
    }
    block += "\r\n";
    request.headers = std::move(headers);
    return request;
}

std::optional<HttpResponseHead> ResponseFromFields(std::vector<HttpHeader>& fields) {
    HttpResponseHead response;
    response.status = -1;
    for (HttpHeader& field : fields) {
        if (!IsFieldName(field.name) || !IsFieldValue(field.value))
            return std::nullopt;
        if (field.name.front() == ':') {
            if (field.name != ":status" || response.status >= 0 || !response.headers.empty() ||
                field.value.size() != 3) {
                return std::nullopt;
            }
            response.status = 0;
            for (const char c : field.value) {
                if (c < '0' || c > '9')
                    return std::nullopt;
                response.status = response.status * 10 + (c - '0');
            }
            continue;
        }
        response.headers.push_back(std::move(field));
    }
    if (response.status < 100 || response.status > 599)
        return std::nullopt;
    return response;
}

bool AnswerIsBodyless(std::string_view method, int status) {
    return method == "HEAD" || status == 204 || status == 304;
}

HttpExchange AnswerExchange(HttpRequestHead request, HttpResponseHead response,
                            const HttpConnectionContext& context) {
    HttpExchange exchange;
    exchange.request = std::move(request);
    exchange.response = std::move(response);
    exchange.serverAddress = context.serverAddress;
    exchange.serverPort = context.serverPort;
    bool valid = true;
    const auto length = ContentLength(exchange.response.headers, valid);
    if (valid && !AnswerIsBodyless(exchange.request.method, exchange.response.status))
        exchange.contentLength = length;
    return exchange;
}
