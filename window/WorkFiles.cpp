#include "window/WorkFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/StagedFile.h"
#include "converter/ConverterOutput.h"
#include "mediarules/MediaSignatures.h"

std::string WorkFileExtension(std::string_view type) {
    constexpr std::size_t kMaxLength = 16;
    std::string extension;
    for (const char c : type) {
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit || extension.size() == kMaxLength)
            break;
        extension.push_back(c);
    }
    return extension.empty() ? std::string("bin") : extension;
}

WorkFiles MakeWorkFiles(const std::string& folder, int index, std::uint64_t size,
                        std::string_view type) {
    const std::string stem =
        folder + "/Sniffer_" + std::to_string(index) + "_" + std::to_string(size) + ".";
    return WorkFiles{stem + "url.txt", stem + "convert.bat", stem + WorkFileExtension(type),
                     std::string(type)};
}

bool HoldsMp3(const std::string& path) {
    return DetectContainer(ReadFileStart(path, kSignaturePrefixBytes)) == Container::Mp3;
}

namespace {

// Copies `from` into the staged `out`; false with errno set, and `readFailed` when reading `from`
// failed.
bool CopyInto(const std::string& from, StagedFile& out, bool& readFailed) {
    readFailed = true;
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0)
        return false;
    char buffer[1 << 16];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        readFailed = n < 0;
        if (n < 0 || (n > 0 && !out.WriteAll(buffer, static_cast<std::size_t>(n)))) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
    }
    const int error = errno;
    ::close(in);
    errno = error;
    return ok;
}

}  // namespace

bool PlaceWorkFile(const std::string& from, const std::string& to, std::string& failure) {
    // A device or a link at the chosen path is written through as a download would write it,
    // never replaced by the rename.
    struct stat st {};
    const bool renameable = ::lstat(to.c_str(), &st) != 0 || S_ISREG(st.st_mode);
    if (renameable && ::rename(from.c_str(), to.c_str()) == 0)
        return true;
    if (renameable && errno != EXDEV) {
        failure = std::string(std::strerror(errno)) + " (" + to + ")";
        return false;
    }
    StagedFile out;
    bool readFailed = false;
    if (!out.Create(to) || !CopyInto(from, out, readFailed) || !out.Commit()) {
        const int error = errno;
        out.Discard();
        failure = std::string(std::strerror(error)) + " (" + (readFailed ? from : to) + ")";
        return false;
    }
    ::unlink(from.c_str());
    return true;
}
