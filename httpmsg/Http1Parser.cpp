#include "httpmsg/Http1Parser.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "httpmsg/HttpText.h"

namespace {

// A chunk-size line holds the size, extensions we skip, and its line end; this bounds it.
constexpr std::size_t kMaxChunkLine = 4096;

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Splits a complete head (it ends with its blank line) into the start line and the fields.
// Folded lines join the field before them. False for a line with a bare CR, a field line
// without a colon or with a name that is no token, or a value with control bytes.
bool SplitHead(std::string_view head, std::string_view& startLine,
               std::vector<HttpHeader>& headers) {
    bool first = true;
    while (!head.empty()) {
        const std::size_t lf = head.find('\n');
        if (lf == std::string_view::npos)
            return false;
        std::string_view line = head.substr(0, lf);
        head.remove_prefix(lf + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.find('\r') != std::string_view::npos)
            return false;
        if (first) {
            startLine = line;
            first = false;
            continue;
        }
        if (line.empty())
            return true;  // the blank line that ends the head
        if (line.front() == ' ' || line.front() == '\t') {
            const std::string_view more = TrimBlanks(line);
            if (headers.empty() || !IsFieldValue(more))
                return false;
            if (!more.empty()) {
                std::string& value = headers.back().value;
                if (!value.empty())
                    value += ' ';
                value.append(more);
            }
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return false;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (!IsToken(name) || !IsFieldValue(value))
            return false;
        headers.push_back({std::string(name), std::string(value)});
    }
    return false;
}

// Whether "HTTP/1.0" or "HTTP/1.1" begins `text`.
bool IsVersion(std::string_view text) {
    return text.size() >= 8 && text.substr(0, 7) == "HTTP/1." && (text[7] == '0' || text[7] == '1');
}

// The codings of every Transfer-Encoding field, in order; whether there was any field, and
// whether "chunked" comes last.
void TransferCodings(const std::vector<HttpHeader>& headers, bool& present, bool& chunkedLast) {
    present = false;
    chunkedLast = false;
    for (const HttpHeader& header : headers) {
        if (!EqualsNoCase(header.name, "transfer-encoding"))
            continue;
        std::string_view rest = header.value;
        for (;;) {
            const std::size_t comma = rest.find(',');
            const std::string_view coding = TrimBlanks(rest.substr(0, comma));
            if (!coding.empty()) {
                present = true;
                // Parameters (";q=...") are not for chunked; a coding with them is another.
                chunkedLast = EqualsNoCase(coding, "chunked");
            }
            if (comma == std::string_view::npos)
                break;
            rest.remove_prefix(comma + 1);
        }
    }
}

}  // namespace

Http1Parser::Http1Parser(MemoryBudget& budget, HttpExchangeSink& sink,
                         const HttpConnectionContext& context, const HttpLimits& limits)
    : m_budget(budget),
      m_sink(sink),
      m_context(context),
      m_limits(limits),
      m_readers{Reader(budget), Reader(budget)},
      m_waitingHold(budget) {}

bool Http1Parser::Feed(Direction direction, const std::uint8_t* data, std::size_t size) {
    Reader& reader = m_readers[static_cast<int>(direction)];
    while (size > 0) {
        std::size_t used = 0;
        switch (reader.state) {
            case State::Head:
                if (!ConsumeHead(reader, direction, data, size, used))
                    return false;
                break;
            case State::Length: {
                const std::size_t take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(reader.remaining, size));
                Body(direction, data, take);
                reader.remaining -= take;
                used = take;
                if (reader.remaining == 0)
                    MessageEnd(reader, direction);
                break;
            }
            case State::ChunkSize: {
                const int digit = HexValue(data[0]);
                used = 1;
                if (digit >= 0) {
                    if ((reader.chunkSize >> 60) != 0 || ++reader.lineLength > kMaxChunkLine)
                        return false;  // past 64 bits, or endless zeros
                    reader.chunkSize = reader.chunkSize * 16 + static_cast<std::uint64_t>(digit);
                    reader.chunkDigits = 1;
                    break;
                }
                if (reader.chunkDigits == 0)
                    return false;
                if (data[0] != ';' && data[0] != ' ' && data[0] != '\t' && data[0] != '\r' &&
                    data[0] != '\n') {
                    return false;
                }
                reader.state = State::ChunkLine;
                reader.pendingCr = false;
                used = 0;  // the line's rest, this byte included, is read below
                break;
            }
            case State::ChunkLine: {
                // A CR may only end the line, right before its LF (perhaps in the next bytes).
                if (reader.pendingCr && data[0] != '\n')
                    return false;
                const void* lf = std::memchr(data, '\n', size);
                const std::size_t upto =
                    lf != nullptr
                        ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data)
                        : size;
                reader.lineLength += upto;
                if (reader.lineLength > kMaxChunkLine)
                    return false;
                const void* cr = std::memchr(data, '\r', upto);
                if (cr != nullptr && static_cast<const std::uint8_t*>(cr) != data + upto - 1)
                    return false;
                if (lf == nullptr) {
                    reader.pendingCr = cr != nullptr;
                    used = size;
                    break;
                }
                reader.pendingCr = false;
                used = upto + 1;
                if (reader.chunkSize == 0) {
                    reader.state = State::Trailer;
                    reader.lineLength = 0;
                    reader.lineBeganWithCr = false;
                    reader.trailerBytes = 0;
                } else {
                    reader.state = State::ChunkData;
                    reader.remaining = reader.chunkSize;
                }
                break;
            }
            case State::ChunkData: {
                const std::size_t take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(reader.remaining, size));
                Body(direction, data, take);
                reader.remaining -= take;
                used = take;
                if (reader.remaining == 0)
                    reader.state = State::ChunkCr;
                break;
            }
            case State::ChunkCr:
            case State::ChunkLf:
                used = 1;
                if (data[0] == '\r' && reader.state == State::ChunkCr) {
                    reader.state = State::ChunkLf;
                } else if (data[0] == '\n') {
                    reader.state = State::ChunkSize;
                    reader.chunkSize = 0;
                    reader.chunkDigits = 0;
                    reader.lineLength = 0;
                } else {
                    return false;
                }
                break;
            case State::Trailer: {
                const void* lf = std::memchr(data, '\n', size);
                const std::size_t upto =
                    lf != nullptr
                        ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data)
                        : size;
                if (reader.lineLength == 0 && upto > 0)
                    reader.lineBeganWithCr = data[0] == '\r';
                reader.lineLength += upto;
                reader.trailerBytes += upto + 1;
                if (reader.trailerBytes > m_limits.maxHeaderBytes)
                    return false;
                if (lf == nullptr) {
                    used = size;
                    break;
                }
                used = upto + 1;
                const bool blank =
                    reader.lineLength == 0 || (reader.lineLength == 1 && reader.lineBeganWithCr);
                reader.lineLength = 0;
                reader.lineBeganWithCr = false;
                if (blank)
                    MessageEnd(reader, direction);
                break;
            }
            case State::UntilClose:
                Body(direction, data, size);
                used = size;
                break;
        }
        data += used;
        size -= used;
    }
    return true;
}

