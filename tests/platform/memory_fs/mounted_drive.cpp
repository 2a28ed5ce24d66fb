#include "mounted_drive.h"

#include "memory_file_system.h"

#include <win_compat/windows.h>

namespace kelvo_test {

MountedDrive::MountedDrive(MemoryFileSystem& fileSystem, std::wstring mountPoint,
                           USHORT threadCount)
    : m_mountPoint(std::move(mountPoint)), m_operations(MemoryFileSystem::Operations()) {
    m_options.Version = DOKAN_VERSION;
    m_options.ThreadCount = threadCount;
    m_options.Options = DOKAN_OPTION_MOUNT_MANAGER;
    m_options.GlobalContext = reinterpret_cast<std::uintptr_t>(&fileSystem);
    m_options.MountPoint = m_mountPoint.c_str();
    m_options.Timeout = 60000;
    const int expectedMounts = fileSystem.MountedCount() + 1;
    std::packaged_task<int()> task([this] { return DokanMain(&m_options, &m_operations); });
    m_result = task.get_future();
    m_thread = std::thread(std::move(task));
    // Either the mount comes up, or DokanMain gives up and returns.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (fileSystem.WaitMounted(std::chrono::milliseconds(20), expectedMounts)) {
            m_mounted = true;
            break;
        }
        if (m_result.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready) {
            break;
        }
    }
}

MountedDrive::~MountedDrive() {
    if (!m_finalResult) {
        Unmount();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::filesystem::path MountedDrive::Folder() const {
    return win_compat::MountPointFolder(m_mountPoint);
}

std::optional<int> MountedDrive::WaitForEnd(std::chrono::milliseconds timeout) {
    if (m_finalResult) {
        return m_finalResult;
    }
    if (m_result.wait_for(timeout) != std::future_status::ready) {
        return std::nullopt;
    }
    m_finalResult = m_result.get();
    m_thread.join();
    return m_finalResult;
}

std::optional<int> MountedDrive::Unmount(std::chrono::milliseconds timeout) {
    if (m_finalResult) {
        return m_finalResult;
    }
    DokanRemoveMountPoint(m_mountPoint.c_str());
    return WaitForEnd(timeout);
}

}  // namespace kelvo_test
