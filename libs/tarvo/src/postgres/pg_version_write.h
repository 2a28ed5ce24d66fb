#pragma once

#include "../engine.h"
#include "../link_identity.h"
#include "pg_connection_pool.h"

#include <optional>

namespace tarvo::detail::postgres {

// A version (or a whole new document) written inside one server transaction on a connection of
// its own. Content goes in as it arrives, invisible to everybody else; the version gets its
// number and becomes current only at commit, under a lock of the document's row, so that two
// clients saving the same document one after the other get consecutive versions and an upload
// blocks nobody while it runs. A client that dies in the middle leaves nothing: the server rolls
// the transaction back.
class PgVersionWrite : public VersionWrite {
public:
    struct NewDocument {
        ItemId parent{};
        FileCreateInfo info;
    };

    PgVersionWrite(ConnectionPool::Lease lease, const LinkIdentity& identity, ItemId document,
                   std::optional<NewDocument> creation, std::wstring comment);
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

    ConnectionPool::Lease m_lease;  // declared before the transaction: it must outlive it
    const LinkIdentity& m_identity;
    const ItemId m_document;
    const std::optional<NewDocument> m_creation;
    const std::wstring m_comment;
    std::optional<Transaction> m_transaction;
    std::vector<BlobRecord> m_blobs;
    bool m_finished = false;
};

}  // namespace tarvo::detail::postgres
