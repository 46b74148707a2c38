// A TCP server on 127.0.0.1 that answers each connection with a script of byte chunks and
// pauses, for tests that need to decide what each receive of the client can see.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedSocketServer {
public:
    struct Step {
        std::string bytes;
        int pauseMsAfter = 0;
    };
    // After the script: close the connection, or keep it open and silent until the server goes.
    enum class End { Close, Hold };

    explicit ScriptedSocketServer(std::vector<Step> steps, End end = End::Close)
        : m_steps(std::move(steps)), m_end(end) {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_listener < 0 ||
            bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(m_listener, 8) != 0 ||
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedSocketServer() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_listener >= 0)
            close(m_listener);
    }
    ScriptedSocketServer(const ScriptedSocketServer&) = delete;
    ScriptedSocketServer& operator=(const ScriptedSocketServer&) = delete;

    std::uint16_t Port() const { return m_port; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    // The request block of the last connection, up to and with its blank line.
    std::string Request() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_request;
    }

private:
    // Waits for `events` on `fd` until the server is stopped; false then.
    bool Wait(int fd, short events) const {
        while (!m_stop) {
            pollfd p{fd, events, 0};
            if (poll(&p, 1, 20) > 0)
                return true;
        }
        return false;
    }

    void Serve() {
        while (Wait(m_listener, POLLIN)) {
            const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            const int one = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < (1 << 20) &&
                   Wait(client, POLLIN)) {
                const ssize_t got = recv(client, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                request.append(buffer, static_cast<std::size_t>(got));
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_request = request;
            }
            for (const Step& step : m_steps) {
                std::size_t sent = 0;
                while (sent < step.bytes.size() && !m_stop) {
                    const ssize_t n = send(client, step.bytes.data() + sent,
                                           step.bytes.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0)
                        break;
                    sent += static_cast<std::size_t>(n);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMsAfter));
            }
            if (m_end == End::Hold) {
                // Silent until the client closes or the server stops.
                while (Wait(client, POLLIN) && recv(client, buffer, sizeof buffer, 0) > 0) {
                }
            }
            close(client);
        }
    }

    std::vector<Step> m_steps;
    End m_end;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::string m_request;
    std::thread m_thread;
};
