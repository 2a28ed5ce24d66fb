#pragma once

// One open file or folder as the kernel holds it: the driver's DOKAN_FILE_INFO for the whole life
// of the handle (so Context persists between calls), its current path and, for folders, the
// listing being read.

#include "node_table.h"

#include <dokan/dokan.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kelvo_dokan {

// One item of a folder listing: what the kernel needs of the file system's find data.
struct ListedEntry {
    std::string name;  // UTF-8, as the kernel gets it
    std::wstring wideName;
    DWORD attributes;
    ULONGLONG size;
    FILETIME lastAccess;
    FILETIME lastWrite;
};

class OpenHandle {
public:
    OpenHandle(std::wstring path, NodeId nodeId)
        : node(nodeId), m_path(std::make_shared<std::wstring>(std::move(path))) {}
    OpenHandle(const OpenHandle&) = delete;
    OpenHandle& operator=(const OpenHandle&) = delete;

    // The path to hand to operations; a rename of the item or of a folder above it changes it.
    std::shared_ptr<const std::wstring> Path() const { return std::atomic_load(&m_path); }
    void SetPath(std::wstring path) {
        std::atomic_store(&m_path, std::shared_ptr<const std::wstring>(
                                       std::make_shared<std::wstring>(std::move(path))));
    }

    DOKAN_FILE_INFO info{};
    // The inode the kernel knows the item by; a handle that created its item gets it once the
    // kernel has been told (0 until then).
    std::atomic<NodeId> node;

    // Folder listings: filled by FindFiles when reading starts at offset 0, then served in parts.
    std::mutex listingMutex;
    std::vector<ListedEntry> listing;
    bool listed = false;

    // Links of the drive's list of open handles (guarded by the drive).
    OpenHandle* previous = nullptr;
    OpenHandle* next = nullptr;

private:
    std::shared_ptr<const std::wstring> m_path;
};

}  // namespace kelvo_dokan
