#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "converter/CConsoleRunner.h"
#include "converter/ConverterAuthorities.h"
#include "converter/ConverterOutput.h"
#include "converter/ConverterTestSupport.h"

using convtest::TempFolder;

namespace {

// Parses from a heap buffer of exactly the text's size, so a read past the end is caught by
// AddressSanitizer instead of finding a terminator by luck.
template <typename Parse>
double ParseExact(Parse parse, const std::string& text) {
    std::vector<char> exact(text.begin(), text.end());
    return parse(std::string_view(exact.data(), exact.size()));
}

struct NumberCase {
    const char* text;
    double expected;
};

// Collects a run's output.
class CollectingRunner : public CConsoleRunner {
public:
    std::string Output() {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_done; });
        return m_text;
    }

protected:
    void OnOutput(const char* text, std::size_t length) override {
        std::lock_guard lock(m_mutex);
        if (text) {
            m_text.append(text, length);
        } else {
            m_done = true;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_text;
    bool m_done = false;
};

std::string RunScript(const std::string& path) {
    const auto runner = std::make_shared<CollectingRunner>();
    if (runner->Start(path) != CConsoleRunner::kStarted)
        return "<not started>";
    return runner->Output();
}

}  // namespace

TEST(ConverterOutput, DurationLines) {
    const NumberCase cases[] = {
        {"  Duration: 01:02:03.50, start: 0.000000, bitrate: 128 kb/s\n", 3723.5},
        {"Input #0, flv\n  Duration: 00:03:25.47, start: 0.000000\n", 205.47},
        {"  Duration: N/A, start: 0.000000, bitrate: N/A\n", 0},
        {"no report at all\n", 0},
        // Cut off at the very end of the output: never read past it.
        {"  Duration: ", 0},
        {"  Duration: 01", 3600},
        {"  Duration: 01:0", 3600},
        {"  Duration: 00:01:", 60},
        {"  Duration: 00:00:07.2", 7.2},
        // Hours wider than two digits still read as a time.
        {"  Duration: 123:00:00.00,", 442800},
        // Only the first report counts.
        {"Duration: 00:00:01.00\nDuration: 00:00:09.00\n", 1},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(ParseExact(ParseDuration, c.text), c.expected, 1e-9) << c.text;
    }
}

TEST(ConverterOutput, ProgressChunks) {
    const NumberCase cases[] = {
        // Older converters: seconds.
        {"size=     256kB time=12.34 bitrate= 170.2kbits/s", 12.34},
        // Newer converters: HH:MM:SS.ss.
        {"size=     256kB time=00:01:02.50 bitrate= 128.5kbits/s speed=32x", 62.5},
        {"size=  9kB time=01:00:00.25 bitrate=", 3600.25},
        // Several progress lines in one delivery: the latest complete one counts.
        {"size= 1kB time=00:00:01.00 bitrate=1\rsize= 2kB time=00:00:02.00 bitrate=1\r", 2},
        {"frame=1\nsize= 1kB time=4.5 bitrate=1\nsize= 2kB time=9.5\n", 9.5},
        {"size= 1kB time=4.5 bitrate=1\rsize= 2kB time=N/A bitrate=N/A\r", 4.5},
        {"size= 1kB time=00:00:04.50 bitrate=1\rsize= 2kB time=00:00:0", 4.5},
        // Not a number: nothing.
        {"size=       0kB time=N/A bitrate=N/A speed=N/A", 0},
        {"no progress here", 0},
        {"size=0kB,time=3.0", 0},  // the marker needs its leading blank
        // Huge values are returned as read; the display decides to ignore them.
        {" time=1e10 bitrate=", 1e10},
        {" time=-00:00:01.50 bitrate=", -1.5},
        // Cut off at the end of the chunk: not yet a time.
        {"size= 1kB time=", 0},
        {"size= 1kB time=00:00:", 0},
        {"size= 1kB time=00:01", 0},
        {"size= 1kB time=00:01:02.5", 0},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(ParseExact(ParseProgressTime, c.text), c.expected, 1e-9) << c.text;
    }
}

