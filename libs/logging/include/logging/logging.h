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
    // Folder of the rotating log file. Empty means: the folder named by the environment variable
    // KELVO_LOG_DIR when it is set, else the per-user state folder of the program
    // ($XDG_STATE_HOME/KelvoDrive, or ~/.local/state/KelvoDrive).
    std::filesystem::path directory;
    std::string fileName = "KelvoDrive.log";
    // The file is rotated when the next record would make it larger than this.
    std::size_t maxFileSize = 5 * 1024 * 1024;
    // How many files are kept in all, the current one included ("KelvoDrive.log",
    // "KelvoDrive.1.log", ...). At least 1.
    std::size_t maxFiles = 5;
    bool toStandardError = true;
};

// Sets the sinks up (again, when called more than once). Records written before the first call go
// to standard error only. When the log file cannot be opened, the records go to standard error and
// a record there says why.
void Initialize(const Settings& settings = Settings{});

// Folder where the log file lies after Initialize().
std::filesystem::path LogDirectory();

// Routes Qt's own messages (qDebug, qWarning, qCritical, qFatal) into the log.
void InstallQtMessageHandler();

// Writes all buffered records to their sinks.
void Flush();

// A path as wide text for a record. Never throws: bytes that are not UTF-8 become replacement
// characters (std::filesystem::path::wstring() throws on them under some locales).
std::wstring PathText(const std::filesystem::path& path) noexcept;

// Writes one record whose text is already UTF-8 and whose source is named by the caller, for
// messages of other libraries. libfuse's messages come in this way: the platform layer registers
// a function with fuse_set_log_func() that formats the message and calls
// WriteRecord("fuse", severity, text) (FUSE_LOG_ERR and worse: kError, FUSE_LOG_WARNING and
// FUSE_LOG_NOTICE: kWarning, the rest: kInfo).
void WriteRecord(const char* source, int severity, const std::string& utf8Text);

// The name a record gives its source file: the path relative to the project root without the
// extension, with backslashes ("/.../Driver/FSDriver.cpp" gives "Driver\FSDriver"). A file outside
// the project is named by its file name without extension.
std::string SourceName(const char* sourceFile);

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
