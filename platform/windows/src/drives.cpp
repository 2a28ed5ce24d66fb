// The drives folder and GetLogicalDrives.

#include <win_compat/windows.h>

#include "../../common/drive_folder.h"

#include <platform_base/user_folders.h>

#include <cstdlib>

namespace win_compat {

std::filesystem::path DrivesFolder() {
    if (const char* folder = std::getenv("KELVO_DRIVES_DIR");
        folder != nullptr && *folder != '\0') {
        return folder;
    }
    // A folder under home is where desktop file managers show user mounts.
    return kelvo_platform::HomeFolder() / "KelvoDrive";
}

std::filesystem::path MountPointFolder(const std::wstring& drivePath) {
    if (drivePath.empty() || drivePath.size() > 3) {
        return {};
    }
    wchar_t letter = drivePath[0];
    if (letter >= L'a' && letter <= L'z') {
        letter = static_cast<wchar_t>(letter - L'a' + L'A');
    }
    if (letter < L'A' || letter > L'Z') {
        return {};
    }
    if ((drivePath.size() >= 2 && drivePath[1] != L':') ||
        (drivePath.size() == 3 && drivePath[2] != L'\\')) {
        return {};
    }
    return DrivesFolder() / std::string(1, static_cast<char>(letter));
}

}  // namespace win_compat

DWORD GetLogicalDrives() {
    const std::filesystem::path folder = win_compat::DrivesFolder();
    const auto table = kelvo_platform::MountTable::Read();
    DWORD mask = 0;
    for (int letter = 0; letter < 26; ++letter) {
        const auto state = kelvo_platform::InspectDriveFolder(
            folder / std::string(1, static_cast<char>('A' + letter)), table);
        if (!kelvo_platform::IsFree(state)) {
            mask |= 1u << letter;
        }
    }
    SetLastError(ERROR_SUCCESS);
    return mask;
}
