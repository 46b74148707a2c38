#include "mediarules/HarReader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>

#include "mediarules/UrlReference.h"

namespace {

using Json = nlohmann::json;

// Nesting a HAR needs: log, entries, entry, response, headers, header. Anything deeper is
// skipped as it is read.
constexpr int kMaxDepth = 8;

// Versions that mean the request went over HTTP/2 or HTTP/3.
constexpr std::string_view kMultiplexedVersions[] = {"h2",     "h3",       "http/2",
                                                     "http/3", "http/2.0", "http/3.0"};

// Headers a HAR keeps that do not describe the body it holds.
constexpr std::string_view kDroppedResponseHeaders[] = {"content-encoding"};

const Json* Member(const Json& object, const char* name) {
    if (!object.is_object())
        return nullptr;
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

std::string_view Text(const Json* value) {
    if (value == nullptr || !value->is_string())
        return {};
    return value->get_ref<const std::string&>();
}

std::optional<std::int64_t> Integer(const Json* value) {
    if (value == nullptr)
        return std::nullopt;
    if (value->is_number_unsigned()) {
        const std::uint64_t number = value->get<std::uint64_t>();
        return number > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX
                                                              : static_cast<std::int64_t>(number);
    }
    if (value->is_number_integer())
        return value->get<std::int64_t>();
    return std::nullopt;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return lower;
}

bool TokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool HeaderName(std::string_view name) {
    if (name.empty() || name.size() > 256)
        return false;
    for (const char c : name) {
        if (!TokenChar(c))
            return false;
    }
    return true;
}

// A value that cannot break a header block: no CR, LF or NUL.
bool HeaderValue(std::string_view value) {
    return value.size() <= kMaxHarHeaderValueBytes &&
           value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// The headers of a request or response. HTTP/2 and HTTP/3 pseudo-headers (":authority",
// ":path") are left out: the entry's URL says the same.
void ReadHeaders(const Json* list, std::vector<HttpHeader>& headers) {
    if (list == nullptr || !list->is_array())
        return;
    for (const Json& header : *list) {
        if (headers.size() >= kMaxHarHeaders)
            break;
        const std::string_view name = Text(Member(header, "name"));
        const std::string_view value = Text(Member(header, "value"));
        if (HeaderName(name) && HeaderValue(value))
            headers.push_back({std::string(name), std::string(value)});
    }
}

int Digits(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// "2026-05-01T21:41:05.123+02:00" (or "Z") as seconds since the epoch; 0 when unreadable.
std::time_t ParseStartedTime(std::string_view text) {
    const int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
    const int hour = Digits(text, 11, 2), minute = Digits(text, 14, 2),
              second = Digits(text, 17, 2);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60) {
        return 0;
    }
    std::tm utc{};
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    std::time_t when = timegm(&utc);
    std::size_t i = 19;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    }
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        const int offsetHours = Digits(text, i + 1, 2);
        const int offsetMinutes = Digits(text, i + 4, 2);
        if (offsetHours >= 0 && offsetMinutes >= 0) {
            const std::time_t offset = offsetHours * 3600 + offsetMinutes * 60;
            when += text[i] == '+' ? -offset : offset;
        }
    }
    return when;
}

bool Base64Symbol(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '-' || c == '_';
}

// The decoded length of base64 text (padding and blanks not counted).
std::uint64_t Base64Length(std::string_view text) {
    std::uint64_t symbols = 0;
    for (const char c : text) symbols += Base64Symbol(c) ? 1 : 0;
    return symbols * 3 / 4;
}

// Decodes base64 until `limit` bytes came out or the text ends; stops at the first byte that
// is neither base64 nor a blank. `complete` tells whether all the text was decoded.
std::string DecodeBase64(std::string_view text, std::size_t limit, bool& complete) {
    std::string out;
    out.reserve(std::min<std::size_t>(limit, text.size() / 4 * 3 + 3));
    std::uint32_t bits = 0;
    int count = 0;
    complete = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (out.size() >= limit) {
            // Complete when nothing but padding and blanks is left.
            for (; i < text.size() && text[i] != '='; ++i)
                complete = complete && !Base64Symbol(text[i]);
            break;
        }
        const char c = text[i];
        int value = -1;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+' || c == '-')
            value = 62;
        else if (c == '/' || c == '_')
            value = 63;
        else if (c == '=')
            break;
        else if (c == ' ' || c == '\r' || c == '\n' || c == '\t')
            continue;
        else {
            complete = false;
            break;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            out.push_back(static_cast<char>(bits >> 16));
            out.push_back(static_cast<char>(bits >> 8));
            out.push_back(static_cast<char>(bits));
            bits = 0;
            count = 0;
        }
    }
    if (count == 2) {
        out.push_back(static_cast<char>(bits >> 4));
    } else if (count == 3) {
        out.push_back(static_cast<char>(bits >> 10));
        out.push_back(static_cast<char>(bits >> 2));
    }
    if (out.size() > limit)
        out.resize(limit);
    return out;
}

