#pragma once

#include "pg_connection.h"

#include <string>

namespace tarvo::detail::postgres {

// The version of the repository's tables that this program writes.
constexpr int kSchemaVersion = 1;

// Creates the repository's tables in an empty database (named `defaultName`), or checks and
// migrates those of an existing repository. Clients connecting at once wait for each other.
void PrepareSchema(Connection& connection, const std::wstring& defaultName);

}  // namespace tarvo::detail::postgres
