#pragma once

struct sqlite3;

namespace tarvo::detail::sqlite {

// Throws the TarvoError that describes an SQLite result code to the user.
[[noreturn]] void ThrowError(sqlite3* db, int code);

// Throws when `code` is not SQLITE_OK.
inline void Check(sqlite3* db, int code) {
    if (code != 0) {
        ThrowError(db, code);
    }
}

}  // namespace tarvo::detail::sqlite
