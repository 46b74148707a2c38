// Starts the scripted test server (http_test_server.py) on 127.0.0.1 and stops it again.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class LocalHttpServer {
public:
    explicit LocalHttpServer(const std::string& script, std::vector<std::string> options = {}) {
        std::vector<std::string> args{"python3", script};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0)
            return;
        const pid_t parent = getpid();
        m_pid = fork();
        if (m_pid == 0) {
            // A test that dies without its destructors (a sanitizer's abort) takes the server
            // with it, which would otherwise hold the test's output open and stall the runner.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(1);
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            execvp("python3", argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (m_pid > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        m_port = static_cast<std::uint16_t>(std::atoi(line.c_str()));
    }
    ~LocalHttpServer() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    bool Running() const { return m_port != 0; }
    std::uint16_t Port() const { return m_port; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string Url(const std::string& path, const char* scheme = "http") const {
        return std::string(scheme) + "://" + HostPort() + path;
    }

private:
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

// A port on 127.0.0.1 that nothing listens on: bound once by us, then released.
inline std::uint16_t ClosedLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// The bytes the test server sends from `start` to `end`: byte i is i % 251.
inline std::string PatternBytes(std::uint64_t start, std::uint64_t end) {
    std::string out;
    out.reserve(end - start);
    for (std::uint64_t i = start; i < end; ++i) out += static_cast<char>(i % 251);
    return out;
}

// Proxies from the environment would take loopback requests elsewhere.
inline void ClearProxyEnvironment() {
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        unsetenv(name);
    }
}
