#include "converter/CConsoleRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace {

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Moves `fd` above the standard descriptors so that placing it on 0, 1 or 2 in the child is a
// real duplicate (which drops close-on-exec) and never a no-op.
bool AboveStandardFds(int& fd) {
    if (fd > STDERR_FILENO)
        return true;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(fd);
    fd = moved;
    return moved >= 0;
}

// Starts /bin/sh on the script with the given standard descriptors, in a new session (so the
// shell and everything it starts form one process group that only this run owns), with default
// signal dispositions (the program ignores SIGPIPE; a converter must not inherit that) and no
// other descriptor of the program.
pid_t SpawnShell(const std::string& scriptPath, int stdinFd, int stdoutFd, int stderrFd) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    sigset_t defaults, empty;
    sigfillset(&defaults);
    sigemptyset(&empty);
    bool ok = posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO) == 0 &&
              posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO) == 0 &&
              posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO) == 0 &&
              posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0 &&
              posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                                  POSIX_SPAWN_SETSIGMASK) == 0 &&
              posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
              posix_spawnattr_setsigmask(&attr, &empty) == 0;
    pid_t pid = -1;
    if (ok) {
        // "--" ends the shell's options, so a path that starts with "-" is still a file.
        const char* argv[] = {"/bin/sh", "--", scriptPath.c_str(), nullptr};
        if (posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv),
                        environ) != 0) {
            pid = -1;
        }
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The groups of the runs not yet reaped; 0 marks a free slot. Lock-free, so that a signal
// handler may read it.
std::atomic<pid_t> s_runningGroups[kMaxRunningGroups];
static_assert(std::atomic<pid_t>::is_always_lock_free);

void ListGroup(pid_t group) {
    for (auto& slot : s_runningGroups) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, group))
            return;
    }
    // More runs at once than slots: the run still works, only a stop from outside misses it.
}

void UnlistGroup(pid_t group) {
    for (auto& slot : s_runningGroups) {
        pid_t listed = group;
        if (slot.compare_exchange_strong(listed, 0))
            return;
    }
}

// How a reaped child ended.
RunEnding EndingOf(const siginfo_t& info) {
    return RunEnding{info.si_code != CLD_EXITED, info.si_status};
}

// Reaps `pid` when it has exited, taking it off the list first; false while it runs.
bool ReapExited(pid_t pid, bool wait, std::optional<RunEnding>& status) {
    siginfo_t info{};
    int rc;
    do {
        rc = ::waitid(P_PID, static_cast<id_t>(pid), &info,
                      WEXITED | WNOWAIT | (wait ? 0 : WNOHANG));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0 && info.si_pid == 0)
        return false;  // still running
    UnlistGroup(pid);
    if (rc == 0) {
        status = EndingOf(info);
        siginfo_t reaped{};
        while (::waitid(P_PID, static_cast<id_t>(pid), &reaped, WEXITED) < 0 && errno == EINTR) {
        }
    }
    // Reaped now, or no longer our child to wait for (ECHILD): either way it is gone.
    return true;
}

}  // namespace

void SignalRunningGroups(int signal) noexcept {
    for (auto& slot : s_runningGroups) {
        const pid_t group = slot.load();
        if (group > 0)
            ::kill(-group, signal);
    }
}

std::vector<pid_t> RunningGroups() {
    std::vector<pid_t> groups;
    for (auto& slot : s_runningGroups) {
        if (const pid_t group = slot.load(); group > 0)
            groups.push_back(group);
    }
    return groups;
}

SharedText g_runnerOutput;

void SharedText::Clear() {
    std::lock_guard lock(m_mutex);
    m_text.clear();
    m_dropped = false;
}

void SharedText::Append(std::string_view text) {
    std::lock_guard lock(m_mutex);
    m_text.append(text);
    // Cut the front in steps of a quarter of the limit, so that a long run moves the kept
    // text only now and then, not with every chunk.
    if (m_text.size() > m_limit + m_limit / 4) {
        m_text.erase(0, m_text.size() - m_limit);
        m_dropped = true;
    }
}

std::string SharedText::Copy() const {
    std::lock_guard lock(m_mutex);
    return m_text.size() > m_limit ? m_text.substr(m_text.size() - m_limit) : m_text;
}

bool SharedText::Truncated() const {
    std::lock_guard lock(m_mutex);
    return m_dropped || m_text.size() > m_limit;
}

CConsoleRunner::~CConsoleRunner() {
    ClosePipes();
    std::lock_guard lock(m_processMutex);
    if (m_pid <= 0 || m_reaped)
        return;
    if (ReapLocked())
        return;
    // The shell outlived both owners: reap it when it ends so that it leaves no zombie. Nothing
    // else waits for this pid once the runner is gone.
    const pid_t pid = m_pid;
    try {
        std::thread([pid] {
            std::optional<RunEnding> ignored;
            ReapExited(pid, true, ignored);
        }).detach();
    } catch (const std::system_error&) {
        // No thread: the zombie stays until the program ends.
    }
}

