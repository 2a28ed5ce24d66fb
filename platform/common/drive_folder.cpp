#include "drive_folder.h"

#include "child_process.h"

#include <logging/logging.h>

#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kelvo_platform {
namespace {

// Mount points in /proc/self/mountinfo escape space, tab, newline and backslash as \ooo.
std::string UnescapeMountField(const std::string& field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t index = 0; index < field.size(); ++index) {
        if (field[index] == '\\' && index + 3 < field.size() && field[index + 1] >= '0' &&
            field[index + 1] <= '7') {
            const std::string octal = field.substr(index + 1, 3);
            out.push_back(static_cast<char>(std::stoi(octal, nullptr, 8)));
            index += 3;
        } else {
            out.push_back(field[index]);
        }
    }
    return out;
}

bool FolderIsEmpty(const std::filesystem::path& folder, bool& readable) {
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        readable = false;
        return false;
    }
    readable = true;
    bool empty = true;
    while (const dirent* entry = ::readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(directory);
    return empty;
}

}  // namespace

std::filesystem::path CanonicalMountPath(const std::filesystem::path& folder) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(folder, error);
    const std::filesystem::path& base = error ? folder : absolute;
    const std::filesystem::path parent =
        std::filesystem::weakly_canonical(base.parent_path(), error);
    if (error) {
        return base.lexically_normal();
    }
    return parent / base.filename();
}

MountTable MountTable::Read() {
    MountTable table;
    std::ifstream mountInfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountInfo, line)) {
        // Fields: id, parent id, major:minor, root, mount point, ...
        std::istringstream fields(line);
        std::string id, parentId, device, root, mountPoint;
        if (fields >> id >> parentId >> device >> root >> mountPoint) {
            table.m_mountPoints.insert(UnescapeMountField(mountPoint));
        }
    }
    return table;
}

bool MountTable::Contains(const std::filesystem::path& folder) const {
    return m_mountPoints.count(CanonicalMountPath(folder).string()) != 0;
}

DriveFolderState InspectDriveFolder(const std::filesystem::path& folder) {
    return InspectDriveFolder(folder, MountTable::Read());
}

DriveFolderState InspectDriveFolder(const std::filesystem::path& folder, const MountTable& table) {
    // The mount table first: a stat of a live mount would wait on its server.
    const bool listed = table.Contains(folder);
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0) {
        if (errno == ENOTCONN) {
            return DriveFolderState::StaleMount;
        }
        if (errno == ENOENT && !listed) {
            return DriveFolderState::Missing;
        }
        return listed ? DriveFolderState::Mounted : DriveFolderState::Unreadable;
    }
    if (listed) {
        return DriveFolderState::Mounted;
    }
    if (!S_ISDIR(status.st_mode)) {
        return DriveFolderState::NotAFolder;
    }
    // A mount the table does not show (another namespace's view): a different device than the
    // drives folder.
    struct stat parentStatus {};
    if (::stat(folder.parent_path().c_str(), &parentStatus) == 0 &&
        parentStatus.st_dev != status.st_dev) {
        return DriveFolderState::Mounted;
    }
    bool readable = false;
    const bool empty = FolderIsEmpty(folder, readable);
    if (!readable) {
        return DriveFolderState::Unreadable;
    }
    return empty ? DriveFolderState::EmptyFolder : DriveFolderState::NonEmptyFolder;
}

bool DetachMount(const std::filesystem::path& folder) {
    if (::geteuid() == 0) {
        if (::umount2(folder.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) == 0) {
            return true;
        }
        const int error = errno;
        if (error != EPERM) {
            KELVO_LOG(logging::kWarning) << L"Cannot detach the mount on " << folder.c_str()
                                         << L": " << std::strerror(error);
            return false;
        }
        // A user namespace without the right to unmount: fall back to the helper.
    }
    const std::optional<int> status =
        RunProgram({"fusermount3", "-u", "-z", "-q", "--", folder.string()}, {}, true);
    if (!status || *status != 0) {
        KELVO_LOG(logging::kWarning) << L"fusermount3 could not detach " << folder.c_str();
        return false;
    }
    return true;
}

}  // namespace kelvo_platform
