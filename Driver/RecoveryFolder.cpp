#include "RecoveryFolder.h"

#include "Utf8Text.h"

#include <boost/uuid/uuid_io.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>

namespace recovery_folder {
namespace {

// File names are limited to 255 bytes; the time, the id and the separators take about 70.
constexpr std::size_t kMaxNameBytes = 150;

std::filesystem::path EnvironmentPath(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? std::filesystem::path(value) : std::filesystem::path();
}

std::string TimeStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &utc);
    char withMilliseconds[40];
    std::snprintf(withMilliseconds, sizeof withMilliseconds, "%s.%03dZ", text,
                  static_cast<int>(milliseconds));
    return withMilliseconds;
}

// The document's name as a file-name part: no separators or control characters, and short
// enough to leave room for the rest of the name.
std::string NamePart(const std::wstring& name) {
    std::wstring cleaned;
    for (const wchar_t c : name) {
        cleaned += (c == L'/' || c < 0x20 || c == 0x7F) ? L'_' : c;
    }
    std::string utf8 = utf8_text::FromWideLenient(cleaned);
    if (utf8.size() > kMaxNameBytes) {
        std::size_t cut = kMaxNameBytes;
        while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) {
            --cut;  // never split a character
        }
        utf8.resize(cut);
    }
    return utf8;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

[[noreturn]] void ThrowFileError(const std::string& what, const std::filesystem::path& path,
                                 int error) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(error, std::generic_category()));
}

}  // namespace

std::filesystem::path Location() {
    if (const auto dataDirectory = EnvironmentPath("KELVO_DATA_DIR"); !dataDirectory.empty()) {
        return dataDirectory / "recovery";
    }
    std::filesystem::path dataHome = EnvironmentPath("XDG_DATA_HOME");
    if (dataHome.empty() || dataHome.is_relative()) {  // a relative value is to be ignored
        dataHome = EnvironmentPath("HOME") / ".local" / "share";
    }
    return dataHome / "KelvoDrive" / "recovery";
}

std::filesystem::path Save(const tarvo::BrowserItemInfo& document, const std::uint8_t* content,
                           std::size_t size) {
    const std::filesystem::path folder = Location();
    std::filesystem::create_directories(folder);
    const std::string stem =
        TimeStamp() + " " + boost::uuids::to_string(document.id) + " " + NamePart(document.name);
    for (int attempt = 0;; ++attempt) {
        const std::filesystem::path path =
            folder / (attempt == 0 ? stem : stem + " (" + std::to_string(attempt) + ")");
        // "x": never replace a file that another failed upload left.
        std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wbx"));
        if (!file) {
            if (errno == EEXIST) {
                continue;
            }
            ThrowFileError("cannot create the recovery file", path, errno);
        }
        if (size != 0 && std::fwrite(content, 1, size, file.get()) != size) {
            ThrowFileError("cannot write the recovery file", path, errno);
        }
        if (std::fclose(file.release()) != 0) {
            ThrowFileError("cannot write the recovery file", path, errno);
        }
        return path;
    }
}

}  // namespace recovery_folder
