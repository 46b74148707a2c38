#include "window/CapturedCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "base/StagedFile.h"
#include "spool/SpoolFolder.h"

namespace {

// The bytes a file copy holds, from its intervals (bounded by CopyStatus::kMaxIntervals).
std::uint64_t HeldBytes(const CopyStatus& status) {
    std::uint64_t held = 0;
    for (const CopyInterval& interval : status.intervals) {
        if (interval.end > interval.first)
            held += interval.end - interval.first;
    }
    return status.intervalsCut || held == 0 ? status.keptBytes : held;
}

// The medium's size a whole file copy holds.
std::uint64_t WholeSize(const CopyStatus& status) {
    return status.total ? *status.total : HeldBytes(status);
}

std::mutex s_foldersMutex;
std::vector<std::string> s_folders;  // guarded by s_foldersMutex

bool SafeName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace

std::uint64_t TagCopyId(std::uint64_t copyId, std::uint64_t tag) {
    if (copyId == 0 || copyId >> kCopyIdBits != 0 || tag == 0 || tag > kFileCopyTag)
        return 0;
    return (tag << kCopyIdBits) | copyId;
}

std::string CopyByteCount(std::uint64_t bytes) {
    std::string digits = std::to_string(bytes);
    for (std::ptrdiff_t at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), 1, ',');
    return digits + (bytes == 1 ? " byte" : " bytes");
}

bool IsWholeFileCopy(const CopyStatus& status) {
    return status.kind == CopyKind::File && status.state == CopyState::Whole &&
           SafeName(status.name);
}

std::string CopyStateLine(const CopyStatus& status) {
    if (status.state == CopyState::Gone)
        return {};
    std::string what;
    if (status.kind == CopyKind::Stream) {
        what = std::to_string(status.parts) + (status.parts == 1 ? " piece" : " pieces");
        if (status.wholeParts != status.parts)
            what += ", " + std::to_string(status.wholeParts) + " of them complete";
        what += " (" + CopyByteCount(status.keptBytes) + ")";
    } else if (status.state == CopyState::Whole) {
        return "Captured: whole (" + CopyByteCount(WholeSize(status)) + ")";
    } else {
        const std::uint64_t held = HeldBytes(status);
        what = CopyByteCount(held);
        if (status.total)
            what = what.substr(0, what.rfind(' ')) + " of " + CopyByteCount(*status.total);
    }
    switch (status.state) {
        case CopyState::Filling:
            return "Captured so far: " + what;
        case CopyState::Whole:
            return "Captured: whole, " + what;
        case CopyState::Holes:
            return "Captured: " + what + ", with parts missing";
        case CopyState::Unchecked:
            return "Captured: " + what + " (whether that is all cannot be told)";
        case CopyState::Stopped:
            return std::string("Captured: stopped (") + CopyStopText(status.stop) + "), " + what;
        case CopyState::Gone:
            break;
    }
    return {};
}

bool CopyCapturedFile(int folderFd, const CopyStatus& status, const std::string& to,
                      const std::atomic<bool>& abort,
                      const std::function<void(std::uint64_t, std::uint64_t)>& progress,
                      std::string& failure) {
    if (!IsWholeFileCopy(status)) {
        failure = "the capture holds no whole copy of it";
        return false;
    }
    const std::uint64_t total = WholeSize(status);
    // Never through a link, never waiting on something that is not a regular file.
    const int in =
        ::openat(folderFd, status.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) {
        failure = std::string("the capture's copy cannot be opened: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) != total) {
        ::close(in);
        failure = "the capture's copy is not the size it was captured at";
        return false;
    }
    StagedFile out;
    if (!out.Create(to)) {
        const int error = errno;
        ::close(in);
        failure = out.FailureText(error);
        return false;
    }
    constexpr std::size_t kChunk = std::size_t{8} << 20;
    std::uint64_t done = 0;
    bool ranged = true;  // copy_file_range, until the file systems refuse it
    std::vector<char> buffer;
    int error = 0;
    while (done < total && !abort) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, total - done));
        ssize_t got = -1;
        if (ranged) {
            got = ::copy_file_range(in, nullptr, out.Fd(), nullptr, want, 0);
            if (got < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                ranged = false;
                continue;
            }
        } else {
            buffer.resize(std::size_t{1} << 20);
            got = ::read(in, buffer.data(), std::min(want, buffer.size()));
            if (got > 0 && !out.WriteAll(buffer.data(), static_cast<std::size_t>(got))) {
                error = errno;
                break;
            }
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = errno;
            break;
        }
        if (got == 0) {
            error = EIO;  // shorter than its size said
            break;
        }
        done += static_cast<std::uint64_t>(got);
        if (progress)
            progress(done, total);
    }
    ::close(in);
    if (abort) {
        out.Discard();
        failure = "the copy was cancelled";
        return false;
    }
    if (error != 0 || done != total || !out.Commit()) {
        if (error == 0)
            error = errno;
        out.Discard();
        failure = out.FailureText(error);
        return false;
    }
    return true;
}

void ListSpoolFolder(const std::string& path) {
    std::lock_guard lock(s_foldersMutex);
    s_folders.push_back(path);
}

void UnlistSpoolFolder(std::string_view path) {
    std::lock_guard lock(s_foldersMutex);
    s_folders.erase(std::remove(s_folders.begin(), s_folders.end(), path), s_folders.end());
}

void RemoveListedSpoolFolders() {
    std::vector<std::string> folders;
    {
        std::lock_guard lock(s_foldersMutex);
        folders.swap(s_folders);
    }
    for (const std::string& folder : folders) RemoveSpoolFolder(folder);
}

namespace {

constexpr std::string_view kWorkFolderKinds[] = {"pelnix-spool-", "pelnix-files-spool-",
                                                 "pelnix-join-"};

}  // namespace

std::string WorkFolderPrefix(std::string_view kind) {
    return std::string(kind) + std::to_string(::getpid()) + "-";
}

void RemoveFoldersOfEndedWindows(const std::string& workFolder) {
    DIR* folder = ::opendir(workFolder.c_str());
    if (folder == nullptr)
        return;
    std::vector<std::string> ended;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string_view name = entry->d_name;
        for (const std::string_view kind : kWorkFolderKinds) {
            if (!name.starts_with(kind))
                continue;
            // KIND PID "-" and mkdtemp's six letters; anything else is not one of ours.
            const std::string_view rest = name.substr(kind.size());
            const std::size_t dash = rest.find('-');
            if (dash == 0 || dash == std::string_view::npos || dash > 9 ||
                rest.size() != dash + 7 ||
                !std::all_of(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(dash),
                             [](char c) { return c >= '0' && c <= '9'; }))
                break;
            const pid_t pid = static_cast<pid_t>(std::stol(std::string(rest.substr(0, dash))));
            if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
                ended.emplace_back(name);
            break;
        }
    }
    ::closedir(folder);
    const int folderFd = ::open(workFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return;
    for (const std::string& name : ended) {
        // Only a folder of this user's (its copies' folders inside it too); links are removed,
        // never followed.
        struct stat info {};
        if (::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(info.st_mode) && info.st_uid == ::geteuid())
            RemoveSpoolFolder(workFolder + "/" + name);
    }
    ::close(folderFd);
}