TEST(ConverterOutput, LastReportLinesAsATerminalShowsThem) {
    std::string many;
    for (int i = 1; i <= 30; ++i) many += "line " + std::to_string(i) + "\n";
    std::string longLine = "x";
    longLine.append(5000, 'y');
    longLine += "z\n";
    std::string longShown(299, 'y');
    longShown += 'z';
    // Report, and what the box shows of it.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},
        {"one line", "one line"},
        {"a\nb\n\n", "a\nb"},
        // Progress lines overwrite each other with carriage returns.
        {"size=1 time=1\rsize=2 time=2\rsize=3 time=3\r\nError while decoding\n",
         "size=3 time=3\nError while decoding"},
        // Only the last twenty lines.
        {many, many.substr(many.find("line 11\n"), many.size() - many.find("line 11\n") - 1)},
        // A line without end is cut to its last 300 bytes.
        {longLine, longShown},
    };
    for (const auto& [report, shown] : cases) EXPECT_EQ(LastReportLines(report), shown) << report;
}

// Quoting is checked by the shell itself: printf gets back exactly the text, and nothing in it
// runs.
TEST(ConverterOutput, QuotedPathsExpandNothingInTheShell) {
    TempFolder dir;
    const std::string marker = dir / "injected";
    const std::string texts[] = {
        "plain name.flv",
        "$(touch " + marker + ")",
        "`touch " + marker + "`",
        "it's; touch " + marker,
        "'\"'\"; touch " + marker + " #",
        "$HOME ${PATH} \\n * ? ~ & | > " + marker,
        "line\nbreak; touch " + marker,
    };
    for (const auto& text : texts) {
        const std::string script = dir / "quote.bat";
        convtest::WriteFile(script, "printf '%s' " + ShellQuote(text) + "\n");
        EXPECT_EQ(RunScript(script), text);
    }
    EXPECT_FALSE(convtest::Exists(marker));
}

TEST(ConverterOutput, FailureTextSkipsTheBanner) {
    TempFolder dir;
    const std::string path = dir / "FFMpegErrorOut.txt";
    const std::string longLine(5000, 'L');
    struct Case {
        const char* name;
        std::string output;
        std::string expected;
    } cases[] = {
        {"BuiltWith",
         "ffmpeg version 5.1\n  built with gcc 12\n  configuration: x\nin.flv: Invalid data\n",
         "  configuration: x\nin.flv: Invalid data\n\n"},
        {"BuiltOn", "FFmpeg version SVN\n  built on Jan 1 2008\nerror here\n", "error here\n\n"},
        {"NoBanner", "something failed\nbadly\n", ""},
        // A line longer than the reader's buffer is read in pieces; the marker in the tail
        // piece still ends the banner.
        {"LongLine", longLine + " built with gcc\nafter\n", "after\n\n"},
    };
    for (const auto& c : cases) {
        WriteTextFile(path, c.output);
        EXPECT_EQ(ConversionFailureText(path, "fallback"), c.expected) << c.name;
    }
    EXPECT_EQ(ConversionFailureText(dir / "missing/none.txt", "whole output"), "whole output");
}

