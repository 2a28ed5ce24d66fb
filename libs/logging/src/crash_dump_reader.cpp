// Turns the raw dumps of crashed runs into readable reports. The dump holds absolute addresses of
// the crashed process; address-space randomisation loads each module at another place in this
// run, so each address is moved from the code segment that held it then to the same segment of
// the same file now (the memory maps of both runs say where), and boost::stacktrace names it from
// the module's debug information. A module that is not loaded now, or was replaced since, is shown
// as file+offset.
#include <logging/dump_util.h>

#include "crash_dump_format_p.h"

#include <logging/logging.h>

#include <boost/stacktrace/frame.hpp>

#include <QString>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dump_util {
namespace {

using namespace detail;

struct Mapping {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    std::string permissions;
    std::uintptr_t offset = 0;
    std::string inode;
    std::string path;

    bool sameSegment(const Mapping& other) const {
        return path == other.path && inode == other.inode && offset == other.offset &&
               permissions == other.permissions;
    }
};

struct Dump {
    std::map<std::string, std::string> values;
    std::vector<std::uintptr_t> frames;
    std::vector<Mapping> maps;
};

std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw std::runtime_error("cannot open " + path.string());
    }
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

std::optional<Mapping> ParseMapsLine(const std::string& line) {
    // "start-end perms offset dev inode   path"
    std::istringstream fields(line);
    std::string range, offset, device;
    Mapping mapping;
    if (!(fields >> range >> mapping.permissions >> offset >> device >> mapping.inode)) {
        return std::nullopt;
    }
    std::getline(fields >> std::ws, mapping.path);
    const auto dash = range.find('-');
    if (dash == std::string::npos) {
        return std::nullopt;
    }
    try {
        mapping.start = std::stoull(range.substr(0, dash), nullptr, 16);
        mapping.end = std::stoull(range.substr(dash + 1), nullptr, 16);
        mapping.offset = std::stoull(offset, nullptr, 16);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return mapping;
}

std::vector<Mapping> ParseMaps(std::istream& lines) {
    std::vector<Mapping> maps;
    std::string line;
    while (std::getline(lines, line)) {
        if (auto mapping = ParseMapsLine(line)) {
            maps.push_back(*mapping);
        }
    }
    return maps;
}

// Returns nothing when the file is not a dump of ours.
std::optional<Dump> ParseDump(const std::string& content) {
    std::istringstream lines(content);
    std::string line;
    if (!std::getline(lines, line) || line != kDumpHeader) {
        return std::nullopt;
    }
    Dump dump;
    while (std::getline(lines, line) && line != kSectionFrames) {
        const auto space = line.find(' ');
        if (space != std::string::npos) {
            dump.values[line.substr(0, space)] = line.substr(space + 1);
        }
    }
    while (std::getline(lines, line) && line != kSectionMaps) {
        try {
            dump.frames.push_back(std::stoull(line, nullptr, 16));
        } catch (const std::exception&) {
            // A torn line from a handler that was cut short; the other frames still count.
        }
    }
    dump.maps = ParseMaps(lines);
    return dump;
}

std::vector<Mapping> CurrentMaps() {
    std::ifstream stream("/proc/self/maps");
    return ParseMaps(stream);
}

std::string Hex(std::uintptr_t value) {
    std::ostringstream text;
    text << "0x" << std::hex << value;
    return text.str();
}

// `isReturnAddress`: the frame's address is where a call returns to, which for a call that never
// returns can already be the next function; such a frame is named by the call instruction itself.
std::string DescribeFrame(std::uintptr_t address, bool isReturnAddress,
                          const std::vector<Mapping>& thenMaps,
                          const std::vector<Mapping>& nowMaps) {
    const auto segmentThen =
        std::find_if(thenMaps.begin(), thenMaps.end(), [address](const Mapping& mapping) {
            return address >= mapping.start && address < mapping.end && !mapping.path.empty() &&
                   mapping.path.front() == '/';
        });
    if (segmentThen == thenMaps.end()) {
        return Hex(address);
    }
    const std::string location =
        segmentThen->path + "+" + Hex(address - segmentThen->start + segmentThen->offset);
    // Other mappings of the same file (a reader's view of it, for one) are never the same
    // segment: they differ in permissions or offset.
    const auto segmentNow = std::find_if(
        nowMaps.begin(), nowMaps.end(),
        [&segmentThen](const Mapping& mapping) { return mapping.sameSegment(*segmentThen); });
    if (segmentNow == nowMaps.end()) {
        return Hex(address) + " in " + location;
    }
    const std::uintptr_t lookUp =
        address - segmentThen->start + segmentNow->start - (isReturnAddress ? 1 : 0);
    const boost::stacktrace::frame frame(
        reinterpret_cast<boost::stacktrace::frame::native_frame_ptr_t>(lookUp));
    std::string text = Hex(address) + " ";
    const std::string name = frame.name();
    text += name.empty() ? std::string("??") : name;
    const std::string sourceFile = frame.source_file();
    if (!sourceFile.empty()) {
        text += " at " + sourceFile + ":" + std::to_string(frame.source_line());
    }
    return text + " in " + location;
}

std::string SignalName(int signalNumber) {
    switch (signalNumber) {
        case SIGSEGV:
            return "SIGSEGV, invalid memory access";
        case SIGABRT:
            return "SIGABRT, aborted";
        case SIGBUS:
            return "SIGBUS, bus error";
        case SIGFPE:
            return "SIGFPE, arithmetic error";
        case SIGILL:
            return "SIGILL, illegal instruction";
        default:
            return "signal " + std::to_string(signalNumber);
    }
}

std::string Value(const Dump& dump, const std::string& key) {
    const auto found = dump.values.find(key);
    return found == dump.values.end() ? std::string("unknown") : found->second;
}

std::time_t CrashTime(const Dump& dump) {
    try {
        return static_cast<std::time_t>(std::stoll(Value(dump, kKeyTime)));
    } catch (const std::exception&) {
        return 0;
    }
}

std::string FormatTime(std::time_t time, const char* format) {
    std::tm local{};
    localtime_r(&time, &local);
    char text[64];
    return std::strftime(text, sizeof(text), format, &local) > 0 ? text : "unknown";
}

std::string Report(const Dump& dump) {
    std::ostringstream report;
    report << "KelvoDrive crash report\n";
    report << "Time: " << FormatTime(CrashTime(dump), "%Y-%m-%d %H:%M:%S %z") << "\n";
    report << "Program: " << Value(dump, kKeyProgram) << "\n";
    report << "Version: " << Value(dump, kKeyVersion) << "\n";
    report << "Process: " << Value(dump, kKeyPid) << "\n";
    int signalNumber = 0;
    try {
        signalNumber = std::stoi(Value(dump, kKeySignal));
    } catch (const std::exception&) {
    }
    report << "Signal: " << signalNumber << " (" << SignalName(signalNumber) << ")\n";
    if (dump.values.count(kKeyException)) {
        report << "Exception: " << Value(dump, kKeyException) << "\n";
    }
    report << "Stack trace of the crashing thread (the crash handler first):\n";
    const std::vector<Mapping> nowMaps = CurrentMaps();
    std::uintptr_t interruptedAt = 0;
    try {
        interruptedAt = std::stoull(Value(dump, kKeyInterruptedAt), nullptr, 16);
    } catch (const std::exception&) {
    }
    for (std::size_t index = 0; index < dump.frames.size(); ++index) {
        const std::uintptr_t address = dump.frames[index];
        // The signal trampoline, just before the interrupted frame, is entered by the kernel at
        // its first instruction, not returned to.
        const bool isTrampoline =
            index + 1 < dump.frames.size() && dump.frames[index + 1] == interruptedAt;
        const bool isReturnAddress = address != interruptedAt && !isTrampoline;
        report << (index < 10 ? " " : "") << index << "# "
               << DescribeFrame(address, isReturnAddress, dump.maps, nowMaps) << "\n";
    }
    return report.str();
}

std::filesystem::path ReportPath(const std::filesystem::path& folder, const Dump* dump,
                                 const std::filesystem::path& dumpPath) {
    std::string stem = dumpPath.stem().string();
    if (dump) {
        stem = kDumpFilePrefix + FormatTime(CrashTime(*dump), "%Y%m%d-%H%M%S") + "-" +
               Value(*dump, kKeyPid);
    }
    std::filesystem::path path = folder / (stem + kReportFileSuffix);
    for (int attempt = 1; std::filesystem::exists(path); ++attempt) {
        path = folder / (stem + "-" + std::to_string(attempt) + kReportFileSuffix);
    }
    return path;
}

// The report names the user's files: the owner's alone, written whole or not at all.
void WriteReport(const std::filesystem::path& path, const std::string& text) {
    const std::filesystem::path partial = path.string() + ".part";
    const int descriptor =
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (descriptor < 0) {
        throw std::runtime_error("cannot write " + partial.string() + ": " + std::strerror(errno));
    }
    ::fchmod(descriptor, S_IRUSR | S_IWUSR);  // a leftover of an earlier attempt keeps its mode
    const char* rest = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(descriptor, rest, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const int writeError = errno;
            ::close(descriptor);
            throw std::runtime_error("cannot write " + partial.string() + ": " +
                                     std::strerror(writeError));
        }
        rest += written;
        left -= static_cast<std::size_t>(written);
    }
    if (::fsync(descriptor) != 0 || ::close(descriptor) != 0) {
        throw std::runtime_error("cannot write " + partial.string() + ": " + std::strerror(errno));
    }
    std::filesystem::rename(partial, path);
}

