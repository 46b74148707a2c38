#include "window/LaunchedCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "tls/KeyLog.h"

extern char** environ;

namespace {

constexpr const char* kKeyLogVariable = "SSLKEYLOGFILE";
constexpr int kNameAttempts = 16;

// How long the window waits for the guard: to start the command, and to end it (its grace,
// the reaping of a killed group, the wait for the group to go, and some room).
constexpr int kStartWaitMs = 5000;
constexpr int kEndWaitMs = static_cast<int>(kLaunchEndGrace.count()) + 2000;
// In the guard: how long a killed command may take to be reaped, and its group to go.
constexpr int kReapWaitMs = 1000;
constexpr int kGroupGoneWaitMs = 500;
// In the guard without a process descriptor: how often it looks whether the command ended.
constexpr long kEndLookNs = 100 * 1000 * 1000;
// The most of a key log read to learn whether it holds a key: this many polls of the parser.
constexpr int kKeyCheckPolls = 16;

// Messages between the window and the guard (one per datagram of a SOCK_SEQPACKET pair).
struct GuardMessage {
    char kind = 0;           // window: kStart, kEnd; guard: kStarted, kFailed, kEnded
    std::int32_t value = 0;  // kStarted: the command's pid; kFailed: errno
};
constexpr char kStart = 'S';
constexpr char kEnd = 'E';
constexpr char kStarted = 'P';
constexpr char kFailed = 'F';
constexpr char kEnded = 'D';

// Everything the guard needs, made before it is forked: after a fork of a process with threads
// the child may only make system calls (no allocation, no locks), so every string and array is
// ready in memory it inherits.
struct LaunchPlan {
    std::string keyLog;
    std::vector<std::string> candidates;  // where argv[0] may be, in PATH's order
    std::vector<std::string> arguments, variables;
    std::vector<const char*> candidatePointers, argv, envp;
};

// The launch in progress (window side).
std::mutex s_mutex;
int s_guardSocket = -1;  // guarded by s_mutex, as are the rest
pid_t s_guard = -1;
pid_t s_launched = -1;
int s_endNotice = -1;  // the read end of the pipe the guard writes to when the command ended
std::string s_commandName;

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

LaunchPlan MakePlan(const std::vector<std::string>& command, const std::string& keyLog) {
    LaunchPlan plan;
    plan.keyLog = keyLog;
    plan.arguments = command;
    const std::string& name = command.front();
    // As execvp looks a name up: a name with a slash is a path; otherwise each folder of PATH
    // (an empty entry is the current folder), or the default path when PATH is not set.
    if (name.find('/') != std::string::npos) {
        plan.candidates.push_back(name);
    } else {
        const char* path = std::getenv("PATH");
        const std::string folders = path != nullptr ? path : "/bin:/usr/bin";
        std::size_t at = 0;
        for (;;) {
            const std::size_t colon = folders.find(':', at);
            const std::string folder = folders.substr(at, colon - at);
            plan.candidates.push_back((folder.empty() ? std::string(".") : folder) + "/" + name);
            if (colon == std::string::npos)
                break;
            at = colon + 1;
        }
    }
    const std::string prefix = std::string(kKeyLogVariable) + "=";
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0)
            plan.variables.emplace_back(*e);
    }
    plan.variables.push_back(prefix + keyLog);
    for (const auto& c : plan.candidates) plan.candidatePointers.push_back(c.c_str());
    plan.candidatePointers.push_back(nullptr);
    for (const auto& a : plan.arguments) plan.argv.push_back(a.c_str());
    plan.argv.push_back(nullptr);
    for (const auto& v : plan.variables) plan.envp.push_back(v.c_str());
    plan.envp.push_back(nullptr);
    return plan;
}

// --- The guard: system calls only from here to its end ----------------------------------------

constexpr int kGuardSocket = 3;
constexpr int kGuardEndNotice = 4;  // written to (one byte) once the command has ended

volatile sig_atomic_t g_guardStopSignal = 0;

void OnGuardStopSignal(int signal) {
    g_guardStopSignal = signal;
}

