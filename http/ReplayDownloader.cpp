#include "http/ReplayDownloader.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "resources/StringTable.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest a wait goes without looking at the abort flag.
constexpr std::chrono::milliseconds kAbortSlice{100};
// A chunk-size line longer than this is not one.
constexpr std::size_t kMaxChunkLine = 1024;

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A decimal number of at most 19 digits and nothing else.
std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
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
    if (!code || (statusLine.size() > blank + 4 && statusLine[blank + 4] != ' '))
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
        if (SameText(name, "Content-Length")) {
            const auto length = ParseDecimal(value);
            if (!length || (answer.hasLength && answer.length != *length))
                return false;
            answer.hasLength = true;
            answer.length = *length;
        } else if (SameText(name, "Transfer-Encoding")) {
            // The last coding applied decides whether the body is chunked.
            const std::size_t comma = value.rfind(',');
            answer.chunked = SameText(
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

bool ReplayTarget(std::string_view url, std::string& host, std::string& port) {
    std::string text(url);
    for (std::size_t at; (at = text.find("http://")) != std::string::npos;) text.erase(at, 7);
    // The host ends where the path, a query or a fragment begins.
    text.resize(std::min(text.find_first_of("/?#"), text.size()));

    std::string_view rest = text;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return false;
        host.assign(rest.substr(1, close - 1));
        rest.remove_prefix(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return false;
    } else {
        const std::size_t colon = rest.find(':');
        host.assign(rest.substr(0, colon));
        rest.remove_prefix(colon == std::string_view::npos ? rest.size() : colon);
    }
    if (host.empty())
        return false;
    if (rest.empty() || rest == ":") {
        port = "80";
        return true;
    }
    const auto number = ParseDecimal(rest.substr(1));
    if (!number || *number < 1 || *number > 65535)
        return false;
    port = std::to_string(*number);
    return true;
}

ReplayDownloader::ReplayDownloader() = default;

ReplayDownloader::~ReplayDownloader() {
    CloseAll();
}

bool ReplayDownloader::Fail(Failure failure) {
    if (m_failure == Failure::None)
        m_failure = IsAborted() ? Failure::Aborted : failure;
    return false;
}

bool ReplayDownloader::Transfer() {
    m_failure = Failure::None;
    m_statusCode = 0;
    m_bodyBytes = 0;
    std::string host, port;
    bool done = false;
    if (!ReplayTarget(m_url, host, port)) {
        Fail(Failure::BadUrl);
    } else if (Connect(host, port) && SendRequest()) {
        done = ReceiveAnswer();
    }
    CloseAll();  // a file that cannot be closed may have lost its last bytes
    if (done && IsAborted())
        Fail(Failure::Aborted);
    return done && m_failure == Failure::None;
}

bool ReplayDownloader::Connect(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0 || !addresses)
        return Fail(Failure::NameNotResolved);
    bool connected = false;
    for (const addrinfo* a = addresses; a && !connected && !IsAborted(); a = a->ai_next) {
        m_socket =
            socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (m_socket < 0)
            continue;
        if (connect(m_socket, a->ai_addr, a->ai_addrlen) == 0) {
            connected = true;
        } else if (errno == EINPROGRESS &&
                   WaitFor(POLLOUT, m_connectTimeout, Failure::ConnectFailed)) {
            int error = 0;
            socklen_t size = sizeof error;
            connected =
                getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
        }
        if (!connected) {
            close(m_socket);
            m_socket = -1;
            // A timed-out address gives way to the next one.
            if (m_failure == Failure::ConnectFailed)
                m_failure = Failure::None;
        }
    }
    freeaddrinfo(addresses);
    return connected || Fail(Failure::ConnectFailed);
}

bool ReplayDownloader::WaitFor(short events, std::chrono::milliseconds timeout, Failure onTimeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (IsAborted())
            return Fail(Failure::Aborted);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return Fail(onTimeout);
        pollfd wait{m_socket, events, 0};
        const int ready = poll(&wait, 1, static_cast<int>(std::min(left, kAbortSlice).count()));
        if (ready > 0)
            return true;  // ready, or an error the next call will tell
        if (ready < 0 && errno != EINTR)
            return Fail(onTimeout);
    }
}

bool ReplayDownloader::SendRequest() {
    std::string_view left = m_requestHeaders;
    while (!left.empty()) {
        const ssize_t sent = send(m_socket, left.data(), left.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            left.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(POLLOUT, m_idleTimeout, Failure::SendFailed))
                return false;
        } else {
            return Fail(Failure::SendFailed);
        }
    }
    return !IsAborted() || Fail(Failure::Aborted);
}

