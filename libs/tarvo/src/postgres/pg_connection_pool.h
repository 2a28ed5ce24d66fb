#pragma once

#include "pg_connection.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tarvo::detail::postgres {

// Connections of one repository link, handed out one per concurrent operation: a libpq
// connection serves one thread at a time, and separate connections let reads go on while
// another connection uploads a version.
class ConnectionPool {
public:
    explicit ConnectionPool(ConnectionSettings settings);
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // A connection for the lifetime of the lease; it goes back to the pool afterwards, unless
    // it is broken or still inside a transaction.
    class Lease {
    public:
        Lease(ConnectionPool& pool, std::unique_ptr<Connection> connection)
            : m_pool(&pool), m_connection(std::move(connection)) {}
        ~Lease();
        Lease(Lease&& other) noexcept = default;
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        Connection& operator*() const { return *m_connection; }
        Connection* operator->() const { return m_connection.get(); }

    private:
        ConnectionPool* m_pool;
        std::unique_ptr<Connection> m_connection;
    };

    Lease Acquire();

private:
    void Release(std::unique_ptr<Connection> connection) noexcept;

    const ConnectionSettings m_settings;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Connection>> m_idle;
};

}  // namespace tarvo::detail::postgres
