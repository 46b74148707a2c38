#include "helper/CaptureHelperClient.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <variant>

#include "packetrules/MediaDetector.h"

namespace {

// The most sessions a helper may list: far above any machine's adapters, low enough that a
// garbled stream cannot make this side allocate without bound.
constexpr std::uint32_t kMaxSessions = 1024;
// How long a helper may take to stop once asked, and to take one command.
constexpr std::chrono::milliseconds kStopGrace{3000};
constexpr std::chrono::milliseconds kCommandTimeout{2000};
// The helper's output pipe: room for bursts of records while the reader is busy.
constexpr int kRecordPipeBytes = 1 << 20;

// Moves a descriptor above the standard three (close-on-exec), so that the child's dup2 onto
// 0 or 1 never meets itself.
int AboveStandard(int fd) {
    if (fd > STDERR_FILENO)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string ExitText(int status) {
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// write() to a pipe whose reader is gone, without the SIGPIPE that would end a process that
// does not ignore it: the signal is blocked on this thread for the call, and one it raised is
// taken before the block ends.
ssize_t WriteToPipe(int fd, const char* data, std::size_t size) {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    const ssize_t n = write(fd, data, size);
    const int error = errno;
    if (n < 0 && error == EPIPE && !sigismember(&pendingBefore, SIGPIPE)) {
        const timespec noWait{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return n;
}

template <typename... T>
struct Overloaded : T... {
    using T::operator()...;
};
template <typename... T>
Overloaded(T...) -> Overloaded<T...>;

}  // namespace

std::vector<HelperSession*> g_captureSessions;

std::string FindCaptureHelper(const std::string& programFolder) {
    const std::string beside = programFolder + "/" + kCaptureHelperName;
    struct stat built {};
    if (stat(beside.c_str(), &built) == 0) {
        // The set-up's granted copy of it, while it is a copy of this very build (a rebuild
        // gives the built one a new time until the set-up copies it again).
        const std::string granted =
            programFolder + "/" + kGrantedHelperFolder + "/" + kCaptureHelperName;
        struct stat copy {};
        if (stat(granted.c_str(), &copy) == 0 && copy.st_size == built.st_size &&
            copy.st_mtim.tv_sec == built.st_mtim.tv_sec &&
            copy.st_mtim.tv_nsec == built.st_mtim.tv_nsec) {
            return granted;
        }
        return beside;
    }
    return std::filesystem::path(programFolder + "/" + PELNIX_INSTALLED_CAPTURE_HELPER)
        .lexically_normal()
        .string();
}

std::vector<std::string> CaptureHelperArguments(const StreamOptions& stream) {
    std::vector<std::string> args;
    if (stream.rules != CaptureRules::Packets)
        args.insert(args.end(), {"--rules", CaptureRulesText(stream.rules)});
    if (!stream.keyLogFile.empty())
        args.insert(args.end(), {"--keylog", stream.keyLogFile});
    if (stream.EngineRuns() && stream.budgetBytes != kDefaultStreamBudgetBytes)
        args.insert(args.end(), {"--budget", std::to_string(stream.budgetBytes)});
    return args;
}

std::string CaptureNotPermittedText(const std::string& helperPath) {
    return std::string("You may not capture network traffic: only members of the group \"") +
           kCaptureGroup + "\" may run the capture helper " + helperPath +
           ".\n\nTo capture, add yourself to the group:\n    sudo adduser $USER " + kCaptureGroup +
           "\nthen log out and log in again.";
}

// --- HelperSession -------------------------------------------------------------------------

HelperSession::HelperSession(std::string adapterName, std::string errorText)
    : m_adapterName(std::move(adapterName)), m_errorText(std::move(errorText)) {}

HelperSession::HelperSession(CaptureHelperClient* client, std::uint32_t index,
                             std::string adapterName, std::string errorText)
    : m_client(client),
      m_index(index),
      m_adapterName(std::move(adapterName)),
      m_capturing(errorText.empty()),
      m_errorText(std::move(errorText)) {}

bool HelperSession::IsCapturing() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_capturing;
}

std::string HelperSession::ErrorText() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errorText;
}

std::size_t HelperSession::IgnoreListSize() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ignoreEntries;
}

std::vector<std::pair<std::string, std::size_t>> HelperSession::IgnoreEntries() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::pair<std::string, std::size_t>> entries;
    for (const IgnoreRun& run : m_ignoreRuns) entries.emplace_back(run.url, run.count);
    return entries;
}