bool ReplayDownloader::ReceiveAnswer() {
    std::vector<char> buffer(kReceiveSize);
    std::string head;  // the header block so far; never more than two receives' worth
    AnswerHead answer;
    bool inBody = false;
    ChunkedDecoder chunks;
    std::string decoded;

    for (;;) {
        const ssize_t got = recv(m_socket, buffer.data(), buffer.size(), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!WaitFor(POLLIN, m_idleTimeout, Failure::ReceiveFailed))
                    return false;
                continue;
            }
            return Fail(Failure::ReceiveFailed);
        }
        if (IsAborted())
            return Fail(Failure::Aborted);
        if (got == 0) {
            // The server closed. That ends a body delimited by the close, and nothing else.
            if (!inBody)
                return Fail(head.empty() ? Failure::ReceiveFailed : Failure::BadAnswer);
            if (answer.chunked || (answer.hasLength && m_bodyBytes < answer.length))
                return Fail(Failure::ShortBody);
            return true;
        }

        const char* data = buffer.data();
        std::size_t length = static_cast<std::size_t>(got);
        if (!inBody) {
            // Only the new bytes, and the three before them, can complete the terminator.
            const std::size_t searchFrom = head.size() < 3 ? 0 : head.size() - 3;
            head.append(data, length);
            const std::size_t end = head.find("\r\n\r\n", searchFrom);
            if (end == std::string::npos || end + 4 > kMaxHeaderBlock) {
                if (end != std::string::npos || head.size() >= kMaxHeaderBlock)
                    return Fail(Failure::HeaderTooLarge);
                continue;
            }
            if (!ParseAnswerHead(std::string_view(head).substr(0, end + 2), answer))
                return Fail(Failure::BadAnswer);
            m_statusCode = answer.status;
            if (answer.status < 200 || answer.status > 299)
                return Fail(Failure::BadStatus);
            if (!OpenFile())
                return false;
            inBody = true;
            // What followed the terminator in this receive is the start of the body.
            const std::size_t bodyStart = end + 4 - (head.size() - length);
            data += bodyStart;
            length -= bodyStart;
            head.clear();
            head.shrink_to_fit();
            if (answer.noBody || (answer.hasLength && answer.length == 0)) {
                OnProgress(0, m_expectedSize > 0, m_expectedSize);
                return true;
            }
        }

        if (answer.chunked) {
            decoded.clear();
            std::size_t used = 0;
            const ChunkedDecoder::Result result = chunks.Feed(data, length, decoded, used);
            if (result == ChunkedDecoder::Result::Broken)
                return Fail(Failure::BadAnswer);
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
        }
        if (!StoreBody(data, length))
            return false;
        // A server that keeps the connection open has said all it will once the length is in.
        if (answer.hasLength && m_bodyBytes == answer.length)
            return true;
    }
}

bool ReplayDownloader::StoreBody(const char* data, std::size_t length) {
    if (length > 0 && !WriteData(data, length))
        return Fail(Failure::FileError);
    m_bodyBytes += length;
    OnProgress(m_bodyBytes, m_expectedSize > 0, m_expectedSize);
    return true;
}

bool ReplayDownloader::OpenFile() {
    m_file = open(m_destinationPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return m_file >= 0 || Fail(Failure::FileError);
}

void ReplayDownloader::CloseAll() {
    if (m_socket >= 0) {
        close(m_socket);
        m_socket = -1;
    }
    if (m_file >= 0) {
        if (close(m_file) != 0 && m_failure == Failure::None)
            m_failure = Failure::FileError;  // the last bytes may not have reached the disk
        m_file = -1;
    }
}

bool ReplayDownloader::WriteData(const char* buffer, std::size_t length) {
    while (length > 0) {
        const ssize_t written = write(m_file, buffer, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        buffer += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

void ReplayDownloader::OnProgress(std::uint64_t, bool, std::uint64_t) {}
void ReplayDownloader::SetStatusText(const std::string&) {}

void ReplayDownloader::ShowStatusFormat(int messageId, std::string_view text) {
    SetStatusText(FormatResourceString(messageId, {text}));
}

void ReplayDownloader::ShowStatus(int messageId) {
    SetStatusText(std::string(LoadResourceString(messageId)));
}
