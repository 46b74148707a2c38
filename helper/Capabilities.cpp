#include "helper/Capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string Failed(const char* step) {
    return std::string(step) + ": " + std::strerror(errno);
}

}  // namespace

std::string DropAllCapabilities() {
    // Nothing this process runs may gain rights again (set-user-id files, file capabilities).
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return Failed("setting no-new-privileges");
    // Kernels without ambient capabilities (before 4.3) refuse the call: nothing to clear.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        return Failed("clearing the ambient capabilities");

    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &header, none) != 0)
        return Failed("emptying the capability sets");

    // Read back: the kernel must show every set empty.
    __user_cap_data_struct now[_LINUX_CAPABILITY_U32S_3];
    std::memset(now, 0xFF, sizeof now);
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    if (syscall(SYS_capget, &header, now) != 0)
        return Failed("reading the capability sets");
    for (const auto& word : now) {
        if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0)
            return "a capability set is not empty after it was emptied";
    }
    for (unsigned long cap = 0; cap < 64; ++cap) {
        const int set = prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0);
        if (set < 0)
            break;  // past the last capability this kernel knows (or no ambient set at all)
        if (set != 0)
            return "an ambient capability is still set after the ambient set was cleared";
    }
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1)
        return "no-new-privileges does not hold after it was set";
    return {};
}
