#pragma once

#include <filesystem>
#include <vector>

namespace dump_util {

// Installs the crash handlers: after this call a crash of the process (SIGSEGV, SIGABRT, SIGBUS,
// SIGFPE, SIGILL or an uncaught exception) leaves a report in `folder`, and the process still dies
// by the original signal. Called once per process, from the main thread (which gets the alternate
// signal stack that lets a stack overflow be reported).
//
// The handler itself only writes what is async-signal-safe to write: the raw frame addresses and
// the process's memory map ("crash-<seconds>-<pid>.dump"). InitDumps turns the dumps it finds in
// `folder` into readable reports ("crash-<date>-<time>-<pid>.txt", function names, files and lines
// from the program's debug information) and removes them; so a crash is readable from the next
// start of the same program on.
void InitDumps(const std::filesystem::path& folder);

// Turns the raw dumps in `folder` into readable reports now (what InitDumps does first) and
// returns the reports written.
std::vector<std::filesystem::path> SymbolizePendingDumps(const std::filesystem::path& folder);

}  // namespace dump_util
