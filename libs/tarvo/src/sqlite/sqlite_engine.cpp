#include "sqlite_engine.h"

#include "../errors_text.h"
#include "../time_codec.h"
#include "sqlite_blob_read.h"
#include "sqlite_queries.h"
#include "sqlite_schema.h"
#include "sqlite_version_write.h"

#include <algorithm>

namespace tarvo::detail::sqlite {

namespace {

using Kind = Transaction::Kind;

// Every item of the subtree below (and including) ?1.
#define TARVO_SUBTREE                                     \
    "WITH RECURSIVE subtree(id) AS (SELECT ?1 UNION ALL " \
    "SELECT i.id FROM items i JOIN subtree s ON i.parent_id = s.id) "

// Deletes the item with everything below it, inside the caller's write transaction.
void DeleteSubtree(Database& db, const ItemId& id) {
    // Content first, the items themselves last: each statement finds the subtree through items.
    static constexpr const char* kDeletions[] = {
        TARVO_SUBTREE
        "DELETE FROM blob_chunks WHERE blob_id IN "
        "(SELECT b.id FROM blobs b WHERE b.item_id IN (SELECT id FROM subtree))",
        TARVO_SUBTREE "DELETE FROM blobs WHERE item_id IN (SELECT id FROM subtree)",
        TARVO_SUBTREE "DELETE FROM versions WHERE item_id IN (SELECT id FROM subtree)",
        TARVO_SUBTREE "DELETE FROM edit_locks WHERE item_id IN (SELECT id FROM subtree)",
        TARVO_SUBTREE "DELETE FROM items WHERE id IN (SELECT id FROM subtree)",
    };
    for (const char* sql : kDeletions) {
        StatementUse deletion(db.Prepare(sql));
        deletion->BindUuid(1, id);
        deletion->Run();
    }
}

}  // namespace

SqliteEngine::SqliteEngine(const std::string& path, const std::wstring& defaultName,
                           LinkIdentity identity)
    : m_upkeep(path),
      m_pool(path, [this](Database& db) { m_upkeep.Attach(db); }),
      m_identity(std::move(identity)) {
    Database db(path, true);
    PrepareSchema(db, defaultName);
    CollectAbandonedUploads(db);
}

void SqliteEngine::CollectAbandonedUploads(Database& db) {
    struct Staged {
        BlobId blob;
        std::string host;
        std::int64_t processId;
        std::int64_t processStart;
    };
    std::vector<Staged> staged;
    {
        StatementUse query(
            db.Prepare("SELECT blob_id, host, process_id, process_start FROM staged_blobs"));
        while (query->Step()) {
            staged.push_back({query->ColumnInt64(0), query->ColumnUtf8(1), query->ColumnInt64(2),
                              query->ColumnInt64(3)});
        }
    }
    bool collected = false;
    for (const auto& upload : staged) {
        if (IsOwnerGone(upload.host, upload.processId, upload.processStart)) {
            RemoveStagedBlob(db, upload.blob);
            collected = true;
        }
    }
    if (collected) {
        m_upkeep.Nudge();
    }
}

SqliteEngine::~SqliteEngine() {
    ReleaseAllLocks();
}

std::wstring SqliteEngine::RepositoryName() {
    auto db = m_pool.Acquire();
    StatementUse query(db->Prepare("SELECT value FROM repository_info WHERE key = 'name'"));
    return query->Step() ? query->ColumnText(0) : std::wstring();
}

IdPath SqliteEngine::ResolvePath(const Names& names) {
    IdPath path;
    if (names.empty() || !names.front().empty()) {
        return path;
    }
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Read);  // one snapshot for the whole walk
    path.push_back(queries::RootId(*db));
    for (std::size_t level = 1; level < names.size(); ++level) {
        const auto child = queries::FindChild(*db, path.back(), names[level]);
        if (!child) {
            break;
        }
        path.push_back(*child);
    }
    return path;
}

ItemRecord SqliteEngine::GetItem(const ItemId& id) {
    auto db = m_pool.Acquire();
    return queries::RequireItem(*db, id);
}

