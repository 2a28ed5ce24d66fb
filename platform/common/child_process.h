#pragma once

// Starting helper programs (fusermount3, modprobe, apt-get, pkexec, xdg-open) without a shell.

#include <sys/types.h>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace kelvo_platform {

// One started program. Waits for it (or leaves a reaper behind) when destroyed, so no zombie is
// left over.
class ChildProcess {
public:
    // Starts `arguments[0]`, looked up on PATH; nullopt when it cannot be started (the reason is
    // logged). `extraEnvironment` entries ("NAME=value") are added to the inherited environment.
    // The program gets standard input, output and error and no other descriptor of this process.
    static std::optional<ChildProcess> Start(const std::vector<std::string>& arguments,
                                             const std::vector<std::string>& extraEnvironment = {},
                                             bool quiet = false);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Waits for the end; the exit status (128 + signal for a killed program), or nullopt when
    // `timeout` passed first.
    std::optional<int> Wait(std::optional<std::chrono::milliseconds> timeout = std::nullopt);
    // Lets the program run on by itself; a background thread reaps it.
    void Detach();
    pid_t Pid() const { return m_pid; }

private:
    explicit ChildProcess(pid_t pid) : m_pid(pid) {}
    pid_t m_pid = -1;
    std::optional<int> m_exitStatus;
};

// Runs a program to its end; its exit status, or nullopt when it could not be started.
std::optional<int> RunProgram(const std::vector<std::string>& arguments,
                              const std::vector<std::string>& extraEnvironment = {},
                              bool quiet = false);

// Whether `program` is found on PATH or in the system folders (which PATH may lack under pkexec).
std::optional<std::string> FindProgram(const std::string& program);

}  // namespace kelvo_platform