bool EntryToExchange(const Json& entry, HarEntry& out) {
    const Json* request = Member(entry, "request");
    const Json* response = Member(entry, "response");
    if (request == nullptr || response == nullptr)
        return false;
    const std::string_view method = Text(Member(*request, "method"));
    const std::string_view url = Text(Member(*request, "url"));
    const std::optional<std::int64_t> status = Integer(Member(*response, "status"));
    if (method.empty() || method.size() > 32 || url.size() > kMaxMediaUrlLength || !status ||
        *status < 100 || *status > 999) {
        return false;
    }
    const UrlParts parts = SplitUrl(url);
    const std::string scheme = Lower(parts.scheme);
    if (!parts.hasScheme || !parts.hasAuthority || parts.authority.empty() ||
        (scheme != "http" && scheme != "https")) {
        return false;
    }
    for (const char c : method) {
        if (!TokenChar(c))
            return false;
    }
    HttpExchange& exchange = out.exchange;
    HttpRequestHead& head = exchange.request;
    head.method = std::string(method);
    head.scheme = scheme;
    head.authority = std::string(parts.authority.substr(parts.authority.rfind('@') + 1));
    head.target = parts.path.empty() ? "/" : std::string(parts.path);
    if (parts.hasQuery)
        head.target += "?" + std::string(parts.query);
    ReadHeaders(Member(*request, "headers"), head.headers);
    const std::string version = Lower(Text(Member(*request, "httpVersion")));
    for (const std::string_view multiplexed : kMultiplexedVersions)
        exchange.http2 = exchange.http2 || version == multiplexed;

    // The request as HTTP/1.1 text, from what the entry kept: the request line and Host at
    // least, so that a fetch by URL works when the browser left the headers out.
    head.headerBlock =
        head.method + " " + head.target + " HTTP/1.1\r\nHost: " + head.authority + "\r\n";
    for (const HttpHeader& header : head.headers) {
        if (Lower(header.name) == "host")
            continue;
        head.headerBlock += header.name + ": " + header.value + "\r\n";
    }
    head.headerBlock += "\r\n";

    exchange.response.status = static_cast<int>(*status);
    std::vector<HttpHeader> responseHeaders;
    ReadHeaders(Member(*response, "headers"), responseHeaders);
    for (HttpHeader& header : responseHeaders) {
        bool dropped = false;
        for (const std::string_view name : kDroppedResponseHeaders)
            dropped = dropped || Lower(header.name) == name;
        if (!dropped)
            exchange.response.headers.push_back(std::move(header));
    }

    const Json* content = Member(*response, "content");
    const Json* text = content != nullptr ? Member(*content, "text") : nullptr;
    out.hasBody = text != nullptr && text->is_string();
    out.bodyText = Text(text);
    out.base64 = content != nullptr && Lower(Text(Member(*content, "encoding"))) == "base64";
    if (out.hasBody) {
        exchange.contentLength = out.base64 ? Base64Length(out.bodyText) : out.bodyText.size();
    } else if (const std::string* length = FindHeader(exchange.response.headers, "Content-Length");
               length != nullptr && !length->empty() && length->size() <= 19 &&
               length->find_first_not_of("0123456789") == std::string::npos) {
        exchange.contentLength = std::stoull(*length);
    } else if (const auto size = Integer(content != nullptr ? Member(*content, "size") : nullptr);
               size && *size > 0) {
        exchange.contentLength = static_cast<std::uint64_t>(*size);
    }

    std::string_view address = Text(Member(entry, "serverIPAddress"));
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    if (const auto parsed = ParseIpAddress(address))
        exchange.serverAddress = *parsed;
    std::string_view port;
    const std::string_view hostPort = head.authority;
    const std::size_t colon = hostPort.rfind(':');
    if (colon != std::string_view::npos && hostPort.find(']', colon) == std::string_view::npos)
        port = hostPort.substr(colon + 1);
    const int portNumber = port.empty() ? -1 : Digits(port, 0, port.size() > 5 ? 6 : port.size());
    exchange.serverPort = portNumber > 0 && portNumber < 65536
                              ? static_cast<std::uint16_t>(portNumber)
                              : static_cast<std::uint16_t>(scheme == "https" ? 443 : 80);
    out.started = ParseStartedTime(Text(Member(entry, "startedDateTime")));
    return true;
}

}  // namespace