CaptureStatistics HelperSession::Statistics() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_statistics;
}

void HelperSession::IgnoreUrl(const std::string& url, int count) {
    if (count <= 0 || url.empty() || url.size() > kMaxTextBytes)
        return;  // such a URL is never reported
    const auto entries = static_cast<std::size_t>(count);
    bool forward = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        forward = m_capturing && m_client != nullptr;
        // Entries in flight to the helper are counted before it takes them; a helper that
        // never tells which it let go is not sent more than this.
        if (forward && m_ignoreEntries + entries > kMaxIgnoreEntries)
            return;
        if (!m_ignoreRuns.empty() && m_ignoreRuns.back().url == url) {
            m_ignoreRuns.back().count += entries;
        } else {
            m_ignoreRuns.push_back(IgnoreRun{url, entries});
        }
        m_ignoreEntries += entries;
        // Without a helper nobody lets the oldest go: kept as a helper's list would keep them.
        if (!forward && m_ignoreEntries > MediaDetector::kMaxIgnoredUrls)
            ForgetOldestLocked(m_ignoreEntries - MediaDetector::kMaxIgnoredUrls);
    }
    if (!forward)
        return;
    for (int left = count; left > 0;) {
        const auto part =
            static_cast<std::uint32_t>(std::min<int>(left, static_cast<int>(kMaxIgnoreCount)));
        m_client->SendCommand(IgnoreCommand{m_index, url, part});
        left -= static_cast<int>(part);
    }
}

void HelperSession::ForgetUsedLocked(const std::string& url) {
    // The helper uses the first entry of the URL. When there is none here, the helper let that
    // entry go as the oldest before it told of its use, and this side let its oldest go in its
    // place when it was told of the drop: the oldest here is the one the helper let go.
    auto run = std::find_if(m_ignoreRuns.begin(), m_ignoreRuns.end(),
                            [&](const IgnoreRun& r) { return r.url == url; });
    if (run == m_ignoreRuns.end())
        run = m_ignoreRuns.begin();
    if (run == m_ignoreRuns.end())
        return;
    --m_ignoreEntries;
    if (--run->count == 0)
        m_ignoreRuns.erase(run);
}

void HelperSession::ForgetOldestLocked(std::size_t count) {
    while (count > 0 && !m_ignoreRuns.empty()) {
        IgnoreRun& oldest = m_ignoreRuns.front();
        const std::size_t taken = std::min(count, oldest.count);
        oldest.count -= taken;
        m_ignoreEntries -= taken;
        count -= taken;
        if (oldest.count == 0)
            m_ignoreRuns.pop_front();
    }
}

void HelperSession::EndWith(const std::string& errorText) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_capturing = false;
    if (m_errorText.empty())
        m_errorText = errorText;
}

// --- CaptureHelperClient -------------------------------------------------------------------

CaptureHelperClient::CaptureHelperClient(Options options) : m_options(std::move(options)) {}

CaptureHelperClient::~CaptureHelperClient() {
    Stop();
}

std::vector<HelperSession*> CaptureHelperClient::Sessions() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    std::vector<HelperSession*> sessions;
    for (const auto& session : m_sessions) sessions.push_back(session.get());
    return sessions;
}

pid_t CaptureHelperClient::HelperProcess() const {
    std::lock_guard<std::mutex> lock(m_processMutex);
    return m_pid;
}

bool CaptureHelperClient::HasEnded() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_ended;
}

std::string CaptureHelperClient::EndFault() const {
    std::lock_guard<std::mutex> lock(m_stateMutex);
    return m_endFault;
}

void CaptureHelperClient::MakeSessionsWithoutHelper(const std::string& errorText) {
    // Listing adapters needs no rights: the sessions the helper would have had each say why
    // they do not capture.
    std::lock_guard<std::mutex> lock(m_stateMutex);
    m_sessions.clear();
    for (const std::string& adapter : ListCaptureAdapters())
        m_sessions.push_back(std::make_unique<HelperSession>(adapter, errorText));
}

