#include "sqlite_statement.h"

#include "../text_codec.h"
#include "sqlite_error.h"

#include <sqlite3.h>

#include <cstring>

namespace tarvo::detail::sqlite {

Statement::Statement(sqlite3* db, std::string_view sql) : m_db(db) {
    Check(m_db, sqlite3_prepare_v3(m_db, sql.data(), static_cast<int>(sql.size()),
                                   SQLITE_PREPARE_PERSISTENT, &m_statement, nullptr));
}

Statement::~Statement() {
    sqlite3_finalize(m_statement);
}

void Statement::BindInt64(int index, std::int64_t value) {
    Check(m_db, sqlite3_bind_int64(m_statement, index, value));
}

void Statement::BindText(int index, const std::wstring& value) {
    const std::string utf8 = ToUtf8(value);
    Check(m_db, sqlite3_bind_text64(m_statement, index, utf8.data(), utf8.size(), SQLITE_TRANSIENT,
                                    SQLITE_UTF8));
}

void Statement::BindUtf8(int index, const std::string& value) {
    Check(m_db, sqlite3_bind_text64(m_statement, index, value.data(), value.size(),
                                    SQLITE_TRANSIENT, SQLITE_UTF8));
}

void Statement::BindUuid(int index, const boost::uuids::uuid& value) {
    Check(m_db, sqlite3_bind_blob(m_statement, index, value.data, static_cast<int>(value.size()),
                                  SQLITE_TRANSIENT));
}

void Statement::BindBlob(int index, const void* data, std::size_t size) {
    Check(m_db, sqlite3_bind_blob64(m_statement, index, data, size, SQLITE_STATIC));
}

void Statement::BindNull(int index) {
    Check(m_db, sqlite3_bind_null(m_statement, index));
}

bool Statement::Step() {
    const int result = sqlite3_step(m_statement);
    if (result == SQLITE_ROW) {
        return true;
    }
    if (result == SQLITE_DONE) {
        return false;
    }
    ThrowError(m_db, result);
}

void Statement::Run() {
    while (Step()) {
    }
}

void Statement::Reset() noexcept {
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

bool Statement::IsNull(int column) const {
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

std::int64_t Statement::ColumnInt64(int column) const {
    return sqlite3_column_int64(m_statement, column);
}

std::wstring Statement::ColumnText(int column) const {
    return FromUtf8(ColumnUtf8(column));
}

std::string Statement::ColumnUtf8(int column) const {
    const auto* text = sqlite3_column_text(m_statement, column);
    const int size = sqlite3_column_bytes(m_statement, column);
    if (text == nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

boost::uuids::uuid Statement::ColumnUuid(int column) const {
    boost::uuids::uuid result{};
    const void* data = sqlite3_column_blob(m_statement, column);
    if (data != nullptr &&
        sqlite3_column_bytes(m_statement, column) == static_cast<int>(result.size())) {
        std::memcpy(result.data, data, result.size());
    }
    return result;
}

const void* Statement::ColumnBlob(int column) const {
    return sqlite3_column_blob(m_statement, column);
}

std::size_t Statement::ColumnBytes(int column) const {
    return static_cast<std::size_t>(sqlite3_column_bytes(m_statement, column));
}

}  // namespace tarvo::detail::sqlite
