#include "spool/SpoolFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

std::string CheckPrivateFolder(int fd, std::string_view shownAs) {
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return "cannot look at the folder '" + std::string(shownAs) + "': " + std::strerror(errno);
    if (!S_ISDIR(info.st_mode))
        return "'" + std::string(shownAs) + "' is not a folder";
    if (info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        return "the folder '" + std::string(shownAs) +
               "' must belong to you and be closed to everybody else (mode 0700) to keep "
               "captured media in it";
    }
    return {};
}

int OpenPrivateFolder(const std::string& path, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open the folder '" + path + "': " + std::strerror(errno);
        return -1;
    }
    error = CheckPrivateFolder(fd, path);
    if (!error.empty()) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string MakePrivateFolder(const std::string& parent, std::string_view prefix,
                              std::string& error) {
    std::string pattern = parent;
    if (pattern.empty() || pattern.back() != '/')
        pattern += '/';
    pattern += prefix;
    pattern += "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    // mkdtemp makes it with mode 0700 whatever the umask.
    if (mkdtemp(buffer.data()) == nullptr) {
        error = "cannot make a folder in '" + parent + "': " + std::strerror(errno);
        return {};
    }
    return std::string(buffer.data());
}

namespace {

// Removes `name` in `dirFd`, folders to `depth` levels below it; links are removed, never
// followed.
bool RemoveTree(int dirFd, const std::string& name, int depth) {
    if (unlinkat(dirFd, name.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    if ((errno != EISDIR && errno != EPERM) || depth < 0)
        return false;
    const int inner = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner < 0)
        return false;
    DIR* folder = fdopendir(inner);
    if (folder == nullptr) {
        close(inner);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(folder)) {
        const std::string entryName = entry->d_name;
        if (entryName != "." && entryName != "..")
            names.push_back(entryName);
    }
    bool removed = true;
    for (const std::string& entryName : names)
        removed = RemoveTree(dirfd(folder), entryName, depth - 1) && removed;
    closedir(folder);
    return unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0 && removed;
}

}  // namespace

bool RemoveSpoolEntry(int dirFd, const std::string& name) {
    return RemoveTree(dirFd, name, 0);
}

bool RemoveSpoolFolder(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int parentFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0)
        return false;
    const bool removed = RemoveTree(parentFd, name, 1);
    close(parentFd);
    return removed;
}
