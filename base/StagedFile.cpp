#include "base/StagedFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The temporary name keeps the target's name at its end; a longer name keeps only the
// extension, so that the whole stays within a file name's 255 bytes.
constexpr std::size_t kMaxKeptName = 200;
constexpr std::size_t kMaxKeptExtension = 32;

std::string KeptName(const std::string& name) {
    if (name.size() <= kMaxKeptName)
        return name;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot > kMaxKeptExtension)
        return {};
    return name.substr(dot);
}

}  // namespace

unsigned NewFileMode() {
    // The umask can only be read by setting it, which races with other threads; the kernel
    // tells it here instead.
    unsigned mask = 022;
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::strncmp(line, "Umask:", 6) == 0) {
                mask = static_cast<unsigned>(std::strtoul(line + 6, nullptr, 8));
                break;
            }
        }
        std::fclose(status);
    }
    return 0666u & ~mask;
}

StagedFile::~StagedFile() {
    Discard();
}

bool StagedFile::Create(const std::string& target) {
    Discard();
    m_target = target;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return false;
        }
        // A device or a pipe: there is no file to replace, the bytes go to it as they come.
        m_fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (m_fd < 0)
            return false;
        m_direct = true;
        m_path = target;
        return true;
    }
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return false;
    }
    const std::string suffix = "-" + KeptName(name);
    const std::string pattern =
        folder + "/.pelnix-XXXXXX" + (suffix.size() > 1 ? suffix : std::string());
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    const int suffixLength = suffix.size() > 1 ? static_cast<int>(suffix.size()) : 0;
    // mkostemps: a new file (O_EXCL), mode 0600, a name nobody could have guessed.
    m_fd = ::mkostemps(path.data(), suffixLength, O_CLOEXEC);
    if (m_fd < 0)
        return false;
    m_path = path.data();
    return true;
}

bool StagedFile::WriteAll(const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(m_fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

bool StagedFile::Commit(unsigned mode) {
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    int error = 0;
    if (!m_direct && ::fchmod(m_fd, mode) != 0)
        error = errno;
    // A file that cannot be closed may have lost its last bytes.
    if (::close(m_fd) != 0 && error == 0)
        error = errno;
    m_fd = -1;
    if (m_direct) {
        m_path.clear();
        errno = error;
        return error == 0;
    }
    if (error == 0 && ::rename(m_path.c_str(), m_target.c_str()) != 0)
        error = errno;
    if (error != 0)
        ::unlink(m_path.c_str());
    m_path.clear();
    errno = error;
    return error == 0;
}

void StagedFile::Discard() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (!m_direct && !m_path.empty())
        ::unlink(m_path.c_str());
    m_path.clear();
    m_direct = false;
}

std::string StagedFile::FailureText(int error) const {
    return std::string(std::strerror(error)) + " (" + m_target + ")";
}
