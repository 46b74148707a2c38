// The capture helper as the program that starts it sees it: the helper runs as a child process
// that alone holds capture rights; this side holds none. It starts the helper, takes the
// sessions the helper lists, hands each media record to the report callback, and forwards the
// sessions' ignore commands. A helper that cannot be started, dies or sends a garbled stream
// ends its sessions with an error text; it never ends this process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/PacketSniffer.h"
#include "helper/RecordStream.h"
#include "streams/StreamOptions.h"

inline constexpr const char* kCaptureHelperName = "pelnix-capture";
// The group whose members may run the installed helper.
inline constexpr const char* kCaptureGroup = "pelnix";

// In a build tree, the folder beside the programs where the set-up puts the copy of the
// capture helper that holds the capture rights (root's, like the folder; the built helper stays
// the user's and holds none).
inline constexpr const char* kGrantedHelperFolder = "rights";

// The capture helper for a program in `programFolder`. In a build tree (a helper beside the
// program): the set-up's granted copy of it while the copy has the built helper's size and
// modification time, else the built one. Otherwise the one the package installs, reached from
// the program's folder so that any installation prefix works.
std::string FindCaptureHelper(const std::string& programFolder);

// The helper's options that ask for `stream`: none for the packet rules alone; otherwise
// --rules, --keylog (an absolute path) and --budget in bytes, as far as they differ from the
// defaults.
std::vector<std::string> CaptureHelperArguments(const StreamOptions& stream);

// What a user who may not run the helper at `helperPath` is told: what is missing and how to
// fix it.
std::string CaptureNotPermittedText(const std::string& helperPath);

class CaptureHelperClient;

// One capture session running in the helper, as this side sees it. Thread-safe.
class HelperSession {
public:
    // A session that reached no helper: it captures nothing and says why.
    HelperSession(std::string adapterName, std::string errorText);

    HelperSession(const HelperSession&) = delete;
    HelperSession& operator=(const HelperSession&) = delete;

    const std::string& AdapterName() const { return m_adapterName; }
    // Whether the helper's session captures now.
    bool IsCapturing() const;
    // Why the session does not capture (could not open, or the helper failed); empty while it
    // captures and after a clean stop.
    std::string ErrorText() const;

    // The next `count` sightings of `url` (without scheme) on this session are not reported.
    // Kept here too while the helper does not capture (it died, or never ran), so that a new
    // helper's session on the same adapter can take the entries over.
    void IgnoreUrl(const std::string& url, int count);
    // The entries of the session's ignore list: those sent to the helper that it has neither
    // used on a sighting nor let go as the oldest (it tells both), and those kept while it
    // does not capture.
    std::size_t IgnoreListSize() const;
    // Those entries, oldest first, as runs of one URL and its count.
    std::vector<std::pair<std::string, std::size_t>> IgnoreEntries() const;
    // The capture library's counts, once the helper stopped the session.
    CaptureStatistics Statistics() const;

private:
    friend class CaptureHelperClient;
    HelperSession(CaptureHelperClient* client, std::uint32_t index, std::string adapterName,
                  std::string errorText);
    void EndWith(const std::string& errorText);
    // With m_mutex held: the entry the helper used on a sighting of `url`, and its oldest
    // `count` entries, which it let go.
    void ForgetUsedLocked(const std::string& url);
    void ForgetOldestLocked(std::size_t count);

    CaptureHelperClient* m_client = nullptr;
    std::uint32_t m_index = 0;
    const std::string m_adapterName;
    mutable std::mutex m_mutex;
    bool m_capturing = false;
    std::string m_errorText;
    // The ignore list as this side knows it, in the helper's order: runs of one URL.
    struct IgnoreRun {
        std::string url;
        std::size_t count = 0;
    };
    std::deque<IgnoreRun> m_ignoreRuns;
    std::size_t m_ignoreEntries = 0;  // the sum of the runs' counts
    CaptureStatistics m_statistics;
};

// The sessions the window captures with; filled and emptied by the window on the GUI thread,
// walked by its Preview and Download actions to ignore the program's own requests.
extern std::vector<HelperSession*> g_captureSessions;

