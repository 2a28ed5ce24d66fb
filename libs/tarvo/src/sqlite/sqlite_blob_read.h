#pragma once

#include <cstddef>
#include <cstdint>

struct sqlite3;
struct sqlite3_blob;

namespace tarvo::detail::sqlite {

// Incremental read access to one stored value. Reading through it copies the value's pages
// straight into the caller's buffer; a plain SELECT would first assemble the whole value in a
// buffer of SQLite's own.
class BlobRead {
public:
    BlobRead(sqlite3* db, const char* table, const char* column, std::int64_t rowId);
    ~BlobRead();
    BlobRead(const BlobRead&) = delete;
    BlobRead& operator=(const BlobRead&) = delete;

    std::size_t Size() const;
    void ReadAll(std::uint8_t* out);

private:
    sqlite3* m_db;
    sqlite3_blob* m_blob = nullptr;
};

}  // namespace tarvo::detail::sqlite
