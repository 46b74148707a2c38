// The window-less transfer engine: fetches one URL over HTTP or HTTPS into one local file.
//
// Everything the engine wants to report (status texts, errors, the size, progress) and every
// decision that needs a user (credentials, client certificates) goes through the virtual
// operations below, whose engine versions do nothing or refuse. The download dialog derives
// from it and runs `Download` on a worker thread; the main window uses it directly.
//
// Redirects are followed by the engine itself, one hop at a time (at most kMaxRedirects, to
// http and https only), so that the captured session's headers are chosen for each hop's
// destination (ScopedHeaderLines): libcurl's own following would send a Referer with its query
// to every host, and credentials typed into the prompt to wherever the server points.
//
// The transfer runs on libcurl's easy interface, blocking on the calling thread, with one easy
// handle per transfer. `Abort` may be called from any thread: it only sets an atomic flag that
// libcurl's progress callback turns into an abort, so no handle is ever freed under a thread
// that still uses it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/StagedFile.h"
#include "http/RefetchHeaders.h"
#include "spool/CopyStatus.h"

typedef void CURL;
typedef void CURLSH;
struct curl_slist;
struct Curl_URL;
typedef struct Curl_URL CURLU;

// The parts of a URL the engine works with.
struct HttpUrlParts {
    std::string scheme;      // lower case, e.g. "http"
    std::string server;      // host name (an IPv6 address keeps its brackets)
    std::string object;      // path and query: everything after host and port
    std::uint16_t port = 0;  // from the URL, else the scheme's default
};

// Parses an absolute URL. False when libcurl's URL parser rejects it.
bool ParseHttpUrl(const std::string& url, HttpUrlParts& parts);

// A fill: the destination becomes the captured copy of a medium, and only the byte ranges the
// capture missed are asked of the server.
struct HttpFill {
    // The captured bytes, at their offsets (holes may hold anything): read from this descriptor
    // when it is not -1 (the caller's: it stays open, its offset is not moved), else from the
    // destination path itself.
    int sourceFd = -1;
    // The medium's size; the file ends up exactly this long.
    std::uint64_t total = 0;
    // The byte ranges [first, end) the capture does not hold.
    std::vector<CopyInterval> missing;
    // The ETag or Last-Modified captured with the bytes: sent as If-Range, so that a server
    // whose file changed answers with the whole new file instead of pieces of it.
    std::string validator;
};

// How the last transfer with a fill went.
enum class FillOutcome {
    None,      // no fill was asked for
    Filled,    // the missing ranges alone were fetched, the captured bytes kept
    FellBack,  // the fill was given up (FillNote says why) and the whole file was fetched
};

// The requests that fetch `missing` of a medium of `total` bytes: ranges cut to the medium,
// sorted, those closer than kFillMergeGap joined; more than kMaxFillRequests become one range
// from the first missing byte to the last.
std::vector<CopyInterval> PlanFillRequests(const std::vector<CopyInterval>& missing,
                                           std::uint64_t total);
// Whether `validator` can go out as If-Range: a strong entity tag or an HTTP date. A weak tag
// cannot (the server would never answer a range to it).
bool IsIfRangeValidator(std::string_view validator);

class HttpDownloader {
public:
    // Status notifications passed to `OnStatusCallback`, numbered as the customary HTTP client
    // status codes so that the texts stay tied to the same events.
    static constexpr unsigned long kStatusResolvingName = 10;
    static constexpr unsigned long kStatusNameResolved = 11;
    static constexpr unsigned long kStatusConnectingToServer = 20;
    static constexpr unsigned long kStatusConnectedToServer = 21;
    static constexpr unsigned long kStatusRedirect = 110;

    // Results of the credential prompt (`OnAuthenticationNeeded`): retry with what the user
    // entered, or give up.
    static constexpr unsigned kPromptRetry = 12032;
    static constexpr unsigned kPromptCancelled = 0;
    // The error passed when a client certificate was asked for and none is given.
    static constexpr unsigned kErrorClientCertificateNeeded = 12044;
    // The error passed when a buffer or list cannot be allocated.
    static constexpr unsigned kErrorNotEnoughMemory = 14;

