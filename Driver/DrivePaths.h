#pragma once

#include <tarvo/core.h>

#include <string>

// How the drive reads the paths the driver names files by: backslash-separated, from the root.
namespace drive_paths {

// The hidden service file of every root, and its name in listings.
inline constexpr wchar_t kServiceFilePath[] = L"\\.kelvo_drive";
inline constexpr wchar_t kServiceFileName[] = L".kelvo_drive";

// The longest path an open accepts, in characters.
inline constexpr std::size_t kMaxPathLength = 255;

// The names of a path, root first: the first name is always L"" (the root), the others are the
// non-empty runs between backslashes. "\a\\b\" gives {"", "a", "b"}.
tarvo::Names Split(const std::wstring& path);

// The path is exactly the service file's (case-sensitive).
bool IsServiceFile(const std::wstring& path);

// The path is one of the system folders that never reach the repository.
bool IsSystemFolder(const std::wstring& path);

// The path names the root itself.
bool IsRoot(const std::wstring& path);

}  // namespace drive_paths
