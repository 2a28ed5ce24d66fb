#include "sqlite_version_write.h"

#include "../errors_text.h"
#include "../time_codec.h"
#include "sqlite_queries.h"

#include <algorithm>

namespace tarvo::detail::sqlite {

namespace {

// A few chunks per transaction: removing them frees their pages, which takes a moment each.
constexpr int kChunksRemovedPerTransaction = 8;

// Ids of committed and of staged blobs alike: a staged blob keeps its id from being taken.
BlobId NextBlobId(Database& db) {
    StatementUse query(
        db.Prepare("SELECT MAX(COALESCE((SELECT MAX(id) FROM blobs), 0), "
                   "COALESCE((SELECT MAX(blob_id) FROM staged_blobs), 0)) + 1"));
    query->Step();
    return query->ColumnInt64(0);
}

}  // namespace

SqliteVersionWrite::~SqliteVersionWrite() {
    Discard();
}

void SqliteVersionWrite::CheckOpen() const {
    if (m_finished) {
        throw errors::DocumentClosed();
    }
}

SqliteVersionWrite::Blob& SqliteVersionWrite::Find(BlobId blob) {
    const auto found = std::find_if(m_blobs.begin(), m_blobs.end(), [blob](const Blob& candidate) {
        return candidate.handle == blob;
    });
    if (found == m_blobs.end()) {
        throw errors::BlobNotInVersion();
    }
    return *found;
}

// Checked inside every transaction that writes: another link may have taken the name, removed
// the folder or the document, or locked the document since the version was started.
void SqliteVersionWrite::CheckDocument() {
    Database& db = *m_lease;
    if (m_creation) {
        queries::RequireFolder(db, m_creation->parent);
        if (queries::FindChild(db, m_creation->parent, m_creation->info.name)) {
            throw errors::NameTaken(m_creation->info.name);
        }
        if (queries::FindItem(db, m_document)) {
            throw errors::Invalid(
                L"Объект с таким идентификатором уже есть в хранилище. Создайте "
                L"документ с новым идентификатором.");
        }
        return;
    }
    queries::RequireDocument(db, m_document);
    if (const auto holder = queries::ForeignHolder(db, m_document, m_identity.linkId)) {
        throw errors::LockedBy(*holder);
    }
}

BlobId SqliteVersionWrite::AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize) {
    CheckOpen();
    Blob blob;
    blob.handle = -static_cast<BlobId>(m_blobs.size() + 1);
    blob.record.id = blob.handle;
    blob.record.category = category;
    blob.record.chunkSize = chunkSize;
    m_blobs.push_back(std::move(blob));
    return m_blobs.back().handle;
}

void SqliteVersionWrite::AppendChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                                     std::size_t size) {
    CheckOpen();
    Blob& target = Find(blob);
    if (target.heldIndex >= 0) {
        // More followed the chunk taken for the last one: it goes to staging first, in order.
        const std::vector<std::uint8_t> held = std::move(target.heldChunk);
        const std::int64_t heldIndex = target.heldIndex;
        target.heldChunk.clear();
        target.heldIndex = -1;
        StageChunk(target, heldIndex, held.data(), held.size());
    }
    if (size < target.record.chunkSize) {
        target.heldChunk.assign(data, data + size);
        target.heldIndex = chunkIndex;
        return;
    }
    StageChunk(target, chunkIndex, data, size);
}

void SqliteVersionWrite::StageChunk(Blob& blob, std::int64_t chunkIndex, const std::uint8_t* data,
                                    std::size_t size) {
    Database& db = *m_lease;
    Transaction transaction(db, Transaction::Kind::BulkWrite);
    if (!m_checked) {
        // Refused early, so that nobody uploads a whole content only to learn at the end that
        // another user holds the document; the commit checks again.
        CheckDocument();
    }
    const auto ids = NewIdsUpTo(blob, IdUse::Staged);
    InsertChunk(blob.stored ? blob.record.id : ids.back(), chunkIndex, data, size);
    transaction.Commit();
    AdoptIds(ids);
    m_checked = true;
}

