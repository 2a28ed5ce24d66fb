#pragma once

#include <tarvo/core.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tarvo::detail::sqlite {

// Owns one prepared statement. Parameters and columns are numbered as in SQLite: parameters
// from 1, columns from 0.
class Statement {
public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void BindInt64(int index, std::int64_t value);
    void BindText(int index, const std::wstring& value);
    void BindUtf8(int index, const std::string& value);
    void BindUuid(int index, const boost::uuids::uuid& value);
    // The bytes must stay valid until the statement is stepped.
    void BindBlob(int index, const void* data, std::size_t size);
    void BindNull(int index);

    // True when a row is available, false when the statement has finished.
    bool Step();
    // Steps a statement that returns no rows.
    void Run();
    // Makes the statement ready for new parameters.
    void Reset() noexcept;

    bool IsNull(int column) const;
    std::int64_t ColumnInt64(int column) const;
    std::wstring ColumnText(int column) const;
    std::string ColumnUtf8(int column) const;
    boost::uuids::uuid ColumnUuid(int column) const;
    const void* ColumnBlob(int column) const;
    std::size_t ColumnBytes(int column) const;

private:
    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

// Uses a cached statement for one execution and resets it when the scope ends, so the next user
// finds it fresh even after an exception.
class StatementUse {
public:
    explicit StatementUse(Statement& statement) : m_statement(statement) {}
    ~StatementUse() { m_statement.Reset(); }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;

    Statement* operator->() { return &m_statement; }
    Statement& operator*() { return m_statement; }

private:
    Statement& m_statement;
};

}  // namespace tarvo::detail::sqlite
