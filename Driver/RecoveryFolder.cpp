#include "RecoveryFolder.h"

#include "Utf8Text.h"

#include <platform_base/user_folders.h>

#include <boost/uuid/uuid_io.hpp>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace recovery_folder {
namespace {

// File names are limited to 255 bytes; the time, the id and the separators take about 70.
constexpr std::size_t kMaxNameBytes = 150;

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

[[noreturn]] void ThrowFileError(const std::string& what, const std::filesystem::path& path,
                                 int error) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(error, std::generic_category()));
}

// A file being written under its temporary name: removed unless it was given its final name.
class PartialFile {
public:
    explicit PartialFile(const std::filesystem::path& folder, const std::string& stem) {
        std::string name = (folder / ("." + stem + ".partial-XXXXXX")).string();
        m_descriptor = ::mkostemp(name.data(), O_CLOEXEC);  // 0600
        if (m_descriptor < 0) {
            ThrowFileError("cannot create the recovery file", name, errno);
        }
        m_path = name;
    }
    ~PartialFile() {
        if (m_descriptor >= 0) {
            ::close(m_descriptor);
        }
        if (!m_named) {
            ::unlink(m_path.c_str());
        }
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    void write(const std::uint8_t* data, std::size_t length) {
        while (length > 0) {
            const ssize_t count = ::write(m_descriptor, data, length);
            if (count < 0) {
                if (errno == EINTR) {
                    continue;
                }
                ThrowFileError("cannot write the recovery file", m_path, errno);
            }
            data += count;
            length -= static_cast<std::size_t>(count);
        }
    }

    // Makes the content durable and gives the file the first free name of the stem's.
    std::filesystem::path complete(const std::filesystem::path& folder, const std::string& stem) {
        if (::fsync(m_descriptor) != 0 || ::close(m_descriptor) != 0) {
            m_descriptor = -1;
            ThrowFileError("cannot write the recovery file", m_path, errno);
        }
        m_descriptor = -1;
        for (int attempt = 0;; ++attempt) {
            const std::filesystem::path path =
                folder / (attempt == 0 ? stem : stem + " (" + std::to_string(attempt) + ")");
            if (::renameat2(AT_FDCWD, m_path.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) ==
                0) {
                m_named = true;
                return path;
            }
            if (errno != EEXIST) {
                ThrowFileError("cannot name the recovery file", path, errno);
            }
        }
    }

private:
    std::filesystem::path m_path;
    int m_descriptor = -1;
    bool m_named = false;
};

std::filesystem::path SaveIn(const std::filesystem::path& folder, const std::string& stem,
                             std::uint64_t size, const ContentReader& read) {
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    PartialFile file(folder, stem);
    std::vector<std::uint8_t> buffer(1u << 20);
    for (std::uint64_t offset = 0; offset < size;) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
        const std::size_t count = read(offset, buffer.data(), wanted);
        if (count == 0) {
            break;
        }
        file.write(buffer.data(), count);
        offset += count;
    }
    return file.complete(folder, stem);
}

}  // namespace

std::filesystem::path Location() {
    if (const std::filesystem::path dataDirectory =
            kelvo_platform::EnvironmentValue("KELVO_DATA_DIR");
        !dataDirectory.empty()) {
        return dataDirectory / "recovery";
    }
    return kelvo_platform::DataHome() / "KelvoDrive" / "recovery";
}

std::filesystem::path FallbackLocation() {
    if (const std::filesystem::path runtime = kelvo_platform::RuntimeFolder(); !runtime.empty()) {
        return runtime / "KelvoDrive" / "recovery";
    }
    return kelvo_platform::CacheHome() / "KelvoDrive" / "recovery";
}

std::filesystem::path Save(const tarvo::BrowserItemInfo& document, std::uint64_t size,
                           const ContentReader& read) {
    const std::string stem =
        TimeStamp() + " " + boost::uuids::to_string(document.id) + " " + NamePart(document.name);
    try {
        return SaveIn(Location(), stem, size, read);
    } catch (const std::filesystem::filesystem_error& first) {
        if (FallbackLocation() == Location()) {
            throw;
        }
        try {
            return SaveIn(FallbackLocation(), stem, size, read);
        } catch (const std::filesystem::filesystem_error& second) {
            throw std::filesystem::filesystem_error(
                std::string(first.what()) + "; " + second.what(), first.path1(), second.path1(),
                first.code());
        }
    }
}

}  // namespace recovery_folder
