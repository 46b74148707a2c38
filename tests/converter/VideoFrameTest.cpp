// The picture of a video taken with stand-ins for the converter: what it is asked, and what
// happens when it writes no picture or hangs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "converter/ConverterTestSupport.h"
#include "converter/VideoFrame.h"

using namespace std::chrono_literals;

namespace {

constexpr std::string_view kPng = "\x89PNG\r\n\x1a\nrest of a picture";

// A converter that writes its arguments (one a line) to `said` and then runs `body`.
std::string StandIn(const std::string& folder, const std::string& body) {
    const std::string path = folder + "/fake-ffmpeg.sh";
    const std::string said = folder + "/said.txt";
    convtest::WriteFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + said + "'\n" + body + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

// The converter reads the one local file through the file protocol and writes to the pipe alone;
// a clip that gives nothing at the seek is asked again for its first frame. Nothing but a PNG
// is a picture, and a converter that fails gives none.
TEST(GrabVideoFrame, AsksForOneLocalFrameAndTakesOnlyAPicture) {
    convtest::TempFolder folder;
    const std::string input = folder.Path() + "/a:b.mp4";
    // MP4 by its bytes, whatever its type says.
    convtest::WriteFile(input, std::string("\0\0\0\x20", 4) + "ftypisom" + std::string(64, 'x'));
    const std::atomic<bool> stop{false};

    std::string exe = StandIn(folder.Path(), "printf '\\211PNG\\r\\n\\032\\nrest of a picture'");
    EXPECT_EQ(GrabVideoFrame(exe, input, "flv", 160, stop), kPng);
    const std::string said = convtest::ReadFile(folder.Path() + "/said.txt");
    EXPECT_NE(said.find("-protocol_whitelist\nfile\n-f\nmov\n-ss\n3\n-i\nfile:" + input + "\n"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("scale=160:-2\n"), std::string::npos) << said;
    EXPECT_TRUE(said.ends_with("\npipe:1\n")) << said;

    // Nothing at the seek (the clip is short), then the first frame.
    std::filesystem::remove(folder.Path() + "/said.txt");
    exe = StandIn(folder.Path(),
                  "case \" $* \" in *\" -ss \"*) exit 0;; esac\n"
                  "printf '\\211PNG\\r\\n\\032\\nrest of a picture'");
    EXPECT_EQ(GrabVideoFrame(exe, input, "mp4", 160, stop), kPng);
    const std::string second = convtest::ReadFile(folder.Path() + "/said.txt");
    EXPECT_EQ(Count(second, "\n-i\n"), 2u) << second;
    EXPECT_EQ(Count(second, "\n-ss\n"), 1u) << second;

    EXPECT_EQ(GrabVideoFrame(StandIn(folder.Path(), "echo not a picture"), input, "mp4", 160, stop),
              "");
    EXPECT_EQ(GrabVideoFrame(StandIn(folder.Path(), "printf '\\211PNG\\r\\n\\032\\nhalf'; exit 1"),
                             input, "mp4", 160, stop),
              "");
    EXPECT_EQ(GrabVideoFrame(folder.Path() + "/no-such-converter", input, "mp4", 160, stop), "");
}

// A converter that hangs, or writes without end, is killed with everything it started once its
// time is up; a stop ends the wait at once.
TEST(GrabVideoFrame, HangingOrEndlessConverterIsKilledInTime) {
    convtest::TempFolder folder;
    const std::string input = folder.Path() + "/clip.mp4";
    convtest::WriteFile(input, "garbage");
    const std::string pidFile = folder.Path() + "/child.pid";
    const std::string hangs =
        StandIn(folder.Path(), "sleep 60 & echo $! > '" + pidFile + "'\nwait");
    std::atomic<bool> stop{false};
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(GrabVideoFrame(hangs, input, "mp4", 160, stop, 500ms), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    const pid_t child = std::stoi(convtest::ReadFile(pidFile));
    for (int i = 0; i < 200 && convtest::ProcessAlive(child); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(convtest::ProcessAlive(child));

    started = std::chrono::steady_clock::now();
    EXPECT_EQ(
        GrabVideoFrame(StandIn(folder.Path(), "exec cat /dev/zero"), input, "mp4", 160, stop, 20s),
        "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);

    stop = true;
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(GrabVideoFrame(hangs, input, "mp4", 160, stop, 20s), "");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}
