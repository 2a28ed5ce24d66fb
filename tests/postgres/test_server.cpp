#include "test_server.h"

#include <boost/uuid/uuid.hpp>

#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace kelvo_test {

namespace {

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

}  // namespace

std::string UniqueSuffix() {
    const auto id = tarvo::GenerateUuid();
    static const char* kDigits = "0123456789abcdef";
    std::string suffix;
    for (int index = 0; index < 6; ++index) {
        suffix += kDigits[id.data[index] >> 4];
        suffix += kDigits[id.data[index] & 15];
    }
    return suffix;
}

std::string TestServer::UnavailableReason() {
    if (Variable("KELVO_TEST_PG_HOST").empty() || Variable("KELVO_TEST_PG_PORT").empty() ||
        Variable("KELVO_TEST_PG_SUPERUSER").empty()) {
        return "no PostgreSQL server for the tests: run them through scripts/with-postgres.sh "
               "(KELVO_TEST_PG_HOST, KELVO_TEST_PG_PORT and KELVO_TEST_PG_SUPERUSER are not set)";
    }
    return {};
}

TestServer TestServer::FromEnvironment() {
    TestServer server;
    server.m_host = Variable("KELVO_TEST_PG_HOST");
    server.m_port = static_cast<std::uint16_t>(std::stoi(Variable("KELVO_TEST_PG_PORT")));
    server.m_superuser = Variable("KELVO_TEST_PG_SUPERUSER");
    return server;
}

TestServer TestServer::At(std::string host, std::uint16_t port, std::string superuser) {
    TestServer server;
    server.m_host = std::move(host);
    server.m_port = port;
    server.m_superuser = std::move(superuser);
    return server;
}

std::string TestServer::Admin(const std::string& sql, const std::string& database) const {
    const std::string port = std::to_string(m_port);
    const char* keys[] = {"host", "port", "dbname", "user", "sslmode", nullptr};
    const char* values[] = {m_host.c_str(),      port.c_str(), database.c_str(),
                            m_superuser.c_str(), "disable",    nullptr};
    std::unique_ptr<PGconn, decltype(&PQfinish)> connection(PQconnectdbParams(keys, values, 0),
                                                            &PQfinish);
    if (PQstatus(connection.get()) != CONNECTION_OK) {
        throw std::runtime_error("admin connection: " +
                                 std::string(PQerrorMessage(connection.get())));
    }
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection.get(), sql.c_str()),
                                                         &PQclear);
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw std::runtime_error(sql + ": " + PQerrorMessage(connection.get()));
    }
    if (status == PGRES_TUPLES_OK && PQntuples(result.get()) > 0) {
        return PQgetvalue(result.get(), 0, 0);
    }
    return {};
}

std::string TestServer::CreateDatabase(const std::string& prefix) const {
    const std::string name = prefix + "_" + UniqueSuffix();
    Admin("CREATE DATABASE " + name);
    return name;
}

void TestServer::DropDatabase(const std::string& name) const noexcept {
    try {
        Admin("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
    } catch (const std::exception&) {
        // Left for the server's folder to take away at the end of the run.
    }
}

void TestServer::CreateLogin(const std::string& name, const std::string& password) const {
    Admin("CREATE ROLE " + name + " LOGIN PASSWORD '" + password +
          "' IN ROLE kelvo_password_users");
}

void TestServer::DropSessions(const std::string& database) const {
    Admin("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE datname = '" +
          database + "' AND pid <> pg_backend_pid()");
}

tarvo::endpoint::Remote TestServer::Endpoint(const std::string& database) const {
    return tarvo::endpoint::Remote{Wide(m_host), m_port, Wide(database), L"disable"};
}

std::string TestServer::ChildEndpoint(const std::string& database) const {
    return "postgres:" + m_host + ":" + std::to_string(m_port) + ":" + database + ":" + m_superuser;
}

}  // namespace kelvo_test
