#include "child_process.h"

#include <logging/logging.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace kelvo_platform {
namespace {

int DecodeWaitStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

bool IsExecutableFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<std::string> FindProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return IsExecutableFile(program) ? std::optional<std::string>(program) : std::nullopt;
    }
    std::string searchPath;
    if (const char* path = std::getenv("PATH")) {
        searchPath = path;
    }
    searchPath += ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    std::size_t start = 0;
    while (start <= searchPath.size()) {
        const std::size_t end = std::min(searchPath.find(':', start), searchPath.size());
        const std::string folder = searchPath.substr(start, end - start);
        if (!folder.empty()) {
            const std::string candidate = folder + "/" + program;
            if (IsExecutableFile(candidate)) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<ChildProcess> ChildProcess::Start(const std::vector<std::string>& arguments,
                                                const std::vector<std::string>& extraEnvironment,
                                                bool quiet) {
    if (arguments.empty()) {
        return std::nullopt;
    }
    const std::optional<std::string> program = FindProgram(arguments.front());
    if (!program) {
        if (!quiet) {
            KELVO_LOG(logging::kError) << L"Program not found: " << arguments.front().c_str();
        }
        return std::nullopt;
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    // Only standard input, output and error: a descriptor that a library opened without
    // close-on-exec (or another thread opened just now) must not reach the program, where it would
    // keep a pipe or a mount's connection open for as long as the program runs.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t pid = -1;
    const int result =
        ::posix_spawn(&pid, program->c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        KELVO_LOG(logging::kError)
            << L"Cannot start " << program->c_str() << L": " << std::strerror(result);
        return std::nullopt;
    }
    return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(other.m_pid), m_exitStatus(other.m_exitStatus) {
    other.m_pid = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Detach();
        m_pid = other.m_pid;
        m_exitStatus = other.m_exitStatus;
        other.m_pid = -1;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    Detach();
}

std::optional<int> ChildProcess::Wait(std::optional<std::chrono::milliseconds> timeout) {
    if (m_exitStatus || m_pid < 0) {
        return m_exitStatus;
    }
    const auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout
                                  : std::chrono::steady_clock::time_point::max();
    for (;;) {
        int status = 0;
        const pid_t result = ::waitpid(m_pid, &status, timeout ? WNOHANG : 0);
        if (result == m_pid) {
            m_exitStatus = DecodeWaitStatus(status);
            m_pid = -1;
            return m_exitStatus;
        }
        if (result < 0 && errno != EINTR) {
            // Reaped elsewhere (for example by a SIGCHLD handler of the application).
            m_exitStatus = -1;
            m_pid = -1;
            return m_exitStatus;
        }
        if (result == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

void ChildProcess::Detach() {
    if (m_pid < 0 || m_exitStatus) {
        return;
    }
    const pid_t pid = m_pid;
    m_pid = -1;
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

std::optional<int> RunProgram(const std::vector<std::string>& arguments,
                              const std::vector<std::string>& extraEnvironment, bool quiet) {
    std::optional<ChildProcess> child = ChildProcess::Start(arguments, extraEnvironment, quiet);
    if (!child) {
        return std::nullopt;
    }
    return child->Wait();
}

}  // namespace kelvo_platform
