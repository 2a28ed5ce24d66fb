#include "unmount_guard.h"

#include "child_process.h"

#include <logging/logging.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <string>
#include <thread>

namespace kelvo_platform {
namespace {

// Runs in the forked child of a multi-threaded process: system calls only, no allocation.
[[noreturn]] void GuardMount(int lifeline, const char* folder, const char* helper,
                             char* const* helperArguments, bool root) {
    // Nothing of the parent may keep the mount's connection alive from here.
    ::close_range(3, static_cast<unsigned>(lifeline) - 1, 0);
    ::close_range(static_cast<unsigned>(lifeline) + 1, ~0U, 0);
    // A byte: the mount ended normally. End of file: the parent died.
    char byte = 0;
    ssize_t result = 0;
    while ((result = ::read(lifeline, &byte, 1)) != 0) {
        if (result > 0 || errno != EINTR) {
            ::_exit(0);
        }
    }
    // The parent is gone. Give the kernel up to five seconds to take its connection down.
    struct stat status {};
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::stat(folder, &status) != 0 && errno == ENOTCONN) {
            if (root && ::umount2(folder, MNT_DETACH) == 0) {
                ::_exit(0);
            }
            if (helper != nullptr) {
                ::execv(helper, helperArguments);
            }
            ::_exit(1);
        }
        const timespec pause{0, 100'000'000};
        ::nanosleep(&pause, nullptr);
    }
    ::_exit(0);
}

}  // namespace

UnmountGuard::UnmountGuard(const std::filesystem::path& folder) {
    int lifeline[2] = {-1, -1};
    if (::pipe2(lifeline, O_CLOEXEC) != 0) {
        KELVO_LOG(logging::kWarning) << L"No crash guard for " << folder.c_str();
        return;
    }
    // Everything the child needs is prepared before the fork.
    const std::string path = folder.string();
    const std::optional<std::string> helper = FindProgram("fusermount3");
    std::string program = "fusermount3";
    std::string unmount = "-u";
    std::string lazy = "-z";
    std::string quiet = "-q";
    std::string separator = "--";
    std::string target = path;
    char* arguments[] = {program.data(),   unmount.data(), lazy.data(), quiet.data(),
                         separator.data(), target.data(),  nullptr};
    const bool root = ::geteuid() == 0;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(lifeline[1]);
        GuardMount(lifeline[0], path.c_str(), helper ? helper->c_str() : nullptr, arguments, root);
    }
    ::close(lifeline[0]);
    if (child < 0) {
        ::close(lifeline[1]);
        KELVO_LOG(logging::kWarning) << L"No crash guard for " << folder.c_str();
        return;
    }
    m_child = child;
    m_lifeline = lifeline[1];
}

UnmountGuard::~UnmountGuard() {
    if (m_lifeline >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(m_lifeline, "x", 1);
        ::close(m_lifeline);
    }
    if (m_child > 0) {
        // The child ends at once; reap it without holding up the unmount.
        const pid_t child = m_child;
        std::thread([child] {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
}

}  // namespace kelvo_platform
