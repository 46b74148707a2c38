#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "converter/CConsoleRunner.h"
#include "converter/CProcessKiller.h"
#include "converter/ConverterTestSupport.h"

extern char** environ;

using namespace std::chrono_literals;
using convtest::TempFolder;

namespace {

// A process of the same name as the converter, started outside any runner.
class Decoy {
public:
    Decoy() {
        const char* argv[] = {"sleep", "30", nullptr};
        if (::posix_spawnp(&m_pid, "sleep", nullptr, nullptr, const_cast<char* const*>(argv),
                           environ) != 0) {
            m_pid = -1;
        }
    }
    ~Decoy() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

std::shared_ptr<CConsoleRunner> StartScript(const TempFolder& dir, const std::string& text) {
    const std::string script = dir / "converter.bat";
    convtest::WriteFile(script, text);
    auto runner = std::make_shared<CConsoleRunner>();
    if (runner->Start(script) != CConsoleRunner::kStarted)
        return nullptr;
    return runner;
}

// Waits until the group has at least `count` live processes (the shell and what it started).
bool WaitForMembers(pid_t group, std::size_t count) {
    for (int i = 0; i < 500; ++i) {
        if (CProcessKiller::LiveMembersOfGroup(group).size() >= count)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

struct KillCase {
    const char* name;
    const char* script;
    std::chrono::milliseconds closeWait;
    std::chrono::milliseconds atLeast;  // how long the kill must have waited
};

class KillTest : public ::testing::TestWithParam<KillCase> {};

// Test listings name a case rather than dump its bytes.
void PrintTo(const KillCase& c, std::ostream* os) { *os << c.name; }

}  // namespace

// Asks, waits at most the close wait, terminates: the whole group ends and another program's
// process of the same name keeps running.
TEST_P(KillTest, EndsTheRunsGroupOnly) {
    const KillCase& c = GetParam();
    Decoy decoy;
    ASSERT_GT(decoy.Pid(), 0);
    TempFolder dir;
    const auto runner = StartScript(dir, c.script);
    ASSERT_TRUE(runner);
    const pid_t group = runner->ProcessGroup();
    ASSERT_TRUE(WaitForMembers(group, 2));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(CProcessKiller(c.closeWait).KillConverter(*runner));
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_TRUE(CProcessKiller::LiveMembersOfGroup(group).empty());
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.closeWait + 3s);
    EXPECT_FALSE(runner->IsRunning());
    EXPECT_TRUE(convtest::ProcessAlive(decoy.Pid()));
    // The shell was reaped: the group can no longer be signalled through this runner.
    EXPECT_FALSE(runner->SignalProcessGroup(0));
}

INSTANTIATE_TEST_SUITE_P(Converters, KillTest,
                         ::testing::Values(
                             // Ends when asked: no need to wait out the close wait.
                             KillCase{"EndsWhenAsked", "sleep 30 &\nwait\n", 5000ms, 0ms},
                             // Ignores the request (an ignored signal stays ignored in the child):
                             // terminated after the close wait.
                             KillCase{"IgnoresTheRequest", "trap '' TERM\nsleep 30 &\nwait\n",
                                      300ms, 300ms}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProcessKiller, NothingToStopWithoutARun) {
    CConsoleRunner never;
    EXPECT_FALSE(CProcessKiller(100ms).KillConverter(never));
    EXPECT_TRUE(CProcessKiller::LiveMembersOfGroup(0).empty());
}
