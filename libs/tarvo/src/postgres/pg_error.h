#pragma once

#include <tarvo/errors.h>

#include <string>

namespace tarvo::detail::postgres {

// A failed query, with the server's SQLSTATE, so that callers can turn the states they expect
// (a unique name taken by a concurrent client, a lock wait that timed out) into their own errors.
class QueryError : public TarvoError {
public:
    QueryError(errc::Type code, std::wstring message, std::string sqlState)
        : TarvoError(code, std::move(message)), m_sqlState(std::move(sqlState)) {}
    const std::string& SqlState() const noexcept { return m_sqlState; }

private:
    std::string m_sqlState;
};

namespace sql_state {
constexpr const char* kUniqueViolation = "23505";
constexpr const char* kLockNotAvailable = "55P03";
constexpr const char* kInsufficientPrivilege = "42501";
}  // namespace sql_state

// The error for a query that failed with `sqlState` and the server's `detail` text; `lost` when
// the connection itself is gone. `address` names the server in the message.
QueryError QueryFailure(const std::wstring& address, const std::string& sqlState,
                        const std::wstring& detail, bool lost);

// The error for a connection attempt that failed. `serverMessage` is libpq's text, which carries
// the SQLSTATE when the server itself refused; `neededPassword` when the server asked for a
// password that was not given.
TarvoError ConnectFailure(const std::wstring& address, const std::wstring& login,
                          const std::string& serverMessage, bool neededPassword);

}  // namespace tarvo::detail::postgres
