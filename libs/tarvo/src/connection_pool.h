#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace tarvo::detail {

// Connections of one repository link, handed out one per concurrent operation: a database
// connection serves one thread at a time, and separate connections let reads go on while another
// connection writes. Both engines' pools are this one with their own way of opening a connection
// and of telling whether an idle one still works.
template <class Connection>
class ConnectionPool {
public:
    using Open = std::function<std::unique_ptr<Connection>()>;
    // Whether a connection may still be used; asked when it comes back and before it is handed
    // out again.
    using Usable = std::function<bool(Connection&)>;

    explicit ConnectionPool(Open open, Usable usable = Usable())
        : m_open(std::move(open)), m_usable(std::move(usable)) {}
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // A connection for the lifetime of the lease; it goes back to the pool afterwards, unless it
    // no longer works or is still inside a transaction.
    class Lease {
    public:
        Lease(ConnectionPool& pool, std::unique_ptr<Connection> connection)
            : m_pool(&pool), m_connection(std::move(connection)) {}
        ~Lease() {
            if (m_connection) {
                m_pool->Release(std::move(m_connection));
            }
        }
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

    Lease Acquire() {
        for (;;) {
            std::unique_ptr<Connection> connection;
            {
                std::lock_guard lock(m_mutex);
                if (m_idle.empty()) {
                    break;
                }
                connection = std::move(m_idle.back());
                m_idle.pop_back();
            }
            // After a server restart every idle connection is dead; a new one takes its place.
            if (IsUsable(*connection)) {
                return Lease(*this, std::move(connection));
            }
        }
        return Lease(*this, m_open());
    }

private:
    // Enough for the usual number of concurrent file-system workers; connections beyond it are
    // closed when they come back.
    static constexpr std::size_t kMaximumIdleConnections = 8;

    bool IsUsable(Connection& connection) const { return !m_usable || m_usable(connection); }

    void Release(std::unique_ptr<Connection> connection) noexcept {
        // A connection left inside a transaction (its rollback failed) is not trusted again.
        if (connection->InTransaction() || !IsUsable(*connection)) {
            return;
        }
        std::lock_guard lock(m_mutex);
        if (m_idle.size() < kMaximumIdleConnections) {
            m_idle.push_back(std::move(connection));
        }
    }

    const Open m_open;
    const Usable m_usable;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Connection>> m_idle;
};

}  // namespace tarvo::detail
