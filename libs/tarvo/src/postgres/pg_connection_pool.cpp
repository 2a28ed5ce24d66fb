#include "pg_connection_pool.h"

namespace tarvo::detail::postgres {

namespace {

// Enough for the usual number of concurrent file-system workers; connections beyond it are
// closed when they come back.
constexpr std::size_t kMaximumIdleConnections = 8;

}  // namespace

ConnectionPool::ConnectionPool(ConnectionSettings settings) : m_settings(std::move(settings)) {}

ConnectionPool::Lease::~Lease() {
    if (m_connection) {
        m_pool->Release(std::move(m_connection));
    }
}

ConnectionPool::Lease ConnectionPool::Acquire() {
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
        if (connection->IsAlive()) {
            return Lease(*this, std::move(connection));
        }
    }
    return Lease(*this, std::make_unique<Connection>(m_settings));
}

void ConnectionPool::Release(std::unique_ptr<Connection> connection) noexcept {
    // A connection left inside a transaction (its rollback failed) is not trusted again.
    if (connection->InTransaction() || !connection->IsAlive()) {
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_idle.size() < kMaximumIdleConnections) {
        m_idle.push_back(std::move(connection));
    }
}

}  // namespace tarvo::detail::postgres