class CaptureHelperClient {
public:
    struct Options {
        // The program to start (FindCaptureHelper) and the options passed to it.
        std::string helperPath;
        std::vector<std::string> helperArguments;
        // The stream engine in the helper: which rules read plain HTTP, the TLS key log (an
        // absolute path; it may not exist yet: the helper follows it as it appears and grows)
        // and the budget. Passed on after helperArguments (CaptureHelperArguments).
        StreamOptions stream;
        // Each media record, on the reader thread.
        ReportCallback reportCallback = nullptr;
        // Each notice of the helper (a line for the user about the capture as a whole, such as
        // kQuicNotice once HTTP/3 was seen), on the reader thread.
        std::function<void(const std::string& text)> noticeCallback;
        // Once, on the reader thread, when the helper's stream has ended, cleanly or not
        // (EndFault tells which); also after Stop.
        std::function<void()> endCallback;
        // How long the helper may take to list its sessions.
        std::chrono::milliseconds startTimeout{10000};
        // The capture spool (with the stream engine): a private folder of this user's, open,
        // that the helper writes its copies of listed media into (it gets a descriptor of its
        // own, --spool-fd, and no other right), and their size limit. -1: no copies.
        int spoolFolderFd = -1;
        std::uint64_t spoolLimitBytes = 0;
        // Each change of a copy's state, on the reader thread.
        std::function<void(const CopyStatus& status)> copyCallback;
    };

    enum class StartResult {
        Listed,        // the helper runs and listed its sessions
        NotPermitted,  // this user may not run the helper (not in its group)
        Failed,        // no helper, or it failed before listing its sessions
    };

    explicit CaptureHelperClient(Options options);
    // Stops the helper (see Stop).
    ~CaptureHelperClient();

    CaptureHelperClient(const CaptureHelperClient&) = delete;
    CaptureHelperClient& operator=(const CaptureHelperClient&) = delete;

    // Starts the helper and waits (at most the start time-out) until it has listed its
    // sessions. When it cannot, every usable adapter gets a session that says why. Once only.
    StartResult Start();
    // Why the start failed; empty after a good start.
    const std::string& StartError() const { return m_startError; }
    // The sessions, in the helper's order; owned by the client, valid until it goes.
    std::vector<HelperSession*> Sessions() const;
    // The helper's process id while it runs (for its /proc entry); -1 otherwise.
    pid_t HelperProcess() const;
    // Whether the helper's stream has ended (its end callback is due or done).
    bool HasEnded() const;
    // Once the helper's stream has ended: why, when it did not end cleanly (the helper died,
    // or its stream went wrong); empty otherwise.
    std::string EndFault() const;

    // Asks the helper to stop and waits for its statistics and its end, for at most a few
    // seconds before it is killed. The sessions keep their state. From the owning thread.
    void Stop();
    // Deletes a copy in the spool: its entry was refused or left the list. Any thread.
    void DiscardCopy(std::uint64_t copyId);

private:
    friend class HelperSession;
    // Sends a command; a helper that does not take it within a bounded time is killed.
    void SendCommand(const StreamMessage& command);
    void ReadRecords();
    // Handles one message; gives a fault text when the message does not fit the stream.
    std::string Handle(StreamMessage& message);
    void Kill();
    // Reaps the helper (waiting at most `grace` before killing it); gives how it ended.
    std::string Reap(std::chrono::milliseconds grace);
    void MakeSessionsWithoutHelper(const std::string& errorText);

    Options m_options;
    bool m_started = false;
    std::string m_startError;

    mutable std::mutex m_processMutex;
    pid_t m_pid = -1;  // until reaped; guarded by m_processMutex

    std::mutex m_commandMutex;
    int m_toHelper = -1;  // guarded by m_commandMutex
    int m_fromHelper = -1;
    std::thread m_reader;

    // Guarded by m_stateMutex: the reader thread's progress, waited for by Start and Stop.
    mutable std::mutex m_stateMutex;
    std::condition_variable m_stateChanged;
    bool m_listed = false;
    bool m_ended = false;
    std::string m_endFault;  // why the stream ended, when it did not end cleanly
    std::vector<std::unique_ptr<HelperSession>> m_sessions;

    // Reader thread only: the sessions announced so far, and whether the end was told.
    std::vector<std::unique_ptr<HelperSession>> m_announced;
    bool m_endSeen = false;
};
