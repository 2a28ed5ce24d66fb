#pragma once

#include <sqlite3.h>

#include <atomic>
#include <map>
#include <mutex>

namespace kelvo_test {

// The default VFS with a count of the syncs that SQLite asks of it: what reaches the disk.
// Registered as the default for the lifetime of the object; every connection opened meanwhile
// must be closed before it goes (or it is never destroyed).
class SyncCountingVfs {
public:
    SyncCountingVfs() : m_inner(sqlite3_vfs_find(nullptr)) {
        s_instance = this;
        m_vfs = *m_inner;
        m_vfs.zName = "kelvo-sync-counting";
        m_vfs.xOpen = &Open;
        sqlite3_vfs_register(&m_vfs, 1);
    }
    ~SyncCountingVfs() {
        sqlite3_vfs_unregister(&m_vfs);
        sqlite3_vfs_register(m_inner, 1);
        s_instance = nullptr;
    }
    SyncCountingVfs(const SyncCountingVfs&) = delete;
    SyncCountingVfs& operator=(const SyncCountingVfs&) = delete;

    int Syncs() const { return m_syncs; }

private:
    // The file stays the default VFS's own; only its method table is swapped for a copy whose
    // xSync counts before it syncs.
    static int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
        const int result =
            s_instance->m_inner->xOpen(s_instance->m_inner, name, file, flags, outFlags);
        if (result == SQLITE_OK && file->pMethods != nullptr) {
            std::lock_guard<std::mutex> lock(s_instance->m_mutex);
            auto& counting = s_instance->m_methods[file->pMethods];
            if (counting.xSync == nullptr) {
                counting = *file->pMethods;
                counting.xSync = &Sync;
                s_instance->m_originalSync = file->pMethods->xSync;
            }
            file->pMethods = &counting;
        }
        return result;
    }
    static int Sync(sqlite3_file* file, int flags) {
        ++s_instance->m_syncs;
        return s_instance->m_originalSync(file, flags);
    }

    static inline SyncCountingVfs* s_instance = nullptr;
    sqlite3_vfs* m_inner;
    sqlite3_vfs m_vfs{};
    std::mutex m_mutex;  // files are opened on several threads at once
    std::map<const sqlite3_io_methods*, sqlite3_io_methods> m_methods;
    int (*m_originalSync)(sqlite3_file*, int) = nullptr;
    std::atomic<int> m_syncs{0};
};

}  // namespace kelvo_test
