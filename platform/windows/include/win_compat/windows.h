#pragma once

// Linux stand-ins for the few Windows calls the application makes. Each keeps the Windows name and
// meaning; the comment says what it stands for here.

#include <win_compat/wintypes.h>

#include <filesystem>
#include <string>

// --- Command line -------------------------------------------------------------------------------

// The process's own command line, arguments joined as Windows would quote them.
LPCWSTR GetCommandLineW();
// Splits a command line; the result is freed with LocalFree. Null on failure.
LPWSTR* CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs);
HANDLE LocalFree(void* memory);

// --- Drives -------------------------------------------------------------------------------------

// Bit n is set when drive letter n ('A' + n) is in use: its folder in the drives folder is a
// mount point of any kind, something other than a folder, or a folder that is not empty.
DWORD GetLogicalDrives();

// --- Users, processes and windows ---------------------------------------------------------------

// The account name of the real user. *pcbBuffer is in characters, terminator included.
BOOL GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer);
DWORD GetModuleFileNameW(HANDLE hModule, LPWSTR lpFilename, DWORD nSize);
BOOL AllowSetForegroundWindow(DWORD dwProcessId);  // nothing to do on Linux

namespace win_compat {

// The folder that holds one folder per drive letter: $KELVO_DRIVES_DIR, or ~/KelvoDrive.
std::filesystem::path DrivesFolder();

// The folder a drive path such as L"Z:\\" is mounted on; empty for a text that names no letter.
std::filesystem::path MountPointFolder(const std::wstring& drivePath);

}  // namespace win_compat
