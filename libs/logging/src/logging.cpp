// Placeholder until the spdlog-based sinks land: every record goes to standard error.
#include <logging/logging.h>

#include <iostream>
#include <mutex>

namespace logging {

void Initialize(const Settings&) {}
std::filesystem::path LogDirectory() { return {}; }
void InstallQtMessageHandler() {}
void Flush() {}

namespace detail {

LogMessage::LogMessage(const char* sourceFile, int line, int severity)
    : m_sourceFile(sourceFile), m_line(line), m_severity(severity) {}

LogMessage::~LogMessage() {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::wcerr << m_severity << L' ' << m_sourceFile << L':' << m_line << L' ' << m_stream.str()
               << L'\n';
}

}  // namespace detail
}  // namespace logging
