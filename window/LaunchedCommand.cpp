#include "window/LaunchedCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern char** environ;

namespace {

constexpr const char* kKeyLogVariable = "SSLKEYLOGFILE";
constexpr int kNameAttempts = 16;

// What --launch left behind, for EndLaunch; the pid until the command is reaped.
std::mutex s_mutex;
std::string s_keyLog;
pid_t s_launched = -1;

std::string RandomSuffix() {
    unsigned char bytes[8] = {};
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return {};
        }
        filled += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char b : bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

}  // namespace

std::string PrivateRuntimeFolder(std::string& problem) {
    const char* value = std::getenv("XDG_RUNTIME_DIR");
    if (value == nullptr || *value == '\0') {
        problem = "XDG_RUNTIME_DIR is not set, so there is no private folder for the TLS key log";
        return {};
    }
    const std::string folder = value;
    struct stat status {};
    if (folder.front() != '/' || ::lstat(folder.c_str(), &status) != 0 ||
        !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
        (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        problem = "XDG_RUNTIME_DIR (" + folder +
                  ") is not a folder of this user's own that nobody else may enter, so the TLS "
                  "key log cannot be kept private there";
        return {};
    }
    return folder;
}

std::string CreateLaunchKeyLog(std::string& problem) {
    const std::string folder = PrivateRuntimeFolder(problem);
    if (folder.empty())
        return {};
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string suffix = RandomSuffix();
        if (suffix.empty())
            break;
        const std::string path = folder + "/pelnix-keylog-" + suffix;
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            problem = "cannot create the TLS key log in " + folder + ": " + std::strerror(errno);
            return {};
        }
        ::close(fd);
        std::lock_guard lock(s_mutex);
        if (!s_keyLog.empty())
            ::unlink(s_keyLog.c_str());
        s_keyLog = path;
        return path;
    }
    problem = "cannot create the TLS key log in " + folder + ": no free name";
    return {};
}

pid_t StartLaunchedCommand(const std::vector<std::string>& command, const std::string& keyLog,
                           std::string& problem) {
    if (command.empty() || command.front().empty()) {
        problem = "no command given";
        return -1;
    }
    std::vector<std::string> variables;
    const std::string prefix = std::string(kKeyLogVariable) + "=";
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0)
            variables.emplace_back(*e);
    }
    variables.push_back(prefix + keyLog);
    std::vector<char*> envp, argv;
    for (auto& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = command;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A process group of its own: the terminal's keys reach this program, which ends the
    // command through its group; and a fresh process's signal state (this program ignores
    // SIGPIPE, and the ignored signals would be inherited).
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGPIPE, SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, signal);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        problem = std::strerror(result);
        return -1;
    }
    std::lock_guard lock(s_mutex);
    s_launched = pid;
    return pid;
}

bool ReapLaunchedCommand(pid_t pid) {
    if (pid <= 0)
        return true;
    // Under the lock, so that EndLaunch never signals a group whose leader was just reaped.
    std::lock_guard lock(s_mutex);
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    // Reaped now, or no longer a child of this process (reaped already).
    if (reaped == pid || (reaped < 0 && errno == ECHILD)) {
        if (s_launched == pid)
            s_launched = -1;
        return true;
    }
    return false;
}

void EndLaunch() {
    pid_t launched;
    {
        std::lock_guard lock(s_mutex);
        if (!s_keyLog.empty()) {
            ::unlink(s_keyLog.c_str());
            s_keyLog.clear();
        }
        launched = s_launched;
        // Until it is reaped its process id stays taken, so the group is still the command's.
        if (launched > 0)
            ::kill(-launched, SIGTERM);
    }
    if (launched > 0)
        ReapLaunchedCommand(launched);
}
