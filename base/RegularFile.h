// Opening a file the user names for reading, when only a regular file makes sense: a FIFO
// would hold open() (and every read after it) until some writer comes, a device or a folder
// reads as nonsense. Header-only, so that the capture pipeline uses it without linking
// anything.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

// What a file is that is not a regular file, for the line that refuses it.
inline std::string NotRegularFileText(mode_t mode) {
    if (S_ISFIFO(mode))
        return "a FIFO, not a regular file";
    if (S_ISDIR(mode))
        return "a folder, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device, not a regular file";
    if (S_ISSOCK(mode))
        return "a socket, not a regular file";
    return "not a regular file";
}

// Opens `path` read-only without waiting in open() and refuses what is not a regular file:
// -1 with `why` set (the system's words, or NotRegularFileText).
inline int OpenRegularFile(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        why = NotRegularFileText(status.st_mode);
        ::close(fd);
        return -1;
    }
    // Reads of a regular file never wait; the flag would only surprise the C library.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
