// Item information, listings, delete and move.
#include "DriveFixture.h"

#include <FileTimes.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <QString>

#include <algorithm>

namespace drive_test {
namespace {

class DriveItemsTest : public DriveFixture {};

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// --- Information and listings --------------------------------------------------------------------

TEST(FileTimesTest, TimesKeepWholeSecondsOnly) {
    const ptime noon = time_from_string("2024-03-01 12:00:00.000");
    const ptime almostOne = time_from_string("2024-03-01 12:00:00.999");
    EXPECT_EQ(Ticks(file_times::FromDateTime(almostOne)), Ticks(file_times::FromDateTime(noon)));
    EXPECT_EQ(Ticks(file_times::FromDateTime(time_from_string("1601-01-01 00:00:01"))),
              10'000'000u);
    EXPECT_EQ(Ticks(file_times::FromDateTime(ptime())), 0u);
    EXPECT_EQ(Ticks(file_times::FromDateTime(ptime(boost::posix_time::pos_infin))), 0u);
    EXPECT_EQ(Ticks(file_times::FromDateTime(time_from_string("1600-12-31 23:59:59"))), 0u);
}

TEST_F(DriveItemsTest, TheRootListsTheHiddenServiceFileFirst) {
    makeFolder(L"\\Folder");
    makeDocument(L"\\Doc.txt", "12345");
    const auto records = list(L"\\");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(std::wstring(records[0].cFileName), L".kelvo_drive");
    EXPECT_EQ(records[0].dwFileAttributes, FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(records[0].nFileSizeLow,
              QString::fromStdWString(repositoryName()).toStdString().size());
    for (std::size_t i = 1; i < records.size(); ++i) {
        const std::wstring name = records[i].cFileName;
        if (name == L"Folder") {
            EXPECT_EQ(records[i].dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
        } else {
            EXPECT_EQ(name, L"Doc.txt");
            EXPECT_EQ(records[i].dwFileAttributes, 0u);
            EXPECT_EQ(records[i].nFileSizeLow, 5u);
            EXPECT_EQ(Ticks(records[i].ftLastWriteTime) % 10'000'000u, 0u);
            EXPECT_NE(Ticks(records[i].ftLastWriteTime), 0u);
        }
    }
    makeDocument(L"\\Folder\\Inner", "");
    EXPECT_EQ(listNames(L"\\Folder"), std::vector<std::wstring>{L"Inner"});
}

TEST_F(DriveItemsTest, ListingsLeaveOutInvisibleItemsAndNamesTooLongForTheRecord) {
    makeFolder(L"\\F");
    const auto hidden = makeDocument(L"\\F\\Hidden", "");
    tarvo::ItemAccess access;
    access.visible = false;
    m_store->SetItemAccess(hidden, access);
    const std::wstring fits(259, L'n');
    const std::wstring tooLong(260, L'l');
    makeDocument(L"\\F\\" + fits, "");
    makeDocument(L"\\F\\" + tooLong, "");
    EXPECT_EQ(listNames(L"\\F"), std::vector<std::wstring>{fits});
}

TEST_F(DriveItemsTest, AFolderThatNoLongerResolvesListsNothing) {
    makeFolder(L"\\A");
    makeDocument(L"\\A\\Doc", "");
    NTSTATUS status = 1;
    EXPECT_TRUE(list(L"\\A\\Gone", &status).empty());
    EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST_F(DriveItemsTest, ListingErrorsKeepWhatWasListedAndCode17IsSilent) {
    makeFolder(L"\\F");
    m_faulty->fail("ListChildren", tarvo::errc::ItemNotFound);
    testing::internal::CaptureStderr();
    NTSTATUS status = 1;
    const auto records = list(L"\\", &status);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(records.size(), 1u);  // the service file came first
    EXPECT_EQ(log.find("Injected"), std::string::npos) << log;

    m_faulty->fail("ListChildren", tarvo::errc::StorageFailure);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(list(L"\\F", &status).empty());
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_NE(log.find("Injected failure of ListChildren"), std::string::npos) << log;
}

TEST_F(DriveItemsTest, InformationDescribesTheDocumentAsItIsNow) {
    makeDocument(L"\\Doc", "abc");
    auto handle = open(L"\\Doc", kOpenExisting, kWriteAccess);
    ASSERT_EQ(write(*handle, 0, "much longer content"), STATUS_SUCCESS);
    BY_HANDLE_FILE_INFORMATION information{};
    ASSERT_EQ(m_operations.GetFileInformation(L"\\Doc", &information, &handle->info),
              STATUS_SUCCESS);
    EXPECT_EQ(information.nFileSizeLow, 19u);
    EXPECT_EQ(information.dwFileAttributes, 0u);
    EXPECT_EQ(information.nNumberOfLinks, 1u);
    EXPECT_EQ(Ticks(information.ftCreationTime) % 10'000'000u, 0u);
    close(*handle);

    makeFolder(L"\\Folder");
    auto folder = open(L"\\Folder", kOpenExisting);
    ASSERT_EQ(m_operations.GetFileInformation(L"\\Folder", &information, &folder->info),
              STATUS_SUCCESS);
    EXPECT_EQ(information.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    close(*folder);
}

// --- Delete --------------------------------------------------------------------------------------

TEST_F(DriveItemsTest, DeleteFileIsACheckAndTheDocumentGoesAtCleanup) {
    makeDocument(L"\\Doc", "x");
    makeFolder(L"\\Folder");
    auto folder = open(L"\\Folder", kOpenExisting);
    EXPECT_EQ(m_operations.DeleteFile(L"\\Folder", &folder->info), STATUS_ACCESS_DENIED);
    close(*folder);

    auto handle = open(L"\\Doc", kOpenExisting);
    EXPECT_EQ(m_operations.DeleteFile(L"\\Doc", &handle->info), STATUS_SUCCESS);
    EXPECT_TRUE(find(L"\\Doc"));
    // The edit lock is held until the delete at cleanup.
    std::wstring holder;
    EXPECT_EQ(m_other->LockForEdit(*find(L"\\Doc"), holder), tarvo::lock_state::kHeldByOther);
    handle->info.DeleteOnClose = TRUE;
    close(*handle);
    EXPECT_FALSE(find(L"\\Doc"));
}

TEST_F(DriveItemsTest, DeleteOnCloseRemovesTheItemTheHandleOpened) {
    makeDocument(L"\\Doc", "x");
    auto handle = open(L"\\Doc", kOpenExisting);
    // Another document took the name meanwhile (a save by renaming over it).
    m_store->RenameItem(*find(L"\\Doc"), L"Doc.old");
    makeDocument(L"\\Doc", "newer");
    handle->info.DeleteOnClose = TRUE;
    close(*handle);
    EXPECT_FALSE(find(L"\\Doc.old"));
    EXPECT_EQ(contentOf(L"\\Doc"), "newer");
}

TEST_F(DriveItemsTest, DeleteDirectoryDeletesOnlyEmptyFolders) {
    makeFolder(L"\\Empty");
    makeFolder(L"\\Full");
    const auto hidden = makeDocument(L"\\Full\\Hidden", "");
    tarvo::ItemAccess access;
    access.visible = false;
    m_store->SetItemAccess(hidden, access);

    // Without the delete mark the call is a check only.
    auto notMarked = open(L"\\Empty", kOpenExisting);
    EXPECT_EQ(m_operations.DeleteDirectory(L"\\Empty", &notMarked->info), STATUS_SUCCESS);
    close(*notMarked);
    EXPECT_TRUE(find(L"\\Empty"));
    auto notMarkedFull = open(L"\\Full", kOpenExisting);
    EXPECT_EQ(m_operations.DeleteDirectory(L"\\Full", &notMarkedFull->info),
              STATUS_DIRECTORY_NOT_EMPTY);
    close(*notMarkedFull);

    auto full = open(L"\\Full", kOpenExisting);
    full->info.DeleteOnClose = TRUE;
    EXPECT_EQ(m_operations.DeleteDirectory(L"\\Full", &full->info), STATUS_DIRECTORY_NOT_EMPTY);
    full->info.DeleteOnClose = FALSE;
    close(*full);
    EXPECT_TRUE(find(L"\\Full"));

    auto empty = open(L"\\Empty", kOpenExisting);
    empty->info.DeleteOnClose = TRUE;
    EXPECT_EQ(m_operations.DeleteDirectory(L"\\Empty", &empty->info), STATUS_SUCCESS);
    EXPECT_FALSE(find(L"\\Empty"));
    close(*empty);  // deletes again: the folder is gone, nothing happens

    Handle missing;
    missing.info.DokanOptions = &m_options;
    missing.info.DeleteOnClose = TRUE;
    EXPECT_EQ(m_operations.DeleteDirectory(L"\\Missing", &missing.info),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DriveItemsTest, LibraryErrorsDuringAFolderDeleteAreRefusals) {
    makeFolder(L"\\F");
    Handle handle;
    handle.info.DokanOptions = &m_options;
    handle.info.DeleteOnClose = TRUE;
    m_faulty->fail("DeleteItem", tarvo::errc::ItemNotFound);
    testing::internal::CaptureStderr();
    EXPECT_EQ(m_operations.DeleteDirectory(L"\\F", &handle.info), STATUS_ACCESS_DENIED);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("Injected"), std::string::npos);
    m_faulty->fail("DeleteItem", tarvo::errc::StorageFailure);
    testing::internal::CaptureStderr();
    EXPECT_EQ(m_operations.DeleteDirectory(L"\\F", &handle.info), STATUS_ACCESS_DENIED);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Injected"), std::string::npos);
    EXPECT_TRUE(find(L"\\F"));
}

// --- Move ----------------------------------------------------------------------------------------

std::vector<std::string> Only(const std::vector<std::string>& calls,
                              std::initializer_list<const char*> wanted) {
    std::vector<std::string> picked;
    for (const auto& call : calls) {
        for (const char* name : wanted) {
            if (call == name) {
                picked.push_back(call);
            }
        }
    }
    return picked;
}

TEST_F(DriveItemsTest, MovesCallRenameAndMoveAsNeeded) {
    makeFolder(L"\\A");
    makeFolder(L"\\B");
    makeDocument(L"\\A\\doc", "content");
    auto handle = open(L"\\A\\doc", kOpenExisting);
    const std::initializer_list<const char*> changes = {"RenameItem", "MoveItem", "DeleteItem"};

    m_faulty->clearCalls();
    EXPECT_EQ(move(*handle, L"\\A\\renamed", false), STATUS_SUCCESS);
    EXPECT_EQ(Only(m_faulty->calls(), changes), std::vector<std::string>{"RenameItem"});

    m_faulty->clearCalls();
    EXPECT_EQ(move(*handle, L"\\B\\renamed", false), STATUS_SUCCESS);
    EXPECT_EQ(Only(m_faulty->calls(), changes), std::vector<std::string>{"MoveItem"});

    m_faulty->clearCalls();
    EXPECT_EQ(move(*handle, L"\\A\\both", false), STATUS_SUCCESS);
    EXPECT_EQ(Only(m_faulty->calls(), changes),
              (std::vector<std::string>{"RenameItem", "MoveItem"}));

    m_faulty->clearCalls();
    EXPECT_EQ(move(*handle, L"\\A\\Both", false), STATUS_SUCCESS);  // letter case alone
    EXPECT_EQ(Only(m_faulty->calls(), changes), std::vector<std::string>{"RenameItem"});
    close(*handle);
    EXPECT_EQ(contentOf(L"\\A\\Both"), "content");
    EXPECT_TRUE(listNames(L"\\B").empty());
}

TEST_F(DriveItemsTest, AnExistingTargetIsKeptUnlessReplacingIsAsked) {
    makeDocument(L"\\source", "new");
    makeDocument(L"\\target", "old");
    auto handle = open(L"\\source", kOpenExisting);
    EXPECT_EQ(move(*handle, L"\\target", false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(contentOf(L"\\target"), "old");
    EXPECT_EQ(contentOf(L"\\source"), "new");
    close(*handle);
}

TEST_F(DriveItemsTest, ReplacingInTheSameFolderSavesByRename) {
    const tarvo::IdPath document = makeDocument(L"\\doc.txt", "old");
    const std::size_t versions = versionCount(L"\\doc.txt");
    save(L"\\doc.txt~tmp", "new");
    auto handle = open(L"\\doc.txt~tmp", kOpenExisting, DELETE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(move(*handle, L"\\doc.txt", true), STATUS_SUCCESS);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("saved over"), std::string::npos);
    close(*handle);
    EXPECT_EQ(contentOf(L"\\doc.txt"), "new");
    EXPECT_TRUE(find(L"\\doc.txt") == document);
    EXPECT_EQ(versionCount(L"\\doc.txt"), versions + 1);
    EXPECT_FALSE(find(L"\\doc.txt~tmp"));
    EXPECT_EQ(listNames(L"\\"), (std::vector<std::wstring>{L".kelvo_drive", L"doc.txt"}));
}

// The source's handles may hold what they did not upload yet: the cut of a truncating open that
// nothing followed (also while the end of its handle is on its way).
TEST_F(DriveItemsTest, ReplacingSavesWhatTheSourcesHandlesHaveNotUploaded) {
    makeDocument(L"\\doc.txt", "old");
    makeDocument(L"\\doc.txt~tmp", "an earlier temporary file");
    auto cut = open(L"\\doc.txt~tmp", kTruncateExisting, kWriteAccess);
    auto handle = open(L"\\doc.txt~tmp", kOpenExisting, DELETE);
    m_faulty->fail("BeginVersion", tarvo::errc::DiskFull);
    EXPECT_EQ(move(*handle, L"\\doc.txt", true), STATUS_DISK_FULL);
    EXPECT_EQ(contentOf(L"\\doc.txt"), "old");
    EXPECT_EQ(move(*handle, L"\\doc.txt", true), STATUS_SUCCESS);
    close(*handle);
    close(*cut);
    EXPECT_EQ(contentOf(L"\\doc.txt"), "");
    EXPECT_FALSE(find(L"\\doc.txt~tmp"));
}

TEST_F(DriveItemsTest, ReplacingInAnotherFolder) {
    makeFolder(L"\\A");
    makeFolder(L"\\B");
    makeDocument(L"\\A\\doc", "new");
    makeDocument(L"\\B\\doc", "old");
    auto handle = open(L"\\A\\doc", kOpenExisting);
    EXPECT_EQ(move(*handle, L"\\B\\doc", true), STATUS_SUCCESS);
    close(*handle);
    EXPECT_EQ(contentOf(L"\\B\\doc"), "new");
    EXPECT_TRUE(listNames(L"\\A").empty());
    EXPECT_EQ(listNames(L"\\B"), std::vector<std::wstring>{L"doc"});
}

TEST_F(DriveItemsTest, AFailedReplacingMoveLosesNeitherItem) {
    makeFolder(L"\\A");
    makeFolder(L"\\B");
    makeDocument(L"\\A\\source", "new");
    makeDocument(L"\\B\\target", "old");
    auto handle = open(L"\\A\\source", kOpenExisting);
    m_faulty->fail("ReplaceDocument", tarvo::errc::StorageFailure);
    EXPECT_EQ(move(*handle, L"\\B\\target", true), STATUS_ACCESS_DENIED);
    std::wstring holder;
    ASSERT_EQ(m_other->LockForEdit(*find(L"\\B\\target"), holder), tarvo::lock_state::kTaken);
    EXPECT_EQ(move(*handle, L"\\B\\target", true), STATUS_ACCESS_DENIED);
    close(*handle);
    EXPECT_EQ(contentOf(L"\\B\\target"), "old");
    EXPECT_EQ(contentOf(L"\\A\\source"), "new");
    EXPECT_EQ(listNames(L"\\A"), std::vector<std::wstring>{L"source"});
    EXPECT_EQ(listNames(L"\\B"), std::vector<std::wstring>{L"target"});
}

TEST_F(DriveItemsTest, MoveRefusals) {
    makeFolder(L"\\A");
    makeFolder(L"\\A\\Sub");
    makeDocument(L"\\doc", "x");
    auto handle = open(L"\\doc", kOpenExisting);
    EXPECT_EQ(move(*handle, L"\\Missing\\doc", false), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(move(*handle, L"\\A", true), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(move(*handle, L"\\.kelvo_drive", true), STATUS_CANNOT_DELETE);
    close(*handle);
    EXPECT_EQ(contentOf(L"\\doc"), "x");

    auto folder = open(L"\\A", kOpenExisting);
    EXPECT_EQ(move(*folder, L"\\A\\Sub\\A", false), STATUS_ACCESS_DENIED);
    close(*folder);
    EXPECT_TRUE(find(L"\\A\\Sub"));
}

TEST_F(DriveItemsTest, LibraryErrorsDuringAMoveAreLoggedWithTheirCode) {
    makeDocument(L"\\doc", "x");
    auto handle = open(L"\\doc", kOpenExisting);
    m_faulty->fail("RenameItem", tarvo::errc::NameCollision);
    testing::internal::CaptureStderr();
    EXPECT_EQ(move(*handle, L"\\other", false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("18Injected failure of RenameItem"),
              std::string::npos);
    m_faulty->fail("RenameItem", tarvo::errc::StorageFailure);
    EXPECT_EQ(move(*handle, L"\\other", false), STATUS_ACCESS_DENIED);
    close(*handle);
    EXPECT_TRUE(find(L"\\doc"));
}

TEST_F(DriveItemsTest, ANameTakenOnlyInTheOldFolderDoesNotStopAMove) {
    makeFolder(L"\\A");
    makeFolder(L"\\B");
    makeDocument(L"\\A\\x", "moving");
    makeDocument(L"\\A\\y", "staying");
    auto handle = open(L"\\A\\x", kOpenExisting);
    EXPECT_EQ(move(*handle, L"\\B\\y", false), STATUS_SUCCESS);
    close(*handle);
    EXPECT_EQ(contentOf(L"\\B\\y"), "moving");
    EXPECT_EQ(contentOf(L"\\A\\y"), "staying");
}

}  // namespace
}  // namespace drive_test
