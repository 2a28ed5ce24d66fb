#pragma once

#include <filesystem>

namespace tarvo::detail {

// The program's per-user data folder: $KELVO_DATA_DIR when set, otherwise
// $XDG_DATA_HOME/KelvoDrive, otherwise ~/.local/share/KelvoDrive. Not created here.
std::filesystem::path DataFolder();

}  // namespace tarvo::detail
