#include "pg_version_write.h"

#include "../errors_text.h"
#include "../time_codec.h"
#include "pg_error.h"
#include "pg_locks_keys.h"
#include "pg_queries.h"

#include <algorithm>

namespace tarvo::detail::postgres {

PgVersionWrite::~PgVersionWrite() {
    Discard();
}

void PgVersionWrite::Start() {
    if (m_finished) {
        throw errors::DocumentClosed();
    }
    // Refused early, so that nobody uploads a whole content only to learn at the end that
    // another user holds the document; checked again at commit.
    if (!m_checked && !m_creation) {
        CheckExistingDocument();
    }
    m_checked = true;
}

void PgVersionWrite::CheckExistingDocument() {
    queries::RequireDocument(*m_lease, m_document);
    if (const auto holder = queries::ForeignHolder(*m_lease, m_document, m_identity.linkId)) {
        throw errors::LockedBy(*holder);
    }
}

BlobId PgVersionWrite::AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize) {
    Start();
    // One statement, so one transaction: the row becomes visible with its staging lock taken.
    // The version number is not known before commit; the blob gets it then.
    auto result = m_lease->Exec(
        "WITH staged AS (INSERT INTO kelvo.blobs(item_id, version, category, size, chunk_size) "
        "VALUES ($1, NULL, $2, 0, $3) RETURNING id) "
        "SELECT id, pg_advisory_lock($4::integer, (id & 2147483647)::integer) FROM staged",
        Params()
            .Uuid(m_document)
            .Uuid(category)
            .Int64(static_cast<std::int64_t>(chunkSize))
            .Int64(lock_keys::kStagingNamespace));
    BlobRecord blob;
    blob.id = result.Int64(0, 0);
    blob.category = category;
    blob.chunkSize = chunkSize;
    m_blobs.push_back(blob);
    return blob.id;
}

void PgVersionWrite::AppendChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                                 std::size_t size) {
    Start();
    m_lease->Exec("INSERT INTO kelvo.blob_chunks(blob_id, chunk_index, data) VALUES ($1, $2, $3)",
                  Params().Int64(blob).Int64(chunkIndex).Bytes(data, size));
}

void PgVersionWrite::FinishBlob(BlobId blob, std::uint64_t size) {
    Start();
    const auto found = std::find_if(m_blobs.begin(), m_blobs.end(),
                                    [blob](const BlobRecord& record) { return record.id == blob; });
    if (found != m_blobs.end()) {
        found->size = size;  // written with the version at commit
    }
}

std::vector<BlobRecord> PgVersionWrite::Blobs() {
    return m_blobs;
}

std::vector<std::int64_t> PgVersionWrite::BlobIds() const {
    std::vector<std::int64_t> ids;
    for (const auto& blob : m_blobs) {
        ids.push_back(blob.id);
    }
    return ids;
}

void PgVersionWrite::ReleaseStagingLocks() noexcept {
    if (m_blobs.empty()) {
        return;
    }
    try {
        m_lease->Exec(
            "SELECT pg_advisory_unlock($2::integer, (id & 2147483647)::integer) "
            "FROM unnest($1::bigint[]) AS id",
            Params().Int64Array(BlobIds()).Int64(lock_keys::kStagingNamespace));
    } catch (const std::exception&) {
        // The session is gone, and its locks with it.
    }
}

// Checked again under the tree lock: another client may have taken the name or removed the
// folder since the document was started.
VersionNumber PgVersionWrite::InsertDocument(std::int64_t now) {
    Connection& connection = *m_lease;
    queries::LockTree(connection);
    queries::RequireFolder(connection, m_creation->parent);
    if (queries::FindChild(connection, m_creation->parent, m_creation->info.name)) {
        throw errors::NameTaken(m_creation->info.name);
    }
    if (queries::FindItem(connection, m_document)) {
        throw errors::Invalid(
            L"Объект с таким идентификатором уже есть в хранилище. Создайте "
            L"документ с новым идентификатором.");
    }
    try {
        connection.Exec(
            "INSERT INTO kelvo.items(id, parent_id, name, is_folder, kind, created_us, "
            "modified_us) VALUES ($1, $2, $3, false, $4, $5, $5)",
            Params()
                .Uuid(m_document)
                .Uuid(m_creation->parent)
                .Text(m_creation->info.name)
                .Uuid(m_creation->info.kind)
                .Int64(now));
    } catch (const QueryError& error) {
        if (error.SqlState() == sql_state::kUniqueViolation) {
            throw errors::NameTaken(m_creation->info.name);
        }
        throw;
    }
    return 1;
}

VersionNumber PgVersionWrite::NextVersionOfExistingDocument() {
    Connection& connection = *m_lease;
    // The row lock makes concurrent commits of one document take turns; a delete that got
    // there first leaves no row to lock.
    auto row = connection.Exec("SELECT is_folder FROM kelvo.items WHERE id = $1 FOR UPDATE",
                               Params().Uuid(m_document));
    if (row.Rows() == 0) {
        throw errors::ItemGone();
    }
    if (row.Bool(0, 0)) {
        throw errors::NotADocument();
    }
    if (const auto holder = queries::ForeignHolder(connection, m_document, m_identity.linkId)) {
        throw errors::LockedBy(*holder);
    }
    auto next = connection.Exec(
        "SELECT COALESCE(MAX(number), 0) + 1 FROM kelvo.versions WHERE item_id = $1",
        Params().Uuid(m_document));
    return next.Int64(0, 0);
}

VersionNumber PgVersionWrite::Commit() {
    Start();
    Connection& connection = *m_lease;
    Transaction transaction(connection);
    const std::int64_t now = ToMicroseconds(Now());
    const VersionNumber number = m_creation ? InsertDocument(now) : NextVersionOfExistingDocument();
    connection.Exec(
        "INSERT INTO kelvo.versions(item_id, number, comment, author, created_us) "
        "VALUES ($1, $2, $3, $4, $5)",
        Params()
            .Uuid(m_document)
            .Int64(number)
            .Text(m_comment)
            .Text(m_identity.HolderText())
            .Int64(now));
    if (!m_blobs.empty()) {
        std::vector<std::int64_t> sizes;
        for (const auto& blob : m_blobs) {
            sizes.push_back(static_cast<std::int64_t>(blob.size));
        }
        connection.Exec(
            "UPDATE kelvo.blobs b SET version = $3, size = s.size "
            "FROM unnest($1::bigint[], $2::bigint[]) AS s(id, size) WHERE b.id = s.id",
            Params().Int64Array(BlobIds()).Int64Array(sizes).Int64(number));
    }
    connection.Exec("UPDATE kelvo.items SET current_version = $2, modified_us = $3 WHERE id = $1",
                    Params().Uuid(m_document).Int64(number).Int64(now));
    transaction.Commit();
    m_finished = true;
    ReleaseStagingLocks();
    m_blobs.clear();
    return number;
}

void PgVersionWrite::Discard() {
    if (m_finished) {
        return;
    }
    m_finished = true;
    if (m_blobs.empty()) {
        return;
    }
    try {
        const auto ids = BlobIds();
        m_lease->Exec("DELETE FROM kelvo.blob_chunks WHERE blob_id = ANY($1::bigint[])",
                      Params().Int64Array(ids));
        m_lease->Exec("DELETE FROM kelvo.blobs WHERE id = ANY($1::bigint[]) AND version IS NULL",
                      Params().Int64Array(ids));
    } catch (const std::exception&) {
        // Left staged; once the lock goes, the next link to open the repository collects it.
    }
    ReleaseStagingLocks();
    m_blobs.clear();
}

}  // namespace tarvo::detail::postgres
