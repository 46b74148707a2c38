#include "http/HttpDownloader.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

#include "base/Globals.h"
#include "base/Text.h"
#include "resources/StringTable.h"

namespace {

// Whole header blocks larger than this are not an HTTP answer we want to keep reading.
constexpr std::size_t kMaxHeaderBytes = 1024 * 1024;
constexpr long kReceiveBufferBytes = 256 * 1024;
// The body of a redirect is read and dropped; one this large is no redirect.
constexpr std::uint64_t kMaxRedirectBody = 1 << 20;

// "scheme://host:port" of parsed URL parts, the unit credentials are given for.
std::string OriginOf(const HttpUrlParts& parts) {
    std::string host;
    for (const char c : parts.server) host.push_back(LowerAscii(c));
    return parts.scheme + "://" + host + ":" + std::to_string(parts.port);
}

bool IsRedirectStatus(long code) {
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

void InitCurlOnce() {
    static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)done;
}

struct UrlHandle {
    CURLU* handle = curl_url();
    ~UrlHandle() { curl_url_cleanup(handle); }
};

std::string UrlPart(CURLU* url, CURLUPart what, unsigned flags = 0) {
    char* text = nullptr;
    if (curl_url_get(url, what, &text, flags) != CURLUE_OK || !text)
        return {};
    std::string out(text);
    curl_free(text);
    return out;
}

// The value of header `name` (with its colon) in `lines`, or nullptr.
const std::string* FindHeader(const std::vector<std::string>& lines, std::string_view name) {
    for (const std::string& line : lines) {
        if (StartsWithNoCase(line, name))
            return &line;
    }
    return nullptr;
}

// A Content-Length value: its leading digits after blanks, saturating.
bool ParseLength(std::string_view text, std::uint64_t& value) {
    std::size_t digits = 0;
    value = LeadingDecimal(Trim(text), digits);
    return digits > 0;
}

// Copies the first `length` bytes of `from` (fewer when it is shorter) to `to`, in the kernel
// where the file system lets it. The offset of `from` is not moved. False with errno set on
// failure.
bool CopyPrefix(int from, int to, std::uint64_t length) {
    bool inKernel = true;
    std::vector<char> buffer;
    loff_t at = 0;
    while (length > 0) {
        const std::size_t step =
            static_cast<std::size_t>(std::min<std::uint64_t>(length, std::uint64_t(1) << 30));
        ssize_t n;
        if (inKernel) {
            n = ::copy_file_range(from, &at, to, nullptr, step, 0);
            if (n < 0 &&
                (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                inKernel = false;
                continue;
            }
        } else {
            buffer.resize(1 << 16);
            n = ::pread(from, buffer.data(), std::min(step, buffer.size()), at);
            if (n > 0) {
                at += n;
                for (ssize_t done = 0; done < n;) {
                    const ssize_t w =
                        ::write(to, buffer.data() + done, static_cast<std::size_t>(n - done));
                    if (w < 0 && errno != EINTR)
                        return false;
                    done += w > 0 ? w : 0;
                }
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;  // the file is shorter
        length -= static_cast<std::uint64_t>(n);
    }
    return true;
}

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

std::string AddressText(const sockaddr* address, unsigned length) {
    sockaddr_storage storage{};
    std::memcpy(&storage, address, std::min<std::size_t>(length, sizeof storage));
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr, text, sizeof text);
    } else if (storage.ss_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr, text,
                  sizeof text);
    }
    return text;
}

// The folder of certificate authorities libcurl trusts by default (hashed names, as OpenSSL reads
// them), so that an extra file can be trusted beside it: the file option alone would replace the
// system's bundle.
const char* SystemAuthorityFolder() {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info != nullptr && info->age >= CURLVERSION_SEVENTH && info->capath != nullptr)
        return info->capath;
    return "/etc/ssl/certs";
}

// Whether `line` can go out as a header line: no control character but the tab.
bool IsSendableLine(std::string_view line) {
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F)
            return false;
    }
    return !line.empty();
}

// A header value from the network as a note may quote it: printable ASCII, at most 80 bytes.
std::string Quoted(std::string_view value) {
    std::string out;
    for (const char c : value.substr(0, 80)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return "\"" + out + "\"";
}

}  // namespace

std::vector<CopyInterval> PlanFillRequests(const std::vector<CopyInterval>& missing,
                                           std::uint64_t total) {
    std::vector<CopyInterval> ranges;
    for (const CopyInterval& r : missing) {
        const std::uint64_t first = std::min(r.first, total), end = std::min(r.end, total);
        if (end > first)
            ranges.push_back({first, end});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const CopyInterval& a, const CopyInterval& b) { return a.first < b.first; });
    std::vector<CopyInterval> planned;
    for (const CopyInterval& r : ranges) {
        if (!planned.empty() && (r.first <= planned.back().end ||
                                 r.first - planned.back().end < HttpDownloader::kFillMergeGap)) {
            planned.back().end = std::max(planned.back().end, r.end);
        } else {
            planned.push_back(r);
        }
    }
    if (planned.size() > HttpDownloader::kMaxFillRequests)
        planned = {{planned.front().first, planned.back().end}};
    return planned;
}

bool IsIfRangeValidator(std::string_view validator) {
    if (validator.empty() || validator.size() > 512 || !IsSendableLine(validator))
        return false;
    if (validator.front() == '"') {
        return validator.size() >= 2 && validator.back() == '"' &&
               validator.substr(1, validator.size() - 2).find('"') == std::string_view::npos;
    }
    if (StartsWithNoCase(validator, "W/"))
        return false;
    // Not a tag: it must be a date.
    return curl_getdate(std::string(validator).c_str(), nullptr) != -1;
}

