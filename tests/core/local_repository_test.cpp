// What is particular to the local repository: where it lives, its name and its schema version.
#include "test_support.h"

#include <tarvo/core.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>

namespace kelvo_test {
namespace {

class LocalRepositoryTest : public ::testing::Test {
protected:
    std::filesystem::path DataFolder() const { return m_folder.path().toStdString(); }

    QTemporaryDir m_folder;
    std::shared_ptr<tarvo::ICore> m_core = tarvo::CreateCore();
};

TEST_F(LocalRepositoryTest, IsCreatedOnFirstConnectInTheDataFolder) {
    const auto dataFolder = DataFolder() / "nested" / "data";
    ScopedEnvironment environment("KELVO_DATA_DIR", dataFolder.string());
    auto repository = m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    EXPECT_EQ(repository->GetRepositoryName(), L"Локальное хранилище");
    EXPECT_TRUE(std::filesystem::exists(dataFolder / "local_repository.sqlite"));

    auto store = repository->OpenItemStore();
    store->CreateFolders(store->ResolvePath({L""}), {L"kept"});
    repository.reset();
    store.reset();
    // Connecting again opens the same repository.
    auto again = tarvo::CreateCore()->Connect(tarvo::endpoint::Local{}, tarvo::auth::Basic{});
    EXPECT_EQ(again->OpenItemStore()->ResolvePath({L"", L"kept"}).size(), 2u);
}

TEST_F(LocalRepositoryTest, FollowsTheXdgDataHomeWithoutAnOverride) {
    ScopedEnvironment noOverride("KELVO_DATA_DIR", "");
    ScopedEnvironment dataHome("XDG_DATA_HOME", DataFolder().string());
    m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    EXPECT_TRUE(std::filesystem::exists(DataFolder() / "KelvoDrive" / "local_repository.sqlite"));
}

TEST_F(LocalRepositoryTest, RefusesADatabaseOfANewerSchema) {
    ScopedEnvironment environment("KELVO_DATA_DIR", DataFolder().string());
    m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((DataFolder() / "local_repository.sqlite").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version=999", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    try {
        m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
        FAIL() << "a newer schema was accepted";
    } catch (const tarvo::TarvoError& error) {
        EXPECT_EQ(error.GetErrorCode(), tarvo::errc::StorageFailure);
        EXPECT_NE(error.GetMessage().find(L"999"), std::wstring::npos);
    }
}

TEST_F(LocalRepositoryTest, ReportsAnUnreachableDataFolder) {
    const auto blocker = DataFolder() / "file";
    std::filesystem::create_directories(DataFolder());
    { std::ofstream(blocker) << "x"; }
    ScopedEnvironment environment("KELVO_DATA_DIR", (blocker / "below").string());
    try {
        m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
        FAIL() << "connected below a file";
    } catch (const tarvo::TarvoError& error) {
        EXPECT_EQ(error.GetErrorCode(), tarvo::errc::NotConnected);
    }
}

TEST(BufferTest, HoldsItsCapacityAndRefusesMore) {
    auto buffer = tarvo::CreateBuffer(16);
    EXPECT_EQ(buffer->GetSize(), 16u);
    buffer->SetSize(3);
    EXPECT_EQ(buffer->GetSize(), 3u);
    buffer->SetSize(16);
    EXPECT_THROW(buffer->SetSize(17), tarvo::TarvoError);
    EXPECT_EQ(buffer->GetSize(), 16u);
    EXPECT_NE(tarvo::GenerateUuid(), tarvo::GenerateUuid());
}

}  // namespace
}  // namespace kelvo_test