int CConsoleRunner::Start(const std::string& scriptPath) {
    if (m_readerActive.load())
        return kBusy;
    if (scriptPath.empty())
        return kNotStarted;
    const std::shared_ptr<CConsoleRunner> self = weak_from_this().lock();
    if (!self)
        return kBusy;  // the reader thread could not share ownership
    {
        std::lock_guard lock(m_processMutex);
        // A previous run's shell that is still unreaped keeps its pid until it is reaped here.
        if (m_pid > 0 && !m_reaped && !ReapLocked())
            return kBusy;
    }

    int outputPipe[2] = {-1, -1};
    int inputPipe[2] = {-1, -1};
    int result = kBusy;
    if (::pipe2(outputPipe, O_CLOEXEC) == 0 && ::pipe2(inputPipe, O_CLOEXEC) == 0 &&
        AboveStandardFds(outputPipe[1]) && AboveStandardFds(inputPipe[0])) {
        const pid_t pid = SpawnShell(scriptPath, inputPipe[0], outputPipe[1], outputPipe[1]);
        if (pid <= 0) {
            result = kNotStarted;
        } else {
            // Close our copies of the child's ends: the output pipe then reaches end-of-file
            // when the shell and everything that inherited its write end have exited.
            CloseFd(outputPipe[1]);
            CloseFd(inputPipe[0]);
            {
                std::lock_guard lock(m_processMutex);
                m_pid = pid;
                m_reaped = false;
                m_processHeld = true;
                m_ending.reset();
            }
            ListGroup(pid);
            {
                std::lock_guard lock(m_pipeMutex);
                m_outputRead = outputPipe[0];
                m_inputWrite = inputPipe[1];
                outputPipe[0] = inputPipe[1] = -1;
            }
            m_closed.store(false);
            m_readerActive.store(true);
            try {
                std::thread(ReaderThreadProc, self).detach();
                result = kStarted;
            } catch (const std::system_error&) {
                m_readerActive.store(false);
                result = kBusy;
            }
        }
    }
    for (int fd : {outputPipe[0], outputPipe[1], inputPipe[0], inputPipe[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
    if (result != kStarted)
        Close();
    return result;
}

void CConsoleRunner::ReaderThreadProc(std::shared_ptr<CConsoleRunner> self) {
    int fd;
    {
        std::lock_guard lock(self->m_pipeMutex);
        fd = self->m_outputRead;
    }
    char buffer[kRunnerChunkBytes + 1];
    // Exceptions never leave this thread: an owner that throws ends the delivery early.
    try {
        for (;;) {
            const ssize_t n = ::read(fd, buffer, kRunnerChunkBytes);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;  // end-of-file, or a failed read, ends the output alike
            buffer[n] = '\0';
            self->OnOutput(buffer, static_cast<std::size_t>(n));
        }
    } catch (...) {
    }
    try {
        self->OnOutput(nullptr, 0);
    } catch (...) {
    }
    self->Close();
    // Only now may a new run start: one started earlier would have its pipes closed by the
    // Close above.
    self->m_readerActive.store(false);
}

bool CConsoleRunner::IsRunning() const {
    std::lock_guard lock(m_processMutex);
    if (!m_processHeld || m_pid <= 0 || m_reaped)
        return false;
    // WNOWAIT: look without reaping, so the shell keeps its pid (and the group number) reserved
    // while this runner may still signal the group.
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return false;  // a failed query counts as not running
    }
    return info.si_pid == 0;
}

void CConsoleRunner::Close() {
    ClosePipes();
    {
        std::lock_guard lock(m_processMutex);
        m_processHeld = false;
    }
    m_closed.store(true);
}

pid_t CConsoleRunner::ProcessGroup() const {
    std::lock_guard lock(m_processMutex);
    return m_pid > 0 ? m_pid : 0;
}

bool CConsoleRunner::SignalProcessGroup(int signal) {
    std::lock_guard lock(m_processMutex);
    if (m_pid <= 0 || m_reaped)
        return false;
    return ::kill(-m_pid, signal) == 0;
}

bool CConsoleRunner::ReapIfExited() {
    std::lock_guard lock(m_processMutex);
    if (m_pid <= 0)
        return false;
    return m_reaped || ReapLocked();
}

bool CConsoleRunner::ReapLocked() {
    if (!ReapExited(m_pid, false, m_ending))
        return false;
    m_reaped = true;
    return true;
}

std::optional<int> CConsoleRunner::ExitStatus() const {
    const std::optional<RunEnding> ending = Ending();
    if (!ending)
        return std::nullopt;
    return ending->signalled ? 128 + ending->value : ending->value;
}

std::optional<RunEnding> CConsoleRunner::Ending() const {
    std::lock_guard lock(m_processMutex);
    return m_reaped ? m_ending : std::nullopt;
}

std::string RunEndingText(const RunEnding& ending) {
    if (!ending.signalled)
        return "exit status " + std::to_string(ending.value);
    // sigabbrev_np knows the names without the "SIG"; an unknown number stays a number.
    const char* name = ::sigabbrev_np(ending.value);
    return "killed by signal " + (name ? "SIG" + std::string(name) : std::to_string(ending.value));
}

void CConsoleRunner::ClosePipes() {
    std::lock_guard lock(m_pipeMutex);
    CloseFd(m_inputWrite);
    CloseFd(m_outputRead);
}

void CConsoleRunner::OnOutput(const char*, std::size_t) {}
