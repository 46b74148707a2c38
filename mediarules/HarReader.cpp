#include "mediarules/HarReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <vector>

#include "base/RegularFile.h"
#include "mediarules/JsonScanner.h"
#include "mediarules/UrlReference.h"

namespace {

// Versions that mean the request went over HTTP/2 or HTTP/3.
constexpr std::string_view kMultiplexedVersions[] = {"h2",     "h3",       "http/2",
                                                     "http/3", "http/2.0", "http/3.0"};

// Headers a HAR keeps that do not describe the body it holds.
constexpr std::string_view kDroppedResponseHeaders[] = {"content-encoding"};

// Bounds of the short texts an entry keeps; a longer one is as good as absent.
constexpr std::size_t kMaxHarMethodBytes = 32;
constexpr std::size_t kMaxHarHeaderNameBytes = 256;
constexpr std::size_t kMaxHarShortTextBytes = 64;  // versions, encodings, addresses, times

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

// A string member as the entry keeps it.
struct HarText {
    std::string text;
    bool present = false;  // there, and a string
    bool cut = false;      // longer than what was kept
};

// The members of an entry that the rules use, as read.
struct HarRawEntry {
    HarText method, url, requestVersion, started, serverAddress, encoding;
    std::vector<HttpHeader> requestHeaders, responseHeaders;
    std::optional<std::int64_t> status, contentSize;
    bool hasText = false;
    std::string text;  // its start, kMaxHarBodyTextBytes at most
    JsonScanner::StringFacts textFacts;
};

// Reads a string member's value into `kept` (nothing but its presence when it is no string).
void ReadHarText(JsonScanner& json, HarText& kept, std::size_t limit) {
    kept = {};
    if (json.PeekValue() != '"') {
        json.Skip(kMaxHarSkippedDepth);
        return;
    }
    kept.present = true;
    kept.cut = json.String(&kept.text, limit).length > limit;
}

std::optional<std::int64_t> ReadHarInteger(JsonScanner& json) {
    const int c = json.PeekValue();
    if (c == '-' || (c >= '0' && c <= '9'))
        return json.Number();
    json.Skip(kMaxHarSkippedDepth);
    return std::nullopt;
}

// Calls `onMember` for each member of an object value; anything else is skipped.
template <typename OnMember>
void ReadHarObject(JsonScanner& json, OnMember&& onMember) {
    if (json.PeekValue() != '{') {
        json.Skip(kMaxHarSkippedDepth);
        return;
    }
    json.Object(onMember);
}

// The headers of a request or response: the first kMaxHarHeaders whose name is a token and
// whose value cannot break a header block; the rest are skipped unread. HTTP/2 and HTTP/3
// pseudo-headers (":authority", ":path") are left out: the entry's URL says the same.
void ReadHarHeaders(JsonScanner& json, std::vector<HttpHeader>& headers) {
    headers.clear();
    if (json.PeekValue() != '[') {
        json.Skip(kMaxHarSkippedDepth);
        return;
    }
    json.Array([&] {
        if (headers.size() >= kMaxHarHeaders) {
            json.Skip(kMaxHarSkippedDepth);
            return;
        }
        HarText name, value;
        ReadHarObject(json, [&](std::string_view key) {
            if (key == "name")
                ReadHarText(json, name, kMaxHarHeaderNameBytes);
            else if (key == "value")
                ReadHarText(json, value, kMaxHarHeaderValueBytes);
            else
                json.Skip(kMaxHarSkippedDepth);
        });
        if (name.present && !name.cut && value.present && !value.cut && HeaderName(name.text) &&
            HeaderValue(value.text)) {
            headers.push_back({std::move(name.text), std::move(value.text)});
        }
    });
}

void ReadHarRequest(JsonScanner& json, HarRawEntry& entry) {
    ReadHarObject(json, [&](std::string_view key) {
        if (key == "method")
            ReadHarText(json, entry.method, kMaxHarMethodBytes);
        else if (key == "url")
            ReadHarText(json, entry.url, kMaxMediaUrlLength);
        else if (key == "httpVersion")
            ReadHarText(json, entry.requestVersion, kMaxHarShortTextBytes);
        else if (key == "headers")
            ReadHarHeaders(json, entry.requestHeaders);
        else
            json.Skip(kMaxHarSkippedDepth);
    });
}

void ReadHarContent(JsonScanner& json, HarRawEntry& entry) {
    ReadHarObject(json, [&](std::string_view key) {
        if (key == "text") {
            entry.hasText = false;
            entry.text.clear();
            entry.textFacts = {};
            if (json.PeekValue() != '"') {
                json.Skip(kMaxHarSkippedDepth);
                return;
            }
            entry.hasText = true;
            entry.textFacts = json.String(&entry.text, kMaxHarBodyTextBytes, true);
        } else if (key == "encoding") {
            ReadHarText(json, entry.encoding, kMaxHarShortTextBytes);
        } else if (key == "size") {
            entry.contentSize = ReadHarInteger(json);
        } else {
            json.Skip(kMaxHarSkippedDepth);
        }
    });
}

void ReadHarResponse(JsonScanner& json, HarRawEntry& entry) {
    ReadHarObject(json, [&](std::string_view key) {
        if (key == "status")
            entry.status = ReadHarInteger(json);
        else if (key == "headers")
            ReadHarHeaders(json, entry.responseHeaders);
        else if (key == "content")
            ReadHarContent(json, entry);
        else
            json.Skip(kMaxHarSkippedDepth);
    });
}

void ReadHarEntry(JsonScanner& json, HarRawEntry& entry) {
    json.Object([&](std::string_view key) {
        if (key == "request")
            ReadHarRequest(json, entry);
        else if (key == "response")
            ReadHarResponse(json, entry);
        else if (key == "serverIPAddress")
            ReadHarText(json, entry.serverAddress, kMaxHarShortTextBytes);
        else if (key == "startedDateTime")
            ReadHarText(json, entry.started, kMaxHarShortTextBytes);
        else
            json.Skip(kMaxHarSkippedDepth);
    });
}

bool EntryToExchange(HarRawEntry& entry, HarEntry& out) {
    if (!entry.method.present || entry.method.cut || !entry.url.present || entry.url.cut ||
        !entry.status) {
        return false;
    }
    const std::string_view method = entry.method.text;
    const std::string_view url = entry.url.text;
    const std::int64_t status = *entry.status;
    if (method.empty() || status < 100 || status > 999)
        return false;
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
    head.headers = std::move(entry.requestHeaders);
    const std::string version =
        entry.requestVersion.present ? Lower(entry.requestVersion.text) : "";
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

    exchange.response.status = static_cast<int>(status);
    for (HttpHeader& header : entry.responseHeaders) {
        bool dropped = false;
        for (const std::string_view name : kDroppedResponseHeaders)
            dropped = dropped || Lower(header.name) == name;
        if (!dropped)
            exchange.response.headers.push_back(std::move(header));
    }

    out.hasBody = entry.hasText;
    out.bodyText = std::move(entry.text);
    out.bodyTextWhole = entry.hasText && out.bodyText.size() == entry.textFacts.length;
    out.base64 =
        entry.encoding.present && !entry.encoding.cut && Lower(entry.encoding.text) == "base64";
    if (out.hasBody) {
        exchange.contentLength =
            out.base64 ? entry.textFacts.base64Symbols * 3 / 4 : entry.textFacts.length;
    } else if (const std::string* length = FindHeader(exchange.response.headers, "Content-Length");
               length != nullptr && !length->empty() && length->size() <= 19 &&
               length->find_first_not_of("0123456789") == std::string::npos) {
        exchange.contentLength = std::stoull(*length);
    } else if (entry.contentSize && *entry.contentSize > 0) {
        exchange.contentLength = static_cast<std::uint64_t>(*entry.contentSize);
    }

    std::string_view address;
    if (entry.serverAddress.present)
        address = entry.serverAddress.text;
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
    out.started = entry.started.present ? ParseStartedTime(entry.started.text) : 0;
    return true;
}

// Walks the document: only log.entries is read, one entry at a time, each handed on before
// the next is read.
bool ParseHar(JsonScanner& json, const std::function<void(const HarEntry&)>& onEntry,
              const std::atomic<bool>* stop, std::string& error) {
    bool sawEntries = false;
    try {
        json.SkipByteOrderMark();
        ReadHarObject(json, [&](std::string_view key) {
            if (key != "log") {
                json.Skip(kMaxHarSkippedDepth);
                return;
            }
            ReadHarObject(json, [&](std::string_view logKey) {
                if (logKey != "entries" || json.PeekValue() != '[') {
                    json.Skip(kMaxHarSkippedDepth);
                    return;
                }
                sawEntries = true;
                json.Array([&] {
                    if (stop != nullptr && stop->load(std::memory_order_relaxed))
                        throw JsonScanStopped{};
                    if (json.PeekValue() != '{') {
                        json.Skip(kMaxHarSkippedDepth);
                        return;
                    }
                    HarRawEntry raw;
                    ReadHarEntry(json, raw);
                    HarEntry entry;
                    if (EntryToExchange(raw, entry))
                        onEntry(entry);
                });
            });
        });
        json.ExpectEnd();
    } catch (const JsonScanStopped&) {
        error = "stopped";
        return false;
    } catch (const JsonScanError& e) {
        error = std::string("not a readable HAR file: ") + e.what();
        return false;
    } catch (const std::exception& e) {
        // Out of memory in a rule, mostly: the entries before were handed on.
        error = e.what();
        return false;
    }
    if (!sawEntries) {
        error = "not a HAR file: no log.entries";
        return false;
    }
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

bool ReadHar(std::string_view document, const std::function<void(const HarEntry&)>& onEntry,
             std::string& error, const std::atomic<bool>* stop) {
    JsonScanner json(document, stop);
    return ParseHar(json, onEntry, stop, error);
}

bool ReadHarDescriptor(int fd, const std::function<void(const HarEntry&)>& onEntry,
                       std::string& error, const std::atomic<bool>* stop) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = NotRegularFileText(status.st_mode);
        return false;
    }
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        error = std::strerror(errno);
        return false;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    JsonScanner json(fd, stop);
    return ParseHar(json, onEntry, stop, error);
}

