#pragma once

#include "../engine_version_write.h"
#include "sqlite_connection_pool.h"

#include <optional>

namespace tarvo::detail::sqlite {

// A version (or a whole new document) being written. Each full chunk goes into staging space in
// a transaction of its own as it arrives (staged_blobs names the blob, blob_chunks holds its
// bytes), so the database's write lock is never held for longer than one chunk takes. The last,
// partial chunk of each blob waits in memory for the commit: a small document costs one
// transaction. The commit checks everything again and writes the rows that make the version
// current, in one short transaction; until then nobody sees any of it.
class SqliteVersionWrite : public EngineVersionWrite<ConnectionPool::Lease> {
public:
    using EngineVersionWrite::EngineVersionWrite;
    ~SqliteVersionWrite() override;

    BlobId AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize) override;
    void AppendChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                     std::size_t size) override;
    void FinishBlob(BlobId blob, std::uint64_t size) override;
    std::vector<BlobRecord> Blobs() override;
    VersionNumber Commit() override;
    void Discard() override;

    // Writes the rows of a new document and its first version (number 1), in the caller's
    // write transaction; checks that the name is free first.
    static void InsertNewDocument(Database& db, const LinkIdentity& identity, const ItemId& parent,
                                  const FileCreateInfo& info, const std::wstring& comment);

private:
    // One blob of the version. Callers name it by its handle (negative); its real id comes when
    // it is first staged or at commit. Ids are handed out in the order the blobs were added,
    // which is their order in the version.
    struct Blob {
        BlobId handle = 0;
        BlobRecord record;    // record.id is the handle until the blob is stored
        bool stored = false;  // has its real id (and, until commit, a staged_blobs row)
        std::vector<std::uint8_t> heldChunk;  // the last, partial chunk, written at commit
        std::int64_t heldIndex = -1;
    };

    Blob& Find(BlobId blob);
    void CheckOpen() const;
    void CheckDocument();
    void StageChunk(Blob& blob, std::int64_t chunkIndex, const std::uint8_t* data,
                    std::size_t size);
    enum class IdUse { Staged, Committed };
    std::vector<BlobId> NewIdsUpTo(const Blob& last, IdUse use);
    void AdoptIds(const std::vector<BlobId>& ids);
    void InsertChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                     std::size_t size);
    void WriteVersionRows(VersionNumber number, std::int64_t now);

    std::vector<Blob> m_blobs;
};

// Removes a staged blob's chunks and its staged_blobs row, a few chunks per transaction, so that
// collecting a large upload keeps nobody waiting. Runs its own transactions.
void RemoveStagedBlob(Database& db, BlobId blob);

}  // namespace tarvo::detail::sqlite