    // Request flags (`GetRequestFlags`).
    static constexpr std::uint32_t kFlagReload = 0x80000000;
    static constexpr std::uint32_t kFlagMakePersistent = 0x02000000;
    static constexpr std::uint32_t kFlagKeepConnection = 0x00400000;
    static constexpr std::uint32_t kFlagSecure = 0x00800000;

    HttpDownloader();
    virtual ~HttpDownloader();
    HttpDownloader(const HttpDownloader&) = delete;
    HttpDownloader& operator=(const HttpDownloader&) = delete;

    // Settings, set by the owner before a transfer.
    void SetUrl(std::string url) { m_url = std::move(url); }
    const std::string& Url() const { return m_url; }
    void SetDestinationPath(std::string path) { m_destinationPath = std::move(path); }
    const std::string& DestinationPath() const { return m_destinationPath; }
    void SetUserAgent(std::string agent) { m_userAgent = std::move(agent); }
    const std::string& UserAgent() const { return m_userAgent; }
    void SetConfirmOverwrite(bool confirm) { m_confirmOverwrite = confirm; }
    bool ConfirmOverwrite() const { return m_confirmOverwrite; }
    void SetResumeOffset(std::uint64_t offset) { m_resumeOffset = offset; }
    std::uint64_t ResumeOffset() const { return m_resumeOffset; }
    void SetAcceptTypes(std::string types) { m_acceptTypes = std::move(types); }
    const std::string& AcceptTypes() const { return m_acceptTypes; }
    void SetReadBufferSize(std::uint32_t size) { m_readBufferSize = size; }
    std::uint32_t ReadBufferSize() const { return m_readBufferSize; }
    // Header lines ("Name: value", no line end) sent with every request of the transfer, such as
    // the captured Cookie of a listed entry. A line holding a control character is not sent.
    void SetExtraHeaderLines(std::vector<std::string> lines) {
        m_extraHeaderLines = std::move(lines);
    }
    const std::vector<std::string>& ExtraHeaderLines() const { return m_extraHeaderLines; }
    // The captured request's Cookie, Referer and Authorization, and the URL they were captured
    // for: each request of the transfer (each redirect hop) carries what ScopedHeaderLines
    // allows for its destination. `steppedDown`: the URL was named by a document that came over
    // http after https, so nothing is sent from the start.
    void SetCapturedSession(RefetchHeaders headers, std::string capturedUrl,
                            bool steppedDown = false) {
        m_captured = std::move(headers);
        m_capturedUrl = std::move(capturedUrl);
        m_haveCaptured = true;
        m_initialSteppedDown = steppedDown;
    }
    // Connections, TLS sessions and names shared with the other transfers of one caller (a
    // stream's segments one after another); null for none. Never used by two transfers at once.
    void SetShare(CURLSH* share) { m_share = share; }
    // A file of certificate authorities (PEM) trusted besides the system's; empty for the
    // system's alone. Certificates are verified either way.
    void SetExtraAuthorityFile(std::string path) { m_extraAuthorityFile = std::move(path); }

    // The size the body is expected to have (the sniffed size); 0 when it is not known. A body
    // that comes without a length fails past twice this size plus kUnannouncedBodyMargin.
    void SetExpectedSize(std::uint64_t size) { m_expectedSize = size; }
    std::uint64_t ExpectedSize() const { return m_expectedSize; }
    static constexpr std::uint64_t kUnannouncedBodyMargin = 1 << 20;
    // Redirects followed before a transfer fails.
    static constexpr int kMaxRedirects = 10;

    // Makes the next transfer a fill (see HttpFill): the destination is built from the captured
    // bytes and each planned range is asked with "Range: bytes=a-b" and "If-Range". Only a 206
    // whose Content-Range is exactly the range asked for, of `total`, is written (at its
    // offset). Anything else (a whole file, another range or total, a multipart answer, a body
    // short of the range, no usable validator, a copy that cannot be read) gives the fill up:
    // the whole URL is then fetched into the file as a plain transfer would. The resume offset
    // is not used. Progress counts the bytes fetched against those the ranges hold.
    void SetFill(HttpFill fill) {
        m_fill = std::move(fill);
        m_filling = true;
    }
    bool Filling() const { return m_filling; }
    FillOutcome LastFill() const { return m_fillOutcome; }
    // Why the last fill was given up, in words; empty when it was not.
    const std::string& FillNote() const { return m_fillNote; }
    static constexpr std::uint64_t kFillMergeGap = 64 * 1024;
    static constexpr std::size_t kMaxFillRequests = 64;