bool ParseHttpUrl(const std::string& url, HttpUrlParts& parts) {
    InitCurlOnce();
    UrlHandle u;
    if (!u.handle || curl_url_set(u.handle, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return false;
    }
    HttpUrlParts out;
    out.scheme = UrlPart(u.handle, CURLUPART_SCHEME);
    out.server = UrlPart(u.handle, CURLUPART_HOST);
    out.object = UrlPart(u.handle, CURLUPART_PATH);
    const std::string query = UrlPart(u.handle, CURLUPART_QUERY);
    if (!query.empty())
        out.object += "?" + query;
    const std::optional<std::uint64_t> number =
        ParseDecimal(UrlPart(u.handle, CURLUPART_PORT, CURLU_DEFAULT_PORT));
    if (out.scheme.empty() || out.server.empty() || !number || *number == 0 || *number > 65535)
        return false;
    out.port = static_cast<std::uint16_t>(*number);
    parts = std::move(out);
    return true;
}

// Runs the body of a callback. An exception (an allocation failure, a report of a derived class
// that throws) must never unwind through libcurl's C frames: it becomes the callback's abort value
// and the transfer fails.
template <typename Result, typename Body>
Result Guarded(Result abortValue, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return abortValue;
    }
}

// The functions libcurl calls, with exactly the signatures it expects.
struct HttpDownloaderCallbacks {
    static std::size_t Header(char* data, std::size_t size, std::size_t count, void* self) {
        return Guarded<std::size_t>(0, [&] {
            const std::size_t total = size * count;
            auto* engine = static_cast<HttpDownloader*>(self);
            return engine->OnHeaderLine(std::string_view(data, total)) ? total : 0;
        });
    }
    static std::size_t Write(char* data, std::size_t size, std::size_t count, void* self) {
        return Guarded<std::size_t>(0, [&] {
            const std::size_t total = size * count;
            auto* engine = static_cast<HttpDownloader*>(self);
            return engine->OnBodyData(data, total) ? total : 0;
        });
    }
    // Called during every phase (also while resolving and connecting), so an abort from
    // another thread takes effect without touching the handle.
    static int Progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return Guarded(1, [&] { return static_cast<HttpDownloader*>(self)->IsAborted() ? 1 : 0; });
    }
    static int ResolverStart(void*, void*, void* self) {
        return Guarded(1, [&] {
            auto* engine = static_cast<HttpDownloader*>(self);
            std::string host = engine->m_parts.server;
            char* effective = nullptr;
            if (curl_easy_getinfo(engine->m_session, CURLINFO_EFFECTIVE_URL, &effective) ==
                    CURLE_OK &&
                effective) {
                HttpUrlParts parts;
                if (ParseHttpUrl(effective, parts))
                    host = parts.server;
            }
            engine->m_resolvedPending = true;
            engine->OnStatusCallback(HttpDownloader::kStatusResolvingName, host.c_str(),
                                     static_cast<unsigned long>(host.size() + 1));
            return 0;
        });
    }
    static curl_socket_t OpenSocket(void* self, curlsocktype purpose, curl_sockaddr* address) {
        return Guarded<curl_socket_t>(CURL_SOCKET_BAD, [&]() -> curl_socket_t {
            auto* engine = static_cast<HttpDownloader*>(self);
            if (purpose != CURLSOCKTYPE_IPCXN)
                return CURL_SOCKET_BAD;
            const std::string ip = AddressText(&address->addr, address->addrlen);
            if (engine->m_resolvedPending) {
                engine->m_resolvedPending = false;
                engine->OnStatusCallback(HttpDownloader::kStatusNameResolved, ip.c_str(),
                                         static_cast<unsigned long>(ip.size() + 1));
            }
            engine->OnStatusCallback(HttpDownloader::kStatusConnectingToServer, ip.c_str(),
                                     static_cast<unsigned long>(ip.size() + 1));
            const int fd =
                socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
            if (fd < 0)
                return CURL_SOCKET_BAD;
            engine->m_socketOpened = true;
            return fd;
        });
    }
    // Runs once the connection (and any TLS handshake) stands, before the request goes out.
    static int Prereq(void* self, char* primaryIp, char*, int, int) {
        return Guarded(static_cast<int>(CURL_PREREQFUNC_ABORT), [&] {
            auto* engine = static_cast<HttpDownloader*>(self);
            if (engine->m_socketOpened) {
                engine->m_socketOpened = false;
                const std::string ip = primaryIp ? primaryIp : "";
                engine->OnStatusCallback(HttpDownloader::kStatusConnectedToServer, ip.c_str(),
                                         static_cast<unsigned long>(ip.size() + 1));
            }
            return static_cast<int>(CURL_PREREQFUNC_OK);
        });
    }
};

HttpDownloader::HttpDownloader() {
    InitCurlOnce();
}

HttpDownloader::~HttpDownloader() {
    CloseHandles();
    CloseFile();
}

template <typename T>
bool HttpDownloader::Set(int option, T value) {
    return m_session &&
           curl_easy_setopt(m_session, static_cast<CURLoption>(option), value) == CURLE_OK;
}