bool Http1Parser::AppendHead(Reader& reader, const std::uint8_t* data, std::size_t size) {
    const std::size_t needed = reader.head.size() + size;
    if (needed > m_limits.maxHeaderBytes)
        return false;
    if (needed > reader.head.capacity()) {
        const std::size_t grown =
            std::min(m_limits.maxHeaderBytes,
                     std::max({needed, 2 * reader.head.capacity(), std::size_t{1024}}));
        if (!reader.headHold.Resize(grown))
            return false;
        reader.head.reserve(grown);
    }
    reader.head.append(reinterpret_cast<const char*>(data), size);
    return true;
}

bool Http1Parser::ConsumeHead(Reader& reader, Direction direction, const std::uint8_t* data,
                              std::size_t size, std::size_t& used) {
    const std::uint8_t* cursor = data;
    const std::uint8_t* const end = data + size;
    while (cursor < end) {
        // Blank lines before a start line are skipped (a client may end a body with one).
        if (reader.head.empty() && (*cursor == '\r' || *cursor == '\n')) {
            if (++reader.skipped > m_limits.maxHeaderBytes)
                return false;
            ++cursor;
            continue;
        }
        const void* found = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
        const std::uint8_t* lineEnd =
            found != nullptr ? static_cast<const std::uint8_t*>(found) + 1 : end;
        if (!AppendHead(reader, cursor, static_cast<std::size_t>(lineEnd - cursor)))
            return false;
        cursor = lineEnd;
        if (found == nullptr)
            break;
        const std::size_t lineLength = reader.head.size() - 1 - reader.lineStart;
        const bool blank =
            lineLength == 0 || (lineLength == 1 && reader.head[reader.lineStart] == '\r');
        reader.lineStart = reader.head.size();
        if (blank) {
            used = static_cast<std::size_t>(cursor - data);
            reader.skipped = 0;
            const bool ok =
                direction == Direction::ToServer ? OnRequestHead(reader) : OnResponseHead(reader);
            ClearHead(reader);
            return ok;
        }
    }
    used = size;
    return true;
}

void Http1Parser::ClearHead(Reader& reader) {
    reader.lineStart = 0;
    if (reader.head.capacity() > 8192) {
        std::string().swap(reader.head);
        reader.headHold.Resize(0);
    } else {
        reader.head.clear();
    }
}

