#pragma once

#include "../engine.h"
#include "../link_identity.h"
#include "sqlite_connection_pool.h"
#include "sqlite_upkeep.h"

#include <optional>
#include <string>

namespace tarvo::detail::sqlite {

// The embedded engine: the whole repository in one SQLite database file.
class SqliteEngine : public Engine {
public:
    // Opens the database file, creating it with its root folder and `defaultName` on first use.
    SqliteEngine(const std::string& path, const std::wstring& defaultName, LinkIdentity identity);
    ~SqliteEngine() override;

    std::wstring RepositoryName() override;
    IdPath ResolvePath(const Names& names) override;
    ItemRecord GetItem(const ItemId& id) override;
    IdPath PathOf(const ItemId& id) override;
    std::vector<ItemRecord> ListChildren(const ItemId& folder) override;

    void CreateFolders(const ItemId& parent, const Names& names) override;
    void Rename(const ItemId& id, const std::wstring& name) override;
    void Move(const ItemId& id, const ItemId& newParent) override;
    void Delete(const ItemId& id) override;
    void SetAccess(const ItemId& id, const ItemAccess& access) override;

    std::unique_ptr<VersionWrite> StartDocument(const ItemId& parent, const FileCreateInfo& info,
                                                const std::wstring& comment) override;
    std::unique_ptr<VersionWrite> StartVersion(const ItemId& document,
                                               const std::wstring& comment) override;
    void CreateDocumentForEdit(const ItemId& parent, const FileCreateInfo& info,
                               const std::wstring& comment) override;
    std::vector<VersionNumber> ListVersions(const ItemId& document) override;
    VersionNumber ReplaceDocument(const ItemId& source, const ItemId& target,
                                  const std::wstring& comment) override;
    std::vector<VersionRecord> ListVersionRecords(const ItemId& document) override;
    VersionNumber CurrentVersion(const ItemId& document) override;
    void CheckVersion(const ItemId& document, VersionNumber version) override;
    std::vector<BlobRecord> ListBlobs(const ItemId& document, VersionNumber version) override;
    std::size_t ReadChunk(BlobId blob, std::int64_t chunkIndex, std::uint8_t* out,
                          std::size_t capacity) override;

    int Lock(const ItemId& document, std::wstring& holder) override;
    void Unlock(const ItemId& document) override;
    void ReleaseAllLocks() noexcept override;
    void Sync() override;

private:
    void CheckNoForeignLocksBelow(Database& db, const ItemId& id);
    // The answer to Lock when the lock is already taken (by this link or a live other); none
    // when this link may take it.
    std::optional<int> TakenLockState(Database& db, const ItemId& document, std::wstring& holder);
    void InsertLock(Database& db, const ItemId& document);
    // Removes what uploads of processes that have ended left staged.
    void CollectAbandonedUploads(Database& db);

    Upkeep m_upkeep;  // first: the pool's connections report their commits to it
    ConnectionPool m_pool;
    const LinkIdentity m_identity;
};

}  // namespace tarvo::detail::sqlite