// Real ids for `last` and every blob added before it that has none yet, in order; with
// IdUse::Staged each gets its staged_blobs row. In the caller's write transaction; the blobs take
// the ids (AdoptIds) only once it has committed, so that a discard never touches an id that
// another upload may have been given after a rollback.
std::vector<BlobId> SqliteVersionWrite::NewIdsUpTo(const Blob& last, IdUse use) {
    Database& db = *m_lease;
    std::vector<BlobId> ids;
    BlobId next = 0;
    for (const Blob& blob : m_blobs) {
        if (!blob.stored) {
            if (next == 0) {
                next = NextBlobId(db);
            }
            ids.push_back(next++);
            if (use == IdUse::Staged) {
                StatementUse insert(db.Prepare(
                    "INSERT INTO staged_blobs(blob_id, link_id, host, process_id, process_start, "
                    "started_us) VALUES(?1, ?2, ?3, ?4, ?5, ?6)"));
                insert->BindInt64(1, ids.back());
                insert->BindUuid(2, m_identity.linkId);
                insert->BindUtf8(3, m_identity.host);
                insert->BindInt64(4, m_identity.processId);
                insert->BindInt64(5, m_identity.processStart);
                insert->BindInt64(6, ToMicroseconds(Now()));
                insert->Run();
            }
        }
        if (&blob == &last) {
            break;
        }
    }
    return ids;
}

void SqliteVersionWrite::AdoptIds(const std::vector<BlobId>& ids) {
    auto id = ids.begin();
    for (Blob& blob : m_blobs) {
        if (id == ids.end()) {
            return;
        }
        if (!blob.stored) {
            blob.record.id = *id++;
            blob.stored = true;
        }
    }
}

void SqliteVersionWrite::InsertChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                                     std::size_t size) {
    StatementUse insert(
        m_lease->Prepare("INSERT INTO blob_chunks(blob_id, chunk_index, data) VALUES(?1, ?2, ?3)"));
    insert->BindInt64(1, blob);
    insert->BindInt64(2, chunkIndex);
    insert->BindBlob(3, data, size);
    insert->Run();
}

void SqliteVersionWrite::FinishBlob(BlobId blob, std::uint64_t size) {
    CheckOpen();
    Find(blob).record.size = size;
}

std::vector<BlobRecord> SqliteVersionWrite::Blobs() {
    std::vector<BlobRecord> records;
    for (const auto& blob : m_blobs) {
        records.push_back(blob.record);
    }
    return records;
}

void SqliteVersionWrite::InsertNewDocument(Database& db, const LinkIdentity& identity,
                                           const ItemId& parent, const FileCreateInfo& info,
                                           const std::wstring& comment) {
    queries::RequireFolder(db, parent);
    if (queries::FindChild(db, parent, info.name)) {
        throw errors::NameTaken(info.name);
    }
    if (queries::FindItem(db, info.id)) {
        throw errors::Invalid(
            L"Объект с таким идентификатором уже есть в хранилище. Создайте "
            L"документ с новым идентификатором.");
    }
    const std::int64_t now = ToMicroseconds(Now());
    {
        StatementUse insert(db.Prepare(
            "INSERT INTO items(id, parent_id, name, is_folder, kind, created_us, modified_us, "
            "current_version) VALUES(?1, ?2, ?3, 0, ?4, ?5, ?5, 1)"));
        insert->BindUuid(1, info.id);
        insert->BindUuid(2, parent);
        insert->BindText(3, info.name);
        insert->BindUuid(4, info.kind);
        insert->BindInt64(5, now);
        insert->Run();
    }
    StatementUse insert(
        db.Prepare("INSERT INTO versions(item_id, number, comment, author, created_us) "
                   "VALUES(?1, ?2, ?3, ?4, ?5)"));
    insert->BindUuid(1, info.id);
    insert->BindInt64(2, 1);
    insert->BindText(3, comment);
    insert->BindText(4, identity.HolderText());
    insert->BindInt64(5, now);
    insert->Run();
}

