// Shared by the two capability probes: the moment a probe's library is loaded, it writes the
// capability lines of /proc/self/status of the process that loaded it into a file beside
// itself, "loaded-by-PID.txt". What the library does afterwards does not matter: it is never
// a working plugin.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

__attribute__((constructor)) void RecordCapabilities() {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&RecordCapabilities), &self) == 0 ||
        self.dli_fname == nullptr) {
        return;
    }
    std::string folder = self.dli_fname;
    folder.erase(folder.rfind('/') + 1);
    std::ifstream status("/proc/self/status");
    std::ofstream record(folder + "loaded-by-" + std::to_string(getpid()) + ".txt");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Name:", 0) == 0 || line.rfind("Cap", 0) == 0)
            record << line << '\n';
    }
}

}  // namespace
