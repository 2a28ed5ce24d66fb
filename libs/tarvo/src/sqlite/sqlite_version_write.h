#pragma once

#include "../engine.h"
#include "../link_identity.h"
#include "sqlite_connection_pool.h"

#include <optional>

namespace tarvo::detail::sqlite {

// A version (or a whole new document) written inside one SQLite transaction on a connection of
// its own. Only content chunks are written while the version is open; the rows describing the
// document, the version and its blobs follow at commit. The transaction starts with the first blob
// (or at commit), so merely opening a version does not hold the database's write lock; from then on
// other writers wait until it ends, while readers go on seeing the previous version (WAL).
class SqliteVersionWrite : public VersionWrite {
public:
    struct NewDocument {
        ItemId parent{};
        FileCreateInfo info;
    };

    SqliteVersionWrite(ConnectionPool::Lease lease, const LinkIdentity& identity, ItemId document,
                       std::optional<NewDocument> creation, std::wstring comment);
    ~SqliteVersionWrite() override;

    BlobId AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize) override;
    void AppendChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                     std::size_t size) override;
    void FinishBlob(BlobId blob, std::uint64_t size) override;
    std::vector<BlobRecord> Blobs() override;
    VersionNumber Commit() override;
    void Discard() override;

private:
    void Start();
    void CheckNewDocument();
    void CheckExistingDocument();
    void WriteDocumentRow(std::int64_t now);
    void WriteVersionRows(std::int64_t now);

    ConnectionPool::Lease m_lease;  // declared before the transaction: it must outlive it
    const LinkIdentity& m_identity;
    const ItemId m_document;
    const std::optional<NewDocument> m_creation;
    const std::wstring m_comment;
    std::optional<Transaction> m_transaction;
    VersionNumber m_number = 0;
    BlobId m_nextBlob = 0;
    std::vector<BlobRecord> m_blobs;
    bool m_finished = false;
};

}  // namespace tarvo::detail::sqlite