VersionNumber SqliteVersionWrite::Commit() {
    CheckOpen();
    Database& db = *m_lease;
    Transaction transaction(db, Transaction::Kind::Write);
    VersionNumber number = 1;
    const std::int64_t now = ToMicroseconds(Now());
    if (m_creation) {
        InsertNewDocument(db, m_identity, m_creation->parent, m_creation->info, m_comment);
    } else {
        CheckDocument();
        {
            StatementUse query(
                db.Prepare("SELECT COALESCE(MAX(number), 0) + 1 FROM versions WHERE item_id = ?1"));
            query->BindUuid(1, m_document);
            query->Step();
            number = query->ColumnInt64(0);
        }
        StatementUse update(
            db.Prepare("UPDATE items SET current_version = ?2, modified_us = ?3 WHERE id = ?1"));
        update->BindUuid(1, m_document);
        update->BindInt64(2, number);
        update->BindInt64(3, now);
        update->Run();
        WriteVersionRows(number, now);
    }
    const auto newIds =
        m_blobs.empty() ? std::vector<BlobId>() : NewIdsUpTo(m_blobs.back(), IdUse::Committed);
    auto newId = newIds.begin();
    for (auto& blob : m_blobs) {
        const BlobId id = blob.stored ? blob.record.id : *newId++;
        if (blob.heldIndex >= 0) {
            InsertChunk(id, blob.heldIndex, blob.heldChunk.data(), blob.heldChunk.size());
        }
        StatementUse insert(
            db.Prepare("INSERT INTO blobs(id, item_id, version, category, size, chunk_size) "
                       "VALUES(?1, ?2, ?3, ?4, ?5, ?6)"));
        insert->BindInt64(1, id);
        insert->BindUuid(2, m_document);
        insert->BindInt64(3, number);
        insert->BindUuid(4, blob.record.category);
        insert->BindInt64(5, static_cast<std::int64_t>(blob.record.size));
        insert->BindInt64(6, static_cast<std::int64_t>(blob.record.chunkSize));
        insert->Run();
        StatementUse unstage(db.Prepare("DELETE FROM staged_blobs WHERE blob_id = ?1"));
        unstage->BindInt64(1, id);
        unstage->Run();
    }
    transaction.Commit();
    m_finished = true;
    m_blobs.clear();
    return number;
}

void SqliteVersionWrite::WriteVersionRows(VersionNumber number, std::int64_t now) {
    StatementUse insert(
        m_lease->Prepare("INSERT INTO versions(item_id, number, comment, author, created_us) "
                         "VALUES(?1, ?2, ?3, ?4, ?5)"));
    insert->BindUuid(1, m_document);
    insert->BindInt64(2, number);
    insert->BindText(3, m_comment);
    insert->BindText(4, m_identity.HolderText());
    insert->BindInt64(5, now);
    insert->Run();
}

void SqliteVersionWrite::Discard() {
    if (m_finished) {
        return;
    }
    m_finished = true;
    for (const auto& blob : m_blobs) {
        if (!blob.stored) {
            continue;
        }
        try {
            RemoveStagedBlob(*m_lease, blob.record.id);
        } catch (const std::exception&) {
            // Left staged; collected at an open of the repository after this process has ended.
        }
    }
    m_blobs.clear();
}

void RemoveStagedBlob(Database& db, BlobId blob) {
    for (;;) {
        Transaction transaction(db, Transaction::Kind::BulkWrite);
        StatementUse deletion(
            db.Prepare("DELETE FROM blob_chunks WHERE rowid IN (SELECT rowid FROM blob_chunks "
                       "WHERE blob_id = ?1 LIMIT ?2)"));
        deletion->BindInt64(1, blob);
        deletion->BindInt64(2, kChunksRemovedPerTransaction);
        deletion->Run();
        if (db.Changes() == 0) {
            StatementUse unstage(db.Prepare("DELETE FROM staged_blobs WHERE blob_id = ?1"));
            unstage->BindInt64(1, blob);
            unstage->Run();
            transaction.Commit();
            return;
        }
        transaction.Commit();
    }
}

}  // namespace tarvo::detail::sqlite
