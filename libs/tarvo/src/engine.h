#pragma once

#include <tarvo/core.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::detail {

// One item as a storage engine returns it.
struct ItemRecord {
    ItemId id{};
    ItemId parent{};  // nil for the root
    std::wstring name;
    bool folder = false;
    boost::posix_time::ptime creationTime;
    boost::posix_time::ptime modificationTime;
    std::optional<std::uint64_t> size;  // documents: size of the first blob of the current version
    bool visible = true;
    bool openable = true;

    BrowserItemInfo ToBrowserItemInfo() const;
};

// One stored blob of a version.
struct BlobRecord {
    BlobId id = 0;
    boost::uuids::uuid category{};
    std::uint64_t size = 0;
    std::size_t chunkSize = 0;  // no stored chunk is larger
};

// One stored version as an engine returns it.
struct VersionRecord {
    VersionNumber number = 0;
    boost::posix_time::ptime commitTime;
    std::wstring author;                // the saving link's holder text (LinkIdentity::HolderText)
    std::optional<std::uint64_t> size;  // size of the first blob; none when the version has none
};

// A version being written. Everything it stores stays invisible to every other link until
// Commit; Discard (or destruction without Commit) leaves the repository as it was, and so does
// a crash of the process at any moment before Commit returns. Content goes into staging space
// in short transactions as it arrives, so that an upload never keeps other writers waiting for
// longer than one chunk takes; what a crashed upload staged is collected when the repository
// is next opened.
class VersionWrite {
public:
    virtual ~VersionWrite() = default;
    virtual BlobId AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize) = 0;
    // Chunks of one blob arrive in order, numbered from 0.
    virtual void AppendChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                             std::size_t size) = 0;
    virtual void FinishBlob(BlobId blob, std::uint64_t size) = 0;
    // Blobs stored in this version so far.
    virtual std::vector<BlobRecord> Blobs() = 0;
    // Makes the version current (for a new document: creates the document) in one short
    // transaction.
    virtual VersionNumber Commit() = 0;
    virtual void Discard() = 0;
};

// The storage behind one repository link. Each call is atomic (one transaction) and safe to
// make from several threads at once. The SQL dialect and the physical layout stay inside the
// implementation; what a caller sees is this interface and TarvoError.
class Engine {
public:
    virtual ~Engine() = default;

    virtual std::wstring RepositoryName() = 0;

    // Ids of the longest existing prefix of `names` (names[0] is the root's empty name).
    virtual IdPath ResolvePath(const Names& names) = 0;
    // Throws ItemNotFound when the item does not exist.
    virtual ItemRecord GetItem(const ItemId& id) = 0;
    virtual IdPath PathOf(const ItemId& id) = 0;
    virtual std::vector<ItemRecord> ListChildren(const ItemId& folder) = 0;

    virtual void CreateFolders(const ItemId& parent, const Names& names) = 0;
    virtual void Rename(const ItemId& id, const std::wstring& name) = 0;
    virtual void Move(const ItemId& id, const ItemId& newParent) = 0;
    virtual void Delete(const ItemId& id) = 0;
    virtual void SetAccess(const ItemId& id, const ItemAccess& access) = 0;

    virtual std::unique_ptr<VersionWrite> StartDocument(const ItemId& parent,
                                                        const FileCreateInfo& info,
                                                        const std::wstring& comment) = 0;
    virtual std::unique_ptr<VersionWrite> StartVersion(const ItemId& document,
                                                       const std::wstring& comment) = 0;
    // A new document with an empty first version, its edit lock held by this link. By default
    // the two steps one after the other; an engine that can do it in one transaction does.
    virtual void CreateDocumentForEdit(const ItemId& parent, const FileCreateInfo& info,
                                       const std::wstring& comment);
    virtual std::vector<VersionNumber> ListVersions(const ItemId& document) = 0;
    // The current version's blobs of `source` become a new version of `target`, and `source` is
    // deleted, in one transaction. Returns the new version's number.
    virtual VersionNumber ReplaceDocument(const ItemId& source, const ItemId& target,
                                          const std::wstring& comment) = 0;
    // Every version of the document, oldest first, in one statement. Throws ItemNotFound or
    // NotADocument like ListVersions.
    virtual std::vector<VersionRecord> ListVersionRecords(const ItemId& document) = 0;
    virtual VersionNumber CurrentVersion(const ItemId& document) = 0;
    // Throws ItemNotFound when the version does not exist.
    virtual void CheckVersion(const ItemId& document, VersionNumber version) = 0;
    virtual std::vector<BlobRecord> ListBlobs(const ItemId& document, VersionNumber version) = 0;
    // Copies chunk `chunkIndex` of the blob into `out`; returns its size, 0 when there is none.
    virtual std::size_t ReadChunk(BlobId blob, std::int64_t chunkIndex, std::uint8_t* out,
                                  std::size_t capacity) = 0;
    // How many chunks a reader should ask ReadChunks for at once: more than one where each
    // request costs a round trip.
    virtual std::size_t ChunksPerRead() const { return 1; }
    // Copies chunks `first`, `first` + 1, ... into the buffers `out` (each of `capacity` bytes),
    // as many as `out` has room for; returns the sizes of the chunks found, in order (fewer than
    // asked at the end of the blob).
    virtual std::vector<std::size_t> ReadChunks(BlobId blob, std::int64_t first,
                                                const std::vector<std::uint8_t*>& out,
                                                std::size_t capacity);

    // lock_state values; `holder` receives the holder's text.
    virtual int Lock(const ItemId& document, std::wstring& holder) = 0;
    virtual void Unlock(const ItemId& document) = 0;
    // Releases every lock this link holds (the link is going away).
    virtual void ReleaseAllLocks() noexcept = 0;

    // Returns once everything committed so far would survive a power loss.
    virtual void Sync() = 0;
};

}  // namespace tarvo::detail