CaptureHelperClient::StartResult CaptureHelperClient::Start() {
    if (m_started)
        return StartResult::Failed;
    m_started = true;
    const std::string& path = m_options.helperPath;

    int toHelper[2] = {-1, -1};
    int fromHelper[2] = {-1, -1};
    if (pipe2(toHelper, O_CLOEXEC) != 0 || pipe2(fromHelper, O_CLOEXEC) != 0) {
        m_startError =
            std::string("cannot make a pipe to the capture helper: ") + std::strerror(errno);
        for (int& fd : toHelper) CloseIfOpen(fd);
        MakeSessionsWithoutHelper(m_startError);
        return StartResult::Failed;
    }
    for (int* fd : {&toHelper[0], &toHelper[1], &fromHelper[0], &fromHelper[1]})
        *fd = AboveStandard(*fd);
    fcntl(fromHelper[0], F_SETPIPE_SZ, kRecordPipeBytes);  // a smaller pipe works too

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toHelper[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromHelper[1], STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Its own process group: a terminal's interrupt reaches this process, which then stops the
    // helper in order (its statistics come last). Signals blocked or ignored here (the headless
    // watch blocks its stop signals) are not passed on.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, signal);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    std::vector<std::string> arguments = m_options.helperArguments;
    for (std::string& arg : CaptureHelperArguments(m_options.stream))
        arguments.push_back(std::move(arg));
    // The spool's folder: a descriptor of the helper's own at a number above the standard
    // three, passed on without close-on-exec (a dup2 onto itself clears it).
    int spoolFd = -1;
    if (m_options.spoolFolderFd >= 0 && m_options.stream.EngineRuns()) {
        spoolFd = fcntl(m_options.spoolFolderFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (spoolFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, spoolFd, spoolFd);
            arguments.insert(arguments.end(), {"--spool-fd", std::to_string(spoolFd)});
            if (m_options.spoolLimitBytes != 0)
                arguments.insert(arguments.end(),
                                 {"--spool-bytes", std::to_string(m_options.spoolLimitBytes)});
        }
    }
    for (const std::string& arg : arguments) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    // The helper gets no environment. Only a sanitizer build (a test build) passes its
    // runtime's options on, so that a fault found in the helper fails the test that started it.
    std::vector<std::string> environment;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name))
            environment.push_back(std::string(name) + "=" + value);
    }
#endif
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(toHelper[0]);
    close(fromHelper[1]);
    CloseIfOpen(spoolFd);
    if (spawned != 0) {
        close(toHelper[1]);
        close(fromHelper[0]);
        StartResult result = StartResult::Failed;
        if (spawned == EACCES || spawned == EPERM) {
            result = StartResult::NotPermitted;
            m_startError = "no rights to run the capture helper " + path +
                           " (members of the group " + kCaptureGroup + " have them)";
        } else if (spawned == ENOENT) {
            m_startError = "the capture helper " + path + " is missing";
        } else {
            m_startError =
                "cannot start the capture helper " + path + ": " + std::strerror(spawned);
        }
        MakeSessionsWithoutHelper(m_startError);
        return result;
    }
    {
        std::lock_guard<std::mutex> lock(m_processMutex);
        m_pid = pid;
    }
    {
        std::lock_guard<std::mutex> lock(m_commandMutex);
        m_toHelper = toHelper[1];
        // Commands never block this side for long: a full pipe is waited on with a bound.
        fcntl(m_toHelper, F_SETFL, fcntl(m_toHelper, F_GETFL) | O_NONBLOCK);
    }
    m_fromHelper = fromHelper[0];
    {
        const std::string header = RecordStreamHeader();
        std::lock_guard<std::mutex> lock(m_commandMutex);
        // Into an empty pipe: it fits.
        [[maybe_unused]] const ssize_t n = WriteToPipe(m_toHelper, header.data(), header.size());
    }
    try {
        m_reader = std::thread([this] { ReadRecords(); });
    } catch (const std::exception& failure) {
        Kill();
        Reap(std::chrono::milliseconds(0));
        CloseIfOpen(m_fromHelper);
        m_startError =
            std::string("cannot start the reader of the capture helper: ") + failure.what();
        MakeSessionsWithoutHelper(m_startError);
        return StartResult::Failed;
    }

    std::unique_lock<std::mutex> lock(m_stateMutex);
    const bool decided = m_stateChanged.wait_for(lock, m_options.startTimeout,
                                                 [this] { return m_listed || m_ended; });
    if (m_listed)
        return StartResult::Listed;
    lock.unlock();
    if (!decided) {
        m_startError = "the capture helper did not list its sessions within " +
                       std::to_string(m_options.startTimeout.count()) + " ms";
        Kill();
        lock.lock();
        m_stateChanged.wait(lock, [this] { return m_ended; });
        lock.unlock();
    }
    if (m_reader.joinable())
        m_reader.join();
    {
        std::lock_guard<std::mutex> commandLock(m_commandMutex);
        CloseIfOpen(m_toHelper);
    }
    if (m_startError.empty()) {
        m_startError = m_endFault.empty()
                           ? std::string("the capture helper ended before it listed its sessions")
                           : m_endFault;
    }
    MakeSessionsWithoutHelper(m_startError);
    return StartResult::Failed;
}

