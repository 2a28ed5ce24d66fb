#pragma once

// A small file system held in memory, written against the driver API the way a Windows file
// system would be, so that the FUSE layer can be driven by real programs in tests and benchmarks.
// Hooks let a test inject statuses and watch what the layer calls.

#include <dokan/dokan.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo_test {

class MemoryFileSystem {
public:
    struct Counters {
        std::atomic<int> creates{0};  // successful opens and creates
        std::atomic<int> cleanups{0};
        std::atomic<int> closes{0};
        std::atomic<int> findFiles{0};
        std::atomic<int> flushes{0};
        std::atomic<int> moves{0};
        std::atomic<int> setAttributes{0};
        std::atomic<int> setTimes{0};
        std::atomic<int> deletes{0};
        std::atomic<int> contextMismatches{0};  // a call saw a Context its open never stored
    };

    // Runs first in every ZwCreateFile; a status other than STATUS_SUCCESS is answered as is.
    using CreateHook = std::function<NTSTATUS(const std::wstring& path, ACCESS_MASK access,
                                              DWORD userDisposition, ULONG createOptions)>;

    MemoryFileSystem();
    ~MemoryFileSystem();
    MemoryFileSystem(const MemoryFileSystem&) = delete;
    MemoryFileSystem& operator=(const MemoryFileSystem&) = delete;

    // The operations table; the file system is found through DOKAN_OPTIONS::GlobalContext.
    static DOKAN_OPERATIONS Operations();

    void SetCreateHook(CreateHook hook);
    void SetFlushStatus(NTSTATUS status);          // what FlushFileBuffers answers
    void SetDiskFreeSpaceStatus(NTSTATUS status);  // STATUS_SUCCESS: 1 GiB, half free
    void SetVolumeLabel(std::wstring label);

    // Direct access to the content, bypassing the mount.
    void AddFile(const std::wstring& path, const std::string& content);
    void AddFolder(const std::wstring& path);
    bool Exists(const std::wstring& path) const;
    std::optional<std::string> Content(const std::wstring& path) const;
    std::optional<DWORD> Attributes(const std::wstring& path) const;
    std::optional<FILETIME> LastWriteTime(const std::wstring& path) const;
    std::vector<std::wstring> Children(const std::wstring& path) const;

    Counters& counters() { return m_counters; }
    int MountedCount() const;
    int UnmountedCount() const;
    // Waits until Mounted has been called `count` times in all.
    bool WaitMounted(std::chrono::milliseconds timeout, int count = 1);

    struct Node;
    struct Context;
    struct Callbacks;

private:
    std::shared_ptr<Node> Find(std::wstring_view path) const;
    std::shared_ptr<Node> FindParent(std::wstring_view path, std::wstring& name) const;

    mutable std::shared_mutex m_mutex;  // the tree and every content
    std::shared_ptr<Node> m_root;
    Counters m_counters;

    std::shared_ptr<const CreateHook> m_createHook;
    std::atomic<NTSTATUS> m_flushStatus{STATUS_SUCCESS};
    std::atomic<NTSTATUS> m_diskFreeSpaceStatus{STATUS_SUCCESS};
    std::wstring m_label = L"Memory, test";

    mutable std::mutex m_mountMutex;
    std::condition_variable m_mountChanged;
    int m_mounted = 0;
    int m_unmounted = 0;
};

}  // namespace kelvo_test