bool LooksLikeHar(std::string_view start) {
    if (start.substr(0, 3) == "\xEF\xBB\xBF")
        start.remove_prefix(3);
    const auto skipBlanks = [&start] {
        while (!start.empty() && (start.front() == ' ' || start.front() == '\t' ||
                                  start.front() == '\r' || start.front() == '\n')) {
            start.remove_prefix(1);
        }
    };
    skipBlanks();
    if (start.empty() || start.front() != '{')
        return false;
    start.remove_prefix(1);
    skipBlanks();
    return start.substr(0, 5) == "\"log\"";
}

namespace {

// Walks a document's bytes for the parser. Over a mapped file it hands back the pages it has
// passed, so that a large file is never resident as a whole: the parser copies what it keeps.
class DocumentIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    static constexpr std::size_t kDropStep = 8u << 20;

    // `mappedStart`: the page-aligned start of the mapping that holds `document`, or null.
    DocumentIterator(const char* document, std::size_t at, const char* mappedStart)
        : m_document(document), m_at(at), m_mappedStart(mappedStart) {}
    const char& operator*() const { return m_document[m_at]; }
    DocumentIterator& operator++() {
        if (++m_at == m_nextDrop) {
            // Everything up to one step behind is read and copied where it was needed.
            if (m_mappedStart != nullptr)
                ::madvise(const_cast<char*>(m_mappedStart), m_at - kDropStep, MADV_DONTNEED);
            m_nextDrop += kDropStep;
        }
        return *this;
    }
    DocumentIterator operator++(int) {
        DocumentIterator before = *this;
        ++*this;
        return before;
    }
    bool operator==(const DocumentIterator& other) const { return m_at == other.m_at; }
    bool operator!=(const DocumentIterator& other) const { return m_at != other.m_at; }

private:
    const char* m_document;
    std::size_t m_at;
    const char* m_mappedStart;
    std::size_t m_nextDrop = 2 * kDropStep;
};

bool ParseHar(std::string_view document, const char* mappedStart,
              const std::function<void(const HarEntry&)>& onEntry, std::string& error) {
    std::string keys[kMaxDepth + 2];
    bool sawEntries = false;
    const auto callback = [&](int depth, Json::parse_event_t event, Json& parsed) -> bool {
        switch (event) {
            case Json::parse_event_t::key:
                if (depth <= kMaxDepth + 1)
                    keys[depth] = parsed.is_string() ? parsed.get<std::string>() : std::string();
                return true;
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                // Keep only log.entries and what an entry holds.
                if (depth > kMaxDepth)
                    return false;
                if (depth == 1 && keys[1] != "log")
                    return false;
                if (depth == 2 && keys[2] != "entries")
                    return false;
                if (depth == 2)
                    sawEntries = true;
                return true;
            case Json::parse_event_t::object_end:
                if (depth == 3 && keys[1] == "log" && keys[2] == "entries") {
                    HarEntry entry;
                    if (EntryToExchange(parsed, entry))
                        onEntry(entry);
                    return false;  // done with it: the document keeps none of its entries
                }
                return true;
            default:
                return true;
        }
    };
    try {
        const Json root =
            Json::parse(DocumentIterator(document.data(), 0, mappedStart),
                        DocumentIterator(document.data(), document.size(), nullptr), callback);
        (void)root;
    } catch (const std::exception& e) {
        error = std::string("not a readable HAR file: ") + e.what();
        return false;
    }
    if (!sawEntries) {
        error = "not a HAR file: no log.entries";
        return false;
    }
    return true;
}

}  // namespace

bool ReadHar(std::string_view document, const std::function<void(const HarEntry&)>& onEntry,
             std::string& error) {
    return ParseHar(document, nullptr, onEntry, error);
}

