#pragma once

#include "CacheFile.h"

#include <tarvo/core.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/uuid.hpp>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// The one working state of a document that handles of the drive have open, shared by all of them
// (each holds a reference; the state goes with the last): the content as the drive now holds it
// (the base version with every write and size change made through any handle), its size and
// times, what changed since the last upload, how many handles and writers it has, and its edit
// lock.
//
// The content lives in a sparse cache file. The base version is downloaded into it in the
// background, in order, from the first read on; a read waits only for the range it asks for.
// Which bytes are present: those below the downloaded offset, those written, and those beyond
// the base content's limit (what a cut left, and extensions, read as zeros).
class OpenDocument {
public:
    // A document whose content is the given version of `item` (whose size is the version's).
    // Throws std::system_error when the cache file cannot be made.
    OpenDocument(const tarvo::BrowserItemInfo& item, tarvo::VersionNumber baseVersion);
    // Stops the download and waits for it.
    ~OpenDocument();
    OpenDocument(const OpenDocument&) = delete;
    OpenDocument& operator=(const OpenDocument&) = delete;

    const tarvo::ItemId& id() const { return m_id; }
    tarvo::VersionNumber baseVersion() const;
    std::uint64_t size() const;
    // Gives the item record the live size and times.
    void describe(tarvo::BrowserItemInfo& item) const;

    // --- Content ------------------------------------------------------------------------------
    // Each may throw std::system_error (the cache file failed; ENOSPC when its disk is full).
    // Reading also throws the download's failure, once: the next read downloads again.

    // Reads up to `length` bytes at `offset`, fewer only at the end; waits for bytes still being
    // downloaded (through `store`, started here when needed).
    std::size_t read(const std::shared_ptr<tarvo::IItemStore>& store, void* buffer,
                     std::size_t length, std::uint64_t offset);
    // Writes at the offset; a gap before it reads as zeros.
    void write(const void* data, std::size_t length, std::uint64_t offset);
    // Writes at the end, wherever it is by then.
    void append(const void* data, std::size_t length);
    // Cuts or extends with zeros; no change when the size is the same.
    void resize(std::uint64_t size);
    // Returns once every byte is present.
    void completeDownload(const std::shared_ptr<tarvo::IItemStore>& store);

    // --- Changes since the last upload ----------------------------------------------------------

    struct Changes {
        bool written = false;  // bytes were written
        bool resized = false;  // the size changed
        std::uint64_t generation = 0;
        bool any() const { return written || resized; }
    };
    Changes changes() const;
    // The content of `generation` is stored in the repository as `version`; what changed since
    // stays a change.
    void markUploaded(std::uint64_t generation, std::optional<tarvo::VersionNumber> version);
    // The changes are given up (saved elsewhere).
    void forgetChanges();
    // Category of the base version's first blob, once the download has seen it.
    std::optional<boost::uuids::uuid> blobCategory() const;

    // --- Handles, writers and the edit lock -----------------------------------------------------

    void addReader();
    // Adds a writing handle when the document holds the edit lock already (after waiting for a
    // release in progress); false when it does not.
    bool joinWritersHoldingLock();
    // Adds a writing handle that has just taken the edit lock for the document; false when the
    // lock is being given back meanwhile (the caller takes it again).
    bool addWriterWithLock();
    struct Departure {
        std::size_t handlesLeft = 0;
        std::size_t writersLeft = 0;
        // The last writer left and the lock is to be given back; lockReleased() ends that.
        bool releasesLock = false;
    };
    Departure leave(bool writer);
    void lockReleased();
    bool holdsLock() const;
    bool hasHandles() const;
    // Writers, the edit lock or unsent changes: the state may not be replaced by a newer version.
    bool busy() const;

    // --- Deletion -------------------------------------------------------------------------------

    // The document was deleted (or replaced) in the repository: the handles keep the content,
    // nothing is uploaded any more.
    void markDeleted();
    bool deleted() const;

    // One upload at a time. Taken before the state's own mutex.
    std::mutex uploadMutex;

private:
    using Lock = std::unique_lock<std::mutex>;

    std::uint64_t baseLimit() const { return std::min(m_baseSize, m_cutAt); }
    bool presentLocked(std::uint64_t begin, std::uint64_t end) const;
    void waitForLocked(Lock& lock, const std::shared_ptr<tarvo::IItemStore>& store,
                       std::uint64_t begin, std::uint64_t end);
    void startDownloadLocked(const std::shared_ptr<tarvo::IItemStore>& store);
    void download(std::shared_ptr<tarvo::IItemStore> store);
    void adoptBaseSizeLocked(std::uint64_t actual);
    void storeDownloadedLocked(std::uint64_t offset, const std::uint8_t* data, std::size_t length);
    void addWrittenLocked(std::uint64_t begin, std::uint64_t end);
    void writeLocked(const void* data, std::size_t length, std::uint64_t offset);
    void changedLocked();

    const tarvo::ItemId m_id;
    const tarvo::BrowserItemInfo m_item;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;  // bytes arrived, the download ended, a release ended
    CacheFile m_file;
    tarvo::VersionNumber m_baseVersion;
    std::uint64_t m_size;
    std::uint64_t m_baseSize;
    std::uint64_t m_cutAt = UINT64_MAX;                // lowest size the document was cut to
    std::uint64_t m_downloaded = 0;                    // every base byte below is present
    std::map<std::uint64_t, std::uint64_t> m_written;  // start -> end, of written base bytes
    boost::posix_time::ptime m_creationTime;
    boost::posix_time::ptime m_modificationTime;
    std::optional<boost::uuids::uuid> m_blobCategory;

    Changes m_changes;
    std::size_t m_handles = 0;
    std::size_t m_writers = 0;
    bool m_lockHeld = false;
    bool m_releasing = false;
    bool m_deleted = false;

    std::thread m_downloader;
    bool m_downloading = false;
    bool m_stopping = false;
    std::exception_ptr m_downloadError;
};
