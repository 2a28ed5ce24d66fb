#pragma once

#include <cstdint>
#include <string>

namespace kelvo_test {

// The first column of the first row of `sql`, read from the database file `path` opened read-only
// beside the repository's own connections; -1 when there is none.
std::int64_t SqliteNumber(const std::string& path, const char* sql);

}  // namespace kelvo_test
