#pragma once

// The repository core: a versioned document repository with folders, documents, versions, blobs,
// edit locks and per-item access flags. Every failure is thrown as tarvo::TarvoError.
// All objects are safe to use from several threads at once.

#include <tarvo/errors.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tarvo {

using ItemId = boost::uuids::uuid;
using IdPath = std::vector<ItemId>;       // ids from the root down
using Names = std::vector<std::wstring>;  // names from the root down; the first is L"" (root)
using BlobId = std::int64_t;
using VersionNumber = std::int64_t;

namespace endpoint {
// The user's own built-in repository (embedded SQLite database in the per-user data folder).
struct Local {
    friend bool operator==(const Local&, const Local&) { return true; }
    friend bool operator!=(const Local&, const Local&) { return false; }
};
// A shared repository on a PostgreSQL server.
struct Remote {
    std::wstring host;
    std::uint16_t port = 5432;
    std::wstring database;
    std::wstring sslMode = L"prefer";  // libpq's sslmode
    friend bool operator==(const Remote& a, const Remote& b) {
        return a.host == b.host && a.port == b.port && a.database == b.database &&
               a.sslMode == b.sslMode;
    }
    friend bool operator!=(const Remote& a, const Remote& b) { return !(a == b); }
};
}  // namespace endpoint

namespace auth {
// The operating-system user.
struct Current {
    friend bool operator==(const Current&, const Current&) { return true; }
    friend bool operator!=(const Current&, const Current&) { return false; }
};
struct Basic {
    std::wstring login;
    std::wstring password;
    friend bool operator==(const Basic& a, const Basic& b) {
        return a.login == b.login && a.password == b.password;
    }
    friend bool operator!=(const Basic& a, const Basic& b) { return !(a == b); }
};
}  // namespace auth

using Endpoint = std::variant<endpoint::Local, endpoint::Remote>;
using Credentials = std::variant<auth::Current, auth::Basic>;

// The record of one item as the repository describes it.
struct BrowserItemInfo {
    ItemId id{};
    std::wstring name;
    boost::posix_time::ptime creationTime;      // microsecond resolution, UTC
    boost::posix_time::ptime modificationTime;  // microsecond resolution, UTC
    std::optional<std::uint64_t> size;          // documents only: size of the current content
    bool folder = false;
    bool visible = true;

    bool IsFolder() const { return folder; }
    bool IsVisible() const { return visible; }
};

struct BlobInfo {
    BlobId id = 0;
    boost::uuids::uuid category{};
};

// One stored version of a document, as the repository recorded it when it was saved.
struct VersionInfo {
    VersionNumber number = 0;
    boost::posix_time::ptime commitTime;  // when it was saved; microsecond resolution, UTC
    std::wstring author;                  // login of who saved it; empty when not recorded
    std::optional<std::uint64_t> size;    // size of its first blob; none when it has no blob
};

struct FileCreateInfo {
    ItemId id{};
    std::wstring name;
    boost::uuids::uuid kind{};
};

// Per-item flags that an administrator sets; stored with the item.
struct ItemAccess {
    bool visible = true;   // false: left out of listings
    bool openable = true;  // false: CanOpen refuses the connected user
};

// Results of IItemStore::LockForEdit.
namespace lock_state {
constexpr int kTaken = 0;        // this call took the lock
constexpr int kAlreadyHeld = 1;  // this repository link already holds it
constexpr int kHeldByOther = 2;  // someone else holds it; see the holder text
}  // namespace lock_state

ItemId GenerateUuid();

class IBuffer {
public:
    virtual ~IBuffer() = default;
    virtual std::uint8_t* GetData() = 0;
    virtual std::size_t GetSize() const = 0;
    // Sets the used size; never beyond the capacity the buffer was created with.
    virtual void SetSize(std::size_t size) = 0;
};
std::shared_ptr<IBuffer> CreateBuffer(std::size_t size);

template <class T>
class IIterator {
public:
    virtual ~IIterator() = default;
    // Fills `out` with the next element; false at the end.
    virtual bool Next(T& out) = 0;
};
using IItemIterator = IIterator<BrowserItemInfo>;
using IBlobIterator = IIterator<BlobInfo>;

class IBlobReader {
public:
    virtual ~IBlobReader() = default;
    virtual std::uint64_t GetSize() const = 0;
    // The next chunk; null or empty at the end.
    virtual std::shared_ptr<IBuffer> Read() = 0;
    // Copies up to `size` bytes from `offset` into `out` and returns how many; 0 at or beyond
    // the end. Independent of Read's position, so that a caller can serve reads in any order;
    // the reader keeps the last chunk it fetched, so that neighbouring ranges cost one fetch.
    virtual std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) = 0;
    virtual void Close() = 0;
};

class IBlobWriter {
public:
    virtual ~IBlobWriter() = default;
    // The size of the chunks the writer wants to receive.
    virtual std::size_t GetChunkSize() const = 0;
    virtual void Write(const std::shared_ptr<IBuffer>& buffer) = 0;
    virtual void Close() = 0;
};

