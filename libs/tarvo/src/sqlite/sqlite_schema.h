#pragma once

#include <string>

namespace tarvo::detail::sqlite {

class Database;

// The schema version this code reads and writes; stored as the database's user_version.
constexpr int kSchemaVersion = 1;

// Creates the schema with the root folder and the default repository name in a new database,
// upgrades an older one, and refuses one written by a newer program. The file is (or is made
// once) one whose free pages can be given back to the file system a few at a time.
void PrepareSchema(Database& db, const std::wstring& defaultName);

}  // namespace tarvo::detail::sqlite
