// Opening and creating through ZwCreateFile, and the end of a handle.
#include "DriveFixture.h"

namespace drive_test {
namespace {

class DriveOpenTest : public DriveFixture {};

// --- Folders: the directory table ----------------------------------------------------------------

TEST_F(DriveOpenTest, FolderDispositionsFollowTheDirectoryTable) {
    makeFolder(L"\\Existing");
    makeDocument(L"\\Document", "x");
    struct Row {
        ULONG disposition;
        const wchar_t* path;
        NTSTATUS status;
        bool keepsContext;
    };
    const Row rows[] = {
        {kCreateNew, L"\\Existing", STATUS_OBJECT_NAME_COLLISION, false},
        {kCreateNew, L"\\NewByCreate", STATUS_SUCCESS, true},
        {kOpenAlways, L"\\Existing", STATUS_OBJECT_NAME_COLLISION, true},
        {kOpenAlways, L"\\NewByOpenAlways", STATUS_SUCCESS, true},
        {kOpenExisting, L"\\Existing", STATUS_SUCCESS, true},
        {kOpenExisting, L"\\Missing", STATUS_OBJECT_NAME_NOT_FOUND, false},
        {kOpenExisting, L"\\Document", STATUS_NOT_A_DIRECTORY, false},
        {kTruncateExisting, L"\\Existing", STATUS_SUCCESS, true},
        {kCreateAlways, L"\\Missing", STATUS_OBJECT_NAME_NOT_FOUND, false},
        {kCreateNew, L"\\Document", STATUS_OBJECT_NAME_COLLISION, false},
        {kCreateNew, L"\\NoParent\\Child", STATUS_OBJECT_NAME_NOT_FOUND, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Narrow(row.path) + " disposition " + std::to_string(row.disposition));
        auto handle = open(row.path, row.disposition, kReadAccess, 0, true);
        EXPECT_EQ(handle->status, row.status);
        EXPECT_EQ(handle->hasContext(), row.keepsContext);
        close(*handle);
    }
    EXPECT_TRUE(infoOf(L"\\NewByCreate").IsFolder());
    EXPECT_TRUE(infoOf(L"\\NewByOpenAlways").IsFolder());
    EXPECT_FALSE(find(L"\\Missing"));
    EXPECT_FALSE(find(L"\\NoParent"));
}

TEST_F(DriveOpenTest, AnExistingFolderOpensAsADirectoryUnlessAFileIsDemanded) {
    makeFolder(L"\\Folder");
    auto plain = open(L"\\Folder", kOpenExisting);
    EXPECT_EQ(plain->status, STATUS_SUCCESS);
    EXPECT_TRUE(plain->info.IsDirectory);
    close(*plain);

    auto fileOnly = open(L"\\Folder", kOpenExisting, kReadAccess, FILE_NON_DIRECTORY_FILE);
    EXPECT_EQ(fileOnly->status, STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_FALSE(fileOnly->hasContext());

    auto root = open(L"\\", kOpenExisting);
    EXPECT_EQ(root->status, STATUS_SUCCESS);
    EXPECT_TRUE(root->info.IsDirectory);
    close(*root);

    auto doubled = open(L"\\\\Folder\\\\", kOpenExisting);
    EXPECT_EQ(doubled->status, STATUS_SUCCESS);
    close(*doubled);
}

// --- Files: the file table -----------------------------------------------------------------------

TEST_F(DriveOpenTest, FileDispositionsOnAnExistingDocument) {
    struct Row {
        ULONG disposition;
        NTSTATUS status;
        bool keepsContext;
        bool truncates;
    };
    const Row rows[] = {
        {kCreateNew, STATUS_OBJECT_NAME_COLLISION, false, false},
        {kCreateAlways, STATUS_OBJECT_NAME_COLLISION, true, true},
        {kOpenExisting, STATUS_SUCCESS, true, false},
        {kOpenAlways, STATUS_OBJECT_NAME_COLLISION, true, false},
        {kTruncateExisting, STATUS_SUCCESS, true, true},
        {kUnknownDisposition, STATUS_SUCCESS, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("disposition " + std::to_string(row.disposition));
        makeDocument(L"\\Doc.txt", "old content");
        const std::size_t versions = versionCount(L"\\Doc.txt");
        auto handle = open(L"\\Doc.txt", row.disposition, kWriteAccess);
        EXPECT_EQ(handle->status, row.status);
        EXPECT_EQ(handle->hasContext(), row.keepsContext);
        EXPECT_FALSE(handle->info.IsDirectory);
        close(*handle);
        // A truncating open leaves an empty pending content, which the cleanup uploads.
        EXPECT_EQ(contentOf(L"\\Doc.txt"), row.truncates ? "" : "old content");
        EXPECT_EQ(versionCount(L"\\Doc.txt"), versions + (row.truncates ? 1 : 0));
        m_store->DeleteItem(*find(L"\\Doc.txt"));
    }
}

TEST_F(DriveOpenTest, FileDispositionsOnAMissingDocument) {
    struct Row {
        ULONG disposition;
        NTSTATUS status;
        bool creates;
    };
    const Row rows[] = {
        {kCreateNew, STATUS_SUCCESS, true},
        {kCreateAlways, STATUS_SUCCESS, true},
        {kOpenExisting, STATUS_OBJECT_NAME_NOT_FOUND, false},
        {kOpenAlways, STATUS_SUCCESS, true},
        {kTruncateExisting, STATUS_OBJECT_NAME_NOT_FOUND, false},
        {kUnknownDisposition, STATUS_SUCCESS, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("disposition " + std::to_string(row.disposition));
        auto handle = open(L"\\New.txt", row.disposition, kWriteAccess);
        EXPECT_EQ(handle->status, row.status);
        EXPECT_EQ(handle->hasContext(), row.creates);
        close(*handle);
        EXPECT_EQ(find(L"\\New.txt").has_value(), row.creates);
        if (row.creates) {
            const auto info = infoOf(L"\\New.txt");
            EXPECT_FALSE(info.IsFolder());
            EXPECT_EQ(contentOf(L"\\New.txt"), "");
            m_store->DeleteItem(*find(L"\\New.txt"));
        }
    }
}

TEST_F(DriveOpenTest, ADocumentIsNotCreatedInAMissingFolder) {
    makeFolder(L"\\A");
    auto handle = open(L"\\A\\Missing\\New.txt", kCreateNew, kWriteAccess);
    EXPECT_EQ(handle->status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(handle->hasContext());
    EXPECT_TRUE(listNames(L"\\A").empty());
}

TEST_F(DriveOpenTest, AFileWantedAsADirectoryIsRefused) {
    makeDocument(L"\\Doc", "x");
    auto handle = open(L"\\Doc", kOpenExisting, kReadAccess, 0, true);
    EXPECT_EQ(handle->status, STATUS_NOT_A_DIRECTORY);
    EXPECT_FALSE(handle->hasContext());
}

// --- Special paths and refusals ------------------------------------------------------------------

TEST_F(DriveOpenTest, SpecialPathsNeverReachTheRepository) {
    for (const ULONG disposition : {kCreateNew, kCreateAlways, kOpenExisting, kOpenAlways,
                                    kTruncateExisting, kUnknownDisposition}) {
        auto service = open(L"\\.kelvo_drive", disposition, kWriteAccess);
        EXPECT_EQ(service->status, STATUS_SUCCESS);
        EXPECT_FALSE(service->hasContext());
        close(*service);
    }
    EXPECT_EQ(open(L"\\System Volume Information", kOpenExisting)->status, STATUS_NO_SUCH_FILE);
    EXPECT_EQ(open(L"\\$RECYCLE.BIN", kCreateNew, kReadAccess, 0, true)->status,
              STATUS_NO_SUCH_FILE);
    EXPECT_EQ(m_faulty->count("ResolvePath"), 0);
    EXPECT_FALSE(find(L"\\.kelvo_drive"));

    // Another letter case is an ordinary name.
    EXPECT_EQ(open(L"\\.KELVO_DRIVE", kOpenExisting)->status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(m_faulty->count("ResolvePath"), 1);
}

TEST_F(DriveOpenTest, PathsUpTo255CharactersAreAccepted) {
    const std::wstring longest = L"\\" + std::wstring(254, L'a');
    auto accepted = open(longest, kCreateNew, kWriteAccess);
    EXPECT_EQ(accepted->status, STATUS_SUCCESS);
    close(*accepted);
    EXPECT_EQ(open(longest + L"b", kCreateNew, kWriteAccess)->status, STATUS_OBJECT_NAME_INVALID);
}

TEST_F(DriveOpenTest, ADocumentThatMayNotBeOpenedIsRefused) {
    const auto ids = makeDocument(L"\\Secret", "x");
    tarvo::ItemAccess access;
    access.openable = false;
    m_store->SetItemAccess(ids, access);
    auto handle = open(L"\\Secret", kOpenExisting);
    EXPECT_EQ(handle->status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(handle->hasContext());
}

TEST_F(DriveOpenTest, LibraryFailuresDuringOpenGiveTheirStatuses) {
    makeDocument(L"\\Doc", "x");
    m_faulty->fail("CanOpen", tarvo::errc::StorageFailure);
    EXPECT_EQ(open(L"\\Doc", kOpenExisting)->status, STATUS_OBJECT_NAME_NOT_FOUND);

    m_faulty->fail("CreateDocument", tarvo::errc::StorageFailure);
    auto failedCreate = open(L"\\New", kCreateNew, kWriteAccess);
    EXPECT_EQ(failedCreate->status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(failedCreate->hasContext());

    m_faulty->fail("CreateFolders", tarvo::errc::StorageFailure);
    EXPECT_EQ(open(L"\\NewFolder", kCreateNew, kReadAccess, 0, true)->status,
              STATUS_OBJECT_NAME_NOT_FOUND);

    m_faulty->fail("ResolvePath", tarvo::errc::StorageFailure);
    EXPECT_EQ(open(L"\\Doc", kOpenExisting)->status, STATUS_OBJECT_NAME_NOT_FOUND);

    m_faulty->fail("LockForEdit", tarvo::errc::StorageFailure);
    auto lockFailed = open(L"\\Doc", kOpenExisting, kWriteAccess);
    EXPECT_EQ(lockFailed->status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(lockFailed->hasContext());
}

// --- The edit lock -------------------------------------------------------------------------------

TEST_F(DriveOpenTest, WriteAccessTakesTheEditLockUntilCleanup) {
    const auto ids = makeDocument(L"\\Doc", "x");
    auto reader = open(L"\\Doc", kOpenExisting, kReadAccess);
    EXPECT_EQ(reader->status, STATUS_SUCCESS);
    EXPECT_EQ(m_faulty->count("LockForEdit"), 0);
    close(*reader);

    auto writer = open(L"\\Doc", kOpenExisting, kWriteAccess);
    EXPECT_EQ(writer->status, STATUS_SUCCESS);
    std::wstring holder;
    EXPECT_EQ(m_other->LockForEdit(ids, holder), tarvo::lock_state::kHeldByOther);
    close(*writer);
    EXPECT_EQ(m_other->LockForEdit(ids, holder), tarvo::lock_state::kTaken);
    m_other->Unlock(ids);
}

TEST_F(DriveOpenTest, ADocumentLockedBySomeoneElseOpensForReadingOnly) {
    const auto ids = makeDocument(L"\\Doc", "x");
    std::wstring holder;
    ASSERT_EQ(m_other->LockForEdit(ids, holder), tarvo::lock_state::kTaken);
    auto reader = open(L"\\Doc", kOpenExisting, kReadAccess);
    EXPECT_EQ(reader->status, STATUS_SUCCESS);
    close(*reader);
    std::vector<DriveNotice> notices;  // only this thread opens
    m_drive->onNotice = [&](const DriveNotice& notice) { notices.push_back(notice); };
    for (const ULONG disposition : {kOpenExisting, kOpenAlways, kCreateAlways, kTruncateExisting}) {
        auto writer = open(L"\\Doc", disposition, kWriteAccess);
        EXPECT_EQ(writer->status, STATUS_ACCESS_DENIED) << disposition;
        EXPECT_FALSE(writer->hasContext());
    }
    m_drive->onNotice = nullptr;
    ASSERT_EQ(notices.size(), 4u);
    EXPECT_EQ(notices[0].kind, DriveNotice::Kind::EditRefused);
    EXPECT_EQ(notices[0].document, L"Doc");
    EXPECT_EQ(notices[0].detail, holder);
    EXPECT_EQ(contentOf(L"\\Doc"), "x");
    m_other->Unlock(ids);
}

// --- The link ------------------------------------------------------------------------------------

// A link whose probe fails, to see the drive replace it.
class BrokenRepository final : public tarvo::IRepository {
public:
    explicit BrokenRepository(std::shared_ptr<tarvo::IRepository> inner) : m_inner(inner) {}
    std::shared_ptr<tarvo::IItemStore> OpenItemStore() override { return m_inner->OpenItemStore(); }
    std::wstring GetRepositoryName() override {
        throw tarvo::TarvoError(tarvo::errc::NotConnected, L"link lost");
    }

private:
    std::shared_ptr<tarvo::IRepository> m_inner;
};

TEST_F(DriveOpenTest, ALostLinkIsReplacedAtTheNextOpen) {
    makeDocument(L"\\Doc", "x");
    const auto broken = std::make_shared<BrokenRepository>(m_link);
    m_drive->repository.store(broken);
    auto handle = open(L"\\Doc", kOpenExisting);
    EXPECT_EQ(handle->status, STATUS_SUCCESS);
    const auto current = m_drive->repository.load();
    ASSERT_TRUE(current);
    EXPECT_NE(current, broken);
    close(*handle);
}

TEST_F(DriveOpenTest, ALinkThatCannotBeReplacedUnmountsTheDrive) {
    m_drive->connection.endpoint = tarvo::endpoint::Remote{L"127.0.0.1", 1, L"nowhere", L"disable"};
    m_drive->repository.store(std::make_shared<BrokenRepository>(m_link));
    auto handle = open(L"\\", kOpenExisting);
    EXPECT_EQ(handle->status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(m_drive->isConnected());
}

TEST_F(DriveOpenTest, ALinkClearedByTheStorageIsNotBroughtBack) {
    m_drive->repository.reset();
    auto handle = open(L"\\", kOpenExisting);
    EXPECT_EQ(handle->status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(m_drive->isConnected());
}

// --- Cleanup -------------------------------------------------------------------------------------

TEST_F(DriveOpenTest, CleanupOfADeleteOnCloseHandleDeletesWithoutUploading) {
    makeDocument(L"\\Doc", "x");
    auto handle = open(L"\\Doc", kOpenExisting, kWriteAccess);
    ASSERT_EQ(write(*handle, 0, "new"), STATUS_SUCCESS);
    handle->info.DeleteOnClose = TRUE;
    m_faulty->clearCalls();
    close(*handle);
    EXPECT_FALSE(handle->hasContext());
    EXPECT_FALSE(find(L"\\Doc"));
    EXPECT_EQ(m_faulty->count("DeleteItem"), 1);
    EXPECT_EQ(m_faulty->count("BeginVersion"), 0);
}

TEST_F(DriveOpenTest, TwoOpensOfOneDocumentHaveIndependentContexts) {
    makeDocument(L"\\Doc", "0123456789");
    auto first = open(L"\\Doc", kOpenExisting, kWriteAccess);
    auto second = open(L"\\Doc", kOpenExisting, kWriteAccess);
    ASSERT_EQ(first->status, STATUS_SUCCESS);
    ASSERT_EQ(second->status, STATUS_SUCCESS);
    EXPECT_NE(first->info.Context, second->info.Context);
    ASSERT_EQ(write(*first, 0, "AB"), STATUS_SUCCESS);
    close(*second);  // nothing written through it: nothing uploaded
    EXPECT_EQ(contentOf(L"\\Doc"), "0123456789");
    close(*first);
    EXPECT_EQ(contentOf(L"\\Doc"), "AB23456789");
}

}  // namespace
}  // namespace drive_test
