#include "sqlite_queries.h"

#include "../errors_text.h"
#include "../time_codec.h"

namespace tarvo::detail::sqlite::queries {

namespace {

ItemRecord ReadItem(const Statement& row) {
    ItemRecord item;
    item.id = row.ColumnUuid(0);
    item.parent = row.IsNull(1) ? ItemId{} : row.ColumnUuid(1);
    item.name = row.ColumnText(2);
    item.folder = row.ColumnInt64(3) != 0;
    item.creationTime = FromMicroseconds(row.ColumnInt64(4));
    item.modificationTime = FromMicroseconds(row.ColumnInt64(5));
    item.visible = row.ColumnInt64(6) != 0;
    item.openable = row.ColumnInt64(7) != 0;
    if (!item.folder) {
        item.size = row.IsNull(8) ? 0 : static_cast<std::uint64_t>(row.ColumnInt64(8));
    }
    return item;
}

}  // namespace

// The size column: the first blob (lowest id) of the current version.
#define TARVO_ITEM_COLUMNS                                                             \
    "i.id, i.parent_id, i.name, i.is_folder, i.created_us, i.modified_us, i.visible, " \
    "i.openable, (SELECT b.size FROM blobs b WHERE b.item_id = i.id "                  \
    "AND b.version = i.current_version ORDER BY b.id LIMIT 1)"

std::optional<ItemRecord> FindItem(Database& db, const ItemId& id) {
    StatementUse query(db.Prepare("SELECT " TARVO_ITEM_COLUMNS " FROM items i WHERE i.id = ?1"));
    query->BindUuid(1, id);
    if (!query->Step()) {
        return std::nullopt;
    }
    return ReadItem(*query);
}

std::vector<ItemRecord> ListChildren(Database& db, const ItemId& folder) {
    StatementUse query(db.Prepare("SELECT " TARVO_ITEM_COLUMNS
                                  " FROM items i WHERE i.parent_id = ?1 ORDER BY i.name"));
    query->BindUuid(1, folder);
    std::vector<ItemRecord> children;
    while (query->Step()) {
        children.push_back(ReadItem(*query));
    }
    return children;
}

#undef TARVO_ITEM_COLUMNS

std::optional<ItemId> FindChild(Database& db, const ItemId& parent, const std::wstring& name) {
    StatementUse query(db.Prepare("SELECT id FROM items WHERE parent_id = ?1 AND name = ?2"));
    query->BindUuid(1, parent);
    query->BindText(2, name);
    if (!query->Step()) {
        return std::nullopt;
    }
    return query->ColumnUuid(0);
}

ItemId RootId(Database& db) {
    StatementUse query(db.Prepare("SELECT id FROM items WHERE parent_id IS NULL"));
    if (!query->Step()) {
        throw TarvoError(errc::StorageFailure,
                         L"В хранилище нет корневой папки: файл хранилища повреждён. "
                         L"Восстановите его из резервной копии.");
    }
    return query->ColumnUuid(0);
}

ItemRecord RequireItem(Database& db, const ItemId& id) {
    auto item = FindItem(db, id);
    if (!item) {
        throw errors::ItemGone();
    }
    return std::move(*item);
}

ItemRecord RequireFolder(Database& db, const ItemId& id) {
    auto item = RequireItem(db, id);
    if (!item.folder) {
        throw errors::NotAFolder();
    }
    return item;
}

ItemRecord RequireDocument(Database& db, const ItemId& id) {
    auto item = RequireItem(db, id);
    if (item.folder) {
        throw errors::NotADocument();
    }
    return item;
}

IdPath PathOf(Database& db, const ItemId& id) {
    StatementUse query(db.Prepare(
        "WITH RECURSIVE chain(id, parent_id, depth) AS ("
        " SELECT id, parent_id, 0 FROM items WHERE id = ?1"
        " UNION ALL"
        " SELECT i.id, i.parent_id, c.depth + 1 FROM items i JOIN chain c ON i.id = c.parent_id)"
        " SELECT id FROM chain ORDER BY depth DESC"));
    query->BindUuid(1, id);
    IdPath path;
    while (query->Step()) {
        path.push_back(query->ColumnUuid(0));
    }
    return path;
}

std::optional<LockRecord> FindLock(Database& db, const ItemId& document) {
    StatementUse query(
        db.Prepare("SELECT link_id, host, process_id, process_start, holder FROM edit_locks "
                   "WHERE item_id = ?1"));
    query->BindUuid(1, document);
    if (!query->Step()) {
        return std::nullopt;
    }
    LockRecord lock;
    lock.linkId = query->ColumnUuid(0);
    lock.host = query->ColumnUtf8(1);
    lock.processId = query->ColumnInt64(2);
    lock.processStart = query->ColumnInt64(3);
    lock.holder = query->ColumnText(4);
    return lock;
}

std::optional<std::wstring> ForeignHolder(Database& db, const ItemId& document,
                                          const ItemId& self) {
    const auto lock = FindLock(db, document);
    if (!lock || lock->linkId == self || lock->IsStale()) {
        return std::nullopt;
    }
    return lock->holder;
}

}  // namespace tarvo::detail::sqlite::queries