void CaptureHelperClient::SendCommand(const StreamMessage& command) {
    std::string frame;
    if (!EncodeMessage(command, frame))
        return;
    std::lock_guard<std::mutex> lock(m_commandMutex);
    if (m_toHelper < 0)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kCommandTimeout;
    std::string_view rest = frame;
    while (!rest.empty()) {
        const ssize_t n = WriteToPipe(m_toHelper, rest.data(), rest.size());
        if (n > 0) {
            rest.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (n < 0 && errno == EAGAIN && left.count() > 0) {
            pollfd writable{m_toHelper, POLLOUT, 0};
            poll(&writable, 1, static_cast<int>(left.count()));
            continue;
        }
        // The helper is gone (its reader sees that too) or takes no commands: it cannot go on
        // as the window expects, so it ends, and the reader gives its sessions the error.
        CloseIfOpen(m_toHelper);
        Kill();
        return;
    }
}

void CaptureHelperClient::ReadRecords() {
    RecordStreamDecoder decoder(StreamDirection::FromHelper);
    std::vector<char> buffer(64 << 10);
    std::string fault;
    bool endedEarly = false;  // the stream closed without its end
    bool anything = false;
    for (;;) {
        const ssize_t n = read(m_fromHelper, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fault =
                std::string("cannot read the capture helper's records: ") + std::strerror(errno);
            break;
        }
        if (n == 0) {
            if (!m_endSeen) {
                endedEarly = true;
                fault = anything && !decoder.AtMessageBoundary()
                            ? "the capture helper ended in the middle of a record"
                            : "the capture helper ended unexpectedly";
            }
            break;
        }
        anything = true;
        decoder.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        StreamMessage message;
        auto status = RecordStreamDecoder::Status::NeedMore;
        while (fault.empty() &&
               (status = decoder.Next(message)) == RecordStreamDecoder::Status::Message) {
            fault = Handle(message);
        }
        if (fault.empty() && status == RecordStreamDecoder::Status::Failed)
            fault = "the capture helper sent a garbled record stream: " + decoder.Failure();
        if (!fault.empty())
            break;
    }
    // A helper whose stream went wrong may still run: it ends now, whatever it does.
    if (!fault.empty())
        Kill();
    const std::string ending = Reap(fault.empty() ? kStopGrace : std::chrono::milliseconds(0));
    CloseIfOpen(m_fromHelper);
    if (endedEarly)
        fault += " (" + ending + ")";
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        for (const auto& session : m_listed ? m_sessions : m_announced) {
            if (fault.empty()) {
                std::lock_guard<std::mutex> sessionLock(session->m_mutex);
                session->m_capturing = false;
            } else {
                session->EndWith(fault);
            }
        }
        m_endFault = fault;
        m_ended = true;
    }
    m_stateChanged.notify_all();
    if (m_options.endCallback)
        m_options.endCallback();
}

