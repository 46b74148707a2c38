#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "base/Globals.h"
#include "base/Settings.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
}

// Sets an environment variable for one scope and puts the old value back.
struct ScopedEnv {
    std::string name;
    std::optional<std::string> old;
    ScopedEnv(const char* n, const char* value) : name(n) {
        if (const char* v = std::getenv(n))
            old = v;
        if (value) {
            ::setenv(n, value, 1);
        } else {
            ::unsetenv(n);
        }
    }
    ~ScopedEnv() {
        if (old) {
            ::setenv(name.c_str(), old->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
};

}  // namespace

TEST(SettingsText, PrivateProfileRules) {
    struct Case {
        const char* text;
        const char* key;
        std::optional<std::string> expected;
    };
    const std::string long300(300, 'a');
    const Case cases[] = {
        {"[Pelnix]\nFFMpegExe=/usr/bin/ffmpeg\n", "FFMpegExe", "/usr/bin/ffmpeg"},
        {"[pelnix]\nffmpegexe=/a\n", "FFMpegExe", "/a"},                     // names ignore case
        {"  [ Pelnix ]  \n  FFMpegExe  =   /a b  \n", "FFMpegExe", "/a b"},  // blanks trimmed
        {"[Pelnix]\r\nTempDir=/t\r\n", "TempDir", "/t"},                     // CR LF line ends
        {"[Pelnix]\nTempDir=\"/with space/\"\n", "TempDir", "/with space/"},
        {"[Pelnix]\nTempDir='/single'\n", "TempDir", "/single"},
        {"[Pelnix]\nTempDir=\"/unbalanced\n", "TempDir", "\"/unbalanced"},
        {"[Pelnix]\nTempDir=\"\"\n", "TempDir", ""},
        {"[Pelnix]\nFFMpegAud=\n", "FFMpegAud", ""},           // empty but present
        {"[Pelnix]\nA=1\nA=2\n", "A", "1"},                    // first key wins
        {"[Other]\nA=1\n[Pelnix]\nB=2\n", "A", std::nullopt},  // other section ignored
        {"[Pelnix]\nB=2\n[Other]\nA=1\n", "A", std::nullopt},
        {"A=1\n[Pelnix]\n", "A", std::nullopt},     // before any section
        {"\xEF\xBB\xBF[Pelnix]\nA=1\n", "A", "1"},  // byte-order mark
        {"[Pelnix]\nnot a pair\nA = x=y\n", "A", "x=y"},
        {"[Pelnix]\n;A=1\n", "A", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindSettingInText(c.text, "Pelnix", c.key), c.expected) << c.text;
    }
    const std::string longText = "[Pelnix]\nTempDir=\"" + long300 + "\"\n";
    EXPECT_EQ(FindSettingInText(longText, "Pelnix", "TempDir"), std::string(259, 'a'));
}

TEST(SettingsFile, MissingFileAndKeysGiveTheFallback) {
    TempFolder dir;
    EXPECT_EQ(ReadSettingString((dir.path / "none.ini").string(), "Pelnix", "FFMpegExe", "x"), "x");
    WriteFile(dir.path / "p.ini", "[Pelnix]\nTempDir=/tmp\n");
    EXPECT_EQ(ReadSettingString((dir.path / "p.ini").string(), "Pelnix", "FFMpegExe", "x"), "x");
    EXPECT_EQ(ReadSettingString((dir.path / "p.ini").string(), "Pelnix", "tempdir", "x"), "/tmp");
    // A directory where the file should be reads as no file.
    EXPECT_EQ(ReadSettingString(dir.path.string(), "Pelnix", "TempDir", "d"), "d");
}

TEST(FileTests, RegularNonEmptyFilesAndDirectories) {
    TempFolder dir;
    WriteFile(dir.path / "full", "data");
    WriteFile(dir.path / "empty", "");
    fs::create_directory(dir.path / "sub");
    fs::create_symlink(dir.path / "full", dir.path / "link");
    EXPECT_TRUE(FileExistsNonEmpty((dir.path / "full").string()));
    EXPECT_TRUE(FileExistsNonEmpty((dir.path / "link").string()));
    EXPECT_FALSE(FileExistsNonEmpty((dir.path / "empty").string()));
    EXPECT_FALSE(FileExistsNonEmpty((dir.path / "sub").string()));
    EXPECT_FALSE(FileExistsNonEmpty((dir.path / "missing").string()));
    EXPECT_FALSE(FileExistsNonEmpty(""));
    EXPECT_TRUE(DirectoryExists((dir.path / "sub").string()));
    EXPECT_FALSE(DirectoryExists((dir.path / "full").string()));
    EXPECT_FALSE(DirectoryExists((dir.path / "missing").string()));
}

TEST(UserDataFolder, FollowsXdgThenHomeAndIsCreated) {
    TempFolder dir;
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", (dir.path / "xdg").c_str());
        const std::string folder = GetUserDataFolder("Pelnix");
        EXPECT_EQ(folder, (dir.path / "xdg" / "Pelnix").string());
        EXPECT_TRUE(DirectoryExists(folder));
    }
    {
        // A relative XDG value is not a valid base: the home folder's .config is used.
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/path");
        ScopedEnv home("HOME", (dir.path / "home").c_str());
        const std::string folder = GetUserDataFolder("Pelnix");
        EXPECT_EQ(folder, (dir.path / "home" / ".config" / "Pelnix").string());
        EXPECT_TRUE(DirectoryExists(folder));
    }
    {
        // A file in the folder's place stays a file; the failure to create is ignored.
        ScopedEnv xdg("XDG_CONFIG_HOME", (dir.path / "blocked").c_str());
        fs::create_directory(dir.path / "blocked");
        WriteFile(dir.path / "blocked" / "Pelnix", "x");
        EXPECT_EQ(GetUserDataFolder("Pelnix"), (dir.path / "blocked" / "Pelnix").string());
        EXPECT_FALSE(DirectoryExists((dir.path / "blocked" / "Pelnix").string()));
    }
}

TEST(SystemConfigFolders, XdgConfigDirsWithDefaultAndOnlyAbsoluteEntries) {
    struct Case {
        const char* value;  // nullptr: unset
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {nullptr, {"/etc/xdg"}},
        {"", {"/etc/xdg"}},
        {"/opt/a:/etc/xdg/", {"/opt/a", "/etc/xdg"}},
        {"relative:/a::./b:/b//", {"/a", "/b"}},
        {"relative", {}},  // set, but nothing valid in it: no default either
        {"/", {"/"}},
    };
    for (const Case& c : cases) {
        ScopedEnv dirs("XDG_CONFIG_DIRS", c.value);
        EXPECT_EQ(SystemConfigFolders(), c.expected) << (c.value ? c.value : "(unset)");
    }
}

TEST(StartupChecks, StoresValuesOnlyUpToTheFirstFailure) {
    TempFolder dir;
    WriteFile(dir.path / "ffmpeg", "#!/bin/sh\n");
    const std::string ini = (dir.path / "Pelnix.ini").string();
    g_ffmpegExe = g_ffplayExe = g_ffmpegAudioOptions = g_tempDir = "x";
    WriteFile(ini, "[Pelnix]\nFFMpegExe=" + (dir.path / "ffmpeg").string() +
                       "\nFFPlayExe=" + (dir.path / "ffmpeg").string() +
                       "\nFFMpegAud=xyz\nTempDir=" + dir.path.string() + "\n");
    EXPECT_EQ(CheckStartupSettings(ini), 5);  // options starting with x count as unset
    EXPECT_EQ(g_ffmpegExe, (dir.path / "ffmpeg").string());
    EXPECT_EQ(g_ffplayExe, (dir.path / "ffmpeg").string());
    EXPECT_EQ(g_ffmpegAudioOptions, "x");
    EXPECT_EQ(g_tempDir, "x");
}

TEST(StartupChecks, FailureTexts) {
    EXPECT_EQ(StartupFailureText(1, "/h/.config/Pelnix/Pelnix.ini"),
              "Can't initialize the ffmpeg path from:\n\n   /h/.config/Pelnix/Pelnix.ini\n\n"
              "Sorry, can't continue.");
    EXPECT_EQ(StartupFailureText(7, "/p"),
              "Can't find the TEMP directory, specified in:\n\n   /p\n\nSorry, can't continue.");
    EXPECT_EQ(StartupFailureText(0, "/p"), "");
    EXPECT_EQ(StartupFailureText(9, "/p"), "");
    // A work folder that is not private names itself and says what to choose instead.
    const std::string open = StartupFailureText(8, "/p", "/tmp");
    EXPECT_NE(open.find("\n   /tmp\n"), std::string::npos) << open;
    EXPECT_NE(open.find("Choose a folder of your own"), std::string::npos) << open;
}
