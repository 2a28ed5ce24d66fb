#pragma once

#include <filesystem>

namespace dump_util {

// Installs the crash handlers: after this call a crash of the process (a fatal signal or an
// uncaught exception) leaves a report in `folder`. Called once per process.
void InitDumps(const std::filesystem::path& folder);

}  // namespace dump_util
