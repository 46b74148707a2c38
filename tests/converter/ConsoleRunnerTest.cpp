#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "converter/CConsoleRunner.h"
#include "converter/ConverterOutput.h"
#include "converter/ConverterTestSupport.h"

using namespace std::chrono_literals;
using convtest::TempFolder;

namespace {

// Records every delivery, and notes anything out of protocol.
class RecordingRunner : public CConsoleRunner {
public:
    std::vector<std::string> Chunks() {
        std::lock_guard lock(m_mutex);
        return m_chunks;
    }
    std::string Joined() {
        std::string all;
        for (const auto& c : Chunks()) all += c;
        return all;
    }
    void ResetDone() {
        std::lock_guard lock(m_mutex);
        m_done = 0;
        m_chunks.clear();
    }
    int DoneCount() {
        std::lock_guard lock(m_mutex);
        return m_done;
    }
    bool ProtocolBroken() {
        std::lock_guard lock(m_mutex);
        return m_broken;
    }
    bool WaitDone(std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] { return m_done > 0; });
    }

protected:
    void OnOutput(const char* text, std::size_t length) override {
        {
            std::lock_guard lock(m_mutex);
            if (text) {
                // Chunks come NUL-terminated, bounded, and never after the end.
                if (m_done || length == 0 || length > kRunnerChunkBytes || text[length] != '\0') {
                    m_broken = true;
                }
                m_chunks.emplace_back(text, length);
            } else {
                ++m_done;
            }
            m_changed.notify_all();
        }
        if (!text && slowEnd)
            std::this_thread::sleep_for(30ms);
    }

public:
    std::atomic<bool> slowEnd{false};

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_chunks;
    int m_done = 0;
    bool m_broken = false;
};

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

struct ScriptCase {
    const char* name;
    std::string script;
    std::string expected;
    std::size_t minChunks;
};

class RunnerOutputTest : public ::testing::TestWithParam<ScriptCase> {};

// Test listings name a case rather than dump its bytes.
void PrintTo(const ScriptCase& c, std::ostream* os) {
    *os << c.name;
}

std::string NumberedLines(int count) {
    std::string text;
    char line[32];
    for (int i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "line %05d\n", i);
        text += line;
    }
    return text;
}

}  // namespace

