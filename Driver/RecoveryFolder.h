#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

// Where content goes that was written through the drive but could not be uploaded, so that no
// saved byte is lost without trace.
namespace recovery_folder {

// Reads up to `length` bytes of the content at `offset`; fewer only at its end. May throw.
using ContentReader =
    std::function<std::size_t(std::uint64_t offset, std::uint8_t* buffer, std::size_t length)>;

// $KELVO_DATA_DIR/recovery when KELVO_DATA_DIR is set, else
// $XDG_DATA_HOME/KelvoDrive/recovery (~/.local/share when XDG_DATA_HOME is not set or not
// absolute): beside the repository's own data.
std::filesystem::path Location();

// Where a recovery file goes when Location() cannot take it (its disk is full, say): a place
// usually on another file system, $XDG_RUNTIME_DIR/KelvoDrive/recovery, or
// $XDG_CACHE_HOME/KelvoDrive/recovery (~/.cache) when there is no runtime folder.
std::filesystem::path FallbackLocation();

// Writes `size` bytes of content, read through `read`, to a new file whose name tells the time
// (UTC), the document's id and its name, in Location() or else in FallbackLocation(), and returns
// its path. The file is written under a temporary name and renamed once complete, so a recovery
// file is whole or absent; it is readable by the user only and never replaces an existing file.
// Throws std::filesystem::filesystem_error when neither place can take it (nothing is left
// behind then), and what `read` throws.
std::filesystem::path Save(const tarvo::BrowserItemInfo& document, std::uint64_t size,
                           const ContentReader& read);

}  // namespace recovery_folder
