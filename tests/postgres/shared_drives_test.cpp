// Two drives of two different logins mounted for real on one repository on the PostgreSQL
// server: the edit lock between them, one version per save, each other's new files, and a link
// the server drops while the drives are mounted.
#include "child_process.h"
#include "test_server.h"

#include <FSDriver.h>
#include <dokan/dokan.h>
#include <logging/logging.h>
#include <test_support.h>
#include <win_compat/windows.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace kelvo_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

std::string ReadFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

// Writes the whole file through one descriptor; the errno of the open, 0 on success.
int WriteFile(const fs::path& path, const std::string& content) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (descriptor < 0) {
        return errno;
    }
    const bool written =
        ::write(descriptor, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    const bool closed = ::close(descriptor) == 0;
    return written && closed ? 0 : EIO;
}

// What a drive shows for a file changed through the other drive: the kernel keeps a file's size
// for a moment (the platform's attribute cache of about a second), so the new content shows within
// a couple of seconds rather than at once.
std::string ReadWhenChanged(const fs::path& path, const std::string& expected) {
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    std::string content = ReadFile(path);
    while (content != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
        content = ReadFile(path);
    }
    return content;
}

// One user's drive: a drive object of its own on its own drive thread, mounted for real.
class UserDrive {
public:
    UserDrive(const TestServer& server, const std::string& database, const std::string& login,
              const std::string& password, std::wstring mountPoint)
        : m_mountPoint(std::move(mountPoint)) {
        m_connection.name = Wide(database);
        m_connection.endpoint = server.Endpoint(database);
        m_connection.credentials = tarvo::auth::Basic{Wide(login), Wide(password)};
    }
    ~UserDrive() { Unmount(); }
    UserDrive(const UserDrive&) = delete;
    UserDrive& operator=(const UserDrive&) = delete;

    bool Mount() {
        m_drive = std::make_shared<KelvoFileSystem>(tarvo::CreateCore());
        auto mounted = std::make_shared<std::promise<bool>>();
        auto once = std::make_shared<std::once_flag>();
        auto signal = [mounted, once](bool result) {
            std::call_once(*once, [&] { mounted->set_value(result); });
        };
        m_drive->onMounted = [signal] { signal(true); };
        m_thread = std::thread(
            [drive = m_drive, connection = m_connection, mountPoint = m_mountPoint, signal] {
                RunDriveThread(drive, connection, mountPoint, L"");
                signal(false);
            });
        auto future = mounted->get_future();
        return future.wait_for(30s) == std::future_status::ready && future.get();
    }

    void Unmount() {
        if (m_thread.joinable()) {
            DokanRemoveMountPoint(m_mountPoint.c_str());
            m_thread.join();
        }
        m_drive.reset();
    }

    fs::path Root() const { return win_compat::MountPointFolder(m_mountPoint); }

private:
    tarvo_cm::Connection m_connection;
    std::wstring m_mountPoint;
    std::shared_ptr<KelvoFileSystem> m_drive;
    std::thread m_thread;
};

class SharedDrivesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = TestServer::UnavailableReason(); !reason.empty()) {
            GTEST_SKIP() << reason;
        }
        KELVO_REQUIRE_FUSE();
        ASSERT_TRUE(m_drivesFolder.isValid() && m_logFolder.isValid());
        m_drivesVariable = std::make_unique<ScopedEnvironment>("KELVO_DRIVES_DIR",
                                                               m_drivesFolder.path().toStdString());
        logging::Settings settings;
        settings.directory = m_logFolder.path().toStdString();
        logging::Initialize(settings);

        m_server = TestServer::FromEnvironment();
        m_database = m_server.CreateDatabase("kelvo_shared");
        m_alice = "alice_" + UniqueSuffix();
        m_bob = "bob_" + UniqueSuffix();
        m_server.CreateLogin(m_alice, "alice-secret");
        m_server.CreateLogin(m_bob, "bob-secret");
        // The administrator creates the repository; the users work in it.
        m_administrator = tarvo::CreateCore()
                              ->Connect(m_server.Endpoint(m_database),
                                        tarvo::auth::Basic{Wide(m_server.Superuser()), L""})
                              ->OpenItemStore();

        m_aliceDrive =
            std::make_unique<UserDrive>(m_server, m_database, m_alice, "alice-secret", L"P:\\");
        m_bobDrive =
            std::make_unique<UserDrive>(m_server, m_database, m_bob, "bob-secret", L"Q:\\");
        ASSERT_TRUE(m_aliceDrive->Mount()) << "alice's drive did not mount; see " << LogText();
        ASSERT_TRUE(m_bobDrive->Mount()) << "bob's drive did not mount; see " << LogText();
    }

    void TearDown() override {
        m_aliceDrive.reset();
        m_bobDrive.reset();
        m_administrator.reset();
        if (!m_database.empty()) {
            m_server.DropDatabase(m_database);
            for (const auto& login : {m_alice, m_bob}) {
                try {
                    m_server.Admin("DROP ROLE IF EXISTS " + login);
                } catch (const std::exception&) {
                }
            }
        }
        logging::Initialize(logging::Settings{});
    }

    std::size_t Versions(const std::wstring& name) {
        const auto path = m_administrator->ResolvePath({L"", name});
        return path.size() == 2 ? m_administrator->ListVersions(path).size() : 0;
    }

    std::string LogText() {
        logging::Flush();
        return ReadFile(fs::path(m_logFolder.path().toStdString()) / "KelvoDrive.log");
    }

    QTemporaryDir m_drivesFolder;
    QTemporaryDir m_logFolder;
    std::unique_ptr<ScopedEnvironment> m_drivesVariable;
    TestServer m_server;
    std::string m_database;
    std::string m_alice;
    std::string m_bob;
    std::shared_ptr<tarvo::IItemStore> m_administrator;
    std::unique_ptr<UserDrive> m_aliceDrive;
    std::unique_ptr<UserDrive> m_bobDrive;
};

