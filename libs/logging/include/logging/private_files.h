#pragma once

#include <filesystem>
#include <system_error>

// The program's own folders and files hold private data (passwords the user chose to keep in a
// file, document contents, paths): folders are created 0700 and files 0600, whatever the umask.
namespace private_files {

// Creates `folder` and every missing parent, each readable by the owner only. Folders that exist
// already keep their mode. `error` tells why when a folder could not be created.
void CreateFolders(const std::filesystem::path& folder, std::error_code& error);

// Creates `file` empty when it does not exist, and makes it readable and writable by its owner
// only either way.
void CreatePrivateFile(const std::filesystem::path& file, std::error_code& error);

}  // namespace private_files
