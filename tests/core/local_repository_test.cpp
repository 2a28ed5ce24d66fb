// What is particular to the local repository: where it lives, its name and its schema version.
#include "sqlite_inspection.h"
#include "sync_counting_vfs.h"
#include "test_content.h"
#include "test_support.h"

#include <tarvo/core.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace kelvo_test {
namespace {

std::int64_t AutoVacuumMode(const std::filesystem::path& database) {
    return SqliteNumber(database.string(), "PRAGMA auto_vacuum");
}

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

TEST_F(LocalRepositoryTest, CommitsWaitForTheDiskOnlyWhenASyncAsksForIt) {
    ScopedEnvironment environment("KELVO_DATA_DIR", DataFolder().string());
    SyncCountingVfs vfs;
    {
        auto repository = m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
        auto store = repository->OpenItemStore();
        const auto root = store->ResolvePath({L""});
        const auto document = CreateDocument(*store, root, L"doc");
        const int syncsBefore = vfs.Syncs();
        for (std::uint32_t round = 0; round < 5; ++round) {
            CommitVersion(*store, document, PatternBytes(1000, round));
            store->CreateFolders(root, {L"folder" + std::to_wstring(round)});
        }
        EXPECT_EQ(vfs.Syncs(), syncsBefore);

        repository->Sync();
        EXPECT_GT(vfs.Syncs(), syncsBefore);
    }
    // What was committed is there for the next link.
    auto again = m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    auto store = again->OpenItemStore();
    EXPECT_EQ(ReadFirstBlob(*store, store->ResolvePath({L"", L"doc"})), PatternBytes(1000, 4));
}

TEST_F(LocalRepositoryTest, ConvertsAnOlderFileOnceAndGivesTheSpaceOfDeletedContentBack) {
    ScopedEnvironment environment("KELVO_DATA_DIR", DataFolder().string());
    const auto file = DataFolder() / "local_repository.sqlite";
    m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    {
        // A file as programs that never gave space back made it.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "PRAGMA auto_vacuum=NONE; VACUUM;", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    ASSERT_EQ(AutoVacuumMode(file), 0);

    auto repository = m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    EXPECT_EQ(AutoVacuumMode(file), 2);  // incremental
    auto store = repository->OpenItemStore();
    const auto document = CreateDocument(*store, store->ResolvePath({L""}), L"large");
    constexpr std::uintmax_t kContent = 24u << 20;
    CommitVersion(*store, document, PatternBytes(kContent, 1));
    // The content reaches the file from the write-ahead log in the background, as space comes
    // back: both are waited for, up to a minute.
    const auto waitFor = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    };
    waitFor([&] { return std::filesystem::file_size(file) > kContent * 3 / 4; });
    const auto sizeWithContent = std::filesystem::file_size(file);
    ASSERT_GT(sizeWithContent, kContent * 3 / 4);

    store->DeleteItem(document);
    waitFor([&] { return std::filesystem::file_size(file) < sizeWithContent - kContent / 2; });
    EXPECT_LT(std::filesystem::file_size(file), sizeWithContent - kContent / 2);
    // The repository goes on as before.
    const auto next = CreateDocument(*store, store->ResolvePath({L""}), L"next");
    CommitVersion(*store, next, PatternBytes(5000, 2));
    EXPECT_EQ(ReadFirstBlob(*store, next), PatternBytes(5000, 2));
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
