// The behaviour suite of this program runs against the PostgreSQL engine.
#include "repository_under_test.h"
#include "test_server.h"

#include <string>

namespace kelvo_test {

namespace {

// A fresh database on the test server per repository, used as the trusted superuser.
class PostgresRepositoryUnderTest : public RepositoryUnderTest {
public:
    PostgresRepositoryUnderTest()
        : m_server(TestServer::FromEnvironment()),
          m_database(m_server.CreateDatabase()),
          m_core(tarvo::CreateCore()) {}
    ~PostgresRepositoryUnderTest() override { m_server.DropDatabase(m_database); }

    std::shared_ptr<tarvo::IRepository> Connect() override {
        return m_core->Connect(
            m_server.Endpoint(m_database),
            tarvo::auth::Basic{
                std::wstring(m_server.Superuser().begin(), m_server.Superuser().end()), L""});
    }

    std::string ChildEndpoint() const override { return m_server.ChildEndpoint(m_database); }

    std::int64_t StoredChunks() const override {
        return std::stoll(m_server.Admin("SELECT COUNT(*) FROM kelvo.blob_chunks", m_database));
    }

private:
    TestServer m_server;
    std::string m_database;
    std::shared_ptr<tarvo::ICore> m_core;
};

}  // namespace

std::vector<EngineFactory> EngineFactories() {
    return {
        {"Postgres", [] { return std::make_unique<PostgresRepositoryUnderTest>(); },
         [] { return TestServer::UnavailableReason(); }},
    };
}

}  // namespace kelvo_test
