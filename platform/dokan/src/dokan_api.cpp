// DokanMain and DokanRemoveMountPoint: the entry points of the driver API over FUSE.

#include <dokan/dokan.h>
#include <win_compat/service_control.h>
#include <win_compat/windows.h>

#include "../../common/drive_folder.h"
#include "fuse_drive.h"
#include "fuse_log_bridge.h"
#include "mount_registry.h"

#include <logging/logging.h>

#include <system_error>

namespace {

using kelvo_platform::DriveFolderState;

// The name a drive is registered under: the drive path in one spelling ("Z:\"), or the text as
// given when it names no letter.
std::wstring MountPointKey(LPCWSTR mountPoint) {
    const std::wstring text = mountPoint != nullptr ? mountPoint : L"";
    const std::filesystem::path folder = win_compat::MountPointFolder(text);
    if (folder.empty()) {
        return text;
    }
    return folder.filename().wstring() + L":\\";
}

const wchar_t* Describe(DriveFolderState state) {
    switch (state) {
        case DriveFolderState::Mounted:
            return L"something is mounted there";
        case DriveFolderState::NotAFolder:
            return L"it is not a folder";
        case DriveFolderState::NonEmptyFolder:
            return L"the folder is not empty";
        case DriveFolderState::StaleMount:
            return L"a dead mount could not be cleared";
        case DriveFolderState::Unreadable:
            return L"it cannot be examined";
        default:
            return L"it is free";
    }
}

// Makes the mount point's folder ready; DOKAN_SUCCESS or the error to return.
int PrepareMountPoint(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder.parent_path(), error);
    if (error) {
        KELVO_LOG(logging::kError)
            << L"Cannot create the drives folder " << folder.parent_path().c_str() << L": "
            << error.message().c_str();
        return DOKAN_MOUNT_POINT_ERROR;
    }
    DriveFolderState state = kelvo_platform::InspectDriveFolder(folder);
    if (state == DriveFolderState::StaleMount) {
        // Left by a process that ended without unmounting.
        KELVO_LOG(logging::kWarning) << L"Clearing a dead mount on " << folder.c_str();
        kelvo_platform::DetachMount(folder);
        state = kelvo_platform::InspectDriveFolder(folder);
    }
    if (state == DriveFolderState::Missing) {
        std::filesystem::create_directory(folder, error);
        state = error ? kelvo_platform::InspectDriveFolder(folder) : DriveFolderState::EmptyFolder;
    }
    if (!kelvo_platform::IsFree(state)) {
        KELVO_LOG(logging::kError)
            << L"Cannot mount on " << folder.c_str() << L": " << Describe(state);
        return DOKAN_MOUNT_POINT_ERROR;
    }
    return DOKAN_SUCCESS;
}

}  // namespace

int DokanMain(PDOKAN_OPTIONS DokanOptions, PDOKAN_OPERATIONS DokanOperations) {
    if (DokanOptions == nullptr || DokanOperations == nullptr) {
        return DOKAN_ERROR;
    }
    if (DokanOptions->Version < 100 || DokanOptions->Version > DOKAN_VERSION) {
        return DOKAN_VERSION_ERROR;
    }
    kelvo_dokan::InstallFuseLogBridge();
    const std::filesystem::path folder = win_compat::MountPointFolder(
        DokanOptions->MountPoint != nullptr ? DokanOptions->MountPoint : L"");
    if (folder.empty()) {
        KELVO_LOG(logging::kError)
            << L"Not a drive path: "
            << (DokanOptions->MountPoint != nullptr ? DokanOptions->MountPoint : L"(none)");
        return DOKAN_DRIVE_LETTER_ERROR;
    }
    const std::optional<DWORD> driverState =
        win_compat::CurrentServiceControlBackend()->QueryState(win_compat::kDriverServiceName);
    if (!driverState || *driverState != SERVICE_RUNNING) {
        KELVO_LOG(logging::kError) << L"FUSE is not available on this machine";
        return DOKAN_DRIVER_INSTALL_ERROR;
    }
    auto drive = std::make_shared<kelvo_dokan::FuseDrive>(DokanOptions, *DokanOperations, folder,
                                                          MountPointKey(DokanOptions->MountPoint));
    // Registered before the folder is prepared, so that a removal asked for meanwhile is seen.
    if (!kelvo_dokan::MountRegistry::Instance().AddIfFree(drive)) {
        KELVO_LOG(logging::kError) << L"This process already serves " << drive->MountPointKey();
        return DOKAN_MOUNT_POINT_ERROR;
    }
    const int prepared = PrepareMountPoint(folder);
    if (prepared != DOKAN_SUCCESS) {
        kelvo_dokan::MountRegistry::Instance().Remove(drive.get());
        return prepared;
    }
    const int result = drive->Run();
    kelvo_dokan::MountRegistry::Instance().Remove(drive.get());
    return result;
}

BOOL DokanRemoveMountPoint(LPCWSTR MountPoint) {
    if (MountPoint == nullptr) {
        return FALSE;
    }
    const auto drives = kelvo_dokan::MountRegistry::Instance().Find(MountPointKey(MountPoint));
    for (const auto& drive : drives) {
        drive->RequestRemoval();
    }
    return drives.empty() ? FALSE : TRUE;
}
