#include "sqlite_version_write.h"

#include "../errors_text.h"
#include "../time_codec.h"
#include "sqlite_queries.h"

#include <algorithm>

namespace tarvo::detail::sqlite {

SqliteVersionWrite::SqliteVersionWrite(ConnectionPool::Lease lease, const LinkIdentity& identity,
                                       ItemId document, std::optional<NewDocument> creation,
                                       std::wstring comment)
    : m_lease(std::move(lease)),
      m_identity(identity),
      m_document(document),
      m_creation(std::move(creation)),
      m_comment(std::move(comment)) {}

SqliteVersionWrite::~SqliteVersionWrite() = default;  // an open transaction rolls back

void SqliteVersionWrite::Start() {
    if (m_finished) {
        throw errors::DocumentClosed();
    }
    if (m_transaction) {
        return;
    }
    m_transaction.emplace(*m_lease, Transaction::Kind::Write);
    try {
        Database& db = *m_lease;
        if (m_creation) {
            CheckNewDocument();
            m_number = 1;
        } else {
            CheckExistingDocument();
            StatementUse query(
                db.Prepare("SELECT COALESCE(MAX(number), 0) + 1 FROM versions WHERE item_id = ?1"));
            query->BindUuid(1, m_document);
            query->Step();
            m_number = query->ColumnInt64(0);
        }
        // Holding the write lock, this transaction is the only one that can add blobs.
        StatementUse query(db.Prepare("SELECT COALESCE(MAX(id), 0) + 1 FROM blobs"));
        query->Step();
        m_nextBlob = query->ColumnInt64(0);
    } catch (...) {
        m_transaction.reset();  // the next attempt checks everything again
        throw;
    }
}

// Checked again inside the transaction: another link may have taken the name or removed the
// folder since the document was opened.
void SqliteVersionWrite::CheckNewDocument() {
    Database& db = *m_lease;
    queries::RequireFolder(db, m_creation->parent);
    if (queries::FindChild(db, m_creation->parent, m_creation->info.name)) {
        throw errors::NameTaken(m_creation->info.name);
    }
    if (queries::FindItem(db, m_document)) {
        throw errors::Invalid(
            L"Объект с таким идентификатором уже есть в хранилище. Создайте "
            L"документ с новым идентификатором.");
    }
}

void SqliteVersionWrite::CheckExistingDocument() {
    Database& db = *m_lease;
    queries::RequireDocument(db, m_document);
    if (const auto holder = queries::ForeignHolder(db, m_document, m_identity.linkId)) {
        throw errors::LockedBy(*holder);
    }
}

BlobId SqliteVersionWrite::AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize) {
    Start();
    BlobRecord blob;
    blob.id = m_nextBlob++;
    blob.category = category;
    blob.chunkSize = chunkSize;
    m_blobs.push_back(blob);
    return blob.id;
}

void SqliteVersionWrite::AppendChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                                     std::size_t size) {
    Start();
    StatementUse insert(
        m_lease->Prepare("INSERT INTO blob_chunks(blob_id, chunk_index, data) VALUES(?1, ?2, ?3)"));
    insert->BindInt64(1, blob);
    insert->BindInt64(2, chunkIndex);
    insert->BindBlob(3, data, size);
    insert->Run();
}

void SqliteVersionWrite::FinishBlob(BlobId blob, std::uint64_t size) {
    Start();
    const auto found = std::find_if(m_blobs.begin(), m_blobs.end(),
                                    [blob](const BlobRecord& record) { return record.id == blob; });
    if (found != m_blobs.end()) {
        found->size = size;
    }
}

std::vector<BlobRecord> SqliteVersionWrite::Blobs() {
    return m_blobs;
}

VersionNumber SqliteVersionWrite::Commit() {
    Start();
    const std::int64_t now = ToMicroseconds(Now());
    WriteDocumentRow(now);
    WriteVersionRows(now);
    m_transaction->Commit();
    m_transaction.reset();
    m_finished = true;
    return m_number;
}

// The rows that describe the version are written last, after the content: a page written early
// in a long transaction and changed again at its end makes SQLite rewrite the checksum of every
// WAL frame written in between, which for a large upload is most of the upload once more.
void SqliteVersionWrite::WriteDocumentRow(std::int64_t now) {
    Database& db = *m_lease;
    if (m_creation) {
        StatementUse insert(db.Prepare(
            "INSERT INTO items(id, parent_id, name, is_folder, kind, created_us, modified_us, "
            "current_version) VALUES(?1, ?2, ?3, 0, ?4, ?5, ?5, ?6)"));
        insert->BindUuid(1, m_document);
        insert->BindUuid(2, m_creation->parent);
        insert->BindText(3, m_creation->info.name);
        insert->BindUuid(4, m_creation->info.kind);
        insert->BindInt64(5, now);
        insert->BindInt64(6, m_number);
        insert->Run();
        return;
    }
    StatementUse update(
        db.Prepare("UPDATE items SET current_version = ?2, modified_us = ?3 WHERE id = ?1"));
    update->BindUuid(1, m_document);
    update->BindInt64(2, m_number);
    update->BindInt64(3, now);
    update->Run();
}

void SqliteVersionWrite::WriteVersionRows(std::int64_t now) {
    Database& db = *m_lease;
    {
        StatementUse insert(
            db.Prepare("INSERT INTO versions(item_id, number, comment, author, created_us) "
                       "VALUES(?1, ?2, ?3, ?4, ?5)"));
        insert->BindUuid(1, m_document);
        insert->BindInt64(2, m_number);
        insert->BindText(3, m_comment);
        insert->BindText(4, m_identity.HolderText());
        insert->BindInt64(5, now);
        insert->Run();
    }
    for (const auto& blob : m_blobs) {
        StatementUse insert(
            db.Prepare("INSERT INTO blobs(id, item_id, version, category, size, chunk_size) "
                       "VALUES(?1, ?2, ?3, ?4, ?5, ?6)"));
        insert->BindInt64(1, blob.id);
        insert->BindUuid(2, m_document);
        insert->BindInt64(3, m_number);
        insert->BindUuid(4, blob.category);
        insert->BindInt64(5, static_cast<std::int64_t>(blob.size));
        insert->BindInt64(6, static_cast<std::int64_t>(blob.chunkSize));
        insert->Run();
    }
}

void SqliteVersionWrite::Discard() {
    m_transaction.reset();
    m_finished = true;
}

}  // namespace tarvo::detail::sqlite
