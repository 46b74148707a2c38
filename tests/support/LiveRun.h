// What the live tests share around the programs they run: a guard that stops a background
// program however a test ends, a file read whole, the record lines of `--read` and `--watch`,
// and a bounded wait.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/LiveNetwork.h"

// Stops a background program however the test ends.
struct ProcessGuard {
    pid_t pid;
    int signal;
    int Stop() {
        const int status = StopProgram(pid, signal);
        pid = -1;
        return status;
    }
    ~ProcessGuard() {
        if (pid > 0)
            Stop();
    }
};

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The record lines of `--read` or `--watch` output without the number and time columns:
// "type\tsize\tURL".
inline std::vector<std::string> TypeSizeUrl(const std::string& output) {
    std::vector<std::string> rows;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto first = line.find('\t');
        const auto second = first == std::string::npos ? first : line.find('\t', first + 1);
        if (second != std::string::npos)
            rows.push_back(line.substr(second + 1));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

// Polls until `done` holds or ten seconds have passed.
template <typename Done>
bool WaitFor(Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}