bool HttpDownloader::Download() {
    m_failureReason.clear();
    bool result = Transfer();
    CloseHandles();
    if (m_destinationPath.empty())
        return result;
    if (result && m_file.IsOpen() && !m_file.Commit()) {
        const int error = errno;
        ReportSystemError(1612, static_cast<unsigned>(error), m_file.FailureText(error));
        result = false;
    }
    CloseFile();  // what was not put in place goes
    return result;
}

void HttpDownloader::Abort() {
    // The transferring thread owns the handle; the progress and write callbacks see the flag
    // and make libcurl return, so nothing is closed here.
    m_aborted.exchange(true);
}

void HttpDownloader::CloseHandles() {
    std::lock_guard lock(m_handleLock);
    if (m_request) {
        curl_slist_free_all(m_request);
        m_request = nullptr;
    }
    if (m_connection) {
        curl_url_cleanup(m_connection);
        m_connection = nullptr;
    }
    if (m_session) {
        curl_easy_cleanup(m_session);
        m_session = nullptr;
    }
}

void HttpDownloader::CloseFile() {
    m_file.Discard();
}

void HttpDownloader::ReportSystemError(int messageId, unsigned code, std::string reason) {
    if (m_failureReason.empty())
        m_failureReason =
            IsAborted() ? std::string("The download was cancelled.") : std::move(reason);
    OnSystemError(messageId, code);
}

std::string HttpDownloader::ShortBodyText() const {
    return "The server closed the connection after " + std::to_string(m_bytesThisTransfer) +
           " of " + std::to_string(m_contentLength) + " bytes.";
}

std::string HttpDownloader::CurlReason(int code) const {
    if (m_errorBuffer[0] != '\0')
        return std::string(m_errorBuffer, strnlen(m_errorBuffer, sizeof m_errorBuffer)) + ".";
    return std::string(curl_easy_strerror(static_cast<CURLcode>(code))) + ".";
}

