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
        const std::int64_t now = ToMicroseconds(Now());
        if (m_creation) {
            InsertDocument(now);
            m_number = 1;
        } else {
            CheckExistingDocument();
            StatementUse query(m_lease->Prepare(
                "SELECT COALESCE(MAX(number), 0) + 1 FROM versions WHERE item_id = ?1"));
            query->BindUuid(1, m_document);
            query->Step();
            m_number = query->ColumnInt64(0);
        }
        InsertVersionRow(now);
    } catch (...) {
        m_transaction.reset();  // the next attempt checks everything again
        throw;
    }
}

// Checked again inside the transaction: another link may have taken the name or removed the
// folder since the document was opened.
void SqliteVersionWrite::InsertDocument(std::int64_t now) {
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
    StatementUse insert(db.Prepare(
        "INSERT INTO items(id, parent_id, name, is_folder, kind, created_us, modified_us) "
        "VALUES(?1, ?2, ?3, 0, ?4, ?5, ?5)"));
    insert->BindUuid(1, m_document);
    insert->BindUuid(2, m_creation->parent);
    insert->BindText(3, m_creation->info.name);
    insert->BindUuid(4, m_creation->info.kind);
    insert->BindInt64(5, now);
    insert->Run();
}

void SqliteVersionWrite::CheckExistingDocument() {
    Database& db = *m_lease;
    queries::RequireDocument(db, m_document);
    if (const auto holder = queries::ForeignHolder(db, m_document, m_identity.linkId)) {
        throw errors::LockedBy(*holder);
    }
}

void SqliteVersionWrite::InsertVersionRow(std::int64_t now) {
    StatementUse insert(
        m_lease->Prepare("INSERT INTO versions(item_id, number, comment, author, created_us) "
                         "VALUES(?1, ?2, ?3, ?4, ?5)"));
    insert->BindUuid(1, m_document);
    insert->BindInt64(2, m_number);
    insert->BindText(3, m_comment);
    insert->BindText(4, m_identity.HolderText());
    insert->BindInt64(5, now);
    insert->Run();
}

BlobId SqliteVersionWrite::AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize) {
    Start();
    StatementUse insert(
        m_lease->Prepare("INSERT INTO blobs(item_id, version, category, size, chunk_size) "
                         "VALUES(?1, ?2, ?3, 0, ?4)"));
    insert->BindUuid(1, m_document);
    insert->BindInt64(2, m_number);
    insert->BindUuid(3, category);
    insert->BindInt64(4, static_cast<std::int64_t>(chunkSize));
    insert->Run();
    BlobRecord blob;
    blob.id = m_lease->LastInsertRowId();
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
    StatementUse update(m_lease->Prepare("UPDATE blobs SET size = ?2 WHERE id = ?1"));
    update->BindInt64(1, blob);
    update->BindInt64(2, static_cast<std::int64_t>(size));
    update->Run();
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
    StatementUse update(
        m_lease->Prepare("UPDATE items SET current_version = ?2, modified_us = ?3 WHERE id = ?1"));
    update->BindUuid(1, m_document);
    update->BindInt64(2, m_number);
    update->BindInt64(3, ToMicroseconds(Now()));
    update->Run();
    m_transaction->Commit();
    m_transaction.reset();
    m_finished = true;
    return m_number;
}

void SqliteVersionWrite::Discard() {
    m_transaction.reset();
    m_finished = true;
}

}  // namespace tarvo::detail::sqlite
