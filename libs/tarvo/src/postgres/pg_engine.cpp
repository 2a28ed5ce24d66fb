#include "pg_engine.h"

#include "../errors_text.h"
#include "../text_codec.h"
#include "../time_codec.h"
#include "pg_error.h"
#include "pg_locks_keys.h"
#include "pg_queries.h"
#include "pg_version_write.h"

#include <algorithm>
#include <cstring>

namespace tarvo::detail::postgres {

namespace {

// Every item of the subtree below (and including) $1.
#define TARVO_SUBTREE                                           \
    "WITH RECURSIVE subtree(id) AS (SELECT $1::uuid UNION ALL " \
    "SELECT i.id FROM kelvo.items i JOIN subtree s ON i.parent_id = s.id) "

// A name that a concurrent client took between the check and the write.
template <class Action>
void MappingNameClash(const std::wstring& name, Action action) {
    try {
        action();
    } catch (const QueryError& error) {
        if (error.SqlState() == sql_state::kUniqueViolation) {
            throw errors::NameTaken(name);
        }
        throw;
    }
}

// Deletes the item with everything below it, inside the caller's transaction.
void DeleteSubtree(Connection& connection, const ItemId& id) {
    // Content first, the items themselves last: each statement finds the subtree through the
    // items.
    static constexpr const char* kDeletions[] = {
        // Staged blobs (no version yet) stay with their uploaders, whose commit will find the
        // document gone and remove them, or with the collection of abandoned uploads.
        TARVO_SUBTREE
        "DELETE FROM kelvo.blob_chunks WHERE blob_id IN (SELECT b.id FROM kelvo.blobs b "
        "WHERE b.item_id IN (SELECT id FROM subtree) AND b.version IS NOT NULL)",
        TARVO_SUBTREE
        "DELETE FROM kelvo.blobs WHERE item_id IN (SELECT id FROM subtree) "
        "AND version IS NOT NULL",
        TARVO_SUBTREE "DELETE FROM kelvo.versions WHERE item_id IN (SELECT id FROM subtree)",
        TARVO_SUBTREE "DELETE FROM kelvo.edit_locks WHERE item_id IN (SELECT id FROM subtree)",
        TARVO_SUBTREE "DELETE FROM kelvo.items WHERE id IN (SELECT id FROM subtree)",
    };
    for (const char* sql : kDeletions) {
        connection.Exec(sql, Params().Uuid(id));
    }
}

}  // namespace

PgEngine::PgEngine(const ConnectionSettings& settings)
    : m_session(settings, FromUtf8(settings.database)), m_pool(settings) {
    CollectAbandonedUploads();
}

void PgEngine::CollectAbandonedUploads() {
    // A staged blob (no version yet) is alive while its uploader's session holds the blob's
    // staging lock; the row becomes visible only with the lock already taken, and the lock is
    // let go only after the row has got its version or been removed.
    auto connection = m_pool.Acquire();
    Transaction transaction(*connection);
    auto abandoned = connection->Exec(
        "SELECT b.id FROM kelvo.blobs b WHERE b.version IS NULL AND NOT EXISTS ("
        " SELECT 1 FROM pg_catalog.pg_locks p WHERE p.locktype = 'advisory' AND p.granted"
        " AND p.objsubid = 2 AND p.classid::bigint = $1"
        " AND p.objid::bigint = (b.id & 2147483647)"
        " AND p.database = (SELECT oid FROM pg_catalog.pg_database"
        "                   WHERE datname = current_database()))"
        " FOR UPDATE OF b SKIP LOCKED",
        Params().Int64(lock_keys::kStagingNamespace));
    if (abandoned.Rows() == 0) {
        return;
    }
    std::vector<std::int64_t> ids;
    for (int row = 0; row < abandoned.Rows(); ++row) {
        ids.push_back(abandoned.Int64(row, 0));
    }
    connection->Exec("DELETE FROM kelvo.blob_chunks WHERE blob_id = ANY($1::bigint[])",
                     Params().Int64Array(ids));
    connection->Exec("DELETE FROM kelvo.blobs WHERE id = ANY($1::bigint[])",
                     Params().Int64Array(ids));
    transaction.Commit();
}

PgEngine::~PgEngine() {
    ReleaseAllLocks();
}

std::wstring PgEngine::RepositoryName() {
    return m_session.RepositoryName();
}

IdPath PgEngine::ResolvePath(const Names& names) {
    IdPath path;
    if (names.empty() || !names.front().empty()) {
        return path;
    }
    // One round trip for the whole walk. A name with a zero character cannot exist, so the walk
    // stops before it.
    std::vector<std::string> below;
    for (std::size_t level = 1; level < names.size(); ++level) {
        if (names[level].find(L'\0') != std::wstring::npos) {
            break;
        }
        below.push_back(ToUtf8(names[level]));
    }
    auto connection = m_pool.Acquire();
    auto result = connection->Exec(
        "WITH RECURSIVE walk(depth, id) AS ("
        " SELECT 0, id FROM kelvo.items WHERE parent_id IS NULL"
        " UNION ALL"
        " SELECT w.depth + 1, i.id FROM walk w JOIN kelvo.items i ON i.parent_id = w.id"
        " AND i.name = ($1::text[])[w.depth + 1])"
        " SELECT id FROM walk ORDER BY depth",
        Params().TextArray(below));
    if (result.Rows() == 0) {
        throw TarvoError(errc::StorageFailure,
                         L"В хранилище нет корневой папки: база данных повреждена. Обратитесь к "
                         L"администратору сервера.");
    }
    for (int row = 0; row < result.Rows(); ++row) {
        path.push_back(result.Uuid(row, 0));
    }
    return path;
}

ItemRecord PgEngine::GetItem(const ItemId& id) {
    auto connection = m_pool.Acquire();
    return queries::RequireItem(*connection, id);
}

IdPath PgEngine::PathOf(const ItemId& id) {
    auto connection = m_pool.Acquire();
    IdPath path = queries::PathOf(*connection, id);
    if (path.empty()) {
        throw errors::ItemGone();
    }
    return path;
}

std::vector<ItemRecord> PgEngine::ListChildren(const ItemId& folder) {
    auto connection = m_pool.Acquire();
    Transaction transaction(*connection, Transaction::Kind::Snapshot);
    queries::RequireFolder(*connection, folder);
    auto children = queries::ListChildren(*connection, folder);
    transaction.Commit();
    return children;
}

void PgEngine::CreateFolders(const ItemId& parent, const Names& names) {
    auto connection = m_pool.Acquire();
    Transaction transaction(*connection);
    queries::LockTree(*connection);
    ItemId current = queries::RequireFolder(*connection, parent).id;
    const std::int64_t now = ToMicroseconds(Now());
    for (const auto& name : names) {
        if (const auto existing = queries::FindChild(*connection, current, name)) {
            if (!queries::RequireItem(*connection, *existing).folder) {
                throw errors::NameTaken(name);
            }
            current = *existing;
            continue;
        }
        const ItemId id = GenerateUuid();
        MappingNameClash(name, [&] {
            connection->Exec(
                "INSERT INTO kelvo.items(id, parent_id, name, is_folder, created_us, "
                "modified_us) VALUES ($1, $2, $3, true, $4, $4)",
                Params().Uuid(id).Uuid(current).Text(name).Int64(now));
        });
        current = id;
    }
    transaction.Commit();
}

void PgEngine::Rename(const ItemId& id, const std::wstring& name) {
    auto connection = m_pool.Acquire();
    Transaction transaction(*connection);
    queries::LockTree(*connection);
    const ItemRecord item = queries::RequireItem(*connection, id);
    if (item.parent.is_nil()) {
        throw errors::RootUntouchable();
    }
    if (item.name == name) {
        return;
    }
    if (queries::FindChild(*connection, item.parent, name)) {
        throw errors::NameTaken(name);
    }
    MappingNameClash(name, [&] {
        connection->Exec("UPDATE kelvo.items SET name = $2, modified_us = $3 WHERE id = $1",
                         Params().Uuid(id).Text(name).Int64(ToMicroseconds(Now())));
    });
    transaction.Commit();
}

void PgEngine::Move(const ItemId& id, const ItemId& newParent) {
    auto connection = m_pool.Acquire();
    Transaction transaction(*connection);
    queries::LockTree(*connection);
    const ItemRecord item = queries::RequireItem(*connection, id);
    if (item.parent.is_nil()) {
        throw errors::RootUntouchable();
    }
    queries::RequireFolder(*connection, newParent);
    if (item.parent == newParent) {
        return;
    }
    const IdPath targetPath = queries::PathOf(*connection, newParent);
    if (std::find(targetPath.begin(), targetPath.end(), id) != targetPath.end()) {
        throw errors::MoveIntoItself();
    }
    if (queries::FindChild(*connection, newParent, item.name)) {
        throw errors::NameTaken(item.name);
    }
    MappingNameClash(item.name, [&] {
        connection->Exec("UPDATE kelvo.items SET parent_id = $2, modified_us = $3 WHERE id = $1",
                         Params().Uuid(id).Uuid(newParent).Int64(ToMicroseconds(Now())));
    });
    transaction.Commit();
}

void PgEngine::Delete(const ItemId& id) {
    std::vector<ItemId> ownLocks;
    {
        auto connection = m_pool.Acquire();
        Transaction transaction(*connection);
        queries::LockTree(*connection);
        const ItemRecord item = queries::RequireItem(*connection, id);
        if (item.parent.is_nil()) {
            throw errors::RootUntouchable();
        }
        // Locking the rows first makes a version being committed into the subtree either finish
        // before the content is deleted, or find its document gone.
        auto subtree = connection->Exec(TARVO_SUBTREE
                                        "SELECT i.id FROM kelvo.items i JOIN subtree s "
                                        "ON i.id = s.id FOR UPDATE OF i",
                                        Params().Uuid(id));
        for (int row = 0; row < subtree.Rows(); ++row) {
            const ItemId member = subtree.Uuid(row, 0);
            if (const auto holder =
                    queries::ForeignHolder(*connection, member, m_session.Identity().linkId)) {
                throw errors::LockedBy(*holder);
            }
        }
        auto own = connection->Exec(TARVO_SUBTREE
                                    "SELECT l.item_id FROM kelvo.edit_locks l JOIN subtree s "
                                    "ON l.item_id = s.id WHERE l.link_id = $2",
                                    Params().Uuid(id).Uuid(m_session.Identity().linkId));
        for (int row = 0; row < own.Rows(); ++row) {
            ownLocks.push_back(own.Uuid(row, 0));
        }
        DeleteSubtree(*connection, id);
        transaction.Commit();
    }
    m_session.Forget(ownLocks);
}

void PgEngine::SetAccess(const ItemId& id, const ItemAccess& access) {
    auto connection = m_pool.Acquire();
    queries::RequireItem(*connection, id);
    try {
        connection->Exec("UPDATE kelvo.items SET visible = $2, openable = $3 WHERE id = $1",
                         Params().Uuid(id).Bool(access.visible).Bool(access.openable));
    } catch (const QueryError& error) {
        if (error.SqlState() == sql_state::kInsufficientPrivilege) {
            throw TarvoError(errc::AccessDenied,
                             L"Видимость и доступность объектов хранилища может менять только "
                             L"его администратор.");
        }
        throw;
    }
}

std::unique_ptr<VersionWrite> PgEngine::StartDocument(const ItemId& parent,
                                                      const FileCreateInfo& info,
                                                      const std::wstring& comment) {
    auto connection = m_pool.Acquire();
    // Early checks, so that the caller learns of a clash at once; the commit repeats them.
    queries::RequireFolder(*connection, parent);
    if (queries::FindChild(*connection, parent, info.name)) {
        throw errors::NameTaken(info.name);
    }
    return std::make_unique<PgVersionWrite>(std::move(connection), m_session.Identity(), info.id,
                                            PgVersionWrite::NewDocument{parent, info}, comment);
}

std::unique_ptr<VersionWrite> PgEngine::StartVersion(const ItemId& document,
                                                     const std::wstring& comment) {
    auto connection = m_pool.Acquire();
    queries::RequireDocument(*connection, document);
    return std::make_unique<PgVersionWrite>(std::move(connection), m_session.Identity(), document,
                                            std::nullopt, comment);
}

std::vector<VersionNumber> PgEngine::ListVersions(const ItemId& document) {
    auto connection = m_pool.Acquire();
    Transaction transaction(*connection, Transaction::Kind::Snapshot);
    queries::RequireDocument(*connection, document);
    auto result =
        connection->Exec("SELECT number FROM kelvo.versions WHERE item_id = $1 ORDER BY number",
                         Params().Uuid(document));
    transaction.Commit();
    std::vector<VersionNumber> versions;
    for (int row = 0; row < result.Rows(); ++row) {
        versions.push_back(result.Int64(row, 0));
    }
    return versions;
}

VersionNumber PgEngine::ReplaceDocument(const ItemId& source, const ItemId& target,
                                        const std::wstring& comment) {
    const ItemId& self = m_session.Identity().linkId;
    VersionNumber number = 0;
    bool sourceLockHeld = false;
    {
        auto connection = m_pool.Acquire();
        Transaction transaction(*connection);
        queries::LockTree(*connection);
        VersionNumber sourceVersion = 0;
        // The row locks make a version being committed to either document finish first, or
        // wait and then find the source gone.
        for (const ItemId& document : {source, target}) {
            auto row = connection->Exec(
                "SELECT is_folder, current_version FROM kelvo.items WHERE id = $1 FOR UPDATE",
                Params().Uuid(document));
            if (row.Rows() == 0) {
                throw errors::ItemGone();
            }
            if (row.Bool(0, 0)) {
                throw errors::NotADocument();
            }
            if (const auto holder = queries::ForeignHolder(*connection, document, self)) {
                throw errors::LockedBy(*holder);
            }
            if (document == source) {
                sourceVersion = row.Int64(0, 1);
            }
        }
        sourceLockHeld =
            connection
                ->Exec("SELECT 1 FROM kelvo.edit_locks WHERE item_id = $1 AND link_id = $2",
                       Params().Uuid(source).Uuid(self))
                .Rows() > 0;
        number = connection
                     ->Exec(
                         "SELECT COALESCE(MAX(number), 0) + 1 FROM kelvo.versions "
                         "WHERE item_id = $1",
                         Params().Uuid(target))
                     .Int64(0, 0);
        const std::int64_t now = ToMicroseconds(Now());
        connection->Exec(
            "INSERT INTO kelvo.versions(item_id, number, comment, author, created_us) "
            "VALUES ($1, $2, $3, $4, $5)",
            Params()
                .Uuid(target)
                .Int64(number)
                .Text(comment)
                .Text(m_session.Identity().HolderText())
                .Int64(now));
        // The stored content changes owner; not a byte of it is copied.
        connection->Exec(
            "UPDATE kelvo.blobs SET item_id = $3, version = $4 WHERE item_id = $1 AND version = $2",
            Params().Uuid(source).Int64(sourceVersion).Uuid(target).Int64(number));
        connection->Exec(
            "UPDATE kelvo.items SET current_version = $2, modified_us = $3 WHERE id = $1",
            Params().Uuid(target).Int64(number).Int64(now));
        DeleteSubtree(*connection, source);
        transaction.Commit();
    }
    if (sourceLockHeld) {
        m_session.Forget({source});
    }
    return number;
}

std::vector<VersionRecord> PgEngine::ListVersionRecords(const ItemId& document) {
    auto connection = m_pool.Acquire();
    // The item's own row comes along (with no version when it has none), so that a missing item
    // or a folder is told apart from an empty history without a second statement.
    auto result = connection->Exec(
        "SELECT i.is_folder, v.number, v.created_us, v.author, "
        "(SELECT b.size FROM kelvo.blobs b WHERE b.item_id = v.item_id AND b.version = v.number "
        "ORDER BY b.id LIMIT 1) "
        "FROM kelvo.items i LEFT JOIN kelvo.versions v ON v.item_id = i.id WHERE i.id = $1 "
        "ORDER BY v.number",
        Params().Uuid(document));
    if (result.Rows() == 0) {
        throw errors::ItemGone();
    }
    std::vector<VersionRecord> versions;
    for (int row = 0; row < result.Rows(); ++row) {
        if (result.Bool(row, 0)) {
            throw errors::NotADocument();
        }
        if (result.IsNull(row, 1)) {
            continue;
        }
        VersionRecord version;
        version.number = result.Int64(row, 1);
        version.commitTime = FromMicroseconds(result.Int64(row, 2));
        version.author = result.Text(row, 3);
        if (!result.IsNull(row, 4)) {
            version.size = static_cast<std::uint64_t>(result.Int64(row, 4));
        }
        versions.push_back(std::move(version));
    }
    return versions;
}

VersionNumber PgEngine::CurrentVersion(const ItemId& document) {
    auto connection = m_pool.Acquire();
    auto result =
        connection->Exec("SELECT is_folder, current_version FROM kelvo.items WHERE id = $1",
                         Params().Uuid(document));
    if (result.Rows() == 0) {
        throw errors::ItemGone();
    }
    if (result.Bool(0, 0)) {
        throw errors::NotADocument();
    }
    if (result.IsNull(0, 1)) {
        throw TarvoError(errc::StorageFailure,
                         L"У документа нет ни одной сохранённой версии: хранилище повреждено.");
    }
    return result.Int64(0, 1);
}

void PgEngine::CheckVersion(const ItemId& document, VersionNumber version) {
    auto connection = m_pool.Acquire();
    queries::RequireDocument(*connection, document);
    auto result =
        connection->Exec("SELECT 1 FROM kelvo.versions WHERE item_id = $1 AND number = $2",
                         Params().Uuid(document).Int64(version));
    if (result.Rows() == 0) {
        throw TarvoError(errc::ItemNotFound, L"Версия " + std::to_wstring(version) +
                                                 L" документа не найдена в хранилище. "
                                                 L"Выберите одну из сохранённых версий.");
    }
}

std::vector<BlobRecord> PgEngine::ListBlobs(const ItemId& document, VersionNumber version) {
    auto connection = m_pool.Acquire();
    auto result = connection->Exec(
        "SELECT id, category, size, chunk_size FROM kelvo.blobs WHERE item_id = $1 "
        "AND version = $2 ORDER BY id",
        Params().Uuid(document).Int64(version));
    std::vector<BlobRecord> blobs;
    for (int row = 0; row < result.Rows(); ++row) {
        BlobRecord blob;
        blob.id = result.Int64(row, 0);
        blob.category = result.Uuid(row, 1);
        blob.size = static_cast<std::uint64_t>(result.Int64(row, 2));
        blob.chunkSize = static_cast<std::size_t>(result.Int64(row, 3));
        blobs.push_back(blob);
    }
    return blobs;
}

std::size_t PgEngine::ReadChunk(BlobId blob, std::int64_t chunkIndex, std::uint8_t* out,
                                std::size_t capacity) {
    auto connection = m_pool.Acquire();
    // The bytes come in binary form, straight into the caller's buffer.
    auto result = connection->Exec(
        "SELECT data FROM kelvo.blob_chunks WHERE blob_id = $1 AND chunk_index = $2",
        Params().Int64(blob).Int64(chunkIndex), true);
    if (result.Rows() == 0) {
        return 0;
    }
    const std::size_t size = result.Length(0, 0);
    if (size > capacity) {
        throw TarvoError(errc::StorageFailure,
                         L"Фрагмент содержимого документа больше объявленного размера: "
                         L"хранилище повреждено.");
    }
    if (size > 0) {
        std::memcpy(out, result.Bytes(0, 0), size);
    }
    return size;
}

std::size_t PgEngine::ChunksPerRead() const {
    // Each request is a round trip to the server; a few chunks per request keep the link busy
    // without holding much more than a chunk's worth of memory per reader.
    return 8;
}

std::vector<std::size_t> PgEngine::ReadChunks(BlobId blob, std::int64_t first,
                                              const std::vector<std::uint8_t*>& out,
                                              std::size_t capacity) {
    auto connection = m_pool.Acquire();
    // Binary form: the bytes arrive as they are, and so does the index (8 bytes, big-endian).
    auto result = connection->Exec(
        "SELECT chunk_index, data FROM kelvo.blob_chunks WHERE blob_id = $1 "
        "AND chunk_index >= $2 AND chunk_index < $3 ORDER BY chunk_index",
        Params().Int64(blob).Int64(first).Int64(first + static_cast<std::int64_t>(out.size())),
        true);
    std::vector<std::size_t> sizes;
    for (int row = 0; row < result.Rows(); ++row) {
        std::uint64_t index = 0;
        for (std::size_t byte = 0; byte < 8 && byte < result.Length(row, 0); ++byte) {
            index = (index << 8) | result.Bytes(row, 0)[byte];
        }
        if (static_cast<std::int64_t>(index) != first + row) {
            break;  // a gap: the caller finds the content shorter than recorded
        }
        const std::size_t size = result.Length(row, 1);
        if (size > capacity) {
            throw TarvoError(errc::StorageFailure,
                             L"Фрагмент содержимого документа больше объявленного размера: "
                             L"хранилище повреждено.");
        }
        if (size > 0) {
            std::memcpy(out[static_cast<std::size_t>(row)], result.Bytes(row, 1), size);
        }
        sizes.push_back(size);
    }
    return sizes;
}

void PgEngine::Sync() {
    // Every commit already waits for the server to make it durable (the server's own setting,
    // synchronous_commit, on by default); content staged before a commit is covered by it.
}

int PgEngine::Lock(const ItemId& document, std::wstring& holder) {
    return m_session.Lock(document, holder);
}

void PgEngine::Unlock(const ItemId& document) {
    m_session.Unlock(document);
}

void PgEngine::ReleaseAllLocks() noexcept {
    m_session.ReleaseAll();
}

#undef TARVO_SUBTREE

}  // namespace tarvo::detail::postgres