bool HttpDownloader::OpenFile(bool& fill) {
    // A resumed transfer continues the bytes the destination holds, a fill starts from the
    // captured ones: they are copied first, so that the destination itself stays as it is until
    // the whole file is in.
    int existing = -1;
    bool ownDescriptor = true;
    std::uint64_t length = m_resumeOffset;
    struct stat st {};
    if (fill) {
        // The copy must reach the last byte it says it holds (the start of a hole at its end).
        length = m_fill.total;
        if (!m_fillPlan.empty() && m_fillPlan.back().end == m_fill.total)
            length = m_fillPlan.back().first;
        ownDescriptor = m_fill.sourceFd < 0;
        existing = ownDescriptor ? ::open(m_destinationPath.c_str(), O_RDONLY | O_CLOEXEC)
                                 : m_fill.sourceFd;
        if (existing < 0 || ::fstat(existing, &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_size) < length) {
            if (existing >= 0 && ownDescriptor)
                ::close(existing);
            existing = -1;
            fill = false;
            GiveUpFill("the captured copy does not hold the bytes it should");
        }
    } else if (Resume() > 0 && ::stat(m_destinationPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        existing = ::open(m_destinationPath.c_str(), O_RDONLY | O_CLOEXEC);
    }
    const auto release = [&] {
        if (existing >= 0 && ownDescriptor)
            ::close(existing);
    };
    if (!m_file.Create(m_destinationPath)) {
        const int error = errno;
        release();
        ReportSystemError(1626, static_cast<unsigned>(error), m_file.FailureText(error));
        return false;
    }
    if (existing >= 0) {
        const bool copied = CopyPrefix(existing, m_file.Fd(), length);
        const int error = errno;
        release();
        if (!copied) {
            ReportSystemError(1628, static_cast<unsigned>(error), m_file.FailureText(error));
            return false;
        }
    }
    // A new file is empty already; only a resumed or filled one needs its length set (a
    // shorter file is extended with zeros), which also keeps character devices such as
    // /dev/null usable as destinations.
    if (fill)
        return TruncateFile(m_fill.total, 1628);
    return Resume() == 0 || TruncateFile(Resume(), 1628);
}

bool HttpDownloader::TruncateFile(std::uint64_t length, int messageId) {
    if (length > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        ReportSystemError(messageId, EOVERFLOW, m_file.FailureText(EOVERFLOW));
        return false;
    }
    const auto offset = static_cast<off_t>(length);
    if (lseek(m_file.Fd(), offset, SEEK_SET) < 0 || ftruncate(m_file.Fd(), offset) != 0) {
        const int error = errno;
        ReportSystemError(messageId, static_cast<unsigned>(error), m_file.FailureText(error));
        return false;
    }
    return true;
}

bool HttpDownloader::Transfer() {
    CloseHandles();

    if (!ParseHttpUrl(m_url, m_parts)) {
        m_url = "http://" + m_url;
        if (!ParseHttpUrl(m_url, m_parts)) {
            m_failureReason = "The address is not a URL that can be fetched.";
            return false;
        }
    }
    m_currentUrl = m_url;
    m_steppedDown = m_initialSteppedDown;
    m_redirects = 0;
    m_credentialServer.clear();
    m_fillOutcome = FillOutcome::None;
    m_fillNote.clear();
    m_fillPlan.clear();
    m_inFillRange = false;
    m_fillTookWhole = false;
    m_fileFailed = false;
    m_fillBytes = m_fillDone = 0;

    // A fill needs a file to fill.
    const bool filling = m_filling && !m_destinationPath.empty();
    bool fill = filling && PlanFill();
    if (!m_destinationPath.empty() && !OpenFile(fill))
        return false;

    if (!OpenSession())
        return false;
    if (!Connect())
        return false;
    if (!OpenRequest())
        return false;
    if (!ApplyProxyCredentials() || !ApplyServerCredentials())
        return false;

    if (fill) {
        switch (FetchMissing()) {
            case FillResult::Filled:
                m_fillOutcome = FillOutcome::Filled;
                return true;
            case FillResult::TookWhole:
                m_fillOutcome = FillOutcome::FellBack;
                SetStatusText("Fetching the whole file: " + m_fillNote + ".");
                return true;
            case FillResult::Failed:
                return false;
            case FillResult::GivenUp:
                break;
        }
        // The whole file from the start, as a plain transfer fetches it: nothing of the copy
        // stays, and the URL is asked again from its first hop.
        HttpUrlParts parts;
        if (!TruncateFile(0, 1628) || !ParseHttpUrl(m_url, parts))
            return false;
        m_steppedDown = m_initialSteppedDown;
        m_redirects = 0;
        if (!PointAt(m_url, std::move(parts)))
            return false;
    }
    if (filling) {
        m_fillOutcome = FillOutcome::FellBack;
        SetStatusText("Fetching the whole file: " + m_fillNote + ".");
    }
    return Exchange();
}

bool HttpDownloader::PlanFill() {
    if (m_fill.total == 0) {
        GiveUpFill("the size of the file is not known");
        return false;
    }
    if (!IsIfRangeValidator(m_fill.validator)) {
        GiveUpFill("no validator the server could check the captured bytes against");
        return false;
    }
    m_fillPlan = PlanFillRequests(m_fill.missing, m_fill.total);
    for (const CopyInterval& r : m_fillPlan) m_fillBytes += r.end - r.first;
    return true;
}

void HttpDownloader::GiveUpFill(std::string why) {
    if (m_fillNote.empty())
        m_fillNote = std::move(why);
}

HttpDownloader::FillResult HttpDownloader::FetchMissing() {
    if (m_fillBytes > 0)
        OnSizeKnown(m_fillBytes);
    for (const CopyInterval& range : m_fillPlan) {
        // Each range starts where the last one ended up (after its redirects).
        m_fillRange = range;
        m_inFillRange = true;
        m_redirects = 0;
        const bool answered = Exchange();
        m_inFillRange = false;
        if (m_fillTookWhole && answered)
            return FillResult::TookWhole;
        const std::uint64_t wanted = range.end - range.first;
        if (answered && m_bytesThisTransfer == wanted) {
            m_fillDone += wanted;
            continue;
        }
        if (IsAborted() || m_fileFailed)
            return FillResult::Failed;
        if (answered) {
            GiveUpFill("the server sent " + std::to_string(m_bytesThisTransfer) + " of the " +
                       std::to_string(wanted) + " bytes asked for");
        }
        // A network failure ends the fill too: the whole fetch says it again if it persists.
        GiveUpFill(m_failureReason.empty() ? std::string("the ranged request failed")
                                           : m_failureReason);
        if (!m_fillNote.empty() && m_fillNote.back() == '.')
            m_fillNote.pop_back();
        m_failureReason.clear();
        return FillResult::GivenUp;
    }
    OnProgress(m_fillDone, true, m_fillBytes);
    return FillResult::Filled;
}

bool HttpDownloader::Exchange() {
    // Sent again after each answered credential prompt, and to each redirect's target.
    for (;;) {
        bool again = false;
        if (!SendAndReceive(again))
            return false;
        if (m_phase == Phase::Redirect) {
            if (!FollowRedirect())
                return false;
            continue;
        }
        if (!again)
            return true;
    }
}

bool HttpDownloader::FollowRedirect() {
    if (++m_redirects > kMaxRedirects) {
        ReportSystemError(
            1610, CURLE_TOO_MANY_REDIRECTS,
            "The server redirected more than " + std::to_string(kMaxRedirects) + " times.");
        return false;
    }
    HttpUrlParts next;
    if (!ParseHttpUrl(m_redirectTarget, next) ||
        (next.scheme != "http" && next.scheme != "https")) {
        ReportSystemError(1610, CURLE_UNSUPPORTED_PROTOCOL,
                          "The server redirected to an address that is not http or https.");
        return false;
    }
    if (m_parts.scheme == "https" && next.scheme == "http")
        m_steppedDown = true;
    return PointAt(m_redirectTarget, std::move(next));
}

bool HttpDownloader::PointAt(const std::string& url, HttpUrlParts next) {
    // What the user typed into the prompt was for the server that asked, not for wherever it
    // points.
    if (!m_credentialServer.empty() && m_credentialServer != OriginOf(next)) {
        m_credentialServer.clear();
        if (!Set(CURLOPT_USERNAME, static_cast<char*>(nullptr)) ||
            !Set(CURLOPT_PASSWORD, static_cast<char*>(nullptr)) ||
            !Set(CURLOPT_PROXYUSERNAME, static_cast<char*>(nullptr)) ||
            !Set(CURLOPT_PROXYPASSWORD, static_cast<char*>(nullptr))) {
            ReportSystemError(1609, CURLE_BAD_FUNCTION_ARGUMENT,
                              CurlReason(CURLE_BAD_FUNCTION_ARGUMENT));
            return false;
        }
    }
    CURLUcode parsed = CURLUE_OK;
    CURLcode rc = CURLE_OK;
    {
        std::lock_guard lock(m_handleLock);
        parsed = curl_url_set(m_connection, CURLUPART_URL, url.c_str(), 0);
        if (parsed == CURLUE_OK)
            rc = curl_easy_setopt(m_session, CURLOPT_CURLU, m_connection);
    }
    if (parsed != CURLUE_OK) {
        ReportSystemError(1609, static_cast<unsigned>(parsed),
                          std::string(curl_url_strerror(parsed)) + ".");
        return false;
    }
    if (rc != CURLE_OK) {
        ReportSystemError(1609, static_cast<unsigned>(rc), CurlReason(rc));
        return false;
    }
    m_currentUrl = url;
    m_parts = std::move(next);
    return true;
}

std::string HttpDownloader::AnswerHeader(std::string_view name) const {
    for (const std::string& line : m_headers) {
        if (line.size() > name.size() && line[name.size()] == ':' && StartsWithNoCase(line, name)) {
            return std::string(Trim(std::string_view(line).substr(name.size() + 1)));
        }
    }
    return {};
}

bool HttpDownloader::OpenSession() {
    std::lock_guard lock(m_handleLock);
    if (!m_session)
        m_session = curl_easy_init();
    if (!m_session)
        return false;
    const std::string agent = m_userAgent.empty() ? std::string(kProductName) : m_userAgent;
    // libcurl receives into a buffer of this size and hands the body on in pieces of at most
    // 16 KiB; the engine's reads (OnBodyData) are cut to the read buffer size from those. A
    // larger receive buffer saves system calls without changing what a read delivers.
    const long bufferSize =
        std::clamp<long>(std::max<long>(static_cast<long>(m_readBufferSize), kReceiveBufferBytes),
                         1024, CURL_MAX_READ_SIZE);
    using CB = HttpDownloaderCallbacks;
    if (!m_extraAuthorityFile.empty() && !(Set(CURLOPT_CAINFO, m_extraAuthorityFile.c_str()) &&
                                           Set(CURLOPT_CAPATH, SystemAuthorityFolder()))) {
        return false;
    }
    if (m_share != nullptr && !Set(CURLOPT_SHARE, m_share))
        return false;
    return Set(CURLOPT_NOSIGNAL, 1L) && Set(CURLOPT_ERRORBUFFER, m_errorBuffer) &&
           Set(CURLOPT_USERAGENT, agent.c_str()) && Set(CURLOPT_PROTOCOLS_STR, "http,https") &&
           Set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https") && Set(CURLOPT_FOLLOWLOCATION, 0L) &&
           Set(CURLOPT_SSL_VERIFYPEER, 1L) && Set(CURLOPT_SSL_VERIFYHOST, 2L) &&
           Set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(m_connectTimeout.count())) &&
           Set(CURLOPT_LOW_SPEED_LIMIT, m_lowSpeedLimit) &&
           Set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(m_lowSpeedTime.count())) &&
           Set(CURLOPT_BUFFERSIZE, bufferSize) && Set(CURLOPT_HEADERFUNCTION, &CB::Header) &&
           Set(CURLOPT_HEADERDATA, this) && Set(CURLOPT_WRITEFUNCTION, &CB::Write) &&
           Set(CURLOPT_WRITEDATA, this) && Set(CURLOPT_NOPROGRESS, 0L) &&
           Set(CURLOPT_XFERINFOFUNCTION, &CB::Progress) && Set(CURLOPT_XFERINFODATA, this) &&
           Set(CURLOPT_RESOLVER_START_FUNCTION, &CB::ResolverStart) &&
           Set(CURLOPT_RESOLVER_START_DATA, this) &&
           Set(CURLOPT_OPENSOCKETFUNCTION, &CB::OpenSocket) && Set(CURLOPT_OPENSOCKETDATA, this) &&
           Set(CURLOPT_PREREQFUNCTION, &CB::Prereq) && Set(CURLOPT_PREREQDATA, this);
}

