#include "sqlite_blob_read.h"

#include "sqlite_error.h"

#include <sqlite3.h>

namespace tarvo::detail::sqlite {

BlobRead::BlobRead(sqlite3* db, const char* table, const char* column, std::int64_t rowId)
    : m_db(db) {
    const int result = sqlite3_blob_open(m_db, "main", table, column, rowId, 0, &m_blob);
    if (result != SQLITE_OK) {
        sqlite3_blob_close(m_blob);  // SQLite may hand out a handle even on failure
        ThrowError(m_db, result);
    }
}

BlobRead::~BlobRead() {
    sqlite3_blob_close(m_blob);
}

std::size_t BlobRead::Size() const {
    return static_cast<std::size_t>(sqlite3_blob_bytes(m_blob));
}

void BlobRead::ReadAll(std::uint8_t* out) {
    Check(m_db, sqlite3_blob_read(m_blob, out, sqlite3_blob_bytes(m_blob), 0));
}

}  // namespace tarvo::detail::sqlite
