// The replay engine: fetches a sniffed media item again by sending the browser's own request,
// captured with all its headers, over a plain TCP connection, and stores the body of the answer.
//
// The request goes to the server the captured request went to, and nowhere else: the captured
// block may come from anywhere in a segment (a page can plant one in a POST body), so neither
// its Host line nor the URL formed from it chooses where the replay connects.
//
// The transfer blocks on the calling thread. Every wait (connect, send, receive) is cut into
// short slices, so `Abort` from any thread ends it promptly even when the server is silent, and
// a server that sends nothing for the idle time ends it as a failure.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/StagedFile.h"

class ReplayDownloader {
public:
    // Why the last transfer failed.
    enum class Failure {
        None,
        NoServer,        // no server address and port, or an address that is not one
        NoRequest,       // the captured block holds no "GET " to send from
        ConnectFailed,   // refused, unreachable or timed out
        SendFailed,      // the connection dropped while the request went out
        ReceiveFailed,   // the connection dropped or went silent before the answer ended
        HeaderTooLarge,  // no end of the header block within kMaxHeaderBlock bytes
        BadAnswer,       // not an HTTP answer, or a chunked body that breaks its own rules
        BadStatus,       // a status other than 2xx
        ShortBody,       // the connection closed before the body announced by the answer ended
        TooLong,         // a body without a length went past the bound (see SetExpectedSize)
        FileError,       // the destination cannot be created, written or put in place
        Aborted,
    };

    // The answer's header block must end within this many bytes.
    static constexpr std::size_t kMaxHeaderBlock = 64 * 1024;
    // Bytes asked for by one receive.
    static constexpr std::size_t kReceiveSize = 65535;

    ReplayDownloader();
    virtual ~ReplayDownloader();
    ReplayDownloader(const ReplayDownloader&) = delete;
    ReplayDownloader& operator=(const ReplayDownloader&) = delete;

    // A body without a length (chunked, or ended by the close) fails past twice the expected
    // size plus this much.
    static constexpr std::uint64_t kUnannouncedBodyMargin = 1 << 20;

    // Settings, set by the owner before a transfer.
    // The URL: what the dialog shows. The transfer does not go by it.
    void SetUrl(std::string url) { m_url = std::move(url); }
    const std::string& Url() const { return m_url; }
    // Where the captured request went: a numeric IPv4 or IPv6 address and a port.
    void SetServer(std::string address, std::uint16_t port) {
        m_serverAddress = std::move(address);
        m_serverPort = port;
    }
    void SetRequestHeaders(std::string headers) { m_requestHeaders = std::move(headers); }
    const std::string& RequestHeaders() const { return m_requestHeaders; }
    void SetDestinationPath(std::string path) { m_destinationPath = std::move(path); }
    const std::string& DestinationPath() const { return m_destinationPath; }
    // The size the body is expected to have (the sniffed size); 0 when it is not known. It
    // bounds a body that comes without a length.
    void SetExpectedSize(std::uint64_t size) { m_expectedSize = size; }
    std::uint64_t ExpectedSize() const { return m_expectedSize; }
    void SetConfirmOverwrite(bool confirm) { m_confirmOverwrite = confirm; }
    bool ConfirmOverwrite() const { return m_confirmOverwrite; }
    // The time allowed to connect, and the longest silence of the server that is tolerated.
    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_connectTimeout = timeout; }
    void SetIdleTimeout(std::chrono::milliseconds timeout) { m_idleTimeout = timeout; }

    // Connects to the server, sends the captured block from its "GET " on, unchanged, skips
    // interim (1xx) answers and writes the body of a 2xx answer under a temporary name beside
    // the destination, which replaces the destination once the body is whole. True when the
    // whole body arrived and the transfer was not aborted; on failure the destination is as it
    // was before.
    bool Transfer();
    // Ends a running `Transfer` from any thread. An aborted engine is not used again.
    void Abort() { m_aborted.store(true); }
    bool IsAborted() const { return m_aborted.load(); }

    // What ended the last transfer, and the status code of its answer (0 before one arrived).
    Failure LastFailure() const { return m_failure; }
    int LastStatusCode() const { return m_statusCode; }
    // Why the last transfer failed, in words (empty when it did not).
    const std::string& FailureReason() const { return m_failureReason; }

protected:
    // Appends to the destination; false on a file error.
    virtual bool WriteData(const char* buffer, std::size_t length);
    // Body bytes so far, whether the total is known, and the total (the expected size).
    virtual void OnProgress(std::uint64_t bytesSoFar, bool sizeKnown, std::uint64_t total);
    virtual void SetStatusText(const std::string& text);
    virtual void ShowStatusFormat(int messageId, std::string_view text);
    virtual void ShowStatus(int messageId);

private:
    bool Fail(Failure failure, std::string reason);
    bool Connect();
    bool SendRequest(std::string_view request);
    bool ReceiveAnswer();
    bool OpenFile();
    void CloseAll();
    // Waits until the socket is ready for `events`, in slices that watch the abort flag.
    // False on abort (Failure::Aborted) or when `timeout` passes (`onTimeout`, and `waitedFor`
    // in the reason).
    bool WaitFor(short events, std::chrono::milliseconds timeout, Failure onTimeout,
                 const char* waitedFor);
    bool StoreBody(const char* data, std::size_t length);

    std::string m_url;
    std::string m_serverAddress;
    std::uint16_t m_serverPort = 0;
    std::string m_requestHeaders;
    std::string m_destinationPath;
    std::uint64_t m_expectedSize = 0;
    bool m_confirmOverwrite = true;
    std::chrono::milliseconds m_connectTimeout{30000};
    std::chrono::milliseconds m_idleTimeout{60000};

    std::atomic<bool> m_aborted{false};
    int m_socket = -1;
    StagedFile m_file;
    Failure m_failure = Failure::None;
    std::string m_failureReason;
    int m_statusCode = 0;
    std::uint64_t m_bodyBytes = 0;
};

// What a replay sends of a captured request block: the block from its first "GET " on (text
// before it belongs to another request, or to a body that merely holds one). Empty when there
// is no "GET ".
std::string_view ReplayRequest(std::string_view block);