bool HttpDownloader::Connect() {
    std::lock_guard lock(m_handleLock);
    if (!m_connection)
        m_connection = curl_url();
    if (!m_connection) {
        ReportSystemError(1609, kErrorNotEnoughMemory, "Out of memory.");
        return false;
    }
    const CURLUcode parsed = curl_url_set(m_connection, CURLUPART_URL, m_url.c_str(), 0);
    if (parsed != CURLUE_OK) {
        ReportSystemError(1609, static_cast<unsigned>(parsed),
                          std::string(curl_url_strerror(parsed)) + ".");
        return false;
    }
    const CURLcode rc = curl_easy_setopt(m_session, CURLOPT_CURLU, m_connection);
    if (rc != CURLE_OK) {
        ReportSystemError(1609, static_cast<unsigned>(rc), CurlReason(rc));
        return false;
    }
    return true;
}

bool HttpDownloader::OpenRequest() {
    const std::uint32_t flags = GetRequestFlags();
    // Without keep-connection every request gets a connection of its own.
    const long forbidReuse = (flags & kFlagKeepConnection) ? 0L : 1L;
    if (!Set(CURLOPT_FORBID_REUSE, forbidReuse)) {
        ReportSystemError(1609, CURLE_BAD_FUNCTION_ARGUMENT,
                          CurlReason(CURLE_BAD_FUNCTION_ARGUMENT));
        return false;
    }
    return true;
}

bool HttpDownloader::ApplyServerCredentials() {
    return true;
}
bool HttpDownloader::ApplyProxyCredentials() {
    return true;
}
bool HttpDownloader::OnClientCertificateNeeded() {
    return false;
}

