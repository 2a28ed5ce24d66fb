#pragma once

#include "sqlite_statement.h"

#include <memory>
#include <string>
#include <unordered_map>

struct sqlite3;

namespace tarvo::detail::sqlite {

// Owns one connection to a database file, with the settings every connection of the repository
// uses, and the statements it has prepared (kept for reuse: the same few statements run all the
// time). Used by one thread at a time.
class Database {
public:
    // Opens (and creates, when `create` is set) the file.
    Database(const std::string& path, bool create);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs statements that return nothing of interest (schema, pragmas, transaction control).
    void Execute(const char* sql);
    // A prepared statement for `sql`, prepared on first use. `sql` must be a string literal:
    // its address is the cache key.
    Statement& Prepare(const char* sql);
    std::int64_t LastInsertRowId() const;
    // Rows changed by the last statement.
    int Changes() const;
    // Returns once every transaction committed so far, by any connection, survives a power loss.
    void SyncToDisk();
    bool InTransaction() const;
    sqlite3* Handle() const { return m_db; }

private:
    sqlite3* m_db = nullptr;
    std::unordered_map<const char*, std::unique_ptr<Statement>> m_statements;
};

// One transaction on a connection; rolled back unless committed.
class Transaction {
public:
    // A bulk write (an upload's chunk, an upkeep step) is one of a long series: before it takes
    // the write lock it lets every other writer of this process that is waiting for the lock go
    // first, so that nobody waits behind a whole series. SQLite's lock is not fair by itself.
    enum class Kind { Read, Write, BulkWrite };
    Transaction(Database& db, Kind kind);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Commit();

private:
    Database& m_db;
    bool m_open = true;
};

}  // namespace tarvo::detail::sqlite
