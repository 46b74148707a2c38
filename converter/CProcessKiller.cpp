#include "converter/CProcessKiller.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <thread>

#include "base/Text.h"
#include "converter/CConsoleRunner.h"

namespace {

// Poll step while waiting for the group to end: short enough to notice the end at once, long
// enough not to burn a core during the (at most) five-second wait.
constexpr std::chrono::milliseconds kPollStep{10};
// After SIGKILL the group ends within a scheduler tick or two; do not wait for ever regardless.
constexpr std::chrono::milliseconds kKillWait{2000};

// Reads /proc/<pid>/stat and returns its state letter and process group; false when gone.
bool ReadStat(const char* pidText, char& state, long& pgrp) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pidText);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[1024];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    const std::string_view text(buffer, static_cast<std::size_t>(n));
    // The command name may hold blanks and parentheses: the fields start after the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string_view::npos || close + 4 >= text.size())
        return false;
    std::string_view rest = text.substr(close + 2);  // "S ppid pgrp ..."
    state = rest[0];
    rest.remove_prefix(2);
    const auto blank = rest.find(' ');
    if (blank == std::string_view::npos)
        return false;
    rest.remove_prefix(blank + 1);  // past ppid
    const auto end = rest.find(' ');
    const std::optional<std::uint64_t> group = ParseDecimal(rest.substr(0, end));
    if (!group || *group > static_cast<std::uint64_t>(std::numeric_limits<long>::max()))
        return false;
    pgrp = static_cast<long>(*group);
    return true;
}

// Zombies (and the dead) keep their group entry until reaped but no longer run.
bool IsLiveState(char state) {
    return state != 'Z' && state != 'X' && state != 'x';
}

}  // namespace

std::vector<pid_t> CProcessKiller::LiveMembersOfGroup(pid_t pgid) {
    std::vector<pid_t> members;
    if (pgid <= 0)
        return members;
    DIR* dir = ::opendir("/proc");
    if (!dir)
        return members;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] < '0' || name[0] > '9')
            continue;
        char state = 0;
        long pgrp = 0;
        if (!ReadStat(name, state, pgrp) || pgrp != pgid)
            continue;
        if (!IsLiveState(state))
            continue;
        members.push_back(static_cast<pid_t>(std::atol(name)));
    }
    ::closedir(dir);
    return members;
}

bool CProcessKiller::WaitGroupGone(pid_t pgid, std::chrono::steady_clock::time_point deadline,
                                   const WaitStep& step) {
    // Watch the members found by one scan of /proc (cheap: one small file each per step), and
    // scan again only when they are all gone, in case one started another before it ended.
    std::vector<pid_t> members = LiveMembersOfGroup(pgid);
    for (;;) {
        std::erase_if(members, [pgid](pid_t pid) { return !IsLiveMember(pid, pgid); });
        if (members.empty()) {
            members = LiveMembersOfGroup(pgid);
            if (members.empty())
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (step) {
            step(kPollStep);
        } else {
            std::this_thread::sleep_for(kPollStep);
        }
    }
}

bool CProcessKiller::IsLiveMember(pid_t pid, pid_t pgid) {
    char pidText[32];
    std::snprintf(pidText, sizeof pidText, "%d", static_cast<int>(pid));
    char state = 0;
    long pgrp = 0;
    return ReadStat(pidText, state, pgrp) && pgrp == pgid && IsLiveState(state);
}

bool CProcessKiller::KillConverter(CConsoleRunner& runner) const {
    const pid_t pgid = runner.ProcessGroup();
    if (pgid <= 0)
        return false;
    // The runner refuses to signal once its shell is reaped, so the group number can never
    // belong to another program here.
    if (!runner.SignalProcessGroup(SIGTERM))
        return false;
    bool ended = WaitGroupGone(pgid, std::chrono::steady_clock::now() + m_closeWait, m_waitStep);
    if (!ended) {
        ended = runner.SignalProcessGroup(SIGKILL);
        WaitGroupGone(pgid, std::chrono::steady_clock::now() + kKillWait, m_waitStep);
    }
    runner.ReapIfExited();
    return ended;
}

void CProcessKiller::StopAllRuns(std::chrono::milliseconds closeWait) {
    const std::vector<pid_t> groups = RunningGroups();
    if (groups.empty())
        return;
    SignalRunningGroups(SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + closeWait;
    for (const pid_t group : groups) WaitGroupGone(group, deadline, {});
    // What did not close in time is terminated. Only listed groups are signalled: their shells
    // are unreaped, so the numbers are still theirs.
    SignalRunningGroups(SIGKILL);
    for (const pid_t group : groups)
        WaitGroupGone(group, std::chrono::steady_clock::now() + kKillWait, {});
}
