// Network namespaces joined by a veth pair for the live capture tests. Every name carries the
// process id so that parallel runs never meet, and everything is torn down in the destructor.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

// Runs a program with arguments (no shell) and gives its exit status, or -1.
inline int RunProgram(const std::vector<std::string>& args, bool quiet = true) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts a program in the background; its standard output goes to `outputPath` and its
// standard error to `errorPath` when given.
inline pid_t StartProgram(const std::vector<std::string>& args, const std::string& outputPath = "",
                          const std::string& errorPath = "") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1,
                                     outputPath.empty() ? "/dev/null" : outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!errorPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

// Sends `signal` and waits for the program to end (SIGKILL after five seconds).
inline int StopProgram(pid_t pid, int signal = SIGTERM) {
    if (pid <= 0)
        return -1;
    kill(pid, signal);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

inline bool HaveProgram(const char* name) {
    return RunProgram({"sh", "-c", std::string("command -v ") + name}) == 0;
}

// Two namespaces, "server" and "client", joined by a veth pair with the addresses
// 10.231.0.1 (server) and 10.231.0.2 (client); on request also fd00:231::1 and fd00:231::2, and
// a VLAN sub-interface on each end with 10.232.0.1 and 10.232.0.2.
class VethPair {
public:
    static constexpr const char* kServerAddress = "10.231.0.1";
    static constexpr const char* kClientAddress = "10.231.0.2";
    static constexpr const char* kServerAddress6 = "fd00:231::1";
    static constexpr const char* kClientAddress6 = "fd00:231::2";
    static constexpr const char* kServerVlanAddress = "10.232.0.1";
    static constexpr const char* kClientVlanAddress = "10.232.0.2";
    static constexpr const char* kVlanId = "10";

    explicit VethPair(const std::string& tag) {
        const std::string id = std::to_string(getpid());
        serverNamespace = "px" + tag + "s" + id;
        clientNamespace = "px" + tag + "c" + id;
        serverLink = "px" + tag + id + "a";
        clientLink = "px" + tag + id + "b";
        m_ok = Run({"ip", "netns", "add", serverNamespace}) &&
               Run({"ip", "netns", "add", clientNamespace}) &&
               Run({"ip", "link", "add", serverLink, "type", "veth", "peer", "name", clientLink}) &&
               Run({"ip", "link", "set", serverLink, "netns", serverNamespace}) &&
               Run({"ip", "link", "set", clientLink, "netns", clientNamespace}) &&
               Run({"ip", "-n", serverNamespace, "addr", "add", std::string(kServerAddress) + "/24",
                    "dev", serverLink}) &&
               Run({"ip", "-n", clientNamespace, "addr", "add", std::string(kClientAddress) + "/24",
                    "dev", clientLink}) &&
               Run({"ip", "-n", serverNamespace, "link", "set", "lo", "up"}) &&
               Run({"ip", "-n", clientNamespace, "link", "set", "lo", "up"}) &&
               Run({"ip", "-n", serverNamespace, "link", "set", serverLink, "up"}) &&
               Run({"ip", "-n", clientNamespace, "link", "set", clientLink, "up"});
    }
    ~VethPair() {
        // Deleting a namespace deletes the veth end inside it, and with it the peer.
        RunProgram({"ip", "netns", "del", clientNamespace});
        RunProgram({"ip", "netns", "del", serverNamespace});
        RunProgram({"ip", "link", "del", serverLink});
    }
    VethPair(const VethPair&) = delete;
    VethPair& operator=(const VethPair&) = delete;

    bool Ok() const { return m_ok; }

    // Gives both ends their IPv6 address, usable at once (no duplicate address detection).
    bool AddIpv6() const {
        return Run({"ip", "-n", serverNamespace, "addr", "add",
                    std::string(kServerAddress6) + "/64", "dev", serverLink, "nodad"}) &&
               Run({"ip", "-n", clientNamespace, "addr", "add",
                    std::string(kClientAddress6) + "/64", "dev", clientLink, "nodad"});
    }

    // Adds a VLAN sub-interface on each end (named after the end, "." and the VLAN id), with
    // its own addresses; frames between them cross the veth pair tagged.
    bool AddVlan() const {
        const auto add = [](const std::string& ns, const std::string& link, const char* address) {
            const std::string vlan = link + "." + kVlanId;
            return Run({"ip", "-n", ns, "link", "add", "link", link, "name", vlan, "type", "vlan",
                        "id", kVlanId}) &&
                   Run({"ip", "-n", ns, "addr", "add", std::string(address) + "/24", "dev",
                        vlan}) &&
                   Run({"ip", "-n", ns, "link", "set", vlan, "up"});
        };
        return add(serverNamespace, serverLink, kServerVlanAddress) &&
               add(clientNamespace, clientLink, kClientVlanAddress);
    }

    // Moves the calling thread into the client (server) namespace; threads it starts inherit it.
    bool EnterClientNamespace() const { return EnterNamespace(clientNamespace); }
    bool EnterServerNamespace() const { return EnterNamespace(serverNamespace); }
    static bool EnterNamespace(const std::string& name) {
        const std::string path = "/var/run/netns/" + name;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool entered = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        return entered;
    }

    std::vector<std::string> InServer(std::vector<std::string> args) const {
        return Prefixed(serverNamespace, std::move(args));
    }
    std::vector<std::string> InClient(std::vector<std::string> args) const {
        return Prefixed(clientNamespace, std::move(args));
    }

    std::string serverNamespace, clientNamespace, serverLink, clientLink;

private:
    static std::vector<std::string> Prefixed(const std::string& ns, std::vector<std::string> args) {
        args.insert(args.begin(), {"ip", "netns", "exec", ns});
        return args;
    }
    static bool Run(const std::vector<std::string>& args) { return RunProgram(args) == 0; }
    bool m_ok = false;
};
