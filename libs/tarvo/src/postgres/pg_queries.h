#pragma once

#include "../engine.h"
#include "pg_connection.h"

#include <optional>
#include <string>

// Queries that the engine, its version writes and its lock session share; each runs on the
// caller's connection, inside the caller's transaction if any.
namespace tarvo::detail::postgres::queries {

std::optional<ItemRecord> FindItem(Connection& connection, const ItemId& id);
std::optional<ItemId> FindChild(Connection& connection, const ItemId& parent,
                                const std::wstring& name);
// Every child, ordered by name.
std::vector<ItemRecord> ListChildren(Connection& connection, const ItemId& folder);

// These throw the user's error when the item is missing or of the wrong kind.
ItemRecord RequireItem(Connection& connection, const ItemId& id);
ItemRecord RequireFolder(Connection& connection, const ItemId& id);
ItemRecord RequireDocument(Connection& connection, const ItemId& id);

// Root first; empty when the item does not exist.
IdPath PathOf(Connection& connection, const ItemId& id);

// Waits for other changes of the folder tree to end, then keeps them out until the caller's
// transaction ends. Changes of content only do not take it.
void LockTree(Connection& connection);

// The holder text when a live link other than `self` holds the document's edit lock. A lock is
// live while its holder's server session still holds the advisory lock named in its row.
std::optional<std::wstring> ForeignHolder(Connection& connection, const ItemId& document,
                                          const ItemId& self);

}  // namespace tarvo::detail::postgres::queries