IdPath SqliteEngine::PathOf(const ItemId& id) {
    auto db = m_pool.Acquire();
    IdPath path = queries::PathOf(*db, id);
    if (path.empty()) {
        throw errors::ItemGone();
    }
    return path;
}

std::vector<ItemRecord> SqliteEngine::ListChildren(const ItemId& folder) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Read);
    queries::RequireFolder(*db, folder);
    return queries::ListChildren(*db, folder);
}

void SqliteEngine::CreateFolders(const ItemId& parent, const Names& names) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Write);
    ItemId current = queries::RequireFolder(*db, parent).id;
    const std::int64_t now = ToMicroseconds(Now());
    for (const auto& name : names) {
        if (const auto existing = queries::FindChild(*db, current, name)) {
            if (!queries::RequireItem(*db, *existing).folder) {
                throw errors::NameTaken(name);
            }
            current = *existing;
            continue;
        }
        const ItemId id = GenerateUuid();
        StatementUse insert(db->Prepare(
            "INSERT INTO items(id, parent_id, name, is_folder, created_us, modified_us) "
            "VALUES(?1, ?2, ?3, 1, ?4, ?4)"));
        insert->BindUuid(1, id);
        insert->BindUuid(2, current);
        insert->BindText(3, name);
        insert->BindInt64(4, now);
        insert->Run();
        current = id;
    }
    transaction.Commit();
}

void SqliteEngine::Rename(const ItemId& id, const std::wstring& name) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Write);
    const ItemRecord item = queries::RequireItem(*db, id);
    if (item.parent.is_nil()) {
        throw errors::RootUntouchable();
    }
    if (item.name == name) {
        return;
    }
    if (queries::FindChild(*db, item.parent, name)) {
        throw errors::NameTaken(name);
    }
    StatementUse update(db->Prepare("UPDATE items SET name = ?2, modified_us = ?3 WHERE id = ?1"));
    update->BindUuid(1, id);
    update->BindText(2, name);
    update->BindInt64(3, ToMicroseconds(Now()));
    update->Run();
    transaction.Commit();
}

void SqliteEngine::Move(const ItemId& id, const ItemId& newParent) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Write);
    const ItemRecord item = queries::RequireItem(*db, id);
    if (item.parent.is_nil()) {
        throw errors::RootUntouchable();
    }
    queries::RequireFolder(*db, newParent);
    if (item.parent == newParent) {
        return;
    }
    const IdPath targetPath = queries::PathOf(*db, newParent);
    if (std::find(targetPath.begin(), targetPath.end(), id) != targetPath.end()) {
        throw errors::MoveIntoItself();
    }
    if (queries::FindChild(*db, newParent, item.name)) {
        throw errors::NameTaken(item.name);
    }
    StatementUse update(
        db->Prepare("UPDATE items SET parent_id = ?2, modified_us = ?3 WHERE id = ?1"));
    update->BindUuid(1, id);
    update->BindUuid(2, newParent);
    update->BindInt64(3, ToMicroseconds(Now()));
    update->Run();
    transaction.Commit();
}

void SqliteEngine::CheckNoForeignLocksBelow(Database& db, const ItemId& id) {
    StatementUse query(db.Prepare(TARVO_SUBTREE "SELECT l.item_id FROM edit_locks l JOIN subtree s "
                                                "ON l.item_id = s.id WHERE l.link_id <> ?2"));
    query->BindUuid(1, id);
    query->BindUuid(2, m_identity.linkId);
    std::vector<ItemId> locked;
    while (query->Step()) {
        locked.push_back(query->ColumnUuid(0));
    }
    query->Reset();
    for (const auto& document : locked) {
        if (const auto holder = queries::ForeignHolder(db, document, m_identity.linkId)) {
            throw errors::LockedBy(*holder);
        }
    }
}

void SqliteEngine::Delete(const ItemId& id) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Write);
    const ItemRecord item = queries::RequireItem(*db, id);
    if (item.parent.is_nil()) {
        throw errors::RootUntouchable();
    }
    CheckNoForeignLocksBelow(*db, id);
    DeleteSubtree(*db, id);
    transaction.Commit();
    m_upkeep.Nudge();
}

