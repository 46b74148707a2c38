#include "http/ReplayDownloader.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "base/Text.h"
#include "resources/StringTable.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest a wait goes without looking at the abort flag.
constexpr std::chrono::milliseconds kAbortSlice{100};
// A chunk-size line longer than this is not one.
constexpr std::size_t kMaxChunkLine = 1024;

std::string SystemText(int error) {
    return std::strerror(error);
}

std::string TooLongText(std::uint64_t limit) {
    return "The server sent more than " + std::to_string(limit) +
           " bytes without saying how many it would send.";
}

// What the answer's header block says about its body.
struct AnswerHead {
    int status = 0;
    bool chunked = false;
    bool hasLength = false;  // a Content-Length was given, and the body is not chunked
    std::uint64_t length = 0;
    bool noBody = false;  // 204 and 304 carry none
};

bool ParseAnswerHead(std::string_view head, AnswerHead& answer) {
    std::size_t end = head.find("\r\n");
    const std::string_view statusLine = head.substr(0, end);
    // "HTTP/1.1 200 OK": the version, one blank, three digits.
    if (statusLine.size() < 12 || statusLine.substr(0, 5) != "HTTP/")
        return false;
    const std::size_t blank = statusLine.find(' ');
    if (blank == std::string_view::npos || statusLine.size() < blank + 4)
        return false;
    const auto code = ParseDecimal(statusLine.substr(blank + 1, 3));
    if (!code || *code < 100 || (statusLine.size() > blank + 4 && statusLine[blank + 4] != ' '))
        return false;
    answer.status = static_cast<int>(*code);
    answer.noBody = answer.status == 204 || answer.status == 304;

    while (end != std::string_view::npos) {
        const std::size_t start = end + 2;
        end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = Trim(line.substr(0, colon));
        const std::string_view value = Trim(line.substr(colon + 1));
        if (EqualsNoCase(name, "Content-Length")) {
            const auto length = ParseDecimal(value);
            if (!length || (answer.hasLength && answer.length != *length))
                return false;
            answer.hasLength = true;
            answer.length = *length;
        } else if (EqualsNoCase(name, "Transfer-Encoding")) {
            // The last coding applied decides whether the body is chunked.
            const std::size_t comma = value.rfind(',');
            answer.chunked = EqualsNoCase(
                Trim(comma == std::string_view::npos ? value : value.substr(comma + 1)), "chunked");
        }
    }
    if (answer.chunked)
        answer.hasLength = false;  // the chunks delimit the body, whatever the length says
    return true;
}

// Takes a chunked body apart as it arrives, in any pieces.
class ChunkedDecoder {
public:
    enum class Result { More, Done, Broken };

    // Appends the data bytes of `data` to `out`; `used` tells how much of `data` was read.
    Result Feed(const char* data, std::size_t length, std::string& out, std::size_t& used) {
        used = 0;
        while (used < length) {
            if (m_state == State::Data) {
                const std::size_t take =
                    static_cast<std::size_t>(std::min<std::uint64_t>(m_left, length - used));
                out.append(data + used, take);
                used += take;
                m_left -= take;
                if (m_left == 0)
                    m_state = State::DataEnd;
                continue;
            }
            const char c = data[used++];
            if (c != '\n') {
                if (m_line.size() >= kMaxChunkLine)
                    return Result::Broken;
                m_line.push_back(c);
                continue;
            }
            if (!m_line.empty() && m_line.back() == '\r')
                m_line.pop_back();
            const std::string line = std::move(m_line);
            m_line.clear();
            switch (m_state) {
                case State::Size: {
                    const std::string_view size = Trim(
                        std::string_view(line).substr(0, std::min(line.find(';'), line.size())));
                    if (size.empty() || size.size() > 15)
                        return Result::Broken;
                    std::uint64_t value = 0;
                    for (char h : size) {
                        const int digit = (h >= '0' && h <= '9')   ? h - '0'
                                          : (h >= 'a' && h <= 'f') ? h - 'a' + 10
                                          : (h >= 'A' && h <= 'F') ? h - 'A' + 10
                                                                   : -1;
                        if (digit < 0)
                            return Result::Broken;
                        value = value * 16 + static_cast<std::uint64_t>(digit);
                    }
                    m_left = value;
                    m_state = value == 0 ? State::Trailer : State::Data;
                    break;
                }
                case State::DataEnd:
                    if (!line.empty())
                        return Result::Broken;
                    m_state = State::Size;
                    break;
                case State::Trailer:
                    if (line.empty())
                        return Result::Done;
                    break;
                case State::Data:
                    break;
            }
        }
        return Result::More;
    }

private:
    enum class State { Size, Data, DataEnd, Trailer };
    State m_state = State::Size;
    std::uint64_t m_left = 0;
    std::string m_line;
};

}  // namespace