std::string CaptureHelperClient::Handle(StreamMessage& message) {
    if (m_endSeen)
        return "the capture helper sent a record after its end";
    const auto session = [this](std::uint32_t index) -> HelperSession* {
        return index < m_sessions.size() ? m_sessions[index].get() : nullptr;
    };
    return std::visit(
        Overloaded{
            [&](SessionOpened& m) -> std::string {
                if (m_listed || m.session != m_announced.size() || m.session >= kMaxSessions)
                    return "the capture helper listed its sessions out of order";
                m_announced.push_back(std::unique_ptr<HelperSession>(
                    new HelperSession(this, m.session, std::move(m.adapterName), {})));
                return {};
            },
            [&](SessionFailed& m) -> std::string {
                if (m_listed || m.session != m_announced.size() || m.session >= kMaxSessions)
                    return "the capture helper listed its sessions out of order";
                if (m.errorText.empty())
                    m.errorText = "the adapter could not be opened";
                m_announced.push_back(std::unique_ptr<HelperSession>(new HelperSession(
                    this, m.session, std::move(m.adapterName), std::move(m.errorText))));
                return {};
            },
            [&](SessionsListed&) -> std::string {
                if (m_listed)
                    return "the capture helper listed its sessions twice";
                {
                    std::lock_guard<std::mutex> lock(m_stateMutex);
                    m_sessions = std::move(m_announced);
                    m_announced.clear();
                    m_listed = true;
                }
                m_stateChanged.notify_all();
                return {};
            },
            [&](MediaRecord& m) -> std::string {
                // Sessions are read here without the state lock: only this thread changes
                // the list, and only before this point.
                HelperSession* s = m_listed ? session(m.session) : nullptr;
                if (s == nullptr || !s->IsCapturing())
                    return "the capture helper sent a record of a session that does not capture";
                if (m_options.reportCallback != nullptr) {
                    try {
                        m_options.reportCallback(std::move(m.report));
                    } catch (...) {
                        // A failing receiver loses this record; the capture goes on.
                    }
                }
                return {};
            },
            [&](UrlIgnored& m) -> std::string {
                HelperSession* s = m_listed ? session(m.session) : nullptr;
                if (s == nullptr)
                    return "the capture helper told of an ignored URL of no session";
                std::lock_guard<std::mutex> lock(s->m_mutex);
                s->ForgetUsedLocked(m.url);
                return {};
            },
            [&](IgnoreEntriesDropped& m) -> std::string {
                HelperSession* s = m_listed ? session(m.session) : nullptr;
                if (s == nullptr)
                    return "the capture helper told of dropped ignore entries of no session";
                std::lock_guard<std::mutex> lock(s->m_mutex);
                s->ForgetOldestLocked(m.count);
                return {};
            },
            [&](Notice& m) -> std::string {
                if (m_options.noticeCallback) {
                    try {
                        m_options.noticeCallback(m.text);
                    } catch (...) {
                    }
                }
                return {};
            },
            [&](SessionStatistics& m) -> std::string {
                HelperSession* s = m_listed ? session(m.session) : nullptr;
                if (s == nullptr)
                    return "the capture helper sent statistics of no session";
                std::lock_guard<std::mutex> lock(s->m_mutex);
                s->m_statistics = m.statistics;
                return {};
            },
            [&](StreamEnd&) -> std::string {
                if (!m_listed)
                    return "the capture helper ended before it listed its sessions";
                m_endSeen = true;
                return {};
            },
            [&](CopyChanged& m) -> std::string {
                if (m_options.copyCallback) {
                    try {
                        m_options.copyCallback(m.status);
                    } catch (...) {
                    }
                }
                return {};
            },
            [&](IgnoreCommand&) -> std::string { return "a command from the capture helper"; },
            [&](StopCommand&) -> std::string { return "a command from the capture helper"; },
            [&](DiscardCopyCommand&) -> std::string {
                return "a command from the capture helper";
            },
        },
        message);
}

void CaptureHelperClient::Kill() {
    std::lock_guard<std::mutex> lock(m_processMutex);
    if (m_pid > 0)
        kill(m_pid, SIGKILL);
}

std::string CaptureHelperClient::Reap(std::chrono::milliseconds grace) {
    pid_t pid;
    {
        std::lock_guard<std::mutex> lock(m_processMutex);
        pid = m_pid;
    }
    if (pid <= 0)
        return "not running";
    // Wait without reaping, so that the id stays the helper's while Kill may still use it.
    const auto deadline = std::chrono::steady_clock::now() + grace;
    siginfo_t info{};
    for (;;) {
        info.si_pid = 0;
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            Kill();
            while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
                   errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int status = 0;
    std::lock_guard<std::mutex> lock(m_processMutex);
    const pid_t reaped = waitpid(pid, &status, 0);
    m_pid = -1;
    return reaped == pid ? ExitText(status) : "not a child";
}

void CaptureHelperClient::DiscardCopy(std::uint64_t copyId) {
    if (copyId != 0 && m_options.spoolFolderFd >= 0)
        SendCommand(DiscardCopyCommand{copyId});
}

void CaptureHelperClient::Stop() {
    if (!m_reader.joinable())
        return;
    SendCommand(StopCommand{});
    {
        std::lock_guard<std::mutex> lock(m_commandMutex);
        CloseIfOpen(m_toHelper);  // and its input ends
    }
    std::unique_lock<std::mutex> lock(m_stateMutex);
    if (!m_stateChanged.wait_for(lock, kStopGrace + kStopGrace, [this] { return m_ended; })) {
        lock.unlock();
        Kill();
    } else {
        lock.unlock();
    }
    m_reader.join();
}