void SqliteEngine::SetAccess(const ItemId& id, const ItemAccess& access) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Write);
    queries::RequireItem(*db, id);
    StatementUse update(db->Prepare("UPDATE items SET visible = ?2, openable = ?3 WHERE id = ?1"));
    update->BindUuid(1, id);
    update->BindInt64(2, access.visible ? 1 : 0);
    update->BindInt64(3, access.openable ? 1 : 0);
    update->Run();
    transaction.Commit();
}

std::unique_ptr<VersionWrite> SqliteEngine::StartDocument(const ItemId& parent,
                                                          const FileCreateInfo& info,
                                                          const std::wstring& comment) {
    auto db = m_pool.Acquire();
    {
        // Early checks, so that the caller learns of a clash at once; the write repeats them.
        Transaction transaction(*db, Kind::Read);
        queries::RequireFolder(*db, parent);
        if (queries::FindChild(*db, parent, info.name)) {
            throw errors::NameTaken(info.name);
        }
    }
    return std::make_unique<SqliteVersionWrite>(
        std::move(db), m_identity, info.id, SqliteVersionWrite::NewDocument{parent, info}, comment);
}

std::unique_ptr<VersionWrite> SqliteEngine::StartVersion(const ItemId& document,
                                                         const std::wstring& comment) {
    auto db = m_pool.Acquire();
    {
        // Early checks; the write repeats them once it holds the database's write lock.
        Transaction transaction(*db, Kind::Read);
        queries::RequireDocument(*db, document);
        if (const auto holder = queries::ForeignHolder(*db, document, m_identity.linkId)) {
            throw errors::LockedBy(*holder);
        }
    }
    return std::make_unique<SqliteVersionWrite>(std::move(db), m_identity, document, std::nullopt,
                                                comment);
}

void SqliteEngine::CreateDocumentForEdit(const ItemId& parent, const FileCreateInfo& info,
                                         const std::wstring& comment) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Write);
    SqliteVersionWrite::InsertNewDocument(*db, m_identity, parent, info, comment);
    InsertLock(*db, info.id);
    transaction.Commit();
}

std::vector<VersionNumber> SqliteEngine::ListVersions(const ItemId& document) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Read);
    queries::RequireDocument(*db, document);
    StatementUse query(
        db->Prepare("SELECT number FROM versions WHERE item_id = ?1 ORDER BY number"));
    query->BindUuid(1, document);
    std::vector<VersionNumber> versions;
    while (query->Step()) {
        versions.push_back(query->ColumnInt64(0));
    }
    return versions;
}

VersionNumber SqliteEngine::ReplaceDocument(const ItemId& source, const ItemId& target,
                                            const std::wstring& comment) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Write);
    for (const ItemId& document : {source, target}) {
        queries::RequireDocument(*db, document);
        if (const auto holder = queries::ForeignHolder(*db, document, m_identity.linkId)) {
            throw errors::LockedBy(*holder);
        }
    }
    const auto singleNumber = [&](const char* sql, const ItemId& id) {
        StatementUse query(db->Prepare(sql));
        query->BindUuid(1, id);
        query->Step();
        return query->ColumnInt64(0);
    };
    const VersionNumber sourceVersion =
        singleNumber("SELECT current_version FROM items WHERE id = ?1", source);
    const VersionNumber number = singleNumber(
        "SELECT COALESCE(MAX(number), 0) + 1 FROM versions WHERE item_id = ?1", target);
    const std::int64_t now = ToMicroseconds(Now());
    {
        StatementUse insert(
            db->Prepare("INSERT INTO versions(item_id, number, comment, author, created_us) "
                        "VALUES(?1, ?2, ?3, ?4, ?5)"));
        insert->BindUuid(1, target);
        insert->BindInt64(2, number);
        insert->BindText(3, comment);
        insert->BindText(4, m_identity.HolderText());
        insert->BindInt64(5, now);
        insert->Run();
    }
    {
        // The stored content changes owner; not a byte of it is copied.
        StatementUse update(db->Prepare(
            "UPDATE blobs SET item_id = ?3, version = ?4 WHERE item_id = ?1 AND version = ?2"));
        update->BindUuid(1, source);
        update->BindInt64(2, sourceVersion);
        update->BindUuid(3, target);
        update->BindInt64(4, number);
        update->Run();
    }
    {
        StatementUse update(
            db->Prepare("UPDATE items SET current_version = ?2, modified_us = ?3 WHERE id = ?1"));
        update->BindUuid(1, target);
        update->BindInt64(2, number);
        update->BindInt64(3, now);
        update->Run();
    }
    DeleteSubtree(*db, source);
    transaction.Commit();
    m_upkeep.Nudge();
    return number;
}

