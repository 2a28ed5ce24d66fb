#pragma once

// The drives this process serves, by mount point, so that DokanRemoveMountPoint finds them.

#include "fuse_drive.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kelvo_dokan {

class MountRegistry {
public:
    static MountRegistry& Instance();

    // Adds `drive` unless another drive of this process is live on the same mount point (one that
    // is being removed does not count). False when refused.
    bool AddIfFree(const std::shared_ptr<FuseDrive>& drive);
    void Remove(const FuseDrive* drive);
    // Every drive on the mount point that has not finished yet.
    std::vector<std::shared_ptr<FuseDrive>> Find(const std::wstring& mountPointKey);

private:
    std::mutex m_mutex;
    std::vector<std::shared_ptr<FuseDrive>> m_drives;
};

}  // namespace kelvo_dokan
