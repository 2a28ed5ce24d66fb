// What is particular to repositories on a PostgreSQL server: reaching the server and the errors a
// user sees when that fails, the schema and the repository's name, several logins on one
// repository, the flags only an administrator may set, and a link that the server drops.
#include "test_server.h"

#include <tarvo/core.h>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvo_test {
namespace {

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// The error a connection attempt throws; fails the test when it connects.
tarvo::TarvoError ConnectError(const std::function<void()>& connect) {
    try {
        connect();
    } catch (const tarvo::TarvoError& error) {
        return error;
    }
    ADD_FAILURE() << "connected";
    return tarvo::TarvoError(tarvo::errc::Unknown, L"");
}

// A loopback port on which nothing listens.
std::uint16_t ClosedPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

class ServerRepositoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = TestServer::UnavailableReason(); !reason.empty()) {
            GTEST_SKIP() << reason;
        }
        m_server = TestServer::FromEnvironment();
        m_database = m_server.CreateDatabase();
    }
    void TearDown() override {
        if (!m_database.empty()) {
            m_server.DropDatabase(m_database);
        }
        for (const auto& login : m_logins) {
            try {
                m_server.Admin("DROP ROLE IF EXISTS " + login);
            } catch (const std::exception&) {
            }
        }
    }

    std::shared_ptr<tarvo::IRepository> ConnectAsAdministrator() {
        return m_core->Connect(m_server.Endpoint(m_database),
                               tarvo::auth::Basic{Wide(m_server.Superuser()), L""});
    }

    // A login of the password group; returns its name.
    std::string NewLogin(const std::string& prefix, const std::string& password) {
        const std::string login = prefix + "_" + UniqueSuffix();
        m_server.CreateLogin(login, password);
        m_logins.push_back(login);
        return login;
    }

    std::shared_ptr<tarvo::IRepository> ConnectAs(const std::string& login,
                                                  const std::string& password) {
        return m_core->Connect(m_server.Endpoint(m_database),
                               tarvo::auth::Basic{Wide(login), Wide(password)});
    }

    TestServer m_server;
    std::string m_database;
    std::vector<std::string> m_logins;
    std::shared_ptr<tarvo::ICore> m_core = tarvo::CreateCore();
};

TEST_F(ServerRepositoryTest, RefusesAWrongOrMissingPasswordWithTheLogin) {
    const std::string login = NewLogin("alice", "right-secret");
    ConnectAsAdministrator();

    const auto wrong = ConnectError([&] { ConnectAs(login, "wrong-secret"); });
    EXPECT_EQ(wrong.GetErrorCode(), tarvo::errc::AuthenticationFailed);
    EXPECT_NE(wrong.GetMessage().find(Wide(login)), std::wstring::npos);
    EXPECT_NE(wrong.GetMessage().find(L"неверное имя пользователя или пароль"), std::wstring::npos)
        << wrong.what();

    const auto missing = ConnectError([&] { ConnectAs(login, ""); });
    EXPECT_EQ(missing.GetErrorCode(), tarvo::errc::AuthenticationFailed);
    EXPECT_NE(missing.GetMessage().find(L"требует пароль"), std::wstring::npos) << missing.what();

    EXPECT_EQ(ConnectAs(login, "right-secret")->GetRepositoryName(), Wide(m_database));
}

TEST_F(ServerRepositoryTest, NamesAMissingDatabase) {
    auto endpoint = m_server.Endpoint("no_such_database");
    const auto error = ConnectError([&] {
        m_core->Connect(endpoint, tarvo::auth::Basic{Wide(m_server.Superuser()), L""});
    });
    EXPECT_EQ(error.GetErrorCode(), tarvo::errc::NotConnected);
    EXPECT_NE(error.GetMessage().find(L"нет базы данных «no_such_database»"), std::wstring::npos)
        << error.what();
}

TEST_F(ServerRepositoryTest, ReportsAnUnreachableServerAndBadSettings) {
    auto endpoint = m_server.Endpoint(m_database);
    endpoint.port = ClosedPort();
    const auto unreachable =
        ConnectError([&] { m_core->Connect(endpoint, tarvo::auth::Current{}); });
    EXPECT_EQ(unreachable.GetErrorCode(), tarvo::errc::NotConnected);
    EXPECT_NE(unreachable.GetMessage().find(L"Не удалось подключиться к серверу хранилища"),
              std::wstring::npos)
        << unreachable.what();
    EXPECT_NE(unreachable.GetMessage().find(std::to_wstring(endpoint.port)), std::wstring::npos);

    // The test server speaks no TLS: a connection that insists on it is refused.
    auto tls = m_server.Endpoint(m_database);
    tls.sslMode = L"require";
    EXPECT_EQ(ConnectError([&] {
                  m_core->Connect(tls, tarvo::auth::Basic{Wide(m_server.Superuser()), L""});
              }).GetErrorCode(),
              tarvo::errc::NotConnected);

    auto badMode = m_server.Endpoint(m_database);
    badMode.sslMode = L"sometimes";
    EXPECT_EQ(
        ConnectError([&] { m_core->Connect(badMode, tarvo::auth::Current{}); }).GetErrorCode(),
        tarvo::errc::InvalidArgument);
    auto noHost = m_server.Endpoint(m_database);
    noHost.host.clear();
    EXPECT_EQ(ConnectError([&] { m_core->Connect(noHost, tarvo::auth::Current{}); }).GetErrorCode(),
              tarvo::errc::InvalidArgument);
}

