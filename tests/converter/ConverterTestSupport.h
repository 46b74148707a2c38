// Helpers shared by the converter tests: a private work folder, files, and media made by the real
// ffmpeg from its own test sources.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace convtest {

// A fresh folder under /tmp, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/pelnix-conv-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        m_path = made ? made : "";
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The first of `name` along PATH, or empty.
inline std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const auto end = dirs.find(':', start);
        const std::string dir = dirs.substr(start, end - start);
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return {};
}

// Runs a fixed command line through system(); only for commands the tests write themselves.
inline int RunCommand(const std::string& command) {
    return std::system(command.c_str());
}

// Makes a short Flash video (Sorenson video, MP3 sound) of `seconds` with ffmpeg's test sources.
inline bool MakeFlashVideo(const std::string& path, double seconds) {
    char command[1024];
    std::snprintf(command, sizeof command,
                  "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
                  "testsrc=size=160x120:rate=15:duration=%.2f -f lavfi -i "
                  "sine=frequency=440:sample_rate=44100:duration=%.2f -c:v flv1 -c:a libmp3lame "
                  "-f flv '%s'",
                  seconds, seconds, path.c_str());
    return RunCommand(command) == 0 && Exists(path);
}

// What ffprobe says of a file: "format_name duration" (e.g. "mp3 3.030000"), or empty.
inline std::string ProbeFormatAndDuration(const std::string& path) {
    const std::string command =
        "ffprobe -v error -show_entries format=format_name,duration -of "
        "default=noprint_wrappers=1:nokey=1 '" +
        path + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return {};
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) text += buffer;
    ::pclose(pipe);
    for (char& c : text) {
        if (c == '\n')
            c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

inline bool ProcessAlive(pid_t pid) {
    // A zombie still answers kill(); read its state instead, with the system's calls: a
    // process that goes between the open and the read fails the read (ESRCH), which the C++
    // library's file streams turn into an exception.
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[512];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got <= 0)
        return false;
    const std::string text(buffer, static_cast<std::size_t>(got));
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size())
        return false;
    const char state = text[close + 2];
    return state != 'Z' && state != 'X';
}

}  // namespace convtest
