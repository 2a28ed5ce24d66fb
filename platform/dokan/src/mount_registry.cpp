#include "mount_registry.h"

#include <algorithm>

namespace kelvo_dokan {

MountRegistry& MountRegistry::Instance() {
    static MountRegistry registry;
    return registry;
}

bool MountRegistry::AddIfFree(const std::shared_ptr<FuseDrive>& drive) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& existing : m_drives) {
        if (existing->MountPointKey() == drive->MountPointKey() && !existing->Finished() &&
            !existing->RemovalRequested()) {
            return false;
        }
    }
    m_drives.push_back(drive);
    return true;
}

void MountRegistry::Remove(const FuseDrive* drive) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_drives.erase(std::remove_if(m_drives.begin(), m_drives.end(),
                                  [drive](const auto& entry) { return entry.get() == drive; }),
                   m_drives.end());
}

std::vector<std::shared_ptr<FuseDrive>> MountRegistry::Find(const std::wstring& mountPointKey) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::shared_ptr<FuseDrive>> found;
    for (const auto& drive : m_drives) {
        if (drive->MountPointKey() == mountPointKey && !drive->Finished()) {
            found.push_back(drive);
        }
    }
    return found;
}

}  // namespace kelvo_dokan