std::string_view ReplayRequest(std::string_view block) {
    const std::size_t get = block.find("GET ");
    return get == std::string_view::npos ? std::string_view() : block.substr(get);
}

ReplayDownloader::ReplayDownloader() = default;

ReplayDownloader::~ReplayDownloader() {
    CloseAll();
}

bool ReplayDownloader::Fail(Failure failure, std::string reason) {
    if (m_failure == Failure::None) {
        m_failure = IsAborted() ? Failure::Aborted : failure;
        m_failureReason = m_failure == Failure::Aborted ? "The download was cancelled." : reason;
    }
    return false;
}

bool ReplayDownloader::Transfer() {
    m_failure = Failure::None;
    m_failureReason.clear();
    m_statusCode = 0;
    m_bodyBytes = 0;
    const std::string_view request = ReplayRequest(m_requestHeaders);
    bool done = false;
    if (request.empty()) {
        Fail(Failure::NoRequest, "The captured request holds no GET request to send.");
    } else if (Connect() && SendRequest(request)) {
        done = ReceiveAnswer();
    }
    if (done && IsAborted())
        Fail(Failure::Aborted, {});
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
    if (done && m_failure == Failure::None && m_file.IsOpen() && !m_file.Commit()) {
        const int error = errno;
        Fail(Failure::FileError, m_file.FailureText(error));
    }
    CloseAll();  // what was not put in place goes
    return done && m_failure == Failure::None;
}

bool ReplayDownloader::Connect() {
    const std::string where = m_serverAddress + " port " + std::to_string(m_serverPort);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // A numeric address only: nothing is looked up, nothing goes anywhere else.
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    if (m_serverAddress.empty() || m_serverPort == 0 ||
        getaddrinfo(m_serverAddress.c_str(), std::to_string(m_serverPort).c_str(), &hints,
                    &addresses) != 0 ||
        !addresses) {
        return Fail(Failure::NoServer,
                    "The server that the captured request went to is not known.");
    }
    bool connected = false;
    int error = 0;
    for (const addrinfo* a = addresses; a && !connected && !IsAborted(); a = a->ai_next) {
        m_socket =
            socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (m_socket < 0) {
            error = errno;
            continue;
        }
        if (connect(m_socket, a->ai_addr, a->ai_addrlen) == 0) {
            connected = true;
        } else if (errno != EINPROGRESS) {
            error = errno;
        } else if (WaitFor(POLLOUT, m_connectTimeout, Failure::ConnectFailed, "connecting")) {
            socklen_t size = sizeof error;
            connected =
                getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        }
        if (!connected) {
            close(m_socket);
            m_socket = -1;
        }
    }
    freeaddrinfo(addresses);
    if (connected)
        return true;
    if (m_failure != Failure::None)
        return false;  // timed out or aborted: already said
    return Fail(Failure::ConnectFailed,
                "Cannot connect to " + where + ": " + SystemText(error) + ".");
}

