// A small file system that fills up, for tests of full destinations. A tmpfs of the given size is
// mounted in a mount namespace of its own, held by a helper process, so that nothing changes in
// this machine's mount table; its folder is reached through that process's root,
// /proc/<pid>/root/<folder>. Needs root (and util-linux's unshare); SkipReason says why not.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

extern char** environ;

class SmallDisk {
public:
    explicit SmallDisk(std::size_t bytes) {
        if (!SkipReason().empty())
            return;
        char pattern[] = "/tmp/pelnix-small-XXXXXX";
        if (!::mkdtemp(pattern))
            return;
        m_mountPoint = pattern;
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        const std::string script =
            "mount -t tmpfs -o size=" + std::to_string(bytes) +
            ",mode=0700 pelnix-small \"$1\" && echo ready && exec sleep 3600";
        const char* argv[] = {
            "unshare",      "--mount", "--propagation",      "private", "sh", "-c",
            script.c_str(), "sh",      m_mountPoint.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, ready[0]);
        if (posix_spawnp(&m_holder, "unshare", &actions, nullptr, const_cast<char**>(argv),
                         environ) != 0) {
            m_holder = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(ready[1]);
        char word[8] = {};
        const bool mounted =
            m_holder > 0 && ::read(ready[0], word, 5) == 5 && std::string(word, 5) == "ready";
        ::close(ready[0]);
        if (mounted)
            m_path = "/proc/" + std::to_string(m_holder) + "/root" + m_mountPoint;
    }
    ~SmallDisk() {
        if (m_holder > 0) {
            ::kill(m_holder, SIGKILL);  // its mount namespace, and the tmpfs, go with it
            ::waitpid(m_holder, nullptr, 0);
        }
        if (!m_mountPoint.empty())
            ::rmdir(m_mountPoint.c_str());
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool Ok() const { return !m_path.empty(); }
    // A folder on the small file system.
    const std::string& Path() const { return m_path; }

    // Empty when a small disk can be made here; otherwise why not.
    static std::string SkipReason() {
        if (::geteuid() != 0)
            return "needs root: mounts a small tmpfs in a mount namespace of its own";
        if (::access("/usr/bin/unshare", X_OK) != 0)
            return "needs unshare (util-linux) for a private mount namespace";
        return {};
    }

private:
    std::string m_mountPoint;
    std::string m_path;
    pid_t m_holder = -1;
};