    // Bounds that keep a dead server from holding a transfer for ever: the time allowed to
    // connect, and the slowest rate (bytes per second) tolerated for `lowSpeedTime`.
    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_connectTimeout = timeout; }
    void SetLowSpeedLimit(long bytesPerSecond, std::chrono::seconds lowSpeedTime) {
        m_lowSpeedLimit = bytesPerSecond;
        m_lowSpeedTime = lowSpeedTime;
    }

    // Fetches the URL into the destination, blocking; true when the body was received whole.
    // The body is written under a temporary name beside the destination, which replaces the
    // destination only once the body is whole: on failure the destination is as it was.
    bool Download();
    // Why the last transfer failed, in words (empty when it did not).
    const std::string& FailureReason() const { return m_failureReason; }
    // Ends a running `Download` from any thread. An aborted engine is not used again.
    void Abort();
    virtual bool IsAborted() const { return m_aborted.load(); }

    // Where the body of the current transfer starts in the destination: the resume offset,
    // or 0 when the server answered a ranged request with the whole file.
    std::uint64_t BodyOffset() const { return m_bodyOffset.load(); }
    // The URL the last request went to (after redirects), for the worker that ran the transfer.
    const std::string& FinalUrl() const { return m_currentUrl; }
    // Whether the last transfer's redirects stepped down from https to http.
    bool SteppedDown() const { return m_steppedDown; }

protected:
    // The steps of a transfer; each false fails it.
    virtual bool OpenSession();
    virtual bool Connect();
    virtual bool OpenRequest();
    virtual bool ApplyServerCredentials();
    virtual bool ApplyProxyCredentials();
    // No client certificate is ever offered: libcurl answers a server's request for one with
    // none, and a server that insists ends the handshake (a connect failure, 1609). Kept so a
    // derived class states its refusal in one place.
    virtual bool OnClientCertificateNeeded();

    // Reports. The engine versions do nothing (OnError formats the text and drops it).
    virtual void OnStatusCallback(unsigned long status, const void* information,
                                  unsigned long length);
    virtual void OnSystemError(int messageId, unsigned code);
    virtual void OnError(int messageId, unsigned code);
    virtual std::uint32_t GetRequestFlags();
    virtual std::string GetRequestHeaders();
    // Asked after a 401 or 407 answer. True sends the request again; `result` is the prompt's
    // answer (kPromptRetry, or kPromptCancelled).
    virtual bool OnAuthenticationNeeded(unsigned& result);
    virtual void SetStatusText(const std::string& text);
    virtual void ShowStatusFormat(int messageId, std::string_view text);
    virtual void ShowStatus(int messageId);
    virtual void OnSizeKnown(std::uint64_t size);
    virtual void OnProgress(std::uint64_t bytesThisTransfer, bool sizeKnown, std::uint64_t total);
    virtual bool WriteData(const char* buffer, std::size_t length);

    // For `OnAuthenticationNeeded`: the credentials the next send carries (server or proxy).
    bool SetCredentials(bool proxy, const std::string& user, const std::string& password);
    // The status code of the last answer (0 before any), and the server of the parsed URL.
    long LastStatusCode() const { return m_statusCode; }
    const HttpUrlParts& ParsedUrl() const { return m_parts; }
    // The value of header `name` (without its colon) of the last answer, blanks trimmed; empty
    // when it has none.
    std::string AnswerHeader(std::string_view name) const;

