#include "converter/VideoFrame.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "converter/ConverterOutput.h"
#include "mediarules/MediaSignatures.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kPngSignature = "\x89PNG\r\n\x1a\n";

// Starts `argv` in a process group of its own with default signal dispositions, no standard
// input, its output on `outputFd` and its messages discarded; -1 when it cannot start.
pid_t Spawn(const std::vector<std::string>& arguments, int outputFd) {
    const int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nullFd < 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        ::close(nullFd);
        return -1;
    }
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        ::close(nullFd);
        return -1;
    }
    sigset_t defaults, empty;
    sigfillset(&defaults);
    sigemptyset(&empty);
    // Both descriptors are above 2 here (the standard ones are open), so dup2 drops close-on-exec.
    const bool ok = posix_spawn_file_actions_adddup2(&actions, nullFd, STDIN_FILENO) == 0 &&
                    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO) == 0 &&
                    posix_spawn_file_actions_adddup2(&actions, nullFd, STDERR_FILENO) == 0 &&
                    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0 &&
                    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                        POSIX_SPAWN_SETSIGMASK) == 0 &&
                    posix_spawnattr_setpgroup(&attr, 0) == 0 &&
                    posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
                    posix_spawnattr_setsigmask(&attr, &empty) == 0;
    pid_t pid = -1;
    if (ok) {
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ) != 0)
            pid = -1;
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(nullFd);
    return pid;
}

// Kills the converter's group and reaps it.
void Kill(pid_t pid) {
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Runs the converter once; its whole output when it exited with status 0, else nothing.
std::optional<std::string> RunOnce(const std::vector<std::string>& arguments,
                                   const std::atomic<bool>& stop, Clock::time_point deadline) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::nullopt;
    // Spawn dup2s the write end onto 1; it must not be 0, 1 or 2 itself.
    if (pipeFds[1] <= STDERR_FILENO || pipeFds[0] <= STDERR_FILENO) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return std::nullopt;
    }
    const pid_t pid = Spawn(arguments, pipeFds[1]);
    ::close(pipeFds[1]);
    if (pid < 0) {
        ::close(pipeFds[0]);
        return std::nullopt;
    }
    std::string output;
    char buffer[65536];
    bool failed = false;
    for (;;) {
        if (stop.load() || Clock::now() >= deadline) {
            failed = true;
            break;
        }
        pollfd entry{pipeFds[0], POLLIN, 0};
        const int ready = ::poll(&entry, 1, 50);
        if (ready < 0 && errno != EINTR) {
            failed = true;
            break;
        }
        if (ready <= 0)
            continue;
        const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            break;  // the end of the output (or an error reading it)
        if (output.size() + static_cast<std::size_t>(got) > kVideoFrameLimit) {
            failed = true;
            break;
        }
        output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    if (failed) {
        Kill(pid);
        return std::nullopt;
    }
    // The output has ended; the converter exits a moment later, within the same time.
    int status = 0;
    for (;;) {
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped == pid)
            break;
        if (reaped < 0 && errno != EINTR)
            return std::nullopt;
        if (stop.load() || Clock::now() >= deadline) {
            Kill(pid);
            return std::nullopt;
        }
        ::usleep(10000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return output;
}

}  // namespace

std::string GrabVideoFrame(const std::string& ffmpegExe, const std::string& inputPath,
                           std::string_view type, int width, const std::atomic<bool>& stop,
                           std::chrono::milliseconds limit) {
    if (ffmpegExe.empty() || inputPath.empty() || width <= 0)
        return {};
    const Clock::time_point deadline = Clock::now() + limit;
    const std::vector<std::string> input =
        LocalInputArguments(ReadFileStart(inputPath, kSignaturePrefixBytes), type);
    for (const bool seek : {true, false}) {
        std::vector<std::string> arguments = {ffmpegExe, "-nostdin", "-hide_banner", "-loglevel",
                                              "error"};
        arguments.insert(arguments.end(), input.begin(), input.end());
        if (seek)
            arguments.insert(arguments.end(), {"-ss", std::to_string(kVideoFrameSeconds)});
        // "file:" keeps a path with a colon in it a file name.
        arguments.insert(arguments.end(),
                         {"-i", "file:" + inputPath, "-map", "0:v:0", "-an", "-sn", "-dn",
                          "-frames:v", "1", "-vf", "scale=" + std::to_string(width) + ":-2", "-f",
                          "image2pipe", "-c:v", "png", "pipe:1"});
        const std::optional<std::string> output = RunOnce(arguments, stop, deadline);
        if (output && output->starts_with(kPngSignature))
            return *output;
        // Nothing written (the clip is shorter than the seek; some converters call that a
        // failure): the first frame, in the time that is left.
        if (stop.load() || Clock::now() >= deadline)
            return {};
    }
    return {};
}
