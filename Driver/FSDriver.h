#pragma once

#include "AtomicSharedPtr.h"
#include "OpenDocuments.h"

#include <tarvo/core.h>
#include <tarvo_cm/connection.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Something the drive's user should hear of beyond the result of a file operation: the program
// shows it in the connections table or as a desktop notice.
struct DriveNotice {
    enum class Kind {
        MountFailed,   // the drive could not connect or mount; detail: why
        UploadFailed,  // written content did not reach the repository; detail: where it was kept
        EditRefused,   // someone else holds the document for editing; detail: who
        LinkLost,      // the repository link broke and could not be re-established; detail: why
    };
    Kind kind;
    std::wstring document;  // the document's name; empty for the drive as a whole
    std::wstring detail;
};

// The drive object of one connection: owns the live repository link, runs the file-system
// dispatch loop for its mount point and answers every operation of the driver there.
class KelvoFileSystem {
public:
    // Takes `core` over.
    explicit KelvoFileSystem(std::shared_ptr<tarvo::ICore> core);
    ~KelvoFileSystem();
    KelvoFileSystem(const KelvoFileSystem&) = delete;
    KelvoFileSystem& operator=(const KelvoFileSystem&) = delete;

    // Connects and serves the drive; returns when the mount has ended or never started.
    void run(const tarvo_cm::Connection& connection, const std::wstring& mountPoint,
             const std::wstring& customName);

    // Whether the drive holds a repository link; safe from any thread.
    bool isConnected() const { return static_cast<bool>(repository); }

    // The drive path ("Z:\") and the user's name for the drive. The GUI thread changes them while
    // worker threads read them, so they are read and changed only through these; safe from any
    // thread.
    std::wstring mountPoint() const;
    void setMountPoint(std::wstring mountPoint);
    std::wstring customName() const;
    void setCustomName(std::wstring customName);

    // Removes the mount at the drive's mount point and drops the repository link; the dispatch
    // loop then returns on its own. Does not wait for it.
    void unmount();

    std::shared_ptr<tarvo::ICore> core;
    tarvo_cm::Connection connection;
    AtomicSharedPtr<tarvo::IRepository> repository;  // set while connected
    AtomicSharedPtr<tarvo::IItemStore> itemStore;
    std::function<void()> onMounted;
    std::function<void()> onUnmounted;
    // Called on the thread that met the event; must not block for long.
    std::function<void(const DriveNotice&)> onNotice;

    // Hands a notice to onNotice, if set; never throws.
    void notify(const DriveNotice& notice) noexcept;

    // The documents that handles have open, each with the one working state its handles share.
    OpenDocuments openDocuments;

private:
    mutable std::mutex m_namesMutex;
    std::wstring m_mountPoint = L"X:\\";
    std::wstring m_customName;
};

// The body of a drive thread: keeps the drive object alive until run() has returned, however long
// the storage holds on to it.
void RunDriveThread(std::shared_ptr<KelvoFileSystem> fileSystem, tarvo_cm::Connection connection,
                    std::wstring mountPoint, std::wstring customName);