std::vector<VersionRecord> SqliteEngine::ListVersionRecords(const ItemId& document) {
    auto db = m_pool.Acquire();
    // The item's own row comes along (with no version when it has none), so that a missing item
    // or a folder is told apart from an empty history without a second statement.
    StatementUse query(db->Prepare(
        "SELECT i.is_folder, v.number, v.created_us, v.author, "
        "(SELECT b.size FROM blobs b WHERE b.item_id = v.item_id AND b.version = v.number "
        "ORDER BY b.id LIMIT 1) "
        "FROM items i LEFT JOIN versions v ON v.item_id = i.id WHERE i.id = ?1 ORDER BY v.number"));
    query->BindUuid(1, document);
    std::vector<VersionRecord> versions;
    bool found = false;
    while (query->Step()) {
        found = true;
        if (query->ColumnInt64(0) != 0) {
            throw errors::NotADocument();
        }
        if (query->IsNull(1)) {
            continue;
        }
        VersionRecord version;
        version.number = query->ColumnInt64(1);
        version.commitTime = FromMicroseconds(query->ColumnInt64(2));
        version.author = query->ColumnText(3);
        if (!query->IsNull(4)) {
            version.size = static_cast<std::uint64_t>(query->ColumnInt64(4));
        }
        versions.push_back(std::move(version));
    }
    if (!found) {
        throw errors::ItemGone();
    }
    return versions;
}

VersionNumber SqliteEngine::CurrentVersion(const ItemId& document) {
    auto db = m_pool.Acquire();
    StatementUse query(db->Prepare("SELECT is_folder, current_version FROM items WHERE id = ?1"));
    query->BindUuid(1, document);
    if (!query->Step()) {
        throw errors::ItemGone();
    }
    if (query->ColumnInt64(0) != 0) {
        throw errors::NotADocument();
    }
    if (query->IsNull(1)) {
        throw TarvoError(errc::StorageFailure,
                         L"У документа нет ни одной сохранённой версии: хранилище повреждено.");
    }
    return query->ColumnInt64(1);
}

void SqliteEngine::CheckVersion(const ItemId& document, VersionNumber version) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Read);
    queries::RequireDocument(*db, document);
    StatementUse query(db->Prepare("SELECT 1 FROM versions WHERE item_id = ?1 AND number = ?2"));
    query->BindUuid(1, document);
    query->BindInt64(2, version);
    if (!query->Step()) {
        throw TarvoError(errc::ItemNotFound, L"Версия " + std::to_wstring(version) +
                                                 L" документа не найдена в хранилище. "
                                                 L"Выберите одну из сохранённых версий.");
    }
}

std::vector<BlobRecord> SqliteEngine::ListBlobs(const ItemId& document, VersionNumber version) {
    auto db = m_pool.Acquire();
    StatementUse query(db->Prepare(
        "SELECT id, category, size, chunk_size FROM blobs WHERE item_id = ?1 AND version = ?2 "
        "ORDER BY id"));
    query->BindUuid(1, document);
    query->BindInt64(2, version);
    std::vector<BlobRecord> blobs;
    while (query->Step()) {
        BlobRecord blob;
        blob.id = query->ColumnInt64(0);
        blob.category = query->ColumnUuid(1);
        blob.size = static_cast<std::uint64_t>(query->ColumnInt64(2));
        blob.chunkSize = static_cast<std::size_t>(query->ColumnInt64(3));
        blobs.push_back(blob);
    }
    return blobs;
}

