// Reading, writing, flushing and uploading through handles.
#include "DriveFixture.h"

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <QString>
#include <QTemporaryDir>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

namespace drive_test {
namespace {

class DriveContentTest : public DriveFixture {};

// --- Reading -------------------------------------------------------------------------------------

TEST_F(DriveContentTest, ReadsServeTheRequestedRange) {
    makeDocument(L"\\Doc", "0123456789");
    auto handle = open(L"\\Doc", kOpenExisting);
    EXPECT_EQ(read(*handle, 2, 3), "234");
    EXPECT_EQ(read(*handle, 8, 100), "89");
    // Exactly at the end nothing is read.
    EXPECT_EQ(read(*handle, 10, 4), "");
    // Beyond the end the whole buffer is reported, filled with zeros.
    EXPECT_EQ(read(*handle, 11, 4), std::string(4, '\0'));
    close(*handle);
}

TEST_F(DriveContentTest, ADocumentWithoutBlobsReadsEmpty) {
    makeDocument(L"\\Empty", "");
    auto handle = open(L"\\Empty", kOpenExisting);
    NTSTATUS status = 1;
    EXPECT_EQ(read(*handle, 0, 16, &status), "");
    EXPECT_EQ(status, STATUS_SUCCESS);
    close(*handle);
}

TEST_F(DriveContentTest, TwoHandlesShareOneDownloadWhichIsForgottenAfterBoth) {
    makeDocument(L"\\Doc", "shared content");
    auto first = open(L"\\Doc", kOpenExisting);
    auto second = open(L"\\Doc", kOpenExisting);
    m_faulty->clearCalls();
    EXPECT_EQ(readAll(*first), "shared content");
    EXPECT_EQ(readAll(*second), "shared content");
    EXPECT_EQ(m_faulty->count("OpenDocument"), 1);

    close(*first);
    EXPECT_EQ(m_drive->openDocuments.size(), 1u);  // the second handle still holds it
    close(*second);
    EXPECT_EQ(m_drive->openDocuments.size(), 0u);

    auto third = open(L"\\Doc", kOpenExisting);
    EXPECT_EQ(readAll(*third), "shared content");
    EXPECT_EQ(m_faulty->count("OpenDocument"), 2);
    close(*third);
}

TEST_F(DriveContentTest, AFailedDownloadIsRetriedAtTheNextRead) {
    makeDocument(L"\\Doc", "abc");
    auto handle = open(L"\\Doc", kOpenExisting);
    m_faulty->fail("OpenDocument", tarvo::errc::StorageFailure);
    NTSTATUS status = 0;
    read(*handle, 0, 3, &status);
    EXPECT_EQ(status, STATUS_UNEXPECTED_IO_ERROR);
    EXPECT_EQ(read(*handle, 0, 3, &status), "abc");
    EXPECT_EQ(status, STATUS_SUCCESS);
    close(*handle);
}

TEST_F(DriveContentTest, EveryHandleSeesEveryWriteAndSize) {
    makeDocument(L"\\Doc", "before, and more");
    auto writer = open(L"\\Doc", kOpenExisting, kWriteAccess);
    auto reader = open(L"\\Doc", kOpenExisting);
    ASSERT_EQ(write(*writer, 0, "AFTER!"), STATUS_SUCCESS);
    EXPECT_EQ(readAll(*writer), "AFTER!, and more");
    EXPECT_EQ(readAll(*reader), "AFTER!, and more");
    ASSERT_EQ(m_operations.SetEndOfFile(L"\\Doc", 3, &reader->info), STATUS_SUCCESS);
    EXPECT_EQ(readAll(*writer), "AFT");
    for (Handle* handle : {writer.get(), reader.get()}) {
        BY_HANDLE_FILE_INFORMATION information{};
        ASSERT_EQ(m_operations.GetFileInformation(L"\\Doc", &information, &handle->info),
                  STATUS_SUCCESS);
        EXPECT_EQ(information.nFileSizeLow, 3u);
    }
    // A handle that asked for attributes only, and the listing, see the same.
    auto attributes = open(L"\\Doc", kOpenExisting, FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION information{};
    ASSERT_EQ(m_operations.GetFileInformation(L"\\Doc", &information, &attributes->info),
              STATUS_SUCCESS);
    EXPECT_EQ(information.nFileSizeLow, 3u);
    EXPECT_EQ(list(L"\\").at(1).nFileSizeLow, 3u);
    close(*attributes);
    close(*reader);
    close(*writer);
    EXPECT_EQ(contentOf(L"\\Doc"), "AFT");
}

TEST_F(DriveContentTest, ASaveOnTheDriveIsSeenByHandlesOpenedBeforeAndAfter) {
    makeDocument(L"\\Doc", "old");
    auto holder = open(L"\\Doc", kOpenExisting);
    EXPECT_EQ(readAll(*holder), "old");
    save(L"\\Doc", "new");
    auto later = open(L"\\Doc", kOpenExisting);
    EXPECT_EQ(readAll(*later), "new");
    EXPECT_EQ(readAll(*holder), "new");
    close(*later);
    close(*holder);
}

TEST_F(DriveContentTest, TheServiceFileHoldsTheRepositoryName) {
    const std::wstring name = repositoryName();
    auto handle = open(L"\\.kelvo_drive", kOpenExisting, kWriteAccess);
    const std::string content = readAll(*handle);
    EXPECT_EQ(content, QString::fromStdWString(name).toStdString());
    EXPECT_EQ(write(*handle, 0, "x"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(flush(*handle), STATUS_SUCCESS);
    BY_HANDLE_FILE_INFORMATION information{};
    EXPECT_EQ(m_operations.GetFileInformation(L"\\.kelvo_drive", &information, &handle->info),
              STATUS_SUCCESS);
    EXPECT_EQ(information.dwFileAttributes, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(information.nFileSizeLow, content.size());
    close(*handle);
}

TEST_F(DriveContentTest, OperationsWithoutAContextAreRefused) {
    Handle none;
    none.path = L"\\Doc";
    none.info.DokanOptions = &m_options;
    NTSTATUS status = 0;
    read(none, 0, 1, &status);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(write(none, 0, "x"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(flush(none), STATUS_ACCESS_DENIED);
    EXPECT_EQ(m_operations.SetEndOfFile(L"\\Doc", 0, &none.info), STATUS_ACCESS_DENIED);
    BY_HANDLE_FILE_INFORMATION information{};
    EXPECT_EQ(m_operations.GetFileInformation(L"\\Doc", &information, &none.info),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(move(none, L"\\Other", false), STATUS_ACCESS_DENIED);
}

// --- Writing -------------------------------------------------------------------------------------

TEST_F(DriveContentTest, WritingPartOfADocumentKeepsTheRest) {
    makeDocument(L"\\Doc", "hello world");
    auto handle = open(L"\\Doc", kOpenExisting, kWriteAccess);
    ASSERT_EQ(write(*handle, 0, "HELLO"), STATUS_SUCCESS);
    close(*handle);
    EXPECT_EQ(contentOf(L"\\Doc"), "HELLO world");
}

TEST_F(DriveContentTest, WritesGrowTheContentWithZeros) {
    auto handle = open(L"\\Doc", kCreateAlways, kWriteAccess);
    DWORD written = 0;
    ASSERT_EQ(write(*handle, 100, "0123456789", &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 10u);
    close(*handle);
    EXPECT_EQ(contentOf(L"\\Doc"), std::string(100, '\0') + "0123456789");
}

TEST_F(DriveContentTest, AnOffsetOfMinusOneAppendsAtTheEndAsItIsNow) {
    makeDocument(L"\\Doc", "abc");
    auto handle = open(L"\\Doc", kOpenExisting, kWriteAccess);
    ASSERT_EQ(write(*handle, -1, "def"), STATUS_SUCCESS);
    ASSERT_EQ(write(*handle, -1, "ghi"), STATUS_SUCCESS);
    close(*handle);
    EXPECT_EQ(contentOf(L"\\Doc"), "abcdefghi");
}

TEST_F(DriveContentTest, AnEmptyWriteChangesNothing) {
    makeDocument(L"\\Doc", "abc");
    const std::size_t versions = versionCount(L"\\Doc");
    auto handle = open(L"\\Doc", kOpenExisting, kWriteAccess);
    DWORD written = 7;
    EXPECT_EQ(write(*handle, 0, "", &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 0u);
    close(*handle);
    EXPECT_EQ(versionCount(L"\\Doc"), versions);
}

TEST_F(DriveContentTest, EndOfFileCutsOrExtendsWhatTheHandleUploads) {
    makeDocument(L"\\Doc", "0123456789");
    auto cut = open(L"\\Doc", kOpenExisting, kWriteAccess);
    EXPECT_EQ(m_operations.SetEndOfFile(L"\\Doc", 4, &cut->info), STATUS_SUCCESS);
    close(*cut);
    EXPECT_EQ(contentOf(L"\\Doc"), "0123");

    auto extended = open(L"\\Doc", kOpenExisting, kWriteAccess);
    EXPECT_EQ(m_operations.SetAllocationSize(L"\\Doc", 6, &extended->info), STATUS_SUCCESS);
    close(*extended);
    EXPECT_EQ(contentOf(L"\\Doc"), std::string("0123") + std::string(2, '\0'));

    auto emptied = open(L"\\Doc", kOpenExisting, kWriteAccess);
    EXPECT_EQ(m_operations.SetEndOfFile(L"\\Doc", 0, &emptied->info), STATUS_SUCCESS);
    close(*emptied);
    EXPECT_EQ(contentOf(L"\\Doc"), "");
}

// --- Flush and upload ----------------------------------------------------------------------------

// A flush saves what changed through the handle, a size change as well as a write, so that a
// failure reaches the close() or fsync(); the cut of a truncating open waits for what is written
// next.
TEST_F(DriveContentTest, FlushUploadsEachChangeOnceAndNothingElse) {
    makeDocument(L"\\Doc", "v1");
    const std::size_t versions = versionCount(L"\\Doc");
    auto handle = open(L"\\Doc", kTruncateExisting, kWriteAccess);
    EXPECT_EQ(flush(*handle), STATUS_SUCCESS);
    EXPECT_EQ(versionCount(L"\\Doc"), versions);

    ASSERT_EQ(write(*handle, 0, "v2"), STATUS_SUCCESS);
    EXPECT_EQ(flush(*handle), STATUS_SUCCESS);
    EXPECT_EQ(versionCount(L"\\Doc"), versions + 1);
    EXPECT_EQ(contentOf(L"\\Doc"), "v2");
    EXPECT_EQ(flush(*handle), STATUS_SUCCESS);
    EXPECT_EQ(versionCount(L"\\Doc"), versions + 1);

    ASSERT_EQ(m_operations.SetEndOfFile(L"\\Doc", 1, &handle->info), STATUS_SUCCESS);
    m_faulty->fail("BeginVersion", tarvo::errc::DiskFull);
    EXPECT_EQ(flush(*handle), STATUS_DISK_FULL);
    EXPECT_EQ(flush(*handle), STATUS_SUCCESS);
    EXPECT_EQ(contentOf(L"\\Doc"), "v");
    close(*handle);
    EXPECT_EQ(versionCount(L"\\Doc"), versions + 2);

    // Nothing changed through a handle: its flush saves nothing.
    auto reader = open(L"\\Doc", kOpenExisting, kWriteAccess);
    EXPECT_EQ(flush(*reader), STATUS_SUCCESS);
    close(*reader);
    EXPECT_EQ(versionCount(L"\\Doc"), versions + 2);
}

TEST_F(DriveContentTest, UploadsKeepTheDocumentsBlobCategoryOrUseTheDefault) {
    makeDocument(L"\\Kept", "x");
    const auto category = firstBlobOf(L"\\Kept").category;
    save(L"\\Kept", "y");
    EXPECT_EQ(firstBlobOf(L"\\Kept").category, category);

    save(L"\\Fresh", "z");
    EXPECT_EQ(firstBlobOf(L"\\Fresh").category,
              boost::uuids::string_generator()("52de16cc-257a-41f2-92c7-e40d64c6ed23"));
}

TEST_F(DriveContentTest, AnUnreadableCategoryIsAWarningAndTheUploadGoesOn) {
    makeDocument(L"\\Doc", "x");
    auto handle = open(L"\\Doc", kOpenExisting, kWriteAccess);
    ASSERT_EQ(write(*handle, 0, "y"), STATUS_SUCCESS);
    m_faulty->fail("OpenDocument", tarvo::errc::StorageFailure);
    testing::internal::CaptureStderr();
    EXPECT_EQ(flush(*handle), STATUS_SUCCESS);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Не удалось прочитать категорию блоба для записи"), std::string::npos)
        << log;
    close(*handle);
    EXPECT_EQ(contentOf(L"\\Doc"), "y");
}

TEST_F(DriveContentTest, AnUploadRefusedOrFailedKeepsThePendingContentForTheNextFlush) {
    const auto ids = makeDocument(L"\\Doc", "x");
    auto handle = open(L"\\Doc", kOpenExisting, kReadAccess);
    ASSERT_EQ(write(*handle, 0, "mine"), STATUS_SUCCESS);

    std::wstring holder;
    ASSERT_EQ(m_other->LockForEdit(ids, holder), tarvo::lock_state::kTaken);
    EXPECT_EQ(flush(*handle), STATUS_ACCESS_DENIED);
    m_other->Unlock(ids);

    m_faulty->fail("BeginVersion", tarvo::errc::StorageFailure);
    EXPECT_EQ(flush(*handle), STATUS_UNEXPECTED_IO_ERROR);
    EXPECT_EQ(contentOf(L"\\Doc"), "x");

    EXPECT_EQ(flush(*handle), STATUS_SUCCESS);
    EXPECT_EQ(contentOf(L"\\Doc"), "mine");
    close(*handle);
    // The upload took the lock by itself and gave it back.
    EXPECT_EQ(m_other->LockForEdit(ids, holder), tarvo::lock_state::kTaken);
    m_other->Unlock(ids);
}

TEST_F(DriveContentTest, LargeContentIsUploadedInChunks) {
    std::string content(5 * 1024 * 1024 + 123, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 7919) >> 5);
    }
    save(L"\\Large", content);
    EXPECT_TRUE(contentOf(L"\\Large") == content);
    auto handle = open(L"\\Large", kOpenExisting);
    EXPECT_TRUE(readAll(*handle) == content);
    close(*handle);
}

// --- Nothing saved is lost silently --------------------------------------------------------------

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::exists(folder)) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            files.push_back(entry.path());
        }
    }
    return files;
}

// The log record that mentions the text; empty when none does.
std::string LogLineWith(const std::string& log, const std::string& text) {
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end;
        const std::string line = log.substr(start, end - start);
        if (line.find(text) != std::string::npos) {
            return line;
        }
        start = end + 1;
    }
    return {};
}

// A record of severity 4 from the drive.
bool IsErrorRecord(const std::string& line) {
    return line.find("Driver") != std::string::npos &&
           (line.find("[4]") != std::string::npos || line.rfind("4 ", 0) == 0);
}

std::string FileContent(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

TEST_F(DriveContentTest, ContentThatCannotBeUploadedAtCleanupGoesToTheRecoveryFolder) {
    const auto ids = makeDocument(L"\\Report.txt", "original");
    const std::filesystem::path recovery =
        std::filesystem::path(m_dataFolder.path().toStdString()) / "recovery";

    // The user hears of each loss, with the document and where its content went.
    std::vector<DriveNotice> notices;
    std::mutex noticesMutex;
    m_drive->onNotice = [&](const DriveNotice& notice) {
        std::lock_guard<std::mutex> lock(noticesMutex);
        notices.push_back(notice);
    };

    // A library error.
    auto failing = open(L"\\Report.txt", kOpenExisting, kWriteAccess);
    ASSERT_EQ(write(*failing, 0, "first edit"), STATUS_SUCCESS);
    m_faulty->fail("BeginVersion", tarvo::errc::StorageFailure);
    testing::internal::CaptureStderr();
    close(*failing);
    const std::string log = testing::internal::GetCapturedStderr();
    auto files = FilesIn(recovery);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(FileContent(files[0]), "first edit");
    const std::string fileName = files[0].filename().string();
    EXPECT_NE(fileName.find(boost::uuids::to_string(ids.back())), std::string::npos) << fileName;
    EXPECT_NE(fileName.find("Report.txt"), std::string::npos) << fileName;
    const std::string line = LogLineWith(log, files[0].string());
    EXPECT_TRUE(IsErrorRecord(line)) << log;
    EXPECT_EQ(contentOf(L"\\Report.txt"), "original");
    {
        std::lock_guard<std::mutex> lock(noticesMutex);
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].kind, DriveNotice::Kind::UploadFailed);
        EXPECT_EQ(notices[0].document, L"Report.txt");
        EXPECT_NE(notices[0].detail.find(files[0].wstring()), std::wstring::npos);
    }

    // A lock that someone else took meanwhile.
    auto refused = open(L"\\Report.txt", kOpenExisting, kReadAccess);
    ASSERT_EQ(write(*refused, 0, "second edit"), STATUS_SUCCESS);
    std::wstring holder;
    ASSERT_EQ(m_other->LockForEdit(ids, holder), tarvo::lock_state::kTaken);
    close(*refused);
    m_other->Unlock(ids);
    files = FilesIn(recovery);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(FileContent(files[0]) == "second edit" || FileContent(files[1]) == "second edit");
    m_drive->onNotice = nullptr;
    EXPECT_EQ(notices.size(), 2u);
}

TEST_F(DriveContentTest, DiskFullAtUploadIsReportedAndTheRecoveryCopyIsWhole) {
    makeDocument(L"\\Big.bin", "old");
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 31 + (i >> 12));
    }
    const std::filesystem::path data = m_dataFolder.path().toStdString();
    QTemporaryDir runtime;
    const kelvo_test::ScopedEnvironment runtimeFolder("XDG_RUNTIME_DIR",
                                                      runtime.path().toStdString());
    struct Row {
        const char* name;
        bool firstPlaceBlocked;  // the data folder's recovery folder cannot be made
        std::filesystem::path expectedFolder;
    };
    const Row rows[] = {
        {"the data folder takes it", false, data / "recovery"},
        {"a second place takes it", true,
         std::filesystem::path(runtime.path().toStdString()) / "KelvoDrive" / "recovery"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(data / "recovery");
        if (row.firstPlaceBlocked) {
            std::ofstream(data / "recovery") << "in the way";
        }
        auto handle = open(L"\\Big.bin", kOpenExisting, kWriteAccess);
        ASSERT_EQ(write(*handle, 0, content), STATUS_SUCCESS);
        m_faulty->fail("BeginVersion", tarvo::errc::DiskFull, -1);
        EXPECT_EQ(flush(*handle), STATUS_DISK_FULL);
        testing::internal::CaptureStderr();
        close(*handle);
        const std::string log = testing::internal::GetCapturedStderr();
        m_faulty->clearFaults();
        const auto files = FilesIn(row.expectedFolder);
        ASSERT_EQ(files.size(), 1u) << log;  // no temporary file left beside it
        EXPECT_TRUE(FileContent(files[0]) == content);
        EXPECT_EQ(std::filesystem::status(files[0]).permissions() & std::filesystem::perms::all,
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        EXPECT_TRUE(IsErrorRecord(LogLineWith(log, files[0].string()))) << log;
        EXPECT_EQ(contentOf(L"\\Big.bin"), "old");
        std::filesystem::remove_all(data / "recovery");
        std::filesystem::remove_all(row.expectedFolder);
    }
}

TEST_F(DriveContentTest, AFailedUnlockAfterTheCommitNeverUploadsTheVersionAgain) {
    makeDocument(L"\\Doc", "v1");
    const std::size_t versions = versionCount(L"\\Doc");
    // The lock held by the writing handles, given back at the last one's end.
    auto writer = open(L"\\Doc", kOpenExisting, kWriteAccess);
    ASSERT_EQ(write(*writer, 0, "v2"), STATUS_SUCCESS);
    m_faulty->fail("Unlock", tarvo::errc::NotConnected);
    close(*writer);
    EXPECT_EQ(versionCount(L"\\Doc"), versions + 1);
    // The lock taken for one upload by a handle that opened for reading.
    auto reader = open(L"\\Doc", kOpenExisting);
    ASSERT_EQ(write(*reader, 0, "v3"), STATUS_SUCCESS);
    m_faulty->fail("Unlock", tarvo::errc::NotConnected);
    EXPECT_EQ(flush(*reader), STATUS_SUCCESS);
    EXPECT_EQ(flush(*reader), STATUS_SUCCESS);
    close(*reader);
    EXPECT_EQ(versionCount(L"\\Doc"), versions + 2);
    EXPECT_EQ(contentOf(L"\\Doc"), "v3");
    EXPECT_TRUE(
        FilesIn(std::filesystem::path(m_dataFolder.path().toStdString()) / "recovery").empty());
}

TEST_F(DriveContentTest, AWriterStartsFromTheNewestVersionWhileOldReadersKeepTheirs) {
    makeDocument(L"\\Doc", "version one");
    auto reader = open(L"\\Doc", kOpenExisting);
    EXPECT_EQ(readAll(*reader), "version one");
    commitElsewhere(L"\\Doc", "version two");

    auto writer = open(L"\\Doc", kOpenExisting, kWriteAccess);
    ASSERT_EQ(write(*writer, 0, "V"), STATUS_SUCCESS);
    close(*writer);
    EXPECT_EQ(contentOf(L"\\Doc"), "Version two");
    EXPECT_EQ(readAll(*reader), "version one");
    auto later = open(L"\\Doc", kOpenExisting);
    EXPECT_EQ(readAll(*later), "Version two");
    close(*later);
    close(*reader);
}

// The handles learnt the size of the first version; their content comes from the second.
TEST_F(DriveContentTest, ContentAskedForAfterAnotherSaveHasThatSavesSize) {
    makeDocument(L"\\Read", "version one");
    makeDocument(L"\\Write", "version one");
    auto reader = open(L"\\Read", kOpenExisting, FILE_READ_ATTRIBUTES);
    auto writer = open(L"\\Write", kOpenExisting, FILE_READ_ATTRIBUTES);
    commitElsewhere(L"\\Read", "v2");
    commitElsewhere(L"\\Write", "v2");

    EXPECT_EQ(read(*reader, 0, 64), "v2");
    ASSERT_EQ(write(*writer, 0, "V"), STATUS_SUCCESS);
    BY_HANDLE_FILE_INFORMATION information{};
    ASSERT_EQ(m_operations.GetFileInformation(L"\\Write", &information, &writer->info),
              STATUS_SUCCESS);
    EXPECT_EQ(information.nFileSizeLow, 2u);
    close(*writer);
    close(*reader);
    EXPECT_EQ(contentOf(L"\\Write"), "V2");
}

TEST_F(DriveContentTest, TheEditLockStaysWhileAnyWritingHandleIsOpen) {
    const auto ids = makeDocument(L"\\Doc", "x");
    auto first = open(L"\\Doc", kOpenExisting, kWriteAccess);
    auto second = open(L"\\Doc", kOpenExisting, kWriteAccess);
    EXPECT_EQ(m_faulty->count("LockForEdit"), 1);
    std::wstring holder;
    close(*first);
    EXPECT_EQ(m_other->LockForEdit(ids, holder), tarvo::lock_state::kHeldByOther);
    ASSERT_EQ(write(*second, 0, "y"), STATUS_SUCCESS);
    close(*second);
    EXPECT_EQ(contentOf(L"\\Doc"), "y");
    EXPECT_EQ(m_other->LockForEdit(ids, holder), tarvo::lock_state::kTaken);
    m_other->Unlock(ids);
}

TEST_F(DriveContentTest, ADocumentDeletedWhileOpenIsStillServedAndNeverUploaded) {
    makeDocument(L"\\Doc", std::string(2 * 1024 * 1024, 'd'));
    auto reader = open(L"\\Doc", kOpenExisting);  // nothing read yet
    auto writer = open(L"\\Doc", kOpenExisting, kWriteAccess);
    ASSERT_EQ(write(*writer, 0, "changed"), STATUS_SUCCESS);
    auto remover = open(L"\\Doc", kOpenExisting, DELETE);
    remover->info.DeleteOnClose = TRUE;
    close(*remover);
    EXPECT_FALSE(find(L"\\Doc"));

    ASSERT_EQ(write(*writer, -1, "!"), STATUS_SUCCESS);
    const std::string expected = "changed" + std::string(2 * 1024 * 1024 - 7, 'd') + "!";
    EXPECT_TRUE(readAll(*reader) == expected);
    BY_HANDLE_FILE_INFORMATION information{};
    ASSERT_EQ(m_operations.GetFileInformation(L"\\Doc", &information, &writer->info),
              STATUS_SUCCESS);
    EXPECT_EQ(information.nFileSizeLow, expected.size());
    m_faulty->clearCalls();
    EXPECT_EQ(flush(*writer), STATUS_SUCCESS);
    close(*writer);
    close(*reader);
    EXPECT_EQ(m_faulty->count("BeginVersion"), 0);
    EXPECT_TRUE(
        FilesIn(std::filesystem::path(m_dataFolder.path().toStdString()) / "recovery").empty());
}

// The working copies' disk is a small file system of its own for this test.
class CacheDiskFullTest : public DriveContentTest {
protected:
    void SetUp() override {
        DriveContentTest::SetUp();
        m_cache = std::filesystem::path(m_dataFolder.path().toStdString()) / "cache";
        std::filesystem::create_directories(m_cache);
        if (::mount("tmpfs", m_cache.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
            GTEST_SKIP() << "cannot mount a small file system here (needs CAP_SYS_ADMIN): "
                         << std::strerror(errno);
        }
        m_mounted = true;
    }
    void TearDown() override {
        DriveContentTest::TearDown();  // the drive's files go first
        if (m_mounted) {
            ::umount2(m_cache.c_str(), MNT_DETACH);
        }
    }
    std::filesystem::path m_cache;
    bool m_mounted = false;
};

TEST_F(CacheDiskFullTest, AWriteThatDoesNotFitFailsWithDiskFullAndLosesNothing) {
    makeDocument(L"\\Doc", "committed");
    const std::size_t versions = versionCount(L"\\Doc");
    auto handle = open(L"\\Doc", kOpenExisting, kWriteAccess);
    const std::string block(256 * 1024, 'b');
    NTSTATUS status = STATUS_SUCCESS;
    std::size_t written = 0;
    while (status == STATUS_SUCCESS && written < 16 * block.size()) {
        status = write(*handle, static_cast<LONGLONG>(written), block);
        written += status == STATUS_SUCCESS ? block.size() : 0;
    }
    EXPECT_EQ(status, STATUS_DISK_FULL);
    close(*handle);
    // As on a local disk: what was written before the disk filled up is kept, as a new version.
    EXPECT_EQ(versionCount(L"\\Doc"), versions + 1);
    const auto content = contentOf(L"\\Doc");
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), written);
    EXPECT_EQ(content->find_first_not_of('b'), std::string::npos);
}

TEST_F(DriveContentTest, ASuccessfulCleanupLeavesNoRecoveryFile) {
    save(L"\\Doc", "content");
    EXPECT_TRUE(
        FilesIn(std::filesystem::path(m_dataFolder.path().toStdString()) / "recovery").empty());
}

}  // namespace
}  // namespace drive_test