// What the command writes arrives whole, in order, in bounded chunks, then the end exactly once.
TEST_P(RunnerOutputTest, DeliversEverythingInOrderThenEndsOnce) {
    const ScriptCase& c = GetParam();
    TempFolder dir;
    const std::string script = dir / "run.bat";
    convtest::WriteFile(script, c.script);

    const auto runner = std::make_shared<RecordingRunner>();
    ASSERT_EQ(runner->Start(script), CConsoleRunner::kStarted);
    ASSERT_TRUE(runner->WaitDone());
    ASSERT_TRUE(WaitUntil([&] { return runner->IsClosed(); }));
    EXPECT_EQ(runner->Joined(), c.expected);
    EXPECT_GE(runner->Chunks().size(), c.minChunks);
    EXPECT_FALSE(runner->ProtocolBroken());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(runner->DoneCount(), 1);
    EXPECT_FALSE(runner->IsRunning());
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RunnerOutputTest,
    ::testing::Values(
        ScriptCase{"WritesNothing", "true\n", "", 0},
        ScriptCase{"LongerThanOneChunk",
                   "i=0\nwhile [ $i -lt 3000 ]; do printf 'line %05d\\n' $i; i=$((i+1)); done\n",
                   NumberedLines(3000), 2},
        // Standard error shares the pipe and keeps the order the child wrote in.
        ScriptCase{"ErrorAndOutputInterleaved",
                   "echo out1\necho err1 >&2\necho out2\nsleep 0.05\necho err2 >&2\necho out3\n",
                   "out1\nerr1\nout2\nerr2\nout3\n", 1},
        // A program that inherited the pipe keeps the output open after the shell has ended.
        ScriptCase{"BackgroundChildHoldsThePipe", "(sleep 0.3; echo late) &\necho early\n",
                   "early\nlate\n", 1},
        // The program ignores SIGPIPE; a child must start with the default, or `yes` would
        // complain about the broken pipe instead of ending quietly.
        ScriptCase{"ChildGetsDefaultSignals", "yes | head -c 6\n", "y\ny\ny\n", 1},
        // Non-ASCII bytes pass through unchanged (the text is UTF-8).
        ScriptCase{"Utf8Bytes", "printf 'caf\\303\\251 \\342\\202\\254\\n'\n",
                   "caf\xC3\xA9 \xE2\x82\xAC\n", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConsoleRunner, EmptyCommandStartsNothing) {
    const auto runner = std::make_shared<RecordingRunner>();
    EXPECT_EQ(runner->Start(""), CConsoleRunner::kNotStarted);
    EXPECT_FALSE(runner->IsRunning());
    EXPECT_FALSE(runner->IsClosed());
    EXPECT_EQ(runner->ProcessGroup(), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(runner->DoneCount(), 0);  // no reader thread was started
}

TEST(ConsoleRunner, SecondStartWhileRunningLeavesTheRunAlone) {
    TempFolder dir;
    const std::string script = dir / "slow.bat";
    convtest::WriteFile(script, "sleep 0.4\necho finished\n");
    const std::string other = dir / "other.bat";
    convtest::WriteFile(other, "echo intruder\n");

    const auto runner = std::make_shared<RecordingRunner>();
    ASSERT_EQ(runner->Start(script), CConsoleRunner::kStarted);
    const pid_t group = runner->ProcessGroup();
    EXPECT_EQ(runner->Start(other), CConsoleRunner::kBusy);
    EXPECT_EQ(runner->ProcessGroup(), group);
    EXPECT_TRUE(runner->IsRunning());
    ASSERT_TRUE(runner->WaitDone());
    EXPECT_EQ(runner->Joined(), "finished\n");
    EXPECT_EQ(runner->DoneCount(), 1);
}

// A new run can start as soon as the last one has fully ended, never while it is still letting
// go of its pipes (which would close the new run's). A slow end handler widens that moment.
TEST(ConsoleRunner, RunsAgainRightAfterTheEnd) {
    TempFolder dir;
    const std::string first = dir / "first.bat";
    const std::string second = dir / "second.bat";
    convtest::WriteFile(first, "echo first\n");
    convtest::WriteFile(second, "sleep 0.3\necho second\n");
    const auto runner = std::make_shared<RecordingRunner>();
    runner->slowEnd = true;
    for (int round = 0; round < 3; ++round) {
        runner->ResetDone();
        while (runner->Start(first) == CConsoleRunner::kBusy) std::this_thread::yield();
        ASSERT_TRUE(runner->WaitDone());
        runner->ResetDone();
        int result;
        while ((result = runner->Start(second)) == CConsoleRunner::kBusy) {
            std::this_thread::yield();
        }
        ASSERT_EQ(result, CConsoleRunner::kStarted);
        // Past the moment the first run's end would have released things: the second run
        // is still running and still open.
        std::this_thread::sleep_for(60ms);
        EXPECT_TRUE(runner->IsRunning());
        EXPECT_FALSE(runner->IsClosed());
        ASSERT_TRUE(runner->WaitDone());
        EXPECT_EQ(runner->Joined(), "second\n");
    }
}

// The starter may let go at once: the reader thread finishes the run, releases the runner, and
// the shell leaves no zombie behind.
TEST(ConsoleRunner, ReaderKeepsTheRunnerAliveAndReapsOnRelease) {
    TempFolder dir;
    const std::string script = dir / "short.bat";
    convtest::WriteFile(script, "sleep 0.1\necho bye\n");
    auto runner = std::make_shared<RecordingRunner>();
    const std::weak_ptr<RecordingRunner> watch = runner;
    ASSERT_EQ(runner->Start(script), CConsoleRunner::kStarted);
    const pid_t pid = runner->ProcessGroup();
    runner.reset();
    EXPECT_FALSE(watch.expired());
    ASSERT_TRUE(WaitUntil([&] { return watch.expired(); }));
    EXPECT_TRUE(WaitUntil([&] { return !convtest::Exists("/proc/" + std::to_string(pid)); }));
}

// A runner not owned by a shared pointer cannot share itself with a reader thread.
TEST(ConsoleRunner, RefusesToStartWithoutSharedOwnership) {
    TempFolder dir;
    const std::string script = dir / "x.bat";
    convtest::WriteFile(script, "echo hi\n");
    RecordingRunner runner;
    EXPECT_EQ(runner.Start(script), CConsoleRunner::kBusy);
    EXPECT_EQ(runner.ProcessGroup(), 0);
}

// The script path is one argument: nothing in it is expanded.
TEST(ConsoleRunner, ScriptPathIsNeverParsedByAShell) {
    TempFolder dir;
    // A marker without a folder: an injected command would create it in the working folder.
    const std::string marker = "pelnix-injected-" + std::to_string(::getpid());
    const std::string nasty = dir / ("-a $(touch " + marker + ") `touch " + marker +
                                     "` 'q\" ; touch " + marker + " .bat");
    convtest::WriteFile(nasty, "echo ran\n");
    const auto runner = std::make_shared<RecordingRunner>();
    ASSERT_EQ(runner->Start(nasty), CConsoleRunner::kStarted);
    ASSERT_TRUE(runner->WaitDone());
    EXPECT_EQ(runner->Joined(), "ran\n");
    EXPECT_FALSE(convtest::Exists(marker));
}

// How a run ended, for the failure report: an exit status is told from a signal (a status of
// 137 is not a SIGKILL).
TEST(ConsoleRunner, TellsAnExitStatusFromASignal) {
    TempFolder dir;
    struct Case {
        const char* script;
        bool signalled;
        int value;
        int exitStatus;
        const char* text;
    } cases[] = {
        {"exit 3\n", false, 3, 3, "exit status 3"},
        {"exit 137\n", false, 137, 137, "exit status 137"},
        {"kill -KILL $$\n", true, SIGKILL, 128 + SIGKILL, "killed by signal SIGKILL"},
        {"kill -SEGV $$\n", true, SIGSEGV, 128 + SIGSEGV, "killed by signal SIGSEGV"},
    };
    for (const Case& c : cases) {
        const std::string script = dir / "end.bat";
        convtest::WriteFile(script, c.script);
        const auto runner = std::make_shared<RecordingRunner>();
        ASSERT_EQ(runner->Start(script), CConsoleRunner::kStarted);
        ASSERT_TRUE(WaitUntil([&] { return runner->ReapIfExited(); }));
        const std::optional<RunEnding> ending = runner->Ending();
        ASSERT_TRUE(ending) << c.script;
        EXPECT_EQ(ending->signalled, c.signalled) << c.script;
        EXPECT_EQ(ending->value, c.value) << c.script;
        EXPECT_EQ(runner->ExitStatus(), c.exitStatus) << c.script;
        EXPECT_EQ(RunEndingText(*ending), c.text);
    }
    EXPECT_EQ(RunEndingText(RunEnding{true, 1000}), "killed by signal 1000");
}