bool Http1Parser::OnRequestHead(Reader& reader) {
    std::string_view line;
    std::vector<HttpHeader> headers;
    if (!SplitHead(reader.head, line, headers))
        return false;
    const std::size_t space = line.find(' ');
    const std::size_t space2 = space == std::string_view::npos ? space : line.find(' ', space + 1);
    if (space2 == std::string_view::npos)
        return false;
    const std::string_view method = line.substr(0, space);
    std::string_view target = line.substr(space + 1, space2 - space - 1);
    if (!IsToken(method) || target.empty() || !IsFieldValue(target) ||
        target.find_first_of(" \t") != std::string_view::npos || line.size() != space2 + 9 ||
        !IsVersion(line.substr(space2 + 1))) {
        return false;
    }

    HttpRequestHead request;
    request.method = method;
    request.scheme = m_context.scheme;
    if (const std::string* host = FindHeader(headers, "host"))
        request.authority = *host;
    // The absolute form (sent to proxies) names the scheme and the server itself.
    for (const std::string_view scheme : {"http", "https"}) {
        const std::size_t length = scheme.size() + 3;
        if (target.size() > length && EqualsNoCase(target.substr(0, scheme.size()), scheme) &&
            target.substr(scheme.size(), 3) == "://") {
            const std::string_view rest = target.substr(length);
            const std::size_t slash = rest.find_first_of("/?");
            request.scheme = scheme;
            request.authority = rest.substr(0, slash);
            target = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
            break;
        }
    }
    request.target = target;
    request.headers = std::move(headers);
    request.headerBlock = reader.head;

    bool transfer = false;
    bool chunked = false;
    TransferCodings(request.headers, transfer, chunked);
    bool lengthValid = true;
    const auto length = ContentLength(request.headers, lengthValid);
    if (transfer && !chunked)
        return false;  // a request body whose end cannot be known
    if (!transfer && !lengthValid)
        return false;
    if (m_waiting.size() >= m_limits.maxPipelined || !m_waitingHold.Grow(RequestCost(request)))
        return false;
    m_waiting.push_back(std::move(request));

    if (transfer) {
        reader.state = State::ChunkSize;
        reader.chunkSize = 0;
        reader.chunkDigits = 0;
        reader.lineLength = 0;
    } else if (length && *length > 0) {
        reader.state = State::Length;
        reader.remaining = *length;
    } else {
        reader.state = State::Head;
    }
    return true;
}

bool Http1Parser::OnResponseHead(Reader& reader) {
    std::string_view line;
    std::vector<HttpHeader> headers;
    if (!SplitHead(reader.head, line, headers))
        return false;
    if (line.size() < 12 || !IsVersion(line) || line[8] != ' ' ||
        (line.size() > 12 && line[12] != ' ')) {
        return false;
    }
    int status = 0;
    for (int i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        status = status * 10 + (line[i] - '0');
    }
    if (status < 100 || status > 599)
        return false;
    if (status == 101)
        return false;  // the connection leaves HTTP/1.1 (a WebSocket, a tunnel)
    if (status < 200) {
        reader.state = State::Head;  // 100 Continue, 103 Early Hints: the answer follows
        return true;
    }
    if (m_waiting.empty())
        return false;  // answers no request
    HttpExchange exchange;
    exchange.request = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_waitingHold.Shrink(RequestCost(exchange.request));
    exchange.response.status = status;
    exchange.response.headers = std::move(headers);
    exchange.serverAddress = m_context.serverAddress;
    exchange.serverPort = m_context.serverPort;

    const std::string& method = exchange.request.method;
    if (method == "CONNECT" && status < 300)
        return false;  // a tunnel follows
    const bool bodyless = method == "HEAD" || status == 204 || status == 304;
    bool transfer = false;
    bool chunked = false;
    TransferCodings(exchange.response.headers, transfer, chunked);
    bool lengthValid = true;
    const auto length = ContentLength(exchange.response.headers, lengthValid);
    if (!bodyless && !transfer && !lengthValid)
        return false;  // no safe way to find where the body ends
    if (!bodyless && !transfer)
        exchange.contentLength = length;

    m_response.emplace(m_budget);
    if (!m_response->Begin(m_sink, std::move(exchange), !bodyless)) {
        m_response.reset();
        return false;
    }
    if (bodyless) {
        m_response.reset();
        reader.state = State::Head;
    } else if (transfer && chunked) {
        reader.state = State::ChunkSize;
        reader.chunkSize = 0;
        reader.chunkDigits = 0;
        reader.lineLength = 0;
    } else if (transfer || !length) {
        reader.state = State::UntilClose;
    } else if (*length == 0) {
        MessageEnd(reader, Direction::ToClient);
    } else {
        reader.state = State::Length;
        reader.remaining = *length;
    }
    return true;
}

void Http1Parser::Body(Direction direction, const std::uint8_t* data, std::size_t size) {
    if (direction == Direction::ToClient && m_response)
        m_response->Add(data, size);
}

void Http1Parser::MessageEnd(Reader& reader, Direction direction) {
    reader.state = State::Head;
    if (direction == Direction::ToClient && m_response) {
        m_response->End(true);
        m_response.reset();
    }
}

void Http1Parser::Finish(Direction direction) {
    Reader& reader = m_readers[static_cast<int>(direction)];
    if (direction != Direction::ToClient || !m_response)
        return;
    m_response->End(reader.state == State::UntilClose);
    m_response.reset();
    reader.state = State::Head;
}

void Http1Parser::End() {
    if (m_response) {
        m_response->End(false);
        m_response.reset();
    }
}
