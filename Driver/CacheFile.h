#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

// The drive's working copies of open documents live in files of a private cache folder, never in
// memory: resident memory then stays flat however large the documents are.
namespace cache_folder {

// $KELVO_DATA_DIR/cache when KELVO_DATA_DIR is set, else $XDG_CACHE_HOME/KelvoDrive/documents
// (~/.cache when XDG_CACHE_HOME is not set or not absolute).
std::filesystem::path Location();

// Location(), created when missing and made private (0700) when it is not. Throws
// std::filesystem::filesystem_error or std::system_error.
std::filesystem::path PrivateFolder();

// Removes what an earlier run left in the folder. Files in use have no name there (see
// CacheFile), so only leftovers go. Failures are logged.
void Sweep();

}  // namespace cache_folder

// One sparse working file in the cache folder, readable and writable by the user only. It has no
// name from the moment it exists, so it vanishes with its descriptor, also when the process dies.
// Every failure throws std::system_error with the errno.
class CacheFile {
public:
    CacheFile();
    ~CacheFile();
    CacheFile(const CacheFile&) = delete;
    CacheFile& operator=(const CacheFile&) = delete;

    // Reads up to `length` bytes at `offset`; fewer only at the end of the file.
    std::size_t readAt(void* buffer, std::size_t length, std::uint64_t offset) const;
    void writeAt(const void* data, std::size_t length, std::uint64_t offset);
    // Cuts or extends the file; an extension reads as zeros and takes no disk space.
    void resize(std::uint64_t size);

private:
    int m_descriptor = -1;
};
