// Runs one shell script with its standard output and error captured through one pipe, and hands
// the text to the owner chunk by chunk from a reader thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Largest chunk the reader thread delivers at once.
inline constexpr std::size_t kRunnerChunkBytes = 2048;

// The most of a run's output that is kept: a converter that writes without end (a corrupt
// input, a looping filter) must not grow the program's memory with it.
inline constexpr std::size_t kRunnerOutputLimit = 1 << 20;

// Text shared between threads under one lock; readers take a copy. Only the last `limit` bytes
// of what was appended are kept.
class SharedText {
public:
    explicit SharedText(std::size_t limit = kRunnerOutputLimit) : m_limit(limit) {}
    void Clear();
    void Append(std::string_view text);
    // The kept text: everything appended since Clear, or its last `limit` bytes.
    std::string Copy() const;
    // Whether bytes appended since Clear were dropped from the front.
    bool Truncated() const;

private:
    const std::size_t m_limit;
    mutable std::mutex m_mutex;
    std::string m_text;
    bool m_dropped = false;
};

// Everything the latest run of a window runner wrote, appended by its reader thread.
extern SharedText g_runnerOutput;

// How a reaped run ended: with an exit status, or killed by a signal.
struct RunEnding {
    bool signalled = false;
    int value = 0;  // the exit status, or the number of the signal
};

// What a failure report says of `ending`: "exit status 1", "killed by signal SIGKILL".
std::string RunEndingText(const RunEnding& ending);

class CConsoleRunner : public std::enable_shared_from_this<CConsoleRunner> {
public:
    // Results of Start.
    static constexpr int kStarted = 0;
    static constexpr int kNotStarted = 1;  // empty command, or the shell could not be started
    static constexpr int kBusy = 2;        // a run is under way, or a pipe or the thread failed

    CConsoleRunner() = default;
    CConsoleRunner(const CConsoleRunner&) = delete;
    CConsoleRunner& operator=(const CConsoleRunner&) = delete;
    virtual ~CConsoleRunner();

    // Runs `/bin/sh <scriptPath>` (the path is one argument, never re-parsed by a shell) in its own
    // session and process group, stdout and stderr on one pipe, stdin on a pipe nobody writes.
    // The runner must be owned by a std::shared_ptr: the reader thread shares ownership until the
    // output has ended.
    int Start(const std::string& scriptPath);

    // True while the shell process has not exited. Does not reap it.
    bool IsRunning() const;
    // True once the output has ended and everything the run held is released.
    bool IsClosed() const { return m_closed.load(); }
    // Releases the pipes and the process handle and sets the closed flag. Never signals the child.
    void Close();

    // The shell's process group (its pid), or 0 when no process was started.
    pid_t ProcessGroup() const;
    // Sends `signal` to every process of the run's group. Refused (false) once the shell has been
    // reaped: only the unreaped shell keeps the group number from being reused.
    bool SignalProcessGroup(int signal);
    // Reaps the shell when it has exited; returns true when it is reaped (now or earlier).
    bool ReapIfExited();
    // How the run ended, once reaped: the exit status (the script execs the converter, so this
    // is the converter's), or 128 + the signal that ended it. Nothing before.
    std::optional<int> ExitStatus() const;
    // The same, telling an exit status from a signal (a status of 137 from a SIGKILL).
    std::optional<RunEnding> Ending() const;

protected:
    // Called on the reader thread with each chunk (NUL-terminated, `length` bytes, at most
    // kRunnerChunkBytes) and once with nullptr when the output has ended.
    virtual void OnOutput(const char* text, std::size_t length);

private:
    static void ReaderThreadProc(std::shared_ptr<CConsoleRunner> self);
    bool ReapLocked();
    void ClosePipes();

    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_readerActive{false};

    mutable std::mutex m_processMutex;
    pid_t m_pid = 0;             // shell pid and process group; kept until reaped
    bool m_processHeld = false;  // cleared by Close: IsRunning then reports false
    bool m_reaped = false;
    std::optional<RunEnding> m_ending;

    std::mutex m_pipeMutex;
    int m_inputWrite = -1;
    int m_outputRead = -1;
};

// The process groups of every run whose shell has not been reaped: what must be stopped when
// the program itself is stopped (a signal, the loss of its display) and cannot wait for the
// runs' owners. A group leaves the list before its shell is reaped, so that its number cannot
// meanwhile belong to another program.
inline constexpr std::size_t kMaxRunningGroups = 64;
// Sends `signal` to every listed group. Async-signal-safe: a signal handler may call it.
void SignalRunningGroups(int signal) noexcept;
// The listed groups.
std::vector<pid_t> RunningGroups();