bool HttpDownloader::SetCredentials(bool proxy, const std::string& user,
                                    const std::string& password) {
    // Basic needs no challenge round trip; any other scheme the server named is negotiated.
    const std::string* challenge =
        FindHeader(m_headers, proxy ? "Proxy-Authenticate:" : "WWW-Authenticate:");
    const bool basicOnly =
        challenge &&
        StartsWithNoCase(Trim(std::string_view(*challenge).substr(proxy ? 19 : 17)), "Basic");
    const long scheme =
        basicOnly ? static_cast<long>(CURLAUTH_BASIC) : static_cast<long>(CURLAUTH_ANY);
    m_credentialServer = OriginOf(m_parts);
    if (proxy) {
        return Set(CURLOPT_PROXYUSERNAME, user.c_str()) &&
               Set(CURLOPT_PROXYPASSWORD, password.c_str()) && Set(CURLOPT_PROXYAUTH, scheme);
    }
    return Set(CURLOPT_USERNAME, user.c_str()) && Set(CURLOPT_PASSWORD, password.c_str()) &&
           Set(CURLOPT_HTTPAUTH, scheme);
}

void HttpDownloader::ResetResponse() {
    m_phase = Phase::Waiting;
    m_statusCode = 0;
    m_headers.clear();
    m_headerBytes = 0;
    m_anyHeaderSeen = false;
    m_callbackFailed = false;
    m_sizeKnown = false;
    m_contentLength = 0;
    m_bytesThisTransfer = 0;
    m_bodyOffset = Resume();
    m_redirectTarget.clear();
    m_errorBuffer[0] = '\0';
}

