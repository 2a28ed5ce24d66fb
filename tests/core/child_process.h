#pragma once

#include <sys/types.h>
#include <string>
#include <vector>

namespace kelvo_test {

// A program started with its standard output connected to this process. Killed and collected on
// destruction if still running.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line the child wrote (without the newline); empty at the end of its output.
    std::string ReadLine();
    void Kill();
    // Waits for the child to end; its raw wait status.
    int Wait();
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_output = -1;
    bool m_collected = false;
};

}  // namespace kelvo_test
