#pragma once

#include "../engine.h"
#include "../link_identity.h"
#include "sqlite_database.h"

#include <optional>
#include <string>

// Queries that the engine and its version writes share; each runs on the caller's connection,
// inside the caller's transaction.
namespace tarvo::detail::sqlite::queries {

std::optional<ItemRecord> FindItem(Database& db, const ItemId& id);
std::optional<ItemId> FindChild(Database& db, const ItemId& parent, const std::wstring& name);
ItemId RootId(Database& db);
// Every child, ordered by name.
std::vector<ItemRecord> ListChildren(Database& db, const ItemId& folder);

// These throw the user's error when the item is missing or of the wrong kind.
ItemRecord RequireItem(Database& db, const ItemId& id);
ItemRecord RequireFolder(Database& db, const ItemId& id);
ItemRecord RequireDocument(Database& db, const ItemId& id);

// Root first; empty when the item does not exist.
IdPath PathOf(Database& db, const ItemId& id);

struct LockRecord {
    ItemId linkId{};
    std::string host;
    std::int64_t processId = 0;
    std::int64_t processStart = 0;
    std::wstring holder;

    bool IsStale() const { return IsOwnerGone(host, processId, processStart); }
};
std::optional<LockRecord> FindLock(Database& db, const ItemId& document);
// The holder text when a live link other than `self` holds the document's lock.
std::optional<std::wstring> ForeignHolder(Database& db, const ItemId& document, const ItemId& self);

}  // namespace tarvo::detail::sqlite::queries
