#include "base/Settings.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "base/Globals.h"
#include "base/Text.h"

namespace {

// A settings file is a few hundred bytes; anything past this bound is not read.
constexpr std::size_t kMaxSettingsFileBytes = 1 << 20;

std::string CutToLimit(std::string_view value) {
    return std::string(value.substr(0, kMaxSettingLength));
}

}  // namespace

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

std::string WorkFolderFromSetting(const std::string& value) {
    if (value != "~" && value.rfind("~/", 0) != 0)
        return value;
    const std::string folder = HomeFolder() + value.substr(1);
    // A folder of the user's own: made when missing, private to the user.
    std::error_code ignored;
    if (!DirectoryExists(folder) && std::filesystem::create_directories(folder, ignored))
        ::chmod(folder.c_str(), 0700);
    return folder;
}

std::optional<std::string> FindSettingInText(std::string_view text, std::string_view section,
                                             std::string_view key) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    const std::string_view wantSection = Trim(section);
    const std::string_view wantKey = Trim(key);
    bool inSection = false;
    bool sectionSeen = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        line = Trim(line);
        if (line.empty())
            continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            const std::string_view name =
                Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
            // The first section of that name is the one that counts.
            if (inSection)
                return std::nullopt;
            inSection = !sectionSeen && EqualsNoCase(name, wantSection);
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection)
            continue;
        const auto eq = line.find('=');
        if (eq == std::string_view::npos)
            continue;
        if (!EqualsNoCase(Trim(line.substr(0, eq)), wantKey))
            continue;
        std::string_view value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        return CutToLimit(value);
    }
    return std::nullopt;
}

std::string ReadSettingString(const std::string& file, std::string_view section,
                              std::string_view key, std::string_view fallback) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return CutToLimit(fallback);
    std::string text(kMaxSettingsFileBytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (auto value = FindSettingInText(text, section, key))
        return *value;
    return CutToLimit(fallback);
}

std::string GetUserDataFolder(std::string_view product) {
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        base = HomeFolder() + "/.config";
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string folder = base + "/" + std::string(product);
    if (!DirectoryExists(folder)) {
        std::error_code ignored;
        std::filesystem::create_directories(folder, ignored);
    }
    return folder;
}

std::vector<std::string> SystemConfigFolders() {
    const char* value = std::getenv("XDG_CONFIG_DIRS");
    if (!value || !*value)
        return {"/etc/xdg"};
    std::vector<std::string> folders;
    std::string_view rest = value;
    while (true) {
        const auto colon = rest.find(':');
        std::string folder(rest.substr(0, colon));
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (!folder.empty() && folder.front() == '/')
            folders.push_back(std::move(folder));
        if (colon == std::string_view::npos)
            break;
        rest.remove_prefix(colon + 1);
    }
    return folders;
}

std::string FindSettingsFile(const std::string& userFile, std::string_view product,
                             std::string_view fileName) {
    const auto isFile = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    };
    if (isFile(userFile))
        return userFile;
    for (const std::string& folder : SystemConfigFolders()) {
        std::string candidate = (folder == "/" ? "" : folder) + "/" + std::string(product) + "/" +
                                std::string(fileName);
        if (isFile(candidate))
            return candidate;
    }
    return userFile;
}

bool FileExistsNonEmpty(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ExecutableFolder() {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return ".";
    std::string path(buffer.data(), static_cast<std::size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

int CheckStartupSettings(const std::string& settingsFile, std::string* refusedFolder) {
    const auto read = [&](const char* key) {
        return ReadSettingString(settingsFile, kProductName, key, "x");
    };
    // Only a lowercase x in the first place means "not set"; an empty value is set.
    const auto unset = [](const std::string& v) { return !v.empty() && v.front() == 'x'; };

    const std::string ffmpeg = read("FFMpegExe");
    if (unset(ffmpeg))
        return 1;
    if (!FileExistsNonEmpty(ffmpeg))
        return 2;
    g_ffmpegExe = ffmpeg;

    const std::string ffplay = read("FFPlayExe");
    if (unset(ffplay))
        return 3;
    if (!FileExistsNonEmpty(ffplay))
        return 4;
    g_ffplayExe = ffplay;

    const std::string audio = read("FFMpegAud");
    if (unset(audio))
        return 5;
    g_ffmpegAudioOptions = audio;

    const std::string setting = read("TempDir");
    if (unset(setting))
        return 6;
    const std::string temp = WorkFolderFromSetting(setting);
    if (!DirectoryExists(temp))
        return 7;
    // The converter scripts written there are run: nobody else may change them.
    if (!IsPrivateFolder(temp)) {
        if (refusedFolder)
            *refusedFolder = temp;
        return 8;
    }
    g_tempDir = temp;
    return 0;
}

bool IsPrivateFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string StartupFailureText(int number, const std::string& settingsFile,
                               const std::string& tempDir) {
    if (number == 8) {
        return "The TEMP directory\n\n   " + tempDir + "\n\nspecified in:\n\n   " + settingsFile +
               "\n\nbelongs to another user or can be written by others, who could then change "
               "the scripts that Pelnix runs. Choose a folder of your own that only you can "
               "write, such as ~/.cache/Pelnix.\n\nSorry, can't continue.";
    }
    const char* lead = nullptr;
    switch (number) {
        case 1:
            lead = "Can't initialize the ffmpeg path from:";
            break;
        case 2:
            lead = "Can't find the ffmpeg executable, specified in:";
            break;
        case 3:
            lead = "Can't initialize the ffplay path from:";
            break;
        case 4:
            lead = "Can't find the ffplay executable, specified in:";
            break;
        case 5:
            lead = "Can't initialize the ffmpeg audio options from:";
            break;
        case 6:
            lead = "Can't initialize the TEMP directory from:";
            break;
        case 7:
            lead = "Can't find the TEMP directory, specified in:";
            break;
        default:
            return {};
    }
    return std::string(lead) + "\n\n   " + settingsFile + "\n\nSorry, can't continue.";
}
