#include "CacheFile.h"

#include "DriveLog_p.h"

#include <platform_base/user_folders.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace cache_folder {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

std::filesystem::path Location() {
    if (const std::filesystem::path dataDirectory =
            kelvo_platform::EnvironmentValue("KELVO_DATA_DIR");
        !dataDirectory.empty()) {
        return dataDirectory / "cache";
    }
    return kelvo_platform::CacheHome() / "KelvoDrive" / "documents";
}

// The folder, created when missing and made private when it is not.
std::filesystem::path PrivateFolder() {
    const std::filesystem::path folder = Location();
    std::filesystem::create_directories(folder);
    if (::chmod(folder.c_str(), 0700) != 0) {
        ThrowErrno("cannot make the cache folder " + folder.string() + " private");
    }
    return folder;
}

void Sweep() {
    std::error_code error;
    const std::filesystem::path folder = Location();
    for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code removal;
        std::filesystem::remove_all(entry->path(), removal);
        if (removal) {
            KELVO_DRIVE_LOG(logging::kWarning)
                << L"Cannot remove the leftover cache file " << logging::PathText(entry->path())
                << L": " << removal.message().c_str();
        }
    }
}

}  // namespace cache_folder

CacheFile::CacheFile() {
    const std::filesystem::path folder = cache_folder::PrivateFolder();
    m_descriptor = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_descriptor >= 0) {
        return;
    }
    // A file system without nameless files: a named one, unlinked at once.
    std::string name = (folder / "document-XXXXXX").string();
    m_descriptor = ::mkostemp(name.data(), O_CLOEXEC);
    if (m_descriptor < 0) {
        throw std::system_error(errno, std::generic_category(),
                                "cannot create a cache file in " + folder.string());
    }
    ::unlink(name.c_str());
}

CacheFile::~CacheFile() {
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
    }
}

std::size_t CacheFile::readAt(void* buffer, std::size_t length, std::uint64_t offset) const {
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t count =
            ::pread(m_descriptor, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "cannot read a cache file");
        }
        if (count == 0) {
            break;
        }
        done += static_cast<std::size_t>(count);
    }
    return done;
}

void CacheFile::writeAt(const void* data, std::size_t length, std::uint64_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t count =
            ::pwrite(m_descriptor, bytes + done, length - done, static_cast<off_t>(offset + done));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "cannot write a cache file");
        }
        done += static_cast<std::size_t>(count);
    }
}

void CacheFile::resize(std::uint64_t size) {
    if (::ftruncate(m_descriptor, static_cast<off_t>(size)) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot resize a cache file");
    }
}