// One version of a document: opened for reading (OpenDocument) or being written (BeginVersion,
// CreateDocument). Close(true) commits a written version and makes it current; Close(false)
// discards it and stores nothing. A document destroyed without Close is discarded.
class IDocument {
public:
    virtual ~IDocument() = default;
    virtual std::shared_ptr<IBlobIterator> ListBlobs() = 0;
    virtual std::shared_ptr<IBlobReader> OpenBlob(BlobId blob) = 0;
    virtual std::shared_ptr<IBlobWriter> CreateBlob(const boost::uuids::uuid& category) = 0;
    virtual void Close(bool commit) = 0;
};

class IItemStore {
public:
    virtual ~IItemStore() = default;

    // Ids of the longest existing prefix of `names`, root first (names[0] is the root, L"").
    virtual IdPath ResolvePath(const Names& names) = 0;
    virtual IdPath GetItemPath(const BrowserItemInfo& item) = 0;
    virtual BrowserItemInfo GetItemInfo(const IdPath& path) = 0;
    // Every child, visible or not.
    virtual std::shared_ptr<IItemIterator> ListChildren(const IdPath& folder) = 0;
    virtual bool CanOpen(const BrowserItemInfo& item) = 0;

    // Creates the chain of folders `names` below `parent`; existing ones are reused.
    virtual void CreateFolders(const IdPath& parent, const Names& names) = 0;
    virtual void RenameItem(const IdPath& path, const std::wstring& name) = 0;
    virtual void MoveItem(const IdPath& path, const IdPath& newParent) = 0;
    // Deletes the item with everything below it.
    virtual void DeleteItem(const IdPath& path) = 0;

    // A new document whose first version has no blob; returned open for writing. The document
    // comes into being when it is closed with commit = true (with whatever blobs were written);
    // closing it with commit = false creates nothing.
    virtual std::shared_ptr<IDocument> CreateDocument(const IdPath& parent,
                                                      const FileCreateInfo& info,
                                                      const std::wstring& comment) = 0;
    // The given version, or the current one, for reading.
    virtual std::shared_ptr<IDocument> OpenDocument(
        const IdPath& path, std::optional<VersionNumber> version = std::nullopt) = 0;
    // A new version; it becomes current when closed with commit = true.
    virtual std::shared_ptr<IDocument> BeginVersion(const IdPath& path,
                                                    const std::wstring& comment) = 0;
    // Numbers of all stored versions of a document, oldest first.
    virtual std::vector<VersionNumber> ListVersions(const IdPath& path) = 0;
    // Saves one document over another: the current content of `source` becomes the newest version
    // of `target`, which keeps its id, record, place and older versions, and `source` is deleted;
    // all of it or nothing. Refused with LockedByOther when another link holds the edit lock of
    // either document. Returns the new version's number.
    virtual VersionNumber ReplaceDocument(const IdPath& source, const IdPath& target,
                                          const std::wstring& comment) = 0;
    // Every stored version of a document with when, by whom and how large, oldest first; one
    // repository query however many versions there are.
    virtual std::vector<VersionInfo> ListVersionInfos(const IdPath& path) = 0;

    // See lock_state; `holder` receives who holds the lock.
    virtual int LockForEdit(const IdPath& path, std::wstring& holder) = 0;
    virtual void Unlock(const IdPath& path) = 0;

    // Administration: the item's visibility and openability.
    virtual void SetItemAccess(const IdPath& path, const ItemAccess& access) = 0;

    // Creates a document with an empty first version and takes its edit lock for this link, as
    // CreateDocument, Close(true) and LockForEdit would one after the other, but in as few steps
    // as the repository allows (one transaction in the local repository, where nothing is
    // created when it throws). Returns the new document's id path.
    virtual IdPath CreateDocumentForEdit(const IdPath& parent, const FileCreateInfo& info,
                                         const std::wstring& comment) {
        CreateDocument(parent, info, comment)->Close(true);
        IdPath path = parent;
        path.push_back(info.id);
        std::wstring holder;
        LockForEdit(path, holder);
        return path;
    }
};

class IRepository {
public:
    virtual ~IRepository() = default;
    virtual std::shared_ptr<IItemStore> OpenItemStore() = 0;
    virtual std::wstring GetRepositoryName() = 0;

    // Makes everything committed through any link so far survive a power loss, and returns when
    // it does. Commits survive a crash of the program as soon as they return; only a power loss
    // may take the latest ones that nobody made durable this way (like data written to a local
    // disk without fsync). A repository whose every commit is already durable has nothing to do.
    virtual void Sync() {}
};

class ICore {
public:
    virtual ~ICore() = default;
    // A live link to the repository; throws TarvoError when it cannot be reached.
    virtual std::shared_ptr<IRepository> Connect(const Endpoint& endpoint,
                                                 const Credentials& credentials) = 0;
};

// One per process.
std::shared_ptr<ICore> CreateCore();

}  // namespace tarvo