bool HttpDownloader::SendAndReceive(bool& again) {
    again = false;
    // The Accept line from the accept types, then the extra headers, one list per send.
    curl_slist* list = nullptr;
    bool allocated = true;
    std::string accept;
    std::size_t start = 0;
    while (start <= m_acceptTypes.size()) {
        const std::size_t end = m_acceptTypes.find_first_of(",;", start);
        const std::string_view item =
            Trim(std::string_view(m_acceptTypes)
                     .substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (!item.empty()) {
            if (!accept.empty())
                accept += ", ";
            accept += item;
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    auto append = [&](const std::string& line) {
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (!grown)
            allocated = false;
        else
            list = grown;
    };
    append("Accept: " + accept);  // "Accept:" alone removes libcurl's own line
    for (const std::string& line : m_extraHeaderLines) {
        if (IsSendableLine(line))
            append(line);
    }
    if (m_haveCaptured) {
        for (const std::string& line :
             ScopedHeaderLines(m_captured, m_capturedUrl, m_currentUrl, m_steppedDown)) {
            if (IsSendableLine(line))
                append(line);
        }
    }
    std::string extra = GetRequestHeaders();
    if (m_inFillRange) {
        extra += "\nRange: bytes=" + std::to_string(m_fillRange.first) + "-" +
                 std::to_string(m_fillRange.end - 1) + "\nIf-Range: " + m_fill.validator;
    }
    for (std::size_t pos = 0; pos < extra.size();) {
        std::size_t end = extra.find('\n', pos);
        if (end == std::string::npos)
            end = extra.size();
        const std::string_view line = Trim(std::string_view(extra).substr(pos, end - pos));
        if (!line.empty())
            append(std::string(line));
        pos = end + 1;
    }
    if (!allocated) {
        curl_slist_free_all(list);
        ReportSystemError(1608, kErrorNotEnoughMemory, "Out of memory.");
        return false;
    }
    {
        std::lock_guard lock(m_handleLock);
        if (!Set(CURLOPT_HTTPHEADER, list)) {
            curl_slist_free_all(list);
            ReportSystemError(1609, CURLE_BAD_FUNCTION_ARGUMENT,
                              CurlReason(CURLE_BAD_FUNCTION_ARGUMENT));
            return false;
        }
        curl_slist_free_all(m_request);
        m_request = list;
    }

    ResetResponse();
    const CURLcode rc = curl_easy_perform(m_session);
    if (rc != CURLE_OK) {
        if (m_callbackFailed)
            return false;  // already reported where it happened
        const auto code = static_cast<unsigned>(rc);
        if (m_phase == Phase::Body && m_sizeKnown && m_bytesThisTransfer < m_contentLength) {
            ReportSystemError(1612, code, ShortBodyText());
        } else if (m_phase == Phase::Body || m_phase == Phase::Draining) {
            ReportSystemError(1612, code, CurlReason(rc));
        } else if (!m_anyHeaderSeen) {
            ReportSystemError(1609, code, CurlReason(rc));
        } else {
            ReportSystemError(1610, code, CurlReason(rc));
        }
        return false;
    }
    if (m_phase == Phase::Waiting && !DecideStatus())
        return false;

    switch (m_phase) {
        case Phase::Draining: {
            unsigned result = kPromptCancelled;
            if (OnAuthenticationNeeded(result)) {
                again = true;
                return true;
            }
            if (result != 0)
                ReportSystemError(1627, result, "The download was cancelled.");
            if (m_failureReason.empty())
                m_failureReason = "The server asks for a user name and password.";
            return false;
        }
        case Phase::Body: {
            // libcurl itself fails a body that ends short of its Content-Length; this check
            // keeps a short body from ever counting as a complete file.
            if (m_sizeKnown && m_bytesThisTransfer < m_contentLength) {
                ReportSystemError(1612, CURLE_PARTIAL_FILE, ShortBodyText());
                return false;
            }
            // The final read, which returned no more data.
            if (m_inFillRange)
                OnProgress(m_fillDone + m_bytesThisTransfer, true, m_fillBytes);
            else
                OnProgress(m_bytesThisTransfer, m_sizeKnown,
                           SaturatingAdd(m_contentLength, m_bodyOffset));
            return true;
        }
        case Phase::Redirect:
            return true;
        case Phase::Waiting:
        case Phase::Refused:
            break;
    }
    return false;
}

bool HttpDownloader::DecideStatus() {
    long code = 0;
    const CURLcode rc = curl_easy_getinfo(m_session, CURLINFO_RESPONSE_CODE, &code);
    if (rc != CURLE_OK || code == 0) {
        const CURLcode why = rc != CURLE_OK ? rc : CURLE_WEIRD_SERVER_REPLY;
        ReportSystemError(1610, static_cast<unsigned>(why), CurlReason(why));
        m_phase = Phase::Refused;
        return false;
    }
    m_statusCode = code;
    if (code == 401 || code == 407) {
        m_phase = Phase::Draining;  // the body is read and dropped before the prompt
        return true;
    }
    if (IsRedirectStatus(code) && !m_redirectTarget.empty()) {
        m_phase = Phase::Redirect;  // the body is dropped; the transfer goes on to the target
        return true;
    }
    if (m_inFillRange) {
        if (code != 200)
            return DecideFillStatus(code);
        // The file changed on the server (If-Range did not hold): its whole new body is this
        // answer, kept as a plain transfer keeps it instead of being asked for a second time.
        GiveUpFill("the server sent the whole file, so its copy is not the one captured");
        m_inFillRange = false;
        m_fillTookWhole = true;
        if (!TruncateFile(0, 1628)) {
            m_phase = Phase::Refused;
            return false;
        }
        m_bodyOffset = 0;
        SetStatusText("Fetching the whole file: " + m_fillNote + ".");
    }
    if (code != 200 && code != 206) {
        if (m_failureReason.empty())
            m_failureReason = "The server answered with status " + std::to_string(code) + ".";
        OnError(1611, static_cast<unsigned>(code));
        m_phase = Phase::Refused;
        return false;
    }
    // A whole file in answer to a ranged request replaces what was kept, so the old head and
    // the new body never mix.
    if (code == 200 && Resume() > 0 && m_file.IsOpen()) {
        if (!TruncateFile(0, 1628)) {
            m_phase = Phase::Refused;
            return false;
        }
        m_bodyOffset = 0;
    }
    ShowStatus(1606);
    const std::string* length = FindHeader(m_headers, "Content-Length:");
    const std::string* encoding = FindHeader(m_headers, "Transfer-Encoding:");
    std::uint64_t size = 0;
    // A chunked body has no length of its own, whatever Content-Length says.
    if (length && !encoding && ParseLength(std::string_view(*length).substr(15), size)) {
        m_sizeKnown = true;
        m_contentLength = size;
        OnSizeKnown(size);
    }
    ShowStatus(1614);
    m_phase = Phase::Body;
    return true;
}

bool HttpDownloader::DecideFillStatus(long code) {
    // None of these is an error of the transfer: the fill is given up, the whole file fetched.
    const auto giveUp = [&](std::string why) {
        GiveUpFill(std::move(why));
        m_phase = Phase::Refused;
        return false;
    };
    if (code != 206)
        return giveUp("the server answered a ranged request with status " + std::to_string(code));
    const std::uint64_t wanted = m_fillRange.end - m_fillRange.first;
    const std::string asked = "bytes " + std::to_string(m_fillRange.first) + "-" +
                              std::to_string(m_fillRange.end - 1) + "/" +
                              std::to_string(m_fill.total);
    // A multipart answer has no Content-Range of its own; another range or total is not ours.
    const std::string range = AnswerHeader("Content-Range");
    if (range != asked)
        return giveUp("the server answered " + Quoted(range) + " to " + Quoted(asked));
    const std::string* length = FindHeader(m_headers, "Content-Length:");
    const std::string* encoding = FindHeader(m_headers, "Transfer-Encoding:");
    std::uint64_t size = 0;
    if (length && !encoding &&
        (!ParseLength(std::string_view(*length).substr(15), size) || size != wanted)) {
        return giveUp("the server announced " + std::to_string(size) + " bytes for a range of " +
                      std::to_string(wanted));
    }
    // The range bounds the body whether or not a length came with it.
    m_sizeKnown = true;
    m_contentLength = wanted;
    ShowStatus(1614);
    m_phase = Phase::Body;
    return true;
}

bool HttpDownloader::WriteFillPiece(const char* data, std::size_t length) {
    const std::uint64_t wanted = m_fillRange.end - m_fillRange.first;
    if (m_bytesThisTransfer > wanted || length > wanted - m_bytesThisTransfer) {
        GiveUpFill("the server sent more than the " + std::to_string(wanted) + " bytes asked for");
        return false;
    }
    std::uint64_t at = m_fillRange.first + m_bytesThisTransfer;
    while (length > 0) {
        const ssize_t n = ::pwrite(m_file.Fd(), data, length, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            m_fileFailed = true;
            ReportSystemError(1612, static_cast<unsigned>(error), m_file.FailureText(error));
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
        at += static_cast<std::uint64_t>(n);
    }
    return !IsAborted();
}

bool HttpDownloader::OnHeaderLine(std::string_view line) {
    m_anyHeaderSeen = true;
    m_headerBytes += line.size();
    if (m_headerBytes > kMaxHeaderBytes)
        return false;
    if (StartsWithNoCase(line, "HTTP/")) {
        // A new answer (after a redirect, an interim 1xx or an authentication round trip).
        m_headers.clear();
        m_headerBytes = line.size();
        m_redirectTarget.clear();
    }
    const std::string_view text = Trim(line);
    if (!text.empty()) {
        m_headers.emplace_back(text);
        return true;
    }
    // End of one answer's headers: a redirect with a Location is followed by Transfer.
    long code = 0;
    curl_easy_getinfo(m_session, CURLINFO_RESPONSE_CODE, &code);
    const std::string* location = FindHeader(m_headers, "Location:");
    if (IsRedirectStatus(code) && location) {
        const std::string target(Trim(std::string_view(*location).substr(9)));
        std::string shown = target;
        char* effective = nullptr;
        UrlHandle u;
        if (u.handle &&
            curl_easy_getinfo(m_session, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
            effective && curl_url_set(u.handle, CURLUPART_URL, effective, 0) == CURLUE_OK &&
            curl_url_set(u.handle, CURLUPART_URL, target.c_str(), 0) == CURLUE_OK) {
            shown = UrlPart(u.handle, CURLUPART_URL);
            m_redirectTarget = shown;
        }
        OnStatusCallback(kStatusRedirect, shown.c_str(),
                         static_cast<unsigned long>(shown.size() + 1));
    }
    return true;
}

bool HttpDownloader::OnBodyData(const char* data, std::size_t length) {
    if (m_phase == Phase::Waiting && !DecideStatus()) {
        m_callbackFailed = true;
        return false;
    }
    switch (m_phase) {
        case Phase::Draining:
            return true;
        case Phase::Redirect:
            m_bytesThisTransfer += length;
            if (m_bytesThisTransfer <= kMaxRedirectBody)
                return !IsAborted();
            ReportSystemError(1610, CURLE_FILESIZE_EXCEEDED,
                              "The server sent a redirect with a body of more than 1 MiB.");
            m_callbackFailed = true;
            return false;
        case Phase::Body: {
            // A body without a length must not run on for ever: past the bound it is not the
            // medium that was sniffed.
            if (!m_sizeKnown && m_expectedSize > 0) {
                const std::uint64_t limit = SaturatingAdd(
                    SaturatingAdd(m_expectedSize, m_expectedSize), kUnannouncedBodyMargin);
                if (SaturatingAdd(m_bytesThisTransfer, length) > limit) {
                    ReportSystemError(1612, CURLE_FILESIZE_EXCEEDED,
                                      "The server sent more than " + std::to_string(limit) +
                                          " bytes without saying how many it would send.");
                    m_callbackFailed = true;
                    return false;
                }
            }
            // One read per piece of at most the read buffer size.
            const std::size_t block = m_readBufferSize > 0 ? m_readBufferSize : 16384;
            while (length > 0) {
                const std::size_t piece = std::min(length, block);
                if (!(m_inFillRange ? WriteFillPiece(data, piece) : WriteData(data, piece))) {
                    m_callbackFailed = true;
                    return false;
                }
                m_bytesThisTransfer += piece;
                if (m_inFillRange)
                    OnProgress(m_fillDone + m_bytesThisTransfer, true, m_fillBytes);
                else
                    OnProgress(m_bytesThisTransfer, m_sizeKnown,
                               SaturatingAdd(m_contentLength, m_bodyOffset));
                data += piece;
                length -= piece;
            }
            return true;
        }
        case Phase::Waiting:
        case Phase::Refused:
            break;
    }
    m_callbackFailed = true;
    return false;
}

bool HttpDownloader::WriteData(const char* buffer, std::size_t length) {
    if (m_file.IsOpen() && !m_file.WriteAll(buffer, length)) {
        const int error = errno;
        m_fileFailed = true;
        ReportSystemError(1612, static_cast<unsigned>(error), m_file.FailureText(error));
        return false;
    }
    return !IsAborted();
}

void HttpDownloader::OnStatusCallback(unsigned long, const void*, unsigned long) {}
void HttpDownloader::OnSystemError(int, unsigned) {}

void HttpDownloader::OnError(int messageId, unsigned code) {
    (void)FormatResourceString(messageId, {std::to_string(code)});
}

std::uint32_t HttpDownloader::GetRequestFlags() {
    // Certificates are always verified: no flag waives a date or a host-name mismatch.
    std::uint32_t flags = kFlagReload | kFlagMakePersistent | kFlagKeepConnection;
    if (m_parts.scheme == "https")
        flags |= kFlagSecure;
    return flags;
}

std::string HttpDownloader::GetRequestHeaders() {
    if (Resume() == 0)
        return {};
    return "Range: bytes=" + std::to_string(Resume()) + "-\r\n";
}

bool HttpDownloader::OnAuthenticationNeeded(unsigned& result) {
    result = kPromptCancelled;
    return false;
}

void HttpDownloader::SetStatusText(const std::string&) {}

void HttpDownloader::ShowStatusFormat(int messageId, std::string_view text) {
    SetStatusText(FormatResourceString(messageId, {text}));
}

void HttpDownloader::ShowStatus(int messageId) {
    SetStatusText(std::string(LoadResourceString(messageId)));
}

void HttpDownloader::OnSizeKnown(std::uint64_t) {}
void HttpDownloader::OnProgress(std::uint64_t, bool, std::uint64_t) {}
