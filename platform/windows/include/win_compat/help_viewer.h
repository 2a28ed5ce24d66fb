#pragma once

#include <filesystem>
#include <string>

namespace win_compat {

// The program that shows the user manual, found through the program search path and started with
// the manual's path as its one argument. It stands for the HTML Help viewer "hh"; on Linux the
// manual is HTML and the desktop's opener shows it in the user's browser.
std::wstring HelpViewerProgram();

// Starts the help viewer on `file` without waiting for it; false when it cannot be started.
bool OpenHelpViewer(const std::filesystem::path& file);

}  // namespace win_compat
