#include "pg_lock_session.h"

#include "../errors_text.h"
#include "../time_codec.h"
#include "pg_error.h"
#include "pg_locks_keys.h"
#include "pg_queries.h"
#include "pg_schema.h"

namespace tarvo::detail::postgres {

namespace {

// A holder whose program has just ended still holds its lock until the server notices the
// closed connection, which takes a moment; a refused lock is asked for once more after it.
constexpr const char* kHolderExitWait = "250ms";

}  // namespace

LockSession::LockSession(const ConnectionSettings& settings, const std::wstring& defaultName)
    : m_connection(settings), m_identity(LinkIdentity::ForNewLink()) {
    PrepareSchema(m_connection, defaultName);
    // Other users see who holds a lock by the login this link uses on the server.
    auto result = m_connection.Exec("SELECT current_user");
    m_identity.userName = result.Text(0, 0);
}

LockSession::~LockSession() {
    ReleaseAll();
}

std::wstring LockSession::RepositoryName() {
    std::lock_guard lock(m_mutex);
    auto result = m_connection.Exec("SELECT value FROM kelvo.repository_info WHERE key = 'name'");
    return result.Rows() > 0 ? result.Text(0, 0) : std::wstring();
}

bool LockSession::TryLock(std::int64_t key) {
    return m_connection.Exec("SELECT pg_try_advisory_lock($1)", Params().Int64(key)).Bool(0, 0);
}

bool LockSession::WaitForLock(std::int64_t key) {
    // A session-level advisory lock taken inside a transaction outlives its end.
    Transaction transaction(m_connection);
    m_connection.Exec("SELECT set_config('lock_timeout', $1, true)",
                      Params().Utf8(kHolderExitWait));
    try {
        m_connection.Exec("SELECT pg_advisory_lock($1)", Params().Int64(key));
    } catch (const QueryError& error) {
        if (error.SqlState() == sql_state::kLockNotAvailable) {
            return false;
        }
        throw;
    }
    transaction.Commit();
    return true;
}

int LockSession::Lock(const ItemId& document, std::wstring& holder) {
    std::lock_guard lock(m_mutex);
    queries::RequireDocument(m_connection, document);
    if (m_held.count(document) != 0) {
        holder = m_identity.HolderText();
        return lock_state::kAlreadyHeld;
    }
    const std::int64_t key = lock_keys::ForDocument(document);
    if (!TryLock(key) && !WaitForLock(key)) {
        auto result = m_connection.Exec("SELECT holder FROM kelvo.edit_locks WHERE item_id = $1",
                                        Params().Uuid(document));
        // The holder has the lock but has not written its row yet.
        holder = result.Rows() > 0 ? result.Text(0, 0) : std::wstring(L"другой пользователь");
        return lock_state::kHeldByOther;
    }
    try {
        m_connection.Exec(
            "INSERT INTO kelvo.edit_locks(item_id, link_id, lock_key, backend_pid, holder, "
            "taken_us) VALUES ($1, $2, $3, pg_backend_pid(), $4, $5) "
            "ON CONFLICT (item_id) DO UPDATE SET link_id = EXCLUDED.link_id, "
            "lock_key = EXCLUDED.lock_key, backend_pid = EXCLUDED.backend_pid, "
            "holder = EXCLUDED.holder, taken_us = EXCLUDED.taken_us",
            Params()
                .Uuid(document)
                .Uuid(m_identity.linkId)
                .Int64(key)
                .Text(m_identity.HolderText())
                .Int64(ToMicroseconds(Now())));
    } catch (...) {
        try {
            m_connection.Exec("SELECT pg_advisory_unlock($1)", Params().Int64(key));
        } catch (const std::exception&) {
            // The session is gone, and the lock with it.
        }
        throw;
    }
    m_held.insert(document);
    holder = m_identity.HolderText();
    return lock_state::kTaken;
}

void LockSession::Unlock(const ItemId& document) {
    std::lock_guard lock(m_mutex);
    queries::RequireItem(m_connection, document);
    if (m_held.count(document) != 0) {
        m_connection.Exec("DELETE FROM kelvo.edit_locks WHERE item_id = $1 AND link_id = $2",
                          Params().Uuid(document).Uuid(m_identity.linkId));
        m_connection.Exec("SELECT pg_advisory_unlock($1)",
                          Params().Int64(lock_keys::ForDocument(document)));
        m_held.erase(document);
        return;
    }
    if (const auto holder = queries::ForeignHolder(m_connection, document, m_identity.linkId)) {
        throw errors::LockedBy(*holder);
    }
    // A row left by a holder whose session has ended: nothing holds the document.
    m_connection.Exec("DELETE FROM kelvo.edit_locks WHERE item_id = $1", Params().Uuid(document));
}

void LockSession::Forget(const std::vector<ItemId>& documents) noexcept {
    std::lock_guard lock(m_mutex);
    for (const auto& document : documents) {
        if (m_held.erase(document) == 0) {
            continue;
        }
        try {
            m_connection.Exec("SELECT pg_advisory_unlock($1)",
                              Params().Int64(lock_keys::ForDocument(document)));
        } catch (const std::exception&) {
            // The session is gone, and the lock with it.
        }
    }
}

void LockSession::ReleaseAll() noexcept {
    std::lock_guard lock(m_mutex);
    try {
        if (!m_held.empty()) {
            m_connection.Exec("DELETE FROM kelvo.edit_locks WHERE link_id = $1",
                              Params().Uuid(m_identity.linkId));
            m_connection.Exec("SELECT pg_advisory_unlock_all()");
        }
    } catch (const std::exception&) {
        // The session is gone, and its locks with it; rows it leaves are taken over.
    }
    m_held.clear();
}

}  // namespace tarvo::detail::postgres
