#pragma once

#include "sqlite_database.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarvo::detail::sqlite {

// Connections to one database file, handed out one per concurrent operation. SQLite connections
// must not be shared between threads in the middle of a statement, and separate connections let
// readers go on (WAL) while another connection writes.
class ConnectionPool {
public:
    // `prepare` is called on every connection the pool opens.
    explicit ConnectionPool(std::string path, std::function<void(Database&)> prepare =
                                                  std::function<void(Database&)>());
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // A connection for the lifetime of the lease; it goes back to the pool afterwards.
    class Lease {
    public:
        Lease(ConnectionPool& pool, std::unique_ptr<Database> db)
            : m_pool(&pool), m_db(std::move(db)) {}
        ~Lease();
        Lease(Lease&& other) noexcept = default;
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        Database& operator*() const { return *m_db; }
        Database* operator->() const { return m_db.get(); }

    private:
        ConnectionPool* m_pool;
        std::unique_ptr<Database> m_db;
    };

    Lease Acquire();

private:
    void Release(std::unique_ptr<Database> db) noexcept;

    const std::string m_path;
    const std::function<void(Database&)> m_prepare;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Database>> m_idle;
};

}  // namespace tarvo::detail::sqlite
