#pragma once

#include "../link_identity.h"
#include "pg_connection.h"

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tarvo::detail::postgres {

// The server session that stands for one repository link. Its edit locks are advisory locks of
// this session, so the server itself gives them back when the session ends: when the link is
// closed, its process dies, or its machine drops off the network. A row per lock tells other
// clients who holds it. The session is never reopened: once it is gone, so are its locks, and
// the link reports itself lost until the caller connects again.
class LockSession {
public:
    LockSession(const ConnectionSettings& settings, const std::wstring& defaultName);
    ~LockSession();
    LockSession(const LockSession&) = delete;
    LockSession& operator=(const LockSession&) = delete;

    const LinkIdentity& Identity() const { return m_identity; }

    // The repository's name, read through this session: it also proves the link is alive.
    std::wstring RepositoryName();

    // lock_state values; `holder` receives the holder's text.
    int Lock(const ItemId& document, std::wstring& holder);
    void Unlock(const ItemId& document);
    // Gives back the locks of documents that this link has just deleted.
    void Forget(const std::vector<ItemId>& documents) noexcept;
    void ReleaseAll() noexcept;

private:
    bool TryLock(std::int64_t key);
    bool WaitForLock(std::int64_t key);

    std::mutex m_mutex;
    Connection m_connection;
    LinkIdentity m_identity;
    std::set<ItemId> m_held;
};

}  // namespace tarvo::detail::postgres
