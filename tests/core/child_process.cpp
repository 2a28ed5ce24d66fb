#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kelvo_test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const int result =
        ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    m_output = pipeEnds[0];
    if (result != 0) {
        ::close(m_output);
        throw std::runtime_error("cannot start " + program);
    }
}

ChildProcess::~ChildProcess() {
    if (!m_collected) {
        Kill();
        Wait();
    }
    ::close(m_output);
}

std::string ChildProcess::ReadLine() {
    std::string line;
    char c = 0;
    while (true) {
        const ssize_t count = ::read(m_output, &c, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0 || c == '\n') {
            return line;
        }
        line += c;
    }
}

void ChildProcess::Kill() {
    if (!m_collected) {
        ::kill(m_pid, SIGKILL);
    }
}

int ChildProcess::Wait() {
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_collected = true;
    return status;
}

}  // namespace kelvo_test
