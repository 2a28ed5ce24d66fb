#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <string>

namespace kelvo_test {

// The private PostgreSQL server that scripts/with-postgres.sh starts for the tests, reached as
// its trusted superuser for administration (databases, roles, flags).
class TestServer {
public:
    // Why there is no server to test against (the variables are missing); empty when there is.
    static std::string UnavailableReason();
    // The server of the environment; call only when UnavailableReason() is empty.
    static TestServer FromEnvironment();
    // Another server on loopback, reached as its trusted superuser.
    static TestServer At(std::string host, std::uint16_t port, std::string superuser);

    const std::string& Host() const { return m_host; }
    std::uint16_t Port() const { return m_port; }
    const std::string& Superuser() const { return m_superuser; }

    // Runs administrative SQL as the superuser; throws std::runtime_error with the server's text.
    // Returns the first column of the first row, if any.
    std::string Admin(const std::string& sql, const std::string& database = "postgres") const;

    // A new empty database with a unique name; dropped by DropDatabase.
    std::string CreateDatabase(const std::string& prefix = "kelvo_test") const;
    void DropDatabase(const std::string& name) const noexcept;
    // A login role with a password; members of kelvo_password_users must give it (scram).
    void CreateLogin(const std::string& name, const std::string& password) const;

    // Ends every session on `database` but the caller's, as a restart of the server would.
    void DropSessions(const std::string& database) const;

    tarvo::endpoint::Remote Endpoint(const std::string& database) const;
    // "postgres:host:port:database:superuser", what core_test_child takes.
    std::string ChildEndpoint(const std::string& database) const;

private:
    std::string m_host;
    std::uint16_t m_port = 0;
    std::string m_superuser;
};

// A unique suffix for names of databases and roles.
std::string UniqueSuffix();

}  // namespace kelvo_test
