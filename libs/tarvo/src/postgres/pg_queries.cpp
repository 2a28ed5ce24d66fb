#include "pg_queries.h"

#include "../errors_text.h"
#include "../time_codec.h"
#include "pg_locks_keys.h"

namespace tarvo::detail::postgres::queries {

namespace {

ItemRecord ReadItem(const Result& row, int index) {
    ItemRecord item;
    item.id = row.Uuid(index, 0);
    item.parent = row.IsNull(index, 1) ? ItemId{} : row.Uuid(index, 1);
    item.name = row.Text(index, 2);
    item.folder = row.Bool(index, 3);
    item.creationTime = FromMicroseconds(row.Int64(index, 4));
    item.modificationTime = FromMicroseconds(row.Int64(index, 5));
    item.visible = row.Bool(index, 6);
    item.openable = row.Bool(index, 7);
    if (!item.folder) {
        item.size = row.IsNull(index, 8) ? 0 : static_cast<std::uint64_t>(row.Int64(index, 8));
    }
    return item;
}

bool HasNul(const std::wstring& text) {
    return text.find(L'\0') != std::wstring::npos;
}

}  // namespace

// The size column: the first blob (lowest id) of the current version.
#define TARVO_ITEM_COLUMNS                                                             \
    "i.id, i.parent_id, i.name, i.is_folder, i.created_us, i.modified_us, i.visible, " \
    "i.openable, (SELECT b.size FROM kelvo.blobs b WHERE b.item_id = i.id "            \
    "AND b.version = i.current_version ORDER BY b.id LIMIT 1)"

std::optional<ItemRecord> FindItem(Connection& connection, const ItemId& id) {
    auto result = connection.Exec(
        "SELECT " TARVO_ITEM_COLUMNS " FROM kelvo.items i WHERE i.id = $1", Params().Uuid(id));
    if (result.Rows() == 0) {
        return std::nullopt;
    }
    return ReadItem(result, 0);
}

std::vector<ItemRecord> ListChildren(Connection& connection, const ItemId& folder) {
    auto result = connection.Exec("SELECT " TARVO_ITEM_COLUMNS
                                  " FROM kelvo.items i WHERE i.parent_id = $1 ORDER BY i.name",
                                  Params().Uuid(folder));
    std::vector<ItemRecord> children;
    children.reserve(static_cast<std::size_t>(result.Rows()));
    for (int row = 0; row < result.Rows(); ++row) {
        children.push_back(ReadItem(result, row));
    }
    return children;
}

#undef TARVO_ITEM_COLUMNS

std::optional<ItemId> FindChild(Connection& connection, const ItemId& parent,
                                const std::wstring& name) {
    if (HasNul(name)) {
        return std::nullopt;  // no stored name can hold one
    }
    auto result = connection.Exec("SELECT id FROM kelvo.items WHERE parent_id = $1 AND name = $2",
                                  Params().Uuid(parent).Text(name));
    if (result.Rows() == 0) {
        return std::nullopt;
    }
    return result.Uuid(0, 0);
}

ItemRecord RequireItem(Connection& connection, const ItemId& id) {
    auto item = FindItem(connection, id);
    if (!item) {
        throw errors::ItemGone();
    }
    return std::move(*item);
}

ItemRecord RequireFolder(Connection& connection, const ItemId& id) {
    auto item = RequireItem(connection, id);
    if (!item.folder) {
        throw errors::NotAFolder();
    }
    return item;
}

ItemRecord RequireDocument(Connection& connection, const ItemId& id) {
    auto item = RequireItem(connection, id);
    if (item.folder) {
        throw errors::NotADocument();
    }
    return item;
}

IdPath PathOf(Connection& connection, const ItemId& id) {
    auto result = connection.Exec(
        "WITH RECURSIVE chain(id, parent_id, depth) AS ("
        " SELECT id, parent_id, 0 FROM kelvo.items WHERE id = $1"
        " UNION ALL"
        " SELECT i.id, i.parent_id, c.depth + 1 FROM kelvo.items i JOIN chain c"
        " ON i.id = c.parent_id)"
        " SELECT id FROM chain ORDER BY depth DESC",
        Params().Uuid(id));
    IdPath path;
    for (int row = 0; row < result.Rows(); ++row) {
        path.push_back(result.Uuid(row, 0));
    }
    return path;
}

void LockTree(Connection& connection) {
    connection.Exec("SELECT pg_advisory_xact_lock($1, $2)",
                    Params().Int64(lock_keys::kNamespace).Int64(lock_keys::kTree));
}

std::optional<std::wstring> ForeignHolder(Connection& connection, const ItemId& document,
                                          const ItemId& self) {
    // pg_locks shows a one-number advisory key as its high half in classid, its low half in
    // objid, with objsubid 1.
    auto result = connection.Exec(
        "SELECT l.holder FROM kelvo.edit_locks l WHERE l.item_id = $1 AND l.link_id <> $2"
        " AND EXISTS (SELECT 1 FROM pg_catalog.pg_locks p WHERE p.locktype = 'advisory'"
        " AND p.granted AND p.pid = l.backend_pid AND p.objsubid = 1"
        " AND p.database = (SELECT oid FROM pg_catalog.pg_database"
        "                   WHERE datname = current_database())"
        " AND p.classid::bigint = (l.lock_key >> 32)"
        " AND p.objid::bigint = (l.lock_key & 4294967295))",
        Params().Uuid(document).Uuid(self));
    if (result.Rows() == 0) {
        return std::nullopt;
    }
    return result.Text(0, 0);
}

}  // namespace tarvo::detail::postgres::queries
