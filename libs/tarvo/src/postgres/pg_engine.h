#pragma once

#include "../engine.h"
#include "pg_connection_pool.h"
#include "pg_lock_session.h"

#include <string>

namespace tarvo::detail::postgres {

// The shared engine: a repository in a PostgreSQL database that many clients use at once.
// Every operation runs on a pooled connection of this link; the edit locks and the liveness of
// the link belong to its lock session.
class PgEngine : public Engine {
public:
    // Connects (throwing the user's error when the server refuses) and creates the repository in
    // an empty database, named after the database.
    explicit PgEngine(const ConnectionSettings& settings);
    ~PgEngine() override;

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
    std::vector<VersionNumber> ListVersions(const ItemId& document) override;
    VersionNumber ReplaceDocument(const ItemId& source, const ItemId& target,
                                  const std::wstring& comment) override;
    std::vector<VersionRecord> ListVersionRecords(const ItemId& document) override;
    VersionNumber CurrentVersion(const ItemId& document) override;
    void CheckVersion(const ItemId& document, VersionNumber version) override;
    std::vector<BlobRecord> ListBlobs(const ItemId& document, VersionNumber version) override;
    std::size_t ReadChunk(BlobId blob, std::int64_t chunkIndex, std::uint8_t* out,
                          std::size_t capacity) override;
    std::size_t ChunksPerRead() const override;
    std::vector<std::size_t> ReadChunks(BlobId blob, std::int64_t first,
                                        const std::vector<std::uint8_t*>& out,
                                        std::size_t capacity) override;

    int Lock(const ItemId& document, std::wstring& holder) override;
    void Unlock(const ItemId& document) override;
    void ReleaseAllLocks() noexcept override;
    void Sync() override;

private:
    // Removes content that uploads of links now gone left staged.
    void CollectAbandonedUploads();

    LockSession m_session;
    ConnectionPool m_pool;
};

}  // namespace tarvo::detail::postgres
