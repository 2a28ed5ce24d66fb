#pragma once

// A second safety net for a crash: fusermount3's auto_unmount asks the mount whether its server is
// gone the moment the server's end of its socket closes, which on a busy machine can be a moment
// before the kernel has taken the connection down; the mount then stays behind, dead. This guard
// is a small shell process that waits for the server process to end, then waits until the mount
// reads as dead (ENOTCONN) and detaches it. It never touches a live mount.

#include <sys/types.h>
#include <filesystem>

namespace kelvo_platform {

class UnmountGuard {
public:
    explicit UnmountGuard(const std::filesystem::path& folder);
    // The mount ended normally: the guard ends without doing anything.
    ~UnmountGuard();
    UnmountGuard(const UnmountGuard&) = delete;
    UnmountGuard& operator=(const UnmountGuard&) = delete;

private:
    pid_t m_child = -1;
    int m_lifeline = -1;  // the write end; the child sees end-of-file when this process ends
};

}  // namespace kelvo_platform
