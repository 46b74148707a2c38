// Stops the converter that a cancelled conversion left running. The converter is whatever the
// runner's shell started: the run's own process group. Another program's converter, even one of
// the same name, is never touched.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <vector>

class CConsoleRunner;

class CProcessKiller {
public:
    static constexpr std::chrono::milliseconds kDefaultCloseWait{5000};
    // Spends one short step of a wait; the default sleeps. The GUI thread passes one that runs
    // its event loop meanwhile, so that the window keeps answering.
    using WaitStep = std::function<void(std::chrono::milliseconds step)>;

    explicit CProcessKiller(std::chrono::milliseconds closeWait = kDefaultCloseWait,
                            WaitStep waitStep = {})
        : m_closeWait(closeWait), m_waitStep(std::move(waitStep)) {}

    // Asks every process of the runner's group to close (SIGTERM), waits at most the close wait
    // for all of them to end, then terminates what is left (SIGKILL) and reaps the shell.
    // True when a running group was found and ended within the wait or was terminated; false
    // when the runner has no process group to stop. The wait is bounded and spent in steps.
    bool KillConverter(CConsoleRunner& runner) const;

    // The same for every run of the program that has not been reaped (RunningGroups): for the
    // program's own end. Sleeps while it waits.
    static void StopAllRuns(std::chrono::milliseconds closeWait = kDefaultCloseWait);

    // The processes of group `pgid` that have not exited (zombies excluded), read from /proc.
    static std::vector<pid_t> LiveMembersOfGroup(pid_t pgid);

private:
    // Waits until group `pgid` has no live member or `deadline` passes; true when it emptied.
    static bool WaitGroupGone(pid_t pgid, std::chrono::steady_clock::time_point deadline,
                              const WaitStep& step);
    // True while `pid` runs (not a zombie) and still belongs to group `pgid`.
    static bool IsLiveMember(pid_t pid, pid_t pgid);

    std::chrono::milliseconds m_closeWait;
    WaitStep m_waitStep;
};
