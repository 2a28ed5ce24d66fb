#pragma once

// One mounted drive: serves the driver API's operations for the kernel's FUSE requests on the
// drive's folder, from mount to unmount.

#include "node_table.h"
#include "open_handle.h"

#include <dokan/dokan.h>

#include <sys/types.h>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

struct fuse_session;

namespace kelvo_platform {
class UnmountGuard;
}

namespace kelvo_dokan {

class FuseDrive : public std::enable_shared_from_this<FuseDrive> {
public:
    FuseDrive(PDOKAN_OPTIONS options, const DOKAN_OPERATIONS& operations,
              std::filesystem::path folder, std::wstring mountPointKey);
    ~FuseDrive();
    FuseDrive(const FuseDrive&) = delete;
    FuseDrive& operator=(const FuseDrive&) = delete;

    // Mounts, serves until the mount ends and unmounts; the DokanMain result.
    int Run();

    // Ends the mount. From a thread serving this drive the work is handed to a helper thread, so
    // that an operation can remove its own drive without waiting on itself.
    void RequestRemoval();
    bool Finished() const { return m_finished.load(); }
    bool RemovalRequested() const { return m_removalRequested.load(); }
    const std::wstring& MountPointKey() const { return m_mountPointKey; }

    // The operations that the FUSE callbacks forward to (public for the callback table only).
    struct Callbacks;
    friend struct Callbacks;

private:
    std::string VolumeLabel();
    int Mount();
    void Serve();
    void DetachAndStop();
    void ReleaseLeftoverHandles();
    void CallNotification(NTSTATUS (*notification)(PDOKAN_FILE_INFO), const char* name);
    void RegisterHandle(OpenHandle* handle);
    void UnregisterHandle(OpenHandle* handle);
    void RenameOpenHandles(const std::wstring& oldPath, const std::wstring& newPath);
    // Hands what was written through the open handles of the file at `path` to the file system;
    // the first failure's status.
    NTSTATUS FlushOpenHandles(const std::wstring& path);

    PDOKAN_OPTIONS m_options;
    DOKAN_OPERATIONS m_operations;
    const std::filesystem::path m_folder;
    const std::wstring m_mountPointKey;
    const uid_t m_owner;  // items are shown as the serving user's
    const gid_t m_group;
    DWORD m_maximumComponentLength = 255;
    std::wstring m_fileSystemName;

    fuse_session* m_session = nullptr;
    std::unique_ptr<kelvo_platform::UnmountGuard> m_crashGuard;
    NodeTable m_nodes;

    // Every open handle, in a list linked through the handles (no allocation per open).
    std::mutex m_handlesMutex;
    OpenHandle* m_firstHandle = nullptr;

    // Lifecycle: removal may be asked for at any time, also before the mount exists.
    std::mutex m_stateMutex;
    std::condition_variable m_stateChanged;
    bool m_mounted = false;      // the kernel mount exists
    bool m_initialized = false;  // the kernel has started talking to us
    bool m_loopEnded = false;
    int m_removalsInProgress = 0;
    std::atomic<bool> m_removalRequested{false};
    std::atomic<bool> m_detached{false};
    std::atomic<bool> m_finished{false};
};

}  // namespace kelvo_dokan