std::size_t SqliteEngine::ReadChunk(BlobId blob, std::int64_t chunkIndex, std::uint8_t* out,
                                    std::size_t capacity) {
    auto db = m_pool.Acquire();
    // One snapshot for finding the row and reading it.
    Transaction transaction(*db, Kind::Read);
    std::int64_t rowId = 0;
    {
        // Answered from the primary-key index alone; the chunk's pages are not touched here.
        StatementUse query(
            db->Prepare("SELECT rowid FROM blob_chunks WHERE blob_id = ?1 AND chunk_index = ?2"));
        query->BindInt64(1, blob);
        query->BindInt64(2, chunkIndex);
        if (!query->Step()) {
            return 0;
        }
        rowId = query->ColumnInt64(0);
    }
    BlobRead chunk(db->Handle(), "blob_chunks", "data", rowId);
    const std::size_t size = chunk.Size();
    if (size > capacity) {
        throw TarvoError(errc::StorageFailure,
                         L"Фрагмент содержимого документа больше объявленного размера: "
                         L"хранилище повреждено.");
    }
    chunk.ReadAll(out);
    return size;
}

std::optional<int> SqliteEngine::TakenLockState(Database& db, const ItemId& document,
                                                std::wstring& holder) {
    queries::RequireDocument(db, document);
    const auto existing = queries::FindLock(db, document);
    if (existing && existing->linkId == m_identity.linkId) {
        holder = existing->holder;
        return lock_state::kAlreadyHeld;
    }
    if (existing && !existing->IsStale()) {
        holder = existing->holder;
        return lock_state::kHeldByOther;
    }
    return std::nullopt;
}

void SqliteEngine::InsertLock(Database& db, const ItemId& document) {
    StatementUse insert(
        db.Prepare("INSERT OR REPLACE INTO edit_locks"
                   "(item_id, link_id, host, process_id, process_start, holder, taken_us) "
                   "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)"));
    insert->BindUuid(1, document);
    insert->BindUuid(2, m_identity.linkId);
    insert->BindUtf8(3, m_identity.host);
    insert->BindInt64(4, m_identity.processId);
    insert->BindInt64(5, m_identity.processStart);
    insert->BindText(6, m_identity.HolderText());
    insert->BindInt64(7, ToMicroseconds(Now()));
    insert->Run();
}

int SqliteEngine::Lock(const ItemId& document, std::wstring& holder) {
    auto db = m_pool.Acquire();
    {
        // Most asks find the lock taken already (every upload asks again): a read answers them
        // without the write lock.
        Transaction transaction(*db, Kind::Read);
        if (const auto state = TakenLockState(*db, document, holder)) {
            return *state;
        }
    }
    Transaction transaction(*db, Kind::Write);
    if (const auto state = TakenLockState(*db, document, holder)) {
        return *state;
    }
    // Free, or its owner's process has ended: the lock is ours.
    InsertLock(*db, document);
    transaction.Commit();
    holder = m_identity.HolderText();
    return lock_state::kTaken;
}

void SqliteEngine::Unlock(const ItemId& document) {
    auto db = m_pool.Acquire();
    Transaction transaction(*db, Kind::Write);
    queries::RequireItem(*db, document);
    const auto existing = queries::FindLock(*db, document);
    if (!existing) {
        return;
    }
    if (existing->linkId != m_identity.linkId && !existing->IsStale()) {
        throw errors::LockedBy(existing->holder);
    }
    StatementUse deletion(db->Prepare("DELETE FROM edit_locks WHERE item_id = ?1"));
    deletion->BindUuid(1, document);
    deletion->Run();
    transaction.Commit();
}

void SqliteEngine::ReleaseAllLocks() noexcept {
    try {
        auto db = m_pool.Acquire();
        StatementUse deletion(db->Prepare("DELETE FROM edit_locks WHERE link_id = ?1"));
        deletion->BindUuid(1, m_identity.linkId);
        deletion->Run();
    } catch (const std::exception&) {
        // The link is going away and has nobody left to tell; a lock left behind is taken over
        // by the next link once this process has ended.
    }
}

void SqliteEngine::Sync() {
    m_pool.Acquire()->SyncToDisk();
}

#undef TARVO_SUBTREE

}  // namespace tarvo::detail::sqlite