bool ReadHarFile(const std::string& path, const std::function<void(const HarEntry&)>& onEntry,
                 std::string& error, const std::atomic<bool>* stop) {
    const int fd = OpenRegularFile(path, error);
    if (fd < 0)
        return false;
    const bool ok = ReadHarDescriptor(fd, onEntry, error, stop);
    ::close(fd);
    return ok;
}

namespace {

// Hands an entry's body to a receiver from the decoded offset `from` on, in pieces of at most
// 64 KiB decoded on the way (a body is never decoded whole), then its end: complete when the
// reader kept the whole text and it was whole (base64 decoded to its end).
void FeedReceiver(const HarEntry& entry, std::uint64_t from, HttpBodyReceiver& receiver) {
    if (!entry.base64) {
        const std::string_view text = entry.bodyText;
        for (std::uint64_t at = from; at < text.size(); at += 64u << 10) {
            const std::size_t piece = std::min<std::size_t>(64u << 10, text.size() - at);
            receiver.OnBodyBytes(at, reinterpret_cast<const std::uint8_t*>(text.data() + at),
                                 piece);
        }
        receiver.OnBodyEnd(entry.bodyTextWhole);
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
    receiver.OnBodyEnd(complete && entry.bodyTextWhole);
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
    // Only the start of a long text was kept: a body cut there is not whole.
    std::unique_ptr<HttpBodyReceiver> receiver;
    std::size_t prefixSize = 0;
    bool follows = false;
    if (!entry.base64) {
        const bool whole = entry.bodyTextWhole && entry.bodyText.size() <= ask;
        prefixSize = std::min(ask, entry.bodyText.size());
        follows = entry.bodyText.size() > ask;
        receiver = sink.OnResponsePrefix(
            entry.exchange, std::string_view(entry.bodyText).substr(0, ask), whole, follows);
    } else {
        bool complete = false;
        const std::string body = DecodeBase64(entry.bodyText, ask, complete);
        prefixSize = body.size();
        // A text decoded to its limit may hold more.
        follows = !complete && body.size() == ask;
        receiver = sink.OnResponsePrefix(entry.exchange, body, complete && entry.bodyTextWhole,
                                         follows);
    }
    if (receiver && !request.receiver) {
        if (follows)
            FeedReceiver(entry, prefixSize, *receiver);
        else
            receiver->OnBodyEnd(false);
    }
}