bool ReplayDownloader::WaitFor(short events, std::chrono::milliseconds timeout, Failure onTimeout,
                               const char* waitedFor) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (IsAborted())
            return Fail(Failure::Aborted, {});
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f", timeout.count() / 1000.0);
            return Fail(onTimeout, std::string("No answer from the server within ") + seconds +
                                       " s (" + waitedFor + ").");
        }
        pollfd wait{m_socket, events, 0};
        const int ready = poll(&wait, 1, static_cast<int>(std::min(left, kAbortSlice).count()));
        if (ready > 0)
            return true;  // ready, or an error the next call will tell
        if (ready < 0 && errno != EINTR)
            return Fail(onTimeout, "Waiting for the server failed: " + SystemText(errno) + ".");
    }
}

bool ReplayDownloader::SendRequest(std::string_view request) {
    std::string_view left = request;
    while (!left.empty()) {
        const ssize_t sent = send(m_socket, left.data(), left.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            left.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(POLLOUT, m_idleTimeout, Failure::SendFailed, "sending the request"))
                return false;
        } else {
            return Fail(Failure::SendFailed, "The connection broke while the request went out: " +
                                                 SystemText(errno) + ".");
        }
    }
    return !IsAborted() || Fail(Failure::Aborted, {});
}

bool ReplayDownloader::ReceiveAnswer() {
    std::vector<char> buffer(kReceiveSize);
    std::string head;  // the header block so far; never more than two receives' worth
    AnswerHead answer;
    bool inBody = false;
    ChunkedDecoder chunks;
    std::string decoded;
    std::size_t interimBytes = 0;  // header blocks of interim answers, bounded like one block
    // A body without a length must not run on for ever: past this, it is not the medium.
    const std::uint64_t unannouncedLimit =
        m_expectedSize > 0 ? 2 * m_expectedSize + kUnannouncedBodyMargin : 0;

    for (;;) {
        const ssize_t got = recv(m_socket, buffer.data(), buffer.size(), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!WaitFor(POLLIN, m_idleTimeout, Failure::ReceiveFailed, "receiving"))
                    return false;
                continue;
            }
            return Fail(Failure::ReceiveFailed, "The connection broke: " + SystemText(errno) + ".");
        }
        if (IsAborted())
            return Fail(Failure::Aborted, {});
        if (got == 0) {
            // The server closed. That ends a body delimited by the close, and nothing else.
            if (!inBody) {
                return head.empty()
                           ? Fail(Failure::ReceiveFailed,
                                  "The server closed the connection without answering.")
                           : Fail(Failure::BadAnswer,
                                  "The server closed the connection in its answer's header.");
            }
            if (answer.hasLength && m_bodyBytes < answer.length) {
                return Fail(Failure::ShortBody, "The server closed the connection after " +
                                                    std::to_string(m_bodyBytes) + " of " +
                                                    std::to_string(answer.length) + " bytes.");
            }
            if (answer.chunked) {
                return Fail(Failure::ShortBody,
                            "The server closed the connection in the middle of the body, after " +
                                std::to_string(m_bodyBytes) + " bytes.");
            }
            return true;
        }

        const char* data = buffer.data();
        std::size_t length = static_cast<std::size_t>(got);
        while (!inBody && length > 0) {
            // Only the new bytes, and the three before them, can complete the terminator.
            const std::size_t searchFrom = head.size() < 3 ? 0 : head.size() - 3;
            const std::size_t before = head.size();
            head.append(data, length);
            const std::size_t end = head.find("\r\n\r\n", searchFrom);
            if (end == std::string::npos || end + 4 > kMaxHeaderBlock) {
                if (end != std::string::npos || head.size() >= kMaxHeaderBlock) {
                    return Fail(Failure::HeaderTooLarge,
                                "The server's answer has a header block of more than " +
                                    std::to_string(kMaxHeaderBlock / 1024) + " KiB.");
                }
                length = 0;
                break;
            }
            answer = AnswerHead();
            if (!ParseAnswerHead(std::string_view(head).substr(0, end + 2), answer))
                return Fail(Failure::BadAnswer, "The server's answer is not an HTTP answer.");
            m_statusCode = answer.status;
            // What followed the terminator in this receive: the body, or the next answer.
            const std::size_t used = end + 4 - before;
            data += used;
            length -= used;
            head.clear();
            if (answer.status >= 100 && answer.status <= 199 && answer.status != 101) {
                // An interim answer (100 Continue, 103 Early Hints): the final one follows.
                interimBytes += end + 4;
                if (interimBytes > kMaxHeaderBlock) {
                    return Fail(Failure::HeaderTooLarge,
                                "The server's interim answers run past " +
                                    std::to_string(kMaxHeaderBlock / 1024) + " KiB.");
                }
                continue;
            }
            if (answer.status < 200 || answer.status > 299) {
                return Fail(Failure::BadStatus, "The server answered with status " +
                                                    std::to_string(answer.status) + ".");
            }
            if (!OpenFile())
                return false;
            inBody = true;
            head.shrink_to_fit();
            if (answer.noBody || (answer.hasLength && answer.length == 0)) {
                OnProgress(0, m_expectedSize > 0, m_expectedSize);
                return true;
            }
        }
        if (!inBody)
            continue;

        if (answer.chunked) {
            decoded.clear();
            std::size_t used = 0;
            const ChunkedDecoder::Result result = chunks.Feed(data, length, decoded, used);
            if (result == ChunkedDecoder::Result::Broken) {
                return Fail(Failure::BadAnswer,
                            "The server's chunked body breaks the rules of its own framing.");
            }
            if (unannouncedLimit > 0 && m_bodyBytes + decoded.size() > unannouncedLimit)
                return Fail(Failure::TooLong, TooLongText(unannouncedLimit));
            if (!StoreBody(decoded.data(), decoded.size()))
                return false;
            if (result == ChunkedDecoder::Result::Done)
                return true;
            continue;
        }
        if (answer.hasLength) {
            // Bytes past the announced length belong to no body of ours.
            length = static_cast<std::size_t>(
                std::min<std::uint64_t>(length, answer.length - m_bodyBytes));
        } else if (unannouncedLimit > 0 && m_bodyBytes + length > unannouncedLimit) {
            return Fail(Failure::TooLong, TooLongText(unannouncedLimit));
        }
        if (!StoreBody(data, length))
            return false;
        // A server that keeps the connection open has said all it will once the length is in.
        if (answer.hasLength && m_bodyBytes == answer.length)
            return true;
    }
}

bool ReplayDownloader::StoreBody(const char* data, std::size_t length) {
    if (length > 0 && !WriteData(data, length)) {
        const int error = errno;
        return Fail(Failure::FileError, m_file.FailureText(error));
    }
    m_bodyBytes += length;
    OnProgress(m_bodyBytes, m_expectedSize > 0, m_expectedSize);
    return true;
}

bool ReplayDownloader::OpenFile() {
    if (m_file.Create(m_destinationPath))
        return true;
    const int error = errno;
    return Fail(Failure::FileError, m_file.FailureText(error));
}

void ReplayDownloader::CloseAll() {
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
    m_file.Discard();
}

bool ReplayDownloader::WriteData(const char* buffer, std::size_t length) {
    return m_file.WriteAll(buffer, length);
}

void ReplayDownloader::OnProgress(std::uint64_t, bool, std::uint64_t) {}
void ReplayDownloader::SetStatusText(const std::string&) {}

void ReplayDownloader::ShowStatusFormat(int messageId, std::string_view text) {
    SetStatusText(FormatResourceString(messageId, {text}));
}

void ReplayDownloader::ShowStatus(int messageId) {
    SetStatusText(std::string(LoadResourceString(messageId)));
}