std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMs(int ms) {
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

void Reply(char kind, std::int32_t value) {
    GuardMessage message;
    message.kind = kind;
    message.value = value;
    while (send(kGuardSocket, &message, sizeof message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

// Whether process `pid`, a child, has ended (it stays a zombie, unreaped).
bool HasEnded(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Waits up to `ms` for child `pid` to end (through its process descriptor when there is one).
bool WaitEnded(pid_t pid, int descriptor, int ms) {
    const std::int64_t deadline = NowMs() + ms;
    for (;;) {
        if (HasEnded(pid))
            return true;
        const std::int64_t left = deadline - NowMs();
        if (left <= 0)
            return false;
        if (descriptor >= 0) {
            pollfd ended{descriptor, POLLIN, 0};
            poll(&ended, 1, static_cast<int>(left));
        } else {
            SleepMs(left < 10 ? static_cast<int>(left) : 10);
        }
    }
}

// Starts the command as a child in a process group of its own. Gives its pid, or -errno.
pid_t StartCommand(const LaunchPlan& plan) {
    int failure[2];
    if (pipe2(failure, O_CLOEXEC) != 0)
        return -errno;
    const pid_t guard = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        const int error = errno;
        close(failure[0]);
        close(failure[1]);
        return -error;
    }
    if (pid == 0) {
        setpgid(0, 0);
        // A fresh process's signal state, and ended with the guard should the guard itself be
        // killed (it would otherwise be orphaned, writing secrets nobody deletes).
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != guard)
            _exit(127);
        int error = ENOENT;
        for (const char* const* candidate = plan.candidatePointers.data(); *candidate;
             ++candidate) {
            execve(*candidate, const_cast<char* const*>(plan.argv.data()),
                   const_cast<char* const*>(plan.envp.data()));
            // As execvp: a missing or unusable entry lets the search go on; what a program
            // that is there refuses ends it.
            if (errno == EACCES) {
                error = EACCES;
            } else if (errno != ENOENT && errno != ENOTDIR) {
                error = errno;
                break;
            }
        }
        [[maybe_unused]] const ssize_t n = write(failure[1], &error, sizeof error);
        _exit(127);
    }
    setpgid(pid, pid);  // also here, so that the group exists before anyone signals it
    close(failure[1]);
    int error = 0;
    ssize_t n;
    while ((n = read(failure[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(failure[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return -error;
    }
    return pid;
}

// Ends the command's group (when it was started), then deletes the key log, and again once
// the command was reaped and its group has gone.
void EndCommand(const LaunchPlan& plan, pid_t command, int descriptor) {
    if (command > 0) {
        // The leader is never reaped before this point: while it is a zombie its process id,
        // which is the group's id, cannot be taken by another process, so these signals reach
        // the command's group and nothing else.
        kill(-command, SIGTERM);
        WaitEnded(command, descriptor, static_cast<int>(kLaunchEndGrace.count()));
        // Whatever of the group is left (a browser's other processes) goes now.
        kill(-command, SIGKILL);
        if (WaitEnded(command, descriptor, kReapWaitMs)) {
            while (waitpid(command, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    unlink(plan.keyLog.c_str());
    if (command > 0) {
        // A process of the group that was killed while it opened the file may still have
        // created it: once the group is gone, the file goes again.
        const std::int64_t deadline = NowMs() + kGroupGoneWaitMs;
        for (;;) {
            // Its processes whose parent went before them are the guard's to reap.
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            if (kill(-command, 0) != 0 || NowMs() >= deadline)
                break;
            SleepMs(10);
        }
        unlink(plan.keyLog.c_str());
    }
}

[[noreturn]] void RunGuard(const LaunchPlan& plan, int socket, int endNotice) {
    // Out of the window's process group (the terminal's keys reach the window, which tells the
    // guard), with its own signal state: a stop signal ends the launch as the window's end does.
    setpgid(0, 0);
    prctl(PR_SET_NAME, "pelnix-guard");
    // The command's processes whose parent ends before them come to the guard, not to init
    // (which may not reap them at once): the guard sees its group gone when it is.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            ::signal(signal, SIG_DFL);
    }
    struct sigaction stop {};
    stop.sa_handler = OnGuardStopSignal;
    sigemptyset(&stop.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &stop, nullptr);
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, signal);
    sigprocmask(SIG_SETMASK, &stops, nullptr);
    // Nothing of the window stays open here (its capture pipes, its display connection), or
    // their other ends would not see the window's end; the standard three go to the command.
    // Both ends move to their fixed numbers through copies above them, so that neither
    // overwrites the other on its way.
    const int socketCopy = fcntl(socket, F_DUPFD_CLOEXEC, kGuardEndNotice + 1);
    const int endNoticeCopy = fcntl(endNotice, F_DUPFD_CLOEXEC, kGuardEndNotice + 1);
    if (socketCopy < 0 || endNoticeCopy < 0)
        _exit(1);  // the window sees the socket close: the guard does not answer
    dup2(socketCopy, kGuardSocket);
    dup2(endNoticeCopy, kGuardEndNotice);
    fcntl(kGuardSocket, F_SETFD, FD_CLOEXEC);
    fcntl(kGuardEndNotice, F_SETFD, FD_CLOEXEC);
    if (close_range(kGuardEndNotice + 1, ~0U, 0) != 0) {
        rlimit limit{};
        const rlim_t last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                                ? limit.rlim_cur
                                : 65536;
        for (rlim_t fd = kGuardEndNotice + 1; fd < last; ++fd) close(static_cast<int>(fd));
    }

    pid_t command = -1;
    int descriptor = -1;
    bool endTold = false;
    sigset_t none;
    sigemptyset(&none);
    for (;;) {
        // While the command runs, its end is watched too: through its process descriptor, or
        // else by a look every kEndLookNs. It stays unreaped (see EndCommand).
        const bool watching = command > 0 && !endTold;
        pollfd ready[2] = {{kGuardSocket, POLLIN, 0}, {descriptor, POLLIN, 0}};
        const nfds_t count = watching && descriptor >= 0 ? 2 : 1;
        timespec look{0, kEndLookNs};
        const int polled = ppoll(ready, count, watching && descriptor < 0 ? &look : nullptr, &none);
        if (g_guardStopSignal != 0)
            break;
        if (polled < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (watching && HasEnded(command)) {
            const char ended = 'X';
            [[maybe_unused]] const ssize_t written = write(kGuardEndNotice, &ended, 1);
            close(kGuardEndNotice);
            endTold = true;
        }
        if (ready[0].revents == 0)
            continue;
        GuardMessage message;
        const ssize_t n = recv(kGuardSocket, &message, sizeof message, 0);
        if (n < 0 && errno == EINTR)
            continue;
        // The window closed its end (it ended, however) or asks for the end.
        if (n <= 0 || message.kind == kEnd)
            break;
        if (message.kind == kStart && command < 0) {
            const pid_t started = StartCommand(plan);
            if (started < 0) {
                Reply(kFailed, -started);
            } else {
                command = started;
                descriptor = static_cast<int>(syscall(SYS_pidfd_open, command, 0));
                Reply(kStarted, command);
            }
        }
    }
    EndCommand(plan, command, descriptor);
    Reply(kEnded, 0);
    _exit(0);
}

// --- The window's side ------------------------------------------------------------------------

// Sends `kind` to the guard and waits at most `waitMs` for its answer. With s_mutex held.
bool AskGuardLocked(char kind, int waitMs, GuardMessage& answer) {
    GuardMessage message;
    message.kind = kind;
    if (send(s_guardSocket, &message, sizeof message, MSG_NOSIGNAL) < 0)
        return false;
    pollfd readable{s_guardSocket, POLLIN, 0};
    int ready;
    while ((ready = poll(&readable, 1, waitMs)) < 0 && errno == EINTR) {
    }
    if (ready <= 0)
        return false;
    ssize_t n;
    while ((n = recv(s_guardSocket, &answer, sizeof answer, 0)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof answer);
}

void EndLaunchLocked() {
    if (s_guardSocket < 0)
        return;
    GuardMessage answer;
    const bool ended = AskGuardLocked(kEnd, kEndWaitMs, answer) && answer.kind == kEnded;
    close(s_guardSocket);
    s_guardSocket = -1;
    if (s_endNotice >= 0) {
        close(s_endNotice);
        s_endNotice = -1;
    }
    // The guard ends right after its answer; without one it goes on alone (it saw its socket
    // close) and is not waited for.
    int status;
    pid_t reaped;
    while ((reaped = waitpid(s_guard, &status, ended ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    s_guard = -1;
    s_launched = -1;
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

std::string PrepareLaunch(const std::vector<std::string>& command, std::string& problem) {
    if (command.empty() || command.front().empty()) {
        problem = "no command given";
        return {};
    }
    const std::string folder = PrivateRuntimeFolder(problem);
    if (folder.empty())
        return {};
    std::string path;
    for (int attempt = 0; attempt < kNameAttempts && path.empty(); ++attempt) {
        const std::string suffix = RandomSuffix();
        if (suffix.empty())
            break;
        const std::string candidate = folder + "/pelnix-keylog-" + suffix;
        const int fd =
            ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            problem = "cannot create the TLS key log in " + folder + ": " + std::strerror(errno);
            return {};
        }
        ::close(fd);
        path = candidate;
    }
    if (path.empty()) {
        problem = "cannot create the TLS key log in " + folder + ": no free name";
        return {};
    }

    std::lock_guard lock(s_mutex);
    EndLaunchLocked();  // one launch at a time
    const LaunchPlan plan = MakePlan(command, path);
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        problem = std::string("cannot make the socket of its guard: ") + std::strerror(errno);
        ::unlink(path.c_str());
        return {};
    }
    int endNotice[2];
    if (pipe2(endNotice, O_CLOEXEC | O_NONBLOCK) != 0) {
        problem = std::string("cannot make the pipe of its guard: ") + std::strerror(errno);
        ::close(ends[0]);
        ::close(ends[1]);
        ::unlink(path.c_str());
        return {};
    }
    const pid_t guard = fork();
    if (guard == 0)
        RunGuard(plan, ends[1], endNotice[1]);
    const int error = errno;
    ::close(ends[1]);
    ::close(endNotice[1]);
    if (guard < 0) {
        ::close(ends[0]);
        ::close(endNotice[0]);
        ::unlink(path.c_str());
        problem = std::string("cannot start its guard: ") + std::strerror(error);
        return {};
    }
    s_guardSocket = ends[0];
    s_endNotice = endNotice[0];
    s_guard = guard;
    s_commandName = command.front();
    return path;
}

pid_t StartLaunchedCommand(std::string& problem) {
    std::lock_guard lock(s_mutex);
    if (s_guardSocket < 0) {
        problem = "the launch was not prepared";
        return -1;
    }
    GuardMessage answer;
    if (!AskGuardLocked(kStart, kStartWaitMs, answer)) {
        problem = "its guard does not answer";
    } else if (answer.kind == kStarted && answer.value > 0) {
        s_launched = answer.value;
        return s_launched;
    } else if (answer.kind == kFailed && answer.value == ENOENT) {
        problem = s_commandName.find('/') == std::string::npos
                      ? "no program named '" + s_commandName + "' in PATH"
                      : "there is no program " + s_commandName;
    } else if (answer.kind == kFailed && answer.value == EACCES) {
        problem = s_commandName + " may not be run (permission denied)";
    } else {
        problem = std::strerror(answer.kind == kFailed ? answer.value : EPROTO);
    }
    EndLaunchLocked();
    return -1;
}

int TakeLaunchEndDescriptor() {
    std::lock_guard lock(s_mutex);
    if (s_launched < 0)
        return -1;
    const int descriptor = s_endNotice;
    s_endNotice = -1;
    return descriptor;
}

void EndLaunch() {
    std::lock_guard lock(s_mutex);
    EndLaunchLocked();
}

bool KeyLogHoldsAKey(const std::string& path) {
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size == 0)
        return false;
    KeyLog keyLog(path);
    keyLog.SetNoticeSink([](const std::string&) {});
    for (int poll = 0; poll < kKeyCheckPolls; ++poll) {
        if (keyLog.Poll())
            return true;
        if (!keyLog.Behind())
            break;
    }
    return keyLog.ConnectionCount() > 0;
}

namespace {

// Creates `path` (mode 0700) unless it is there, and makes sure it is a folder of this user's,
// not a symbolic link, that nobody else may enter.
bool MakePrivateFolder(const std::string& path, std::string& problem) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    const bool own = fd >= 0 && ::fstat(fd, &status) == 0 && status.st_uid == ::geteuid();
    const bool made = own && ((status.st_mode & 07777) == 0700 || ::fchmod(fd, 0700) == 0);
    if (fd >= 0)
        ::close(fd);
    if (!made)
        problem = path + " is not a folder of this user's own that can be made private";
    return made;
}

bool StartsWith(const std::string& text, const char* start) {
    return text.compare(0, std::strlen(start), start) == 0;
}

}  // namespace

std::vector<std::string> OwnProfileCommand(const std::vector<std::string>& command,
                                           std::string& problem) {
    if (command.empty() || command.front().empty()) {
        problem = "no command given";
        return {};
    }
    const std::string& program = command.front();
    const std::size_t slash = program.rfind('/');
    const std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
    const bool chromium = name == "chromium" || name == "chromium-browser" ||
                          StartsWith(name, "google-chrome") || StartsWith(name, "brave") ||
                          StartsWith(name, "microsoft-edge") || StartsWith(name, "vivaldi") ||
                          StartsWith(name, "opera");
    const bool firefox = name == "firefox" || name == "firefox-esr" || name == "librewolf";
    if (!chromium && !firefox) {
        problem = "Pelnix does not know how to give " + program +
                  " a profile of its own (it knows the Chromium and Firefox families of "
                  "browsers); start it with --launch instead";
        return {};
    }

    std::string cache;
    if (const char* value = std::getenv("XDG_CACHE_HOME"); value != nullptr && *value == '/') {
        cache = value;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        cache = std::string(home) + "/.cache";
    } else {
        problem = "neither XDG_CACHE_HOME nor HOME names a folder for the browser's profile";
        return {};
    }
    for (const std::string& folder : {cache, cache + "/Pelnix"}) {
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            problem = "cannot create " + folder + ": " + std::strerror(errno);
            return {};
        }
    }
    const std::string profiles = cache + "/Pelnix/profiles", profile = profiles + "/" + name;
    if (!MakePrivateFolder(profiles, problem) || !MakePrivateFolder(profile, problem))
        return {};

    std::vector<std::string> own{program};
    if (chromium) {
        own.push_back("--user-data-dir=" + profile);
    } else {
        own.insert(own.end(), {"-no-remote", "-profile", profile});
    }
    own.insert(own.end(), command.begin() + 1, command.end());
    return own;
}