TEST_F(SharedDrivesTest, AWriterHoldsTheDocumentAgainstTheOtherUserUntilItCloses) {
    const fs::path alicePlan = m_aliceDrive->Root() / "plan.txt";
    const fs::path bobPlan = m_bobDrive->Root() / "plan.txt";
    ASSERT_EQ(WriteFile(alicePlan, "first by alice"), 0);
    const std::size_t afterCreation = Versions(L"plan.txt");
    ASSERT_GE(afterCreation, 1u);

    // Alice keeps the document open for writing.
    const int aliceWriting = ::open(alicePlan.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(aliceWriting, 0) << std::strerror(errno);

    // Bob can read it but not write it, and his log says who holds it.
    EXPECT_EQ(ReadFile(bobPlan), "first by alice");
    EXPECT_EQ(::open(bobPlan.c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, EACCES);
    const std::string log = LogText();
    EXPECT_NE(log.find(m_alice), std::string::npos) << log;

    // Alice's save is one new version.
    const std::string second = "second by alice";
    ASSERT_EQ(::write(aliceWriting, second.data(), second.size()),
              static_cast<ssize_t>(second.size()));
    ASSERT_EQ(::close(aliceWriting), 0);
    EXPECT_EQ(Versions(L"plan.txt"), afterCreation + 1);
    EXPECT_EQ(ReadWhenChanged(bobPlan, second), second);

    // Now Bob may write, and his save is one new version too.
    ASSERT_EQ(WriteFile(bobPlan, "third by bob"), 0);
    EXPECT_EQ(Versions(L"plan.txt"), afterCreation + 2);
    EXPECT_EQ(ReadWhenChanged(alicePlan, "third by bob"), "third by bob");
}

TEST_F(SharedDrivesTest, EachSeesTheOthersNewFileWithinACoupleOfSeconds) {
    ASSERT_EQ(WriteFile(m_aliceDrive->Root() / "from alice.txt", "hello"), 0);
    const fs::path onBob = m_bobDrive->Root() / "from alice.txt";
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : fs::directory_iterator(m_bobDrive->Root())) {
            seen = seen || entry.path().filename() == "from alice.txt";
        }
        if (!seen) {
            std::this_thread::sleep_for(100ms);
        }
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(ReadFile(onBob), "hello");
}

TEST_F(SharedDrivesTest, TheNextOpenAfterTheServerDroppedTheLinksReconnects) {
    ASSERT_EQ(WriteFile(m_aliceDrive->Root() / "kept.txt", "before"), 0);
    // What a server restart does to its clients: every session of the database ends.
    m_administrator.reset();
    m_server.DropSessions(m_database);

    EXPECT_EQ(ReadFile(m_aliceDrive->Root() / "kept.txt"), "before");
    ASSERT_EQ(WriteFile(m_bobDrive->Root() / "kept.txt", "after"), 0);
    EXPECT_EQ(ReadWhenChanged(m_aliceDrive->Root() / "kept.txt", "after"), "after");
    // The lost link was noticed and logged.
    EXPECT_NE(LogText().find("прервана"), std::string::npos);
}

// A server of the test's own, started by scripts/with-postgres.sh, so that restarting it disturbs
// no other test. The script stops it when the marker file is gone.
class OwnServer {
public:
    OwnServer() {
        m_marker = fs::path(m_folder.path().toStdString()) / "server-wanted";
        std::ofstream(m_marker) << "remove to stop the server\n";
        const std::string report =
            "printf '%s\\n%s\\n%s\\n' \"$KELVO_TEST_PG_PORT\" \"$KELVO_TEST_PG_SUPERUSER\" "
            "\"$KELVO_TEST_PG_RESTART\"; waited=0; "
            "while [ -e \"$0\" ] && [ $waited -lt 3000 ]; do sleep 0.1; waited=$((waited+1)); done";
        m_script = std::make_unique<ChildProcess>(
            KELVO_SOURCE_ROOT "scripts/with-postgres.sh",
            std::vector<std::string>{"sh", "-c", report, m_marker.string()});
        const std::string port = m_script->ReadLine();
        const std::string superuser = m_script->ReadLine();
        m_restart = m_script->ReadLine();
        if (port.empty() || superuser.empty() || m_restart.empty()) {
            return;  // no PostgreSQL server binaries here
        }
        m_server =
            TestServer::At("127.0.0.1", static_cast<std::uint16_t>(std::stoi(port)), superuser);
        m_started = true;
    }
    ~OwnServer() {
        std::error_code ignored;
        fs::remove(m_marker, ignored);
        m_script->Wait();
    }

    bool Started() const { return m_started; }
    const TestServer& Server() const { return m_server; }
    // A fast shutdown (every session ends) and a start with the same settings.
    bool Restart() const { return std::system((m_restart + " >/dev/null").c_str()) == 0; }

private:
    QTemporaryDir m_folder;
    fs::path m_marker;
    std::unique_ptr<ChildProcess> m_script;
    std::string m_restart;
    TestServer m_server;
    bool m_started = false;
};

TEST(ServerRestartTest, TheNextOpenAfterARealRestartReconnects) {
    KELVO_REQUIRE_FUSE();
    OwnServer own;
    if (!own.Started()) {
        GTEST_SKIP() << "no PostgreSQL server could be started (scripts/with-postgres.sh)";
    }
    const TestServer& server = own.Server();
    QTemporaryDir drivesFolder;
    QTemporaryDir logFolder;
    ScopedEnvironment drivesVariable("KELVO_DRIVES_DIR", drivesFolder.path().toStdString());
    logging::Settings settings;
    settings.directory = logFolder.path().toStdString();
    logging::Initialize(settings);

    const std::string database = server.CreateDatabase("kelvo_restart");
    const std::string login = "carol_" + UniqueSuffix();
    server.CreateLogin(login, "carol-secret");
    tarvo::CreateCore()->Connect(server.Endpoint(database),
                                 tarvo::auth::Basic{Wide(server.Superuser()), L""});
    {
        UserDrive drive(server, database, login, "carol-secret", L"R:\\");
        ASSERT_TRUE(drive.Mount());
        ASSERT_EQ(WriteFile(drive.Root() / "kept.txt", "before the restart"), 0);

        ASSERT_TRUE(own.Restart());

        // The first open after the restart finds the link gone, connects again and goes on.
        EXPECT_EQ(ReadFile(drive.Root() / "kept.txt"), "before the restart");
        ASSERT_EQ(WriteFile(drive.Root() / "kept.txt", "after the restart"), 0);
        EXPECT_EQ(ReadWhenChanged(drive.Root() / "kept.txt", "after the restart"),
                  "after the restart");
    }
    logging::Flush();
    const std::string log = ReadFile(fs::path(logFolder.path().toStdString()) / "KelvoDrive.log");
    EXPECT_NE(log.find("прервана"), std::string::npos) << log;
    logging::Initialize(logging::Settings{});
}

}  // namespace
}  // namespace kelvo_test