TEST(ConverterOutput, WriteTextFileAddsOneLineEndAndSaysWhenItFails) {
    TempFolder dir;
    const std::string path = dir / "one.txt";
    EXPECT_TRUE(WriteTextFile(path, "first"));
    EXPECT_TRUE(WriteTextFile(path, "second line\n"));
    EXPECT_EQ(convtest::ReadFile(path), "second line\n\n");
    errno = 0;
    EXPECT_FALSE(WriteTextFile(dir / "no/such/folder.txt", "x"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(convtest::Exists(dir / "no/such/folder.txt"));
    EXPECT_EQ(WorkFileFailureText("/w/Sniffer_1_2.bat", EISDIR),
              "Cannot write the work file\n\n   /w/Sniffer_1_2.bat\n\nIs a directory.");
}

// Notes and scripts are the user's own: mode 0600, and a link planted at their name is never
// followed (the work folder may be reached by others only if the user chose it so).
TEST(ConverterOutput, WorkFilesArePrivateAndNeverFollowALink) {
    TempFolder dir;
    const std::string path = dir / "note.txt";
    WriteTextFile(path, "x");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::chmod(path.c_str(), 0644);
    WriteTextFile(path, "y");
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(convtest::ReadFile(path), "y\n");

    const std::string victim = dir / "victim.txt";
    convtest::WriteFile(victim, "precious");
    ASSERT_EQ(::symlink(victim.c_str(), (dir / "link.txt").c_str()), 0);
    EXPECT_FALSE(WriteTextFile(dir / "link.txt", "overwritten"));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(convtest::ReadFile(victim), "precious");
}

// A downloaded file is read through the file protocol alone and a reader of one medium: the
// one its first bytes show, else the one its type names, else any reader of single media (the
// converter then refuses a playlist reader).
TEST(ConverterOutput, LocalInputIsReadAsTheOneMediumItShouldBe) {
    const std::string mp4(
        "\0\0\0\x18"
        "ftypisom\0\0\0\0isommp41",
        24);
    const std::string playlist = "#EXTM3U\n#EXTINF:3,\nfile:///etc/passwd\n";
    struct Case {
        std::string start, type;
        std::vector<std::string> expected;
    } cases[] = {
        {mp4, "mp3", {"-protocol_whitelist", "file", "-f", "mov"}},
        {"FLV\x01\x05", "MP3", {"-protocol_whitelist", "file", "-f", "flv"}},
        {playlist, "flv", {"-protocol_whitelist", "file", "-f", "flv"}},
        {playlist, "WebM", {"-protocol_whitelist", "file", "-f", "matroska"}},
        {playlist, "mp2t", {"-protocol_whitelist", "file", "-f", "mpegts"}},
        {playlist, "quicktime", {"-protocol_whitelist", "file", "-f", "mov"}},
        {playlist,
         "m3u8",
         {"-protocol_whitelist", "file", "-format_whitelist", kSingleMediaReaders}},
        {"", "", {"-protocol_whitelist", "file", "-format_whitelist", kSingleMediaReaders}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LocalInputArguments(c.start, c.type), c.expected) << c.type;
}

// The player trusts one file: the system's, or a private bundle of the system's and TlsCaFile's.
// A TlsCaFile that is no file of whole PEM certificates is refused with the reason, a FIFO
// without blocking.
TEST(ConverterOutput, AuthorityBundleJoinsTheSettingsCertificatesToTheSystems) {
    const std::string system = convtest::ReadFile(kSystemAuthorityFile);
    const std::size_t end = system.find("-----END CERTIFICATE-----\n");
    if (end == std::string::npos)
        GTEST_SKIP() << "needs the system's authorities (Debian package ca-certificates)";
    const std::string certificate =
        system.substr(system.find("-----BEGIN CERTIFICATE-----"), end + 26);
    TempFolder dir;
    const std::string bundle = dir / "bundle.pem";
    convtest::WriteFile(dir / "system.pem", certificate + certificate);
    convtest::WriteFile(dir / "extra.pem", "# our authority\n" + certificate);

    AuthorityFile file = ConverterAuthorityFile("", bundle, dir / "system.pem");
    EXPECT_EQ(file.path, dir / "system.pem");
    EXPECT_FALSE(convtest::Exists(bundle));
    file = ConverterAuthorityFile(dir / "extra.pem", bundle, dir / "system.pem");
    EXPECT_EQ(file.path, bundle);
    EXPECT_EQ(convtest::ReadFile(bundle),
              certificate + certificate + "# our authority\n" + certificate);
    struct stat st {};
    ASSERT_EQ(::stat(bundle.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::string broken = certificate;
    broken[broken.size() / 2] = '*';
    convtest::WriteFile(dir / "broken.pem", broken);
    convtest::WriteFile(dir / "text.pem", "not a certificate\n");
    ASSERT_EQ(::mkfifo((dir / "fifo.pem").c_str(), 0600), 0);
    struct Case {
        std::string name, reason;
    } refused[] = {
        {"broken.pem", "no PEM certificate"},
        {"text.pem", "no PEM certificate"},
        {"fifo.pem", "Invalid argument"},
        {"missing.pem", "No such file or directory"},
    };
    for (const Case& c : refused) {
        file = ConverterAuthorityFile(dir / c.name, bundle, dir / "system.pem");
        EXPECT_EQ(file.path, "") << c.name;
        EXPECT_NE(file.failure.find(dir / c.name), std::string::npos) << file.failure;
        EXPECT_NE(file.failure.find(c.reason), std::string::npos) << file.failure;
    }
}
