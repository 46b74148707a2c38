// The replay engine: fetches a sniffed media item again by sending the browser's own request,
// captured with all its headers, over a plain TCP connection, and stores the body of the answer.
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

class ReplayDownloader {
public:
    // Why the last transfer failed.
    enum class Failure {
        None,
        BadUrl,           // no host, or a port that is not a number from 1 to 65535
        NameNotResolved,  // the host name has no address
        ConnectFailed,    // refused, unreachable or timed out
        SendFailed,       // the connection dropped while the request went out
        ReceiveFailed,    // the connection dropped or went silent before the answer ended
        HeaderTooLarge,   // no end of the header block within kMaxHeaderBlock bytes
        BadAnswer,        // not an HTTP answer, or a chunked body that breaks its own rules
        BadStatus,        // a status other than 2xx
        ShortBody,        // the connection closed before the body announced by the answer ended
        FileError,        // the destination cannot be created or written
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

    // Settings, set by the owner before a transfer.
    void SetUrl(std::string url) { m_url = std::move(url); }
    const std::string& Url() const { return m_url; }
    void SetRequestHeaders(std::string headers) { m_requestHeaders = std::move(headers); }
    const std::string& RequestHeaders() const { return m_requestHeaders; }
    void SetDestinationPath(std::string path) { m_destinationPath = std::move(path); }
    const std::string& DestinationPath() const { return m_destinationPath; }
    // The size the body is expected to have; 0 when it is not known.
    void SetExpectedSize(std::uint64_t size) { m_expectedSize = size; }
    std::uint64_t ExpectedSize() const { return m_expectedSize; }
    void SetConfirmOverwrite(bool confirm) { m_confirmOverwrite = confirm; }
    bool ConfirmOverwrite() const { return m_confirmOverwrite; }
    // The time allowed to connect, and the longest silence of the server that is tolerated.
    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_connectTimeout = timeout; }
    void SetIdleTimeout(std::chrono::milliseconds timeout) { m_idleTimeout = timeout; }

    // Connects to the host and port of the URL, sends the request headers unchanged, and writes
    // the body of a 2xx answer to the destination (created or truncated only once such an answer
    // has arrived). True when the whole body arrived and the transfer was not aborted.
    bool Transfer();
    // Ends a running `Transfer` from any thread. An aborted engine is not used again.
    void Abort() { m_aborted.store(true); }
    bool IsAborted() const { return m_aborted.load(); }

    // What ended the last transfer, and the status code of its answer (0 before one arrived).
    Failure LastFailure() const { return m_failure; }
    int LastStatusCode() const { return m_statusCode; }

protected:
    // Appends to the destination; false on a file error.
    virtual bool WriteData(const char* buffer, std::size_t length);
    // Body bytes so far, whether the total is known, and the total (the expected size).
    virtual void OnProgress(std::uint64_t bytesSoFar, bool sizeKnown, std::uint64_t total);
    virtual void SetStatusText(const std::string& text);
    virtual void ShowStatusFormat(int messageId, std::string_view text);
    virtual void ShowStatus(int messageId);

private:
    bool Fail(Failure failure);
    bool Connect(const std::string& host, const std::string& port);
    bool SendRequest();
    bool ReceiveAnswer();
    bool OpenFile();
    void CloseAll();
    // Waits until the socket is ready for `events`, in slices that watch the abort flag.
    // False on abort (Failure::Aborted) or when `timeout` passes (`onTimeout`).
    bool WaitFor(short events, std::chrono::milliseconds timeout, Failure onTimeout);
    bool StoreBody(const char* data, std::size_t length);

    std::string m_url;
    std::string m_requestHeaders;
    std::string m_destinationPath;
    std::uint64_t m_expectedSize = 0;
    bool m_confirmOverwrite = true;
    std::chrono::milliseconds m_connectTimeout{30000};
    std::chrono::milliseconds m_idleTimeout{60000};

    std::atomic<bool> m_aborted{false};
    int m_socket = -1;
    int m_file = -1;
    Failure m_failure = Failure::None;
    int m_statusCode = 0;
    std::uint64_t m_bodyBytes = 0;
};

// Where a replay goes: the host and port written in `url` (every "http://" removed, the text up
// to the first "/", "?" or "#"). The port is 80 when none is written; an IPv6 address stands in
// brackets.
// False when there is no host or the port is not a number from 1 to 65535.
bool ReplayTarget(std::string_view url, std::string& host, std::string& port);
