#pragma once

#include "../engine_version_write.h"
#include "pg_connection_pool.h"

#include <optional>

namespace tarvo::detail::postgres {

// A version (or a whole new document) being written. Content goes in as it arrives, each chunk in
// a transaction of its own, into a blob row without a version: staged, invisible to everybody
// else. While the upload lives, its connection's session holds an advisory lock per staged blob;
// a client that dies leaves blobs without a version and without a lock, which the next link to
// open the repository collects. The version gets its number and becomes current only at commit,
// in one short transaction under a lock of the document's row, so that two clients saving the
// same document one after the other get consecutive versions and an upload blocks nobody.
class PgVersionWrite : public EngineVersionWrite<ConnectionPool::Lease> {
public:
    using EngineVersionWrite::EngineVersionWrite;
    ~PgVersionWrite() override;

    BlobId AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize) override;
    void AppendChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                     std::size_t size) override;
    void FinishBlob(BlobId blob, std::uint64_t size) override;
    std::vector<BlobRecord> Blobs() override;
    VersionNumber Commit() override;
    void Discard() override;

private:
    void Start();
    void CheckExistingDocument();
    VersionNumber InsertDocument(std::int64_t now);
    VersionNumber NextVersionOfExistingDocument();
    std::vector<std::int64_t> BlobIds() const;
    // Gives back the staging locks of this version's blobs (after their rows are settled).
    void ReleaseStagingLocks() noexcept;

    std::vector<BlobRecord> m_blobs;
};

}  // namespace tarvo::detail::postgres
