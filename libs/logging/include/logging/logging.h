#pragma once

#include <cstddef>
#include <filesystem>
#include <sstream>
#include <string>

namespace logging {

// Severities used by the application's log records.
enum Severity : int {
    kInfo = 1,     // information: mounts, unmounts, removals
    kWarning = 2,  // a recoverable failure
    kError = 4,    // a caught library, file or format failure
};

struct Settings {
    // Folder of the rotating log file; empty means the per-user state folder of the program.
    std::filesystem::path directory;
    std::string fileName = "KelvoDrive.log";
    std::size_t maxFileSize = 5 * 1024 * 1024;
    std::size_t maxFiles = 5;
    bool toStandardError = true;
};

// Sets the sinks up. Records written before the first call go to standard error only.
void Initialize(const Settings& settings = Settings{});

// Folder where the log file lies after Initialize().
std::filesystem::path LogDirectory();

// Routes Qt's own messages (qDebug, qWarning, qCritical, qFatal) into the log.
void InstallQtMessageHandler();

// Writes all buffered records to their sinks.
void Flush();

namespace detail {

// One log record: collect the text through stream(); the record is written when the object is
// destroyed. Records of different threads never interleave.
class LogMessage {
public:
    LogMessage(const char* sourceFile, int line, int severity);
    ~LogMessage();
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;

    std::wostream& stream() { return m_stream; }

private:
    const char* m_sourceFile;
    int m_line;
    int m_severity;
    std::wostringstream m_stream;
};

}  // namespace detail
}  // namespace logging

// KELVO_LOG(logging::kError) << L"text";
#define KELVO_LOG(severity) ::logging::detail::LogMessage(__FILE__, __LINE__, (severity)).stream()
