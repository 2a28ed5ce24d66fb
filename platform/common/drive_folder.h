#pragma once

// The state of a drive letter's folder in the drives folder, shared by GetLogicalDrives and the
// mount code.

#include <filesystem>
#include <string>
#include <unordered_set>

namespace kelvo_platform {

enum class DriveFolderState {
    Missing,         // nothing there: free
    EmptyFolder,     // an empty folder: free
    StaleMount,      // a mount whose server is gone (ENOTCONN): occupied until cleared
    Mounted,         // a live mount point of any kind
    NotAFolder,      // a file, a link or anything else that is not a plain folder
    NonEmptyFolder,  // a folder with something in it
    Unreadable,      // cannot be examined (permissions and the like)
};

// The mount points of this process's mount namespace, read once.
class MountTable {
public:
    static MountTable Read();
    bool Contains(const std::filesystem::path& folder) const;

private:
    std::unordered_set<std::string> m_mountPoints;
};

DriveFolderState InspectDriveFolder(const std::filesystem::path& folder);
DriveFolderState InspectDriveFolder(const std::filesystem::path& folder, const MountTable& table);

inline bool IsFree(DriveFolderState state) {
    return state == DriveFolderState::Missing || state == DriveFolderState::EmptyFolder;
}

// Detaches whatever is mounted on `folder` lazily (umount2 with MNT_DETACH as root, otherwise
// "fusermount3 -u -z"). True on success.
bool DetachMount(const std::filesystem::path& folder);

// The folder in its canonical form as the mount table shows it (symbolic links in the drives
// folder resolved), without touching the folder itself, which may be a dead mount.
std::filesystem::path CanonicalMountPath(const std::filesystem::path& folder);

}  // namespace kelvo_platform