bool IsDump(const std::filesystem::directory_entry& entry) {
    const std::string name = entry.path().filename().string();
    std::error_code error;
    return entry.is_regular_file(error) && name.rfind(kDumpFilePrefix, 0) == 0 &&
           entry.path().extension() == kDumpFileSuffix;
}

std::filesystem::path SymbolizeDump(const std::filesystem::path& folder,
                                    const std::filesystem::path& dumpPath) {
    const std::string content = ReadWholeFile(dumpPath);
    const std::optional<Dump> dump = ParseDump(content);
    // A dump that cannot be read still becomes a report, with its raw content, so nothing is lost.
    const std::string text =
        dump ? Report(*dump)
             : "KelvoDrive crash report\nThe crash dump could not be read; its content follows.\n" +
                   content;
    const std::filesystem::path reportPath = ReportPath(folder, dump ? &*dump : nullptr, dumpPath);
    WriteReport(reportPath, text);
    std::filesystem::remove(dumpPath);
    KELVO_LOG(logging::kWarning) << L"a previous run crashed; report: "
                                 << logging::PathText(reportPath);
    return reportPath;
}

}  // namespace

std::vector<std::filesystem::path> SymbolizePendingDumps(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> reports;
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        return reports;
    }
    std::vector<std::filesystem::path> dumps;
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        if (IsDump(*entry)) {
            dumps.push_back(entry->path());
        }
    }
    for (const std::filesystem::path& dumpPath : dumps) {
        try {
            reports.push_back(SymbolizeDump(folder, dumpPath));
        } catch (const std::exception& failure) {
            KELVO_LOG(logging::kError)
                << L"cannot turn the crash dump " << logging::PathText(dumpPath)
                << L" into a report: " << QString::fromUtf8(failure.what()).toStdWString();
        }
    }
    return reports;
}

}  // namespace dump_util
