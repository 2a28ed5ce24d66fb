// Log records on top of spdlog: one logger whose sinks are a size-rotated file in the user's state
// folder and standard error. spdlog's "_mt" sinks write each record under the sink's lock, so
// records of different threads never interleave.
#include <logging/logging.h>
#include <logging/private_files.h>
#include <platform_base/user_folders.h>

#include <QString>
#include <QtGlobal>

#include <spdlog/logger.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace logging {
namespace {

// Time with milliseconds, the writing thread's id, then the record's own text.
constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e [%t] %v";

// The logger currently in use and the folder of its file. Records take a copy of the pointer, so
// Initialize() may swap the logger while other threads write.
class LoggerRegistry {
public:
    std::shared_ptr<spdlog::logger> logger() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_logger) {
            m_logger = MakeLogger({std::make_shared<spdlog::sinks::stderr_sink_mt>()});
        }
        return m_logger;
    }

    void replace(std::shared_ptr<spdlog::logger> logger, std::filesystem::path directory) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_logger) {
            m_logger->flush();
        }
        m_logger = std::move(logger);
        m_directory = std::move(directory);
    }

    std::filesystem::path directory() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_directory;
    }

    static std::shared_ptr<spdlog::logger> MakeLogger(std::vector<spdlog::sink_ptr> sinks) {
        auto logger = std::make_shared<spdlog::logger>("KelvoDrive", sinks.begin(), sinks.end());
        logger->set_pattern(kPattern);
        logger->set_level(spdlog::level::trace);
        // Records are few; flushing each one keeps the file complete up to a crash.
        logger->flush_on(spdlog::level::trace);
        return logger;
    }

private:
    std::mutex m_mutex;
    std::shared_ptr<spdlog::logger> m_logger;
    std::filesystem::path m_directory;
};

LoggerRegistry& Registry() {
    static LoggerRegistry registry;
    return registry;
}

spdlog::level::level_enum LevelOf(int severity) {
    if (severity >= kError) {
        return spdlog::level::err;
    }
    if (severity >= kWarning) {
        return spdlog::level::warn;
    }
    return spdlog::level::info;
}

std::filesystem::path DefaultDirectory() {
    if (const char* fromEnvironment = std::getenv("KELVO_LOG_DIR");
        fromEnvironment && *fromEnvironment) {
        return fromEnvironment;
    }
    return kelvo_platform::StateHome() / "KelvoDrive";
}

std::string StemOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
        return path.substr(0, dot);
    }
    return path;
}

void Write(const std::string& source, int line, int severity, const std::string& utf8Text) {
    const std::string lineSuffix = line > 0 ? ":" + std::to_string(line) : std::string();
    Registry().logger()->log(LevelOf(severity), "[{}] {}{} {}", severity, source, lineSuffix,
                             utf8Text);
}

// The log names the user's files and folders: it is the owner's alone, and no child process gets
// its descriptor. Created 0600 before the sink opens it, so it is never readable by others even
// for a moment; an older file made with another mode is narrowed when opened.
spdlog::file_event_handlers PrivateLogFile() {
    spdlog::file_event_handlers handlers;
    handlers.before_open = [](const spdlog::filename_t& path) {
        std::error_code ignored;  // spdlog itself reports a file it cannot open
        private_files::CreatePrivateFile(path, ignored);
    };
    handlers.after_open = [](const spdlog::filename_t&, std::FILE* file) {
        const int descriptor = ::fileno(file);
        ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    };
    return handlers;
}

void WriteToStandardErrorLastResort(const char* what) {
    std::fprintf(stderr, "log record lost: %s\n", what);
}

void QtMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    int severity = kInfo;
    switch (type) {
        case QtDebugMsg:
        case QtInfoMsg:
            severity = kInfo;
            break;
        case QtWarningMsg:
            severity = kWarning;
            break;
        case QtCriticalMsg:
        case QtFatalMsg:
            severity = kError;
            break;
    }
    // Release builds of Qt leave the file out of the context; the category names the source then.
    const std::string source = context.file       ? SourceName(context.file)
                               : context.category ? std::string("Qt.") + context.category
                                                  : std::string("Qt");
    try {
        Write(source, context.file ? context.line : 0, severity, message.toStdString());
        if (type == QtFatalMsg) {
            // Qt aborts the process right after this handler returns.
            Flush();
        }
    } catch (const std::exception& error) {
        WriteToStandardErrorLastResort(error.what());
    }
}

}  // namespace

std::string SourceName(const char* sourceFile) {
    std::string path = sourceFile ? sourceFile : "";
    const std::string root = KELVO_SOURCE_ROOT;
    if (path.compare(0, root.size(), root) == 0) {
        path.erase(0, root.size());
    } else if (!path.empty() && path.front() == '/') {
        path = std::filesystem::path(path).filename().string();
    } else {
        // A compiler cache that rewrites paths relative to the build folder ("../../Driver/x.cpp")
        // hands a relative path: the part after the climbs is the path in the source tree.
        while (path.compare(0, 3, "../") == 0 || path.compare(0, 2, "./") == 0) {
            path.erase(0, path[1] == '/' ? 2 : 3);
        }
    }
    std::string name = StemOf(path);
    for (char& character : name) {
        if (character == '/') {
            character = '\\';
        }
    }
    return name;
}

void Initialize(const Settings& settings) {
    const std::filesystem::path directory =
        settings.directory.empty() ? DefaultDirectory() : settings.directory;
    std::vector<spdlog::sink_ptr> sinks;
    if (settings.toStandardError) {
        sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
    }
    std::string failure;
    try {
        std::error_code folderError;
        private_files::CreateFolders(directory, folderError);
        if (folderError) {
            throw std::filesystem::filesystem_error("create_directories", directory, folderError);
        }
        // spdlog counts the rotated files only; the current file makes one more.
        const std::size_t rotatedFiles = settings.maxFiles > 0 ? settings.maxFiles - 1 : 0;
        sinks.push_back(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            (directory / settings.fileName).string(), settings.maxFileSize, rotatedFiles, false,
            PrivateLogFile()));
    } catch (const std::exception& error) {
        failure = error.what();
        if (!settings.toStandardError) {
            sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
        }
    }
    Registry().replace(LoggerRegistry::MakeLogger(std::move(sinks)), directory);
    if (!failure.empty()) {
        Write("logging", 0, kError,
              "cannot open the log file in " + directory.string() + ": " + failure);
    }
}

std::wstring PathText(const std::filesystem::path& path) noexcept {
    try {
        return QString::fromUtf8(path.c_str()).toStdWString();
    } catch (...) {  // allocation only
        return L"?";
    }
}

std::filesystem::path LogDirectory() {
    return Registry().directory();
}

void InstallQtMessageHandler() {
    qInstallMessageHandler(QtMessageHandler);
}

void Flush() {
    Registry().logger()->flush();
}

void WriteRecord(const char* source, int severity, const std::string& utf8Text) {
    try {
        Write(source ? source : "", 0, severity, utf8Text);
    } catch (const std::exception& error) {
        WriteToStandardErrorLastResort(error.what());
    }
}

namespace detail {

LogMessage::LogMessage(const char* sourceFile, int line, int severity)
    : m_sourceFile(sourceFile), m_line(line), m_severity(severity) {}

LogMessage::~LogMessage() {
    try {
        Write(SourceName(m_sourceFile), m_line, m_severity,
              QString::fromStdWString(m_stream.str()).toStdString());
    } catch (const std::exception& error) {
        WriteToStandardErrorLastResort(error.what());
    }
}

}  // namespace detail
}  // namespace logging