TEST_F(ServerRepositoryTest, CreatesTheRepositoryOnceAndKeepsItsNameInTheDatabase) {
    auto first = ConnectAsAdministrator();
    EXPECT_EQ(first->GetRepositoryName(), Wide(m_database));
    EXPECT_EQ(m_server.Admin("SELECT value FROM kelvo.repository_info WHERE key = "
                             "'schema_version'",
                             m_database),
              "1");
    auto store = first->OpenItemStore();
    store->CreateFolders(store->ResolvePath({L""}), {L"kept"});

    m_server.Admin("UPDATE kelvo.repository_info SET value = 'Общие документы' WHERE key = 'name'",
                   m_database);
    auto second = ConnectAsAdministrator();
    EXPECT_EQ(second->GetRepositoryName(), L"Общие документы");
    EXPECT_EQ(second->OpenItemStore()->ResolvePath({L"", L"kept"}).size(), 2u);

    m_server.Admin("UPDATE kelvo.repository_info SET value = '7' WHERE key = 'schema_version'",
                   m_database);
    const auto newer = ConnectError([&] { ConnectAsAdministrator(); });
    EXPECT_EQ(newer.GetErrorCode(), tarvo::errc::StorageFailure);
    EXPECT_NE(newer.GetMessage().find(L"Обновите программу"), std::wstring::npos);
}

TEST_F(ServerRepositoryTest, AUserWithoutRightsCannotCreateTheRepository) {
    const std::string login = NewLogin("bob", "secret");
    const auto error = ConnectError([&] { ConnectAs(login, "secret"); });
    EXPECT_EQ(error.GetErrorCode(), tarvo::errc::AccessDenied);
    EXPECT_NE(error.GetMessage().find(L"администратора"), std::wstring::npos);
    // Once the administrator has connected, the same user works in it.
    ConnectAsAdministrator();
    auto store = ConnectAs(login, "secret")->OpenItemStore();
    store->CreateFolders(store->ResolvePath({L""}), {L"bob's"});
}

TEST_F(ServerRepositoryTest, LoginsShareLocksAndOnlyTheAdministratorSetsFlags) {
    auto administrator = ConnectAsAdministrator()->OpenItemStore();
    const auto root = administrator->ResolvePath({L""});
    tarvo::FileCreateInfo info{tarvo::GenerateUuid(), L"plan.txt", tarvo::GenerateUuid()};
    administrator->CreateDocument(root, info, L"")->Close(true);
    const tarvo::IdPath document{root[0], info.id};

    const std::string alice = NewLogin("alice", "a-secret");
    const std::string bob = NewLogin("bob", "b-secret");
    auto aliceLink = ConnectAs(alice, "a-secret");
    auto aliceStore = aliceLink->OpenItemStore();
    auto bobStore = ConnectAs(bob, "b-secret")->OpenItemStore();

    std::wstring holder;
    ASSERT_EQ(aliceStore->LockForEdit(document, holder), tarvo::lock_state::kTaken);
    EXPECT_EQ(bobStore->LockForEdit(document, holder), tarvo::lock_state::kHeldByOther);
    // Who holds it: the login and the machine.
    EXPECT_NE(holder.find(Wide(alice)), std::wstring::npos);
    char host[256] = {};
    ::gethostname(host, sizeof(host) - 1);
    EXPECT_NE(holder.find(Wide(host)), std::wstring::npos);

    // Flags are the administrator's: a user may not change them.
    try {
        bobStore->SetItemAccess(document, {false, false});
        FAIL() << "a user changed the flags";
    } catch (const tarvo::TarvoError& error) {
        EXPECT_EQ(error.GetErrorCode(), tarvo::errc::AccessDenied);
    }
    m_server.Admin("UPDATE kelvo.items SET openable = false WHERE name = 'plan.txt'", m_database);
    EXPECT_FALSE(bobStore->CanOpen(bobStore->GetItemInfo(document)));
    m_server.Admin(
        "UPDATE kelvo.items SET visible = false, openable = true "
        "WHERE name = 'plan.txt'",
        m_database);
    EXPECT_FALSE(bobStore->GetItemInfo(document).IsVisible());
    EXPECT_TRUE(bobStore->CanOpen(bobStore->GetItemInfo(document)));
}

TEST_F(ServerRepositoryTest, ALinkTheServerDroppedIsReportedAndItsLocksAreFree) {
    auto link = ConnectAsAdministrator();
    auto store = link->OpenItemStore();
    const auto root = store->ResolvePath({L""});
    tarvo::FileCreateInfo info{tarvo::GenerateUuid(), L"doc", tarvo::GenerateUuid()};
    store->CreateDocument(root, info, L"")->Close(true);
    const tarvo::IdPath document{root[0], info.id};
    std::wstring holder;
    ASSERT_EQ(store->LockForEdit(document, holder), tarvo::lock_state::kTaken);

    m_server.DropSessions(m_database);

    // The probe that the drive makes before every open.
    try {
        link->GetRepositoryName();
        FAIL() << "a dropped link answered";
    } catch (const tarvo::TarvoError& error) {
        EXPECT_EQ(error.GetErrorCode(), tarvo::errc::NotConnected);
        EXPECT_NE(error.GetMessage().find(L"прервана"), std::wstring::npos) << error.what();
    }
    auto again = ConnectAsAdministrator();
    EXPECT_EQ(again->GetRepositoryName(), Wide(m_database));
    EXPECT_EQ(again->OpenItemStore()->LockForEdit(document, holder), tarvo::lock_state::kTaken);
}

}  // namespace
}  // namespace kelvo_test
