#pragma once

#include "pg_params.h"
#include "pg_result.h"
#include "pg_settings.h"

#include <string>

struct pg_conn;

namespace tarvo::detail::postgres {

// Owns one libpq connection. A libpq connection must not be used by two threads at once: each
// is used by one thread at a time (through the pool, or under the lock session's mutex).
class Connection {
public:
    // Connects, or throws the user's error (unreachable server, refused login, missing database).
    explicit Connection(const ConnectionSettings& settings);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Runs one parameterised statement; throws QueryError when it fails.
    Result Exec(const char* sql, const Params& params = Params(), bool binaryResult = false);
    // Runs statements without parameters (transaction control, the schema script).
    void Execute(const char* sql);

    // False when the server has ended the session (restart, administrator); reads only what has
    // already arrived, so it never waits.
    bool IsAlive();
    bool InTransaction() const;
    const std::wstring& Address() const { return m_address; }

private:
    [[noreturn]] void ThrowFailure(const pg_result* result);

    pg_conn* m_connection = nullptr;
    std::wstring m_address;
};

// One transaction on a connection; rolled back unless committed.
class Transaction {
public:
    enum class Kind { ReadCommitted, Snapshot };
    explicit Transaction(Connection& connection, Kind kind = Kind::ReadCommitted);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Commit();

private:
    Connection& m_connection;
    bool m_open = true;
};

}  // namespace tarvo::detail::postgres
