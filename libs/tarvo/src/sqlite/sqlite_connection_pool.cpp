#include "sqlite_connection_pool.h"

namespace tarvo::detail::sqlite {

namespace {

// Enough for the usual number of concurrent file-system workers; connections beyond it are
// closed when they come back.
constexpr std::size_t kMaximumIdleConnections = 8;

}  // namespace

ConnectionPool::ConnectionPool(std::string path, std::function<void(Database&)> prepare)
    : m_path(std::move(path)), m_prepare(std::move(prepare)) {}

ConnectionPool::Lease::~Lease() {
    if (m_db) {
        m_pool->Release(std::move(m_db));
    }
}

ConnectionPool::Lease ConnectionPool::Acquire() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_idle.empty()) {
            auto db = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(*this, std::move(db));
        }
    }
    auto db = std::make_unique<Database>(m_path, false);
    if (m_prepare) {
        m_prepare(*db);
    }
    return Lease(*this, std::move(db));
}

void ConnectionPool::Release(std::unique_ptr<Database> db) noexcept {
    // A connection left inside a transaction (its rollback failed) is not trusted again.
    if (db->InTransaction()) {
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_idle.size() < kMaximumIdleConnections) {
        m_idle.push_back(std::move(db));
    }
}

}  // namespace tarvo::detail::sqlite
