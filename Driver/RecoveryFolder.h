#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <filesystem>
#include <vector>

// Where content goes that was written through the drive but could not be uploaded, so that no
// saved byte is lost without trace.
namespace recovery_folder {

// $KELVO_DATA_DIR/recovery when KELVO_DATA_DIR is set, else
// $XDG_DATA_HOME/KelvoDrive/recovery (~/.local/share when XDG_DATA_HOME is not set or not
// absolute): beside the repository's own data.
std::filesystem::path Location();

// Writes the content to a new file in Location() whose name tells the time (UTC), the document's
// id and its name, and returns that file's path. Never replaces an existing file. Throws
// std::filesystem::filesystem_error when the folder or the file cannot be written.
std::filesystem::path Save(const tarvo::BrowserItemInfo& document, const std::uint8_t* content,
                           std::size_t size);

}  // namespace recovery_folder