bool ReadHarFile(const std::string& path, const std::function<void(const HarEntry&)>& onEntry,
                 std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "not a regular file";
        ::close(fd);
        return false;
    }
    if (static_cast<std::uint64_t>(status.st_size) > kMaxHarFileBytes) {
        error = "larger than " + std::to_string(kMaxHarFileBytes >> 20) + " MiB";
        ::close(fd);
        return false;
    }
    const std::size_t size = static_cast<std::size_t>(status.st_size);
    if (size == 0) {
        ::close(fd);
        return ReadHar({}, onEntry, error);
    }
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED) {
        error = std::strerror(errno);
        return false;
    }
    ::madvise(mapped, size, MADV_SEQUENTIAL);
    const bool ok = ParseHar(std::string_view(static_cast<const char*>(mapped), size),
                             static_cast<const char*>(mapped), onEntry, error);
    ::munmap(mapped, size);
    return ok;
}

namespace {

// Hands an entry's body to a receiver from the decoded offset `from` on, in pieces of at most
// 64 KiB decoded on the way (a body is never decoded whole), then its end: complete when the
// text was whole (base64 decoded to its end).
void FeedReceiver(const HarEntry& entry, std::uint64_t from, HttpBodyReceiver& receiver) {
    if (!entry.base64) {
        const std::string_view text = entry.bodyText;
        for (std::uint64_t at = from; at < text.size(); at += 64u << 10) {
            const std::size_t piece = std::min<std::size_t>(64u << 10, text.size() - at);
            receiver.OnBodyBytes(at, reinterpret_cast<const std::uint8_t*>(text.data() + at),
                                 piece);
        }
        receiver.OnBodyEnd(true);
        return;
    }
    std::uint64_t produced = 0;
    std::string piece;
    piece.reserve(64u << 10);
    const auto flush = [&] {
        const std::uint64_t start = produced;
        produced += piece.size();
        if (produced > from) {
            const std::size_t skip = start < from ? static_cast<std::size_t>(from - start) : 0;
            receiver.OnBodyBytes(start + skip,
                                 reinterpret_cast<const std::uint8_t*>(piece.data()) + skip,
                                 piece.size() - skip);
        }
        piece.clear();
    };
    // Quanta of 4 base64 symbols (blanks between them skipped) decoded whole through the
    // bounded decoder, so that a piece never splits one.
    const std::string_view text = entry.bodyText;
    bool complete = true;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = i;
        std::size_t symbols = 0;
        while (end < text.size() && symbols < 4 * 4096 && text[end] != '=') {
            const char c = text[end];
            if (Base64Symbol(c)) {
                ++symbols;
            } else if (c != ' ' && c != '\r' && c != '\n' && c != '\t') {
                complete = false;
                break;
            }
            ++end;
        }
        const bool last = end >= text.size() || text[end] == '=' || !complete;
        if (!last && symbols % 4 != 0)
            break;  // cannot happen: a full run is a multiple of 4 symbols
        bool runComplete = false;
        piece += DecodeBase64(text.substr(i, end - i), SIZE_MAX, runComplete);
        complete = complete && runComplete;
        if (piece.size() >= (48u << 10) || last)
            flush();
        if (last)
            break;
        i = end;
    }
    receiver.OnBodyEnd(complete);
}

}  // namespace

void FeedHarEntry(const HarEntry& entry, HttpExchangeSink& sink) {
    HttpExchangeSink::BodyRequest request = sink.OnResponseStart(entry.exchange);
    const std::size_t ask = request.prefix;
    if (request.receiver) {
        if (entry.hasBody)
            FeedReceiver(entry, 0, *request.receiver);
        else
            request.receiver->OnBodyEnd(false);
    }
    if (ask == 0)
        return;
    if (!entry.hasBody) {
        sink.OnResponsePrefix(entry.exchange, {}, false, false);
        return;
    }
    std::unique_ptr<HttpBodyReceiver> receiver;
    std::size_t prefixSize = 0;
    bool follows = false;
    if (!entry.base64) {
        const bool whole = entry.bodyText.size() <= ask;
        prefixSize = std::min(ask, entry.bodyText.size());
        follows = !whole;
        receiver = sink.OnResponsePrefix(entry.exchange, entry.bodyText.substr(0, ask), whole,
                                         follows);
    } else {
        bool complete = false;
        const std::string body = DecodeBase64(entry.bodyText, ask, complete);
        prefixSize = body.size();
        // A text decoded to its limit may hold more.
        follows = !complete && body.size() == ask;
        receiver = sink.OnResponsePrefix(entry.exchange, body, complete, follows);
    }
    if (receiver && !request.receiver) {
        if (follows)
            FeedReceiver(entry, prefixSize, *receiver);
        else
            receiver->OnBodyEnd(false);
    }
}