private:
    enum class Phase { Waiting, Body, Draining, Redirect, Refused };
    // TookWhole: the server answered a range with its whole (changed) file, which came instead.
    enum class FillResult { Filled, TookWhole, GivenUp, Failed };

    bool Transfer();
    // Sends the current request until it is answered: again after a credential prompt, on to
    // each redirect's target.
    bool Exchange();
    bool OpenFile(bool& fill);
    // The resume offset, unless the transfer is a fill.
    std::uint64_t Resume() const { return m_filling ? 0 : m_resumeOffset; }
    // Checks the fill's settings and plans its requests; false (FillNote says why) when it
    // cannot be done.
    bool PlanFill();
    FillResult FetchMissing();
    bool DecideFillStatus(long code);
    bool WriteFillPiece(const char* data, std::size_t length);
    void GiveUpFill(std::string why);
    // Points the handle at `url` for the next request; credentials typed for another server
    // are dropped.
    bool PointAt(const std::string& url, HttpUrlParts parts);
    // OnSystemError with the reason in words kept for FailureReason (the first one counts).
    void ReportSystemError(int messageId, unsigned code, std::string reason);
    // The reason of a libcurl failure: its error buffer, else its text for `code`.
    std::string CurlReason(int code) const;
    std::string ShortBodyText() const;
    void CloseHandles();
    void CloseFile();
    bool SendAndReceive(bool& retry);
    bool DecideStatus();
    bool FollowRedirect();
    bool TruncateFile(std::uint64_t length, int messageId);
    void ResetResponse();
    template <typename T>
    bool Set(int option, T value);

    // libcurl's callbacks, with the exact signatures it calls, live in the implementation.
    friend struct HttpDownloaderCallbacks;
    bool OnHeaderLine(std::string_view line);
    bool OnBodyData(const char* data, std::size_t length);

    // settings
    std::string m_url;
    std::string m_destinationPath;
    std::string m_userAgent;
    bool m_confirmOverwrite = true;
    std::uint64_t m_resumeOffset = 0;
    std::uint64_t m_expectedSize = 0;
    std::string m_acceptTypes = "*/*";
    std::uint32_t m_readBufferSize = 16384;
    std::vector<std::string> m_extraHeaderLines;
    std::string m_extraAuthorityFile;
    RefetchHeaders m_captured;
    std::string m_capturedUrl;
    bool m_haveCaptured = false;
    bool m_initialSteppedDown = false;
    CURLSH* m_share = nullptr;
    std::chrono::milliseconds m_connectTimeout{30000};
    long m_lowSpeedLimit = 1;
    std::chrono::seconds m_lowSpeedTime{60};
    HttpFill m_fill;
    bool m_filling = false;

    // handles, opened and closed under m_handleLock
    std::mutex m_handleLock;
    CURL* m_session = nullptr;
    CURLU* m_connection = nullptr;
    curl_slist* m_request = nullptr;

    HttpUrlParts m_parts;  // of the current hop's URL
    std::string m_currentUrl;
    bool m_steppedDown = false;
    int m_redirects = 0;
    std::string m_credentialServer;  // "scheme://host:port" the prompt's credentials were for
    StagedFile m_file;
    std::string m_failureReason;
    std::atomic<bool> m_aborted{false};
    std::atomic<std::uint64_t> m_bodyOffset{0};

    // the fill of the current transfer
    FillOutcome m_fillOutcome = FillOutcome::None;
    std::string m_fillNote;
    std::vector<CopyInterval> m_fillPlan;
    CopyInterval m_fillRange;  // the range being asked for
    bool m_inFillRange = false;
    bool m_fillTookWhole = false;   // a range was answered with the whole file, kept as it came
    bool m_fileFailed = false;      // a write to the destination failed
    std::uint64_t m_fillBytes = 0;  // what the plan's ranges hold together
    std::uint64_t m_fillDone = 0;   // of them, fetched by the ranges answered so far

    // state of the answer being received
    Phase m_phase = Phase::Waiting;
    long m_statusCode = 0;
    std::vector<std::string> m_headers;  // the current answer's header lines
    std::size_t m_headerBytes = 0;
    bool m_anyHeaderSeen = false;
    bool m_callbackFailed = false;  // a callback already reported why the transfer stops
    bool m_sizeKnown = false;
    std::uint64_t m_contentLength = 0;
    std::uint64_t m_bytesThisTransfer = 0;
    std::string m_redirectTarget;  // where a 3xx answer points, resolved; empty for none
    bool m_resolvedPending = false;
    bool m_socketOpened = false;
    std::string m_resolvingHost;
    char m_errorBuffer[256] = {};
};
