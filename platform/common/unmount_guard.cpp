#include "unmount_guard.h"

#include <logging/logging.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <string>
#include <thread>

extern char** environ;

namespace kelvo_platform {
namespace {

// The guard is a shell started with posix_spawn rather than a fork of this process: a fork would
// share every page of this process copy-on-write for as long as the mount lives, and each first
// write to one would then cost a copy. The script reads its standard input: a line means the
// mount ended normally; end of file means this process died. Then, for up to five seconds, it
// waits for the folder to report a dead connection, and only then detaches it.
constexpr char kGuardScript[] = R"SH(
IFS= read -r ended && exit 0
attempt=0
while [ "$attempt" -lt 50 ]; do
    if LC_ALL=C stat -- "$1" 2>&1 >/dev/null | grep -q 'not connected'; then
        exec fusermount3 -u -z -q -- "$1"
    fi
    sleep 0.1
    attempt=$((attempt + 1))
done
)SH";

}  // namespace

UnmountGuard::UnmountGuard(const std::filesystem::path& folder) {
    int lifeline[2] = {-1, -1};
    if (::pipe2(lifeline, O_CLOEXEC) != 0) {
        KELVO_LOG(logging::kWarning) << L"No crash guard for " << folder.c_str();
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, lifeline[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Nothing of this process may keep the mount's connection alive in the guard.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A session of its own, so that a signal to this process's group does not end the guard.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::string shell = "/bin/sh";
    std::string dashC = "-c";
    std::string script = kGuardScript;
    std::string name = "kelvo-unmount-guard";
    std::string target = folder.string();
    char* arguments[] = {shell.data(), dashC.data(),  script.data(),
                         name.data(),  target.data(), nullptr};
    pid_t child = -1;
    const int result =
        ::posix_spawn(&child, shell.c_str(), &actions, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(lifeline[0]);
    if (result != 0) {
        ::close(lifeline[1]);
        KELVO_LOG(logging::kWarning) << L"No crash guard for " << folder.c_str();
        return;
    }
    m_child = child;
    m_lifeline = lifeline[1];
}

UnmountGuard::~UnmountGuard() {
    if (m_lifeline >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(m_lifeline, "ended\n", 6);
        ::close(m_lifeline);
    }
    if (m_child > 0) {
        // The guard ends at once; reap it without holding up the unmount.
        const pid_t child = m_child;
        std::thread([child] {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
}

}  // namespace kelvo_platform
