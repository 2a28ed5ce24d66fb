#pragma once

// Serves a file system through DokanMain on a thread of its own for the lifetime of the object;
// unmounts in the destructor.

#include <dokan/dokan.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>

namespace kelvo_test {

class MemoryFileSystem;

class MountedDrive {
public:
    // Starts DokanMain and waits (up to ten seconds) for the drive's Mounted notification.
    MountedDrive(MemoryFileSystem& fileSystem, std::wstring mountPoint, USHORT threadCount = 0);
    ~MountedDrive();
    MountedDrive(const MountedDrive&) = delete;
    MountedDrive& operator=(const MountedDrive&) = delete;

    bool IsMounted() const { return m_mounted; }
    std::filesystem::path Folder() const;
    // DokanMain's result once it has returned within `timeout`; nullopt while it still runs.
    std::optional<int> WaitForEnd(std::chrono::milliseconds timeout);
    // DokanRemoveMountPoint, then waits for DokanMain; its result.
    std::optional<int> Unmount(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    std::wstring m_mountPoint;
    DOKAN_OPTIONS m_options{};
    DOKAN_OPERATIONS m_operations{};
    std::future<int> m_result;
    std::thread m_thread;
    bool m_mounted = false;
    std::optional<int> m_finalResult;
};

}  // namespace kelvo_test
