// The behaviour of the item store, written against the public interfaces and run against every
// storage engine (see EngineFactories).
#include "child_process.h"
#include "repository_under_test.h"
#include "test_content.h"

#include <tarvo/core.h>

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <sys/wait.h>

namespace kelvo_test {
namespace {

using tarvo::IdPath;
using tarvo::Names;

tarvo::errc::Type ErrorCodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const tarvo::TarvoError& error) {
        EXPECT_FALSE(error.GetMessage().empty());
        return error.GetErrorCode();
    }
    ADD_FAILURE() << "no TarvoError thrown";
    return tarvo::errc::Unknown;
}

std::vector<tarvo::BrowserItemInfo> Children(tarvo::IItemStore& store, const IdPath& folder) {
    std::vector<tarvo::BrowserItemInfo> children;
    auto iterator = store.ListChildren(folder);
    tarvo::BrowserItemInfo child;
    while (iterator->Next(child)) {
        children.push_back(child);
    }
    return children;
}

std::vector<std::string> ChildArguments(const RepositoryUnderTest& repository,
                                        const std::string& mode, const IdPath& path) {
    std::vector<std::string> arguments{repository.ChildEndpoint(), mode};
    for (const auto& id : path) {
        arguments.push_back(boost::uuids::to_string(id));
    }
    return arguments;
}

class ItemStoreTest : public ::testing::TestWithParam<EngineFactory> {
protected:
    void SetUp() override {
        if (const std::string reason = GetParam().unavailableReason(); !reason.empty()) {
            GTEST_SKIP() << reason;
        }
        m_repository = GetParam().create();
        m_link = m_repository->Connect();
        m_store = m_link->OpenItemStore();
        m_root = m_store->ResolvePath({L""});
        ASSERT_EQ(m_root.size(), 1u);
    }

    IdPath Folder(const Names& names) {
        Names full{L""};
        full.insert(full.end(), names.begin(), names.end());
        m_store->CreateFolders(m_root, names);
        auto path = m_store->ResolvePath(full);
        EXPECT_EQ(path.size(), full.size());
        return path;
    }

    std::unique_ptr<RepositoryUnderTest> m_repository;
    std::shared_ptr<tarvo::IRepository> m_link;
    std::shared_ptr<tarvo::IItemStore> m_store;
    IdPath m_root;
};

TEST_P(ItemStoreTest, ResolvesTheLongestExistingPrefixRootFirst) {
    const auto b = Folder({L"a", L"b"});
    const auto document = CreateDocument(*m_store, b, L"doc.txt");

    EXPECT_EQ(m_store->ResolvePath({L"", L"a", L"b", L"doc.txt"}), document);
    EXPECT_EQ(m_store->ResolvePath({L"", L"a", L"b", L"missing", L"deeper"}), b);
    // Names are compared exactly.
    EXPECT_EQ(m_store->ResolvePath({L"", L"A"}), m_root);
    EXPECT_TRUE(m_store->ResolvePath({}).empty());

    EXPECT_EQ(m_store->GetItemPath(m_store->GetItemInfo(document)), document);
    const auto root = m_store->GetItemInfo(m_root);
    EXPECT_TRUE(root.IsFolder());
    EXPECT_FALSE(root.size.has_value());
}

TEST_P(ItemStoreTest, DescribesItemsWithTimesAndSizes) {
    const auto folder = Folder({L"f"});
    const auto empty = CreateDocument(*m_store, folder, L"empty");
    const auto full = CreateDocument(*m_store, folder, L"full");
    CommitVersion(*m_store, full, PatternBytes(1234, 1));

    const auto folderInfo = m_store->GetItemInfo(folder);
    EXPECT_TRUE(folderInfo.IsFolder());
    EXPECT_FALSE(folderInfo.size.has_value());
    EXPECT_EQ(m_store->GetItemInfo(empty).size, std::optional<std::uint64_t>(0));
    const auto fullInfo = m_store->GetItemInfo(full);
    EXPECT_FALSE(fullInfo.IsFolder());
    EXPECT_EQ(fullInfo.size, std::optional<std::uint64_t>(1234));
    EXPECT_EQ(fullInfo.name, L"full");
    EXPECT_FALSE(fullInfo.creationTime.is_not_a_date_time());
    EXPECT_GE(fullInfo.modificationTime, fullInfo.creationTime);
}

TEST_P(ItemStoreTest, ListsEveryChildWithItsAccessFlags) {
    const auto folder = Folder({L"f"});
    const auto shown = CreateDocument(*m_store, folder, L"shown");
    const auto hidden = CreateDocument(*m_store, folder, L"hidden");
    const auto locked = CreateDocument(*m_store, folder, L"closed");
    m_store->SetItemAccess(hidden, {false, true});
    m_store->SetItemAccess(locked, {true, false});

    const auto children = Children(*m_store, folder);
    ASSERT_EQ(children.size(), 3u);
    for (const auto& child : children) {
        EXPECT_EQ(child.IsVisible(), child.name != L"hidden") << child.name;
        EXPECT_EQ(m_store->CanOpen(child), child.name != L"closed");
    }
    // The flags are stored: another link sees them too.
    auto other = m_repository->Connect()->OpenItemStore();
    EXPECT_FALSE(other->GetItemInfo(hidden).IsVisible());
    EXPECT_FALSE(other->CanOpen(other->GetItemInfo(locked)));
    EXPECT_TRUE(other->CanOpen(other->GetItemInfo(shown)));

    EXPECT_EQ(ErrorCodeOf([&] { m_store->ListChildren(shown); }), tarvo::errc::NotAFolder);
}

TEST_P(ItemStoreTest, CreatesFoldersReusingExistingOnes) {
    Folder({L"a", L"b"});
    m_store->CreateFolders(m_root, {L"a", L"b", L"c"});
    EXPECT_EQ(m_store->ResolvePath({L"", L"a", L"b", L"c"}).size(), 4u);
    EXPECT_EQ(Children(*m_store, m_root).size(), 1u);

    const auto a = m_store->ResolvePath({L"", L"a"});
    CreateDocument(*m_store, a, L"doc");
    EXPECT_EQ(ErrorCodeOf([&] { m_store->CreateFolders(a, {L"doc"}); }),
              tarvo::errc::NameCollision);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->CreateFolders(a, {L""}); }), tarvo::errc::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->CreateFolders(a, {L"x\\y"}); }),
              tarvo::errc::InvalidArgument);
}

TEST_P(ItemStoreTest, RefusesDuplicateNamesButKeepsCaseApart) {
    const auto folder = Folder({L"f"});
    const auto first = CreateDocument(*m_store, folder, L"report");
    const auto second = CreateDocument(*m_store, folder, L"Report");  // another name
    tarvo::FileCreateInfo clash{tarvo::GenerateUuid(), L"report", tarvo::GenerateUuid()};
    EXPECT_EQ(ErrorCodeOf([&] { m_store->CreateDocument(folder, clash, L""); }),
              tarvo::errc::NameCollision);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->RenameItem(second, L"report"); }),
              tarvo::errc::NameCollision);
    // The refused operations changed nothing.
    EXPECT_EQ(m_store->GetItemInfo(second).name, L"Report");
    EXPECT_EQ(Children(*m_store, folder).size(), 2u);
    EXPECT_EQ(m_store->GetItemInfo(first).name, L"report");
}

TEST_P(ItemStoreTest, RenamesAndMovesUpdatingTheModificationTime) {
    const auto source = Folder({L"src"});
    const auto target = Folder({L"dst"});
    const auto document = CreateDocument(*m_store, source, L"name");
    const auto before = m_store->GetItemInfo(document).modificationTime;

    m_store->RenameItem(document, L"NAME");  // a change of case alone is a rename
    EXPECT_EQ(m_store->ResolvePath({L"", L"src", L"NAME"}), document);
    EXPECT_GT(m_store->GetItemInfo(document).modificationTime, before);

    m_store->MoveItem(document, target);
    const auto moved = m_store->ResolvePath({L"", L"dst", L"NAME"});
    ASSERT_EQ(moved.size(), 3u);
    EXPECT_EQ(moved.back(), document.back());
    EXPECT_EQ(m_store->GetItemPath(m_store->GetItemInfo(moved)), moved);
    EXPECT_TRUE(Children(*m_store, source).empty());

    CreateDocument(*m_store, source, L"NAME");
    EXPECT_EQ(ErrorCodeOf([&] { m_store->MoveItem(moved, source); }), tarvo::errc::NameCollision);
    EXPECT_EQ(m_store->ResolvePath({L"", L"dst", L"NAME"}), moved);
}

TEST_P(ItemStoreTest, RefusesToMoveAFolderIntoItselfOrBelowItself) {
    const auto inner = Folder({L"outer", L"inner"});
    const IdPath outer(inner.begin(), inner.end() - 1);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->MoveItem(outer, outer); }), tarvo::errc::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->MoveItem(outer, inner); }), tarvo::errc::InvalidArgument);
    const auto document = CreateDocument(*m_store, m_root, L"doc");
    EXPECT_EQ(ErrorCodeOf([&] { m_store->MoveItem(inner, document); }), tarvo::errc::NotAFolder);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->DeleteItem(m_root); }), tarvo::errc::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->RenameItem(m_root, L"x"); }),
              tarvo::errc::InvalidArgument);
    EXPECT_EQ(m_store->ResolvePath({L"", L"outer", L"inner"}), inner);
}

TEST_P(ItemStoreTest, DeletesAWholeSubtreeAndReportsGoneItems) {
    const auto folder = Folder({L"f", L"g"});
    const auto document = CreateDocument(*m_store, folder, L"doc");
    CommitVersion(*m_store, document, PatternBytes(5000, 2));
    const IdPath f(folder.begin(), folder.end() - 1);

    m_store->DeleteItem(f);
    EXPECT_EQ(m_store->ResolvePath({L"", L"f"}), m_root);
    constexpr auto kGone = tarvo::errc::ItemNotFound;
    EXPECT_EQ(ErrorCodeOf([&] { m_store->GetItemInfo(document); }), kGone);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->GetItemInfo(folder); }), kGone);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->ListChildren(folder); }), kGone);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->RenameItem(document, L"x"); }), kGone);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->MoveItem(document, m_root); }), kGone);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->DeleteItem(document); }), kGone);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->OpenDocument(document); }), kGone);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->BeginVersion(document, L""); }), kGone);
    std::wstring holder;
    EXPECT_EQ(ErrorCodeOf([&] { m_store->LockForEdit(document, holder); }), kGone);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->GetItemPath(m_store->GetItemInfo(document)); }), kGone);
    tarvo::FileCreateInfo info{tarvo::GenerateUuid(), L"new", tarvo::GenerateUuid()};
    EXPECT_EQ(ErrorCodeOf([&] { m_store->CreateDocument(folder, info, L""); }), kGone);
}

TEST_P(ItemStoreTest, KeepsEveryCommittedVersionAndStoresNothingOnDiscard) {
    const auto document = CreateDocument(*m_store, m_root, L"doc");
    EXPECT_EQ(m_store->ListVersions(document), (std::vector<tarvo::VersionNumber>{1}));
    EXPECT_TRUE(ReadFirstBlob(*m_store, document).empty());

    const auto first = PatternBytes(3000, 10);
    const auto second = PatternBytes(4000, 11);
    CommitVersion(*m_store, document, first);
    const auto afterFirst = m_store->GetItemInfo(document).modificationTime;

    auto discarded = m_store->BeginVersion(document, L"");
    WriteBlob(*discarded, PatternBytes(100, 12));
    discarded->Close(false);
    {
        // Dropped without Close: discarded as well.
        auto dropped = m_store->BeginVersion(document, L"");
        WriteBlob(*dropped, PatternBytes(100, 13));
    }
    EXPECT_EQ(ReadFirstBlob(*m_store, document), first);
    EXPECT_EQ(m_store->GetItemInfo(document).modificationTime, afterFirst);

    CommitVersion(*m_store, document, second);
    const auto versions = m_store->ListVersions(document);
    ASSERT_EQ(versions.size(), 3u);
    EXPECT_EQ(ReadFirstBlob(*m_store, document), second);
    EXPECT_EQ(ReadFirstBlob(*m_store, document, versions[1]), first);
    EXPECT_TRUE(ReadFirstBlob(*m_store, document, versions[0]).empty());
    EXPECT_GT(m_store->GetItemInfo(document).modificationTime, afterFirst);
    EXPECT_EQ(m_store->GetItemInfo(document).size, std::optional<std::uint64_t>(4000));
    EXPECT_EQ(ErrorCodeOf([&] { m_store->OpenDocument(document, 99); }), tarvo::errc::ItemNotFound);
}

TEST_P(ItemStoreTest, ReplacingADocumentKeepsTheTargetWithItsVersionsAndRemovesTheSource) {
    const auto folder = Folder({L"drafts"});
    const auto target = CreateDocument(*m_store, m_root, L"report");
    CommitVersion(*m_store, target, PatternBytes(3000, 20));
    const auto source = CreateDocument(*m_store, folder, L"report~");
    CommitVersion(*m_store, source, PatternBytes(5000, 21));
    const auto before = m_store->GetItemInfo(target);

    // Another link holding either document's edit lock refuses the save; nothing changes.
    auto other = m_repository->Connect()->OpenItemStore();
    std::wstring holder;
    for (const auto& locked : {target, source}) {
        ASSERT_EQ(other->LockForEdit(locked, holder), tarvo::lock_state::kTaken);
        EXPECT_EQ(ErrorCodeOf([&] { m_store->ReplaceDocument(source, target, L""); }),
                  tarvo::errc::LockedByOther);
        other->Unlock(locked);
    }
    EXPECT_EQ(m_store->ListVersions(target).size(), 2u);
    EXPECT_EQ(ReadFirstBlob(*m_store, source), PatternBytes(5000, 21));
    EXPECT_EQ(ErrorCodeOf([&] { m_store->ReplaceDocument(source, source, L""); }),
              tarvo::errc::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->ReplaceDocument(source, folder, L""); }),
              tarvo::errc::NotADocument);

    // Own lock on the source: the save goes ahead and the lock goes with the source.
    ASSERT_EQ(m_store->LockForEdit(source, holder), tarvo::lock_state::kTaken);
    EXPECT_EQ(m_store->ReplaceDocument(source, target, L""), 3);
    EXPECT_EQ(m_store->ListVersions(target), (std::vector<tarvo::VersionNumber>{1, 2, 3}));
    EXPECT_EQ(ReadFirstBlob(*other, target), PatternBytes(5000, 21));
    EXPECT_EQ(ReadFirstBlob(*other, target, 2), PatternBytes(3000, 20));
    const auto after = other->GetItemInfo(target);
    EXPECT_EQ(after.name, before.name);
    EXPECT_EQ(after.creationTime, before.creationTime);
    EXPECT_EQ(after.size, std::optional<std::uint64_t>(5000));
    EXPECT_EQ(other->GetItemPath(after), target);
    EXPECT_EQ(ErrorCodeOf([&] { other->GetItemInfo(source); }), tarvo::errc::ItemNotFound);
    EXPECT_TRUE(Children(*other, folder).empty());
    EXPECT_EQ(other->LockForEdit(target, holder), tarvo::lock_state::kTaken);
}

TEST_P(ItemStoreTest, DescribesEveryVersionWithItsTimeAuthorAndSize) {
    const auto before = boost::posix_time::microsec_clock::universal_time();
    const auto document = CreateDocument(*m_store, m_root, L"doc");
    CommitVersion(*m_store, document, PatternBytes(3000, 1));
    CommitVersion(*m_store, document, Bytes());
    const auto after = boost::posix_time::microsec_clock::universal_time();
    std::wstring holder;
    ASSERT_EQ(m_store->LockForEdit(document, holder), tarvo::lock_state::kTaken);
    m_store->Unlock(document);
    const std::wstring user = holder.substr(0, holder.rfind(L" на "));

    const auto versions = m_store->ListVersionInfos(document);
    ASSERT_EQ(versions.size(), 3u);
    const auto numbers = m_store->ListVersions(document);
    const std::optional<std::uint64_t> sizes[] = {std::nullopt, 3000, 0};
    for (std::size_t index = 0; index < versions.size(); ++index) {
        EXPECT_EQ(versions[index].number, numbers[index]);
        EXPECT_EQ(versions[index].size, sizes[index]) << index;
        EXPECT_EQ(versions[index].author, user);
        EXPECT_GE(versions[index].commitTime, index == 0 ? before : versions[index - 1].commitTime);
        EXPECT_LE(versions[index].commitTime, after);
    }
    EXPECT_FALSE(user.empty());
    EXPECT_EQ(versions.back().commitTime, m_store->GetItemInfo(document).modificationTime);

    EXPECT_EQ(ErrorCodeOf([&] { m_store->ListVersionInfos(m_root); }), tarvo::errc::NotADocument);
    m_store->DeleteItem(document);
    EXPECT_EQ(ErrorCodeOf([&] { m_store->ListVersionInfos(document); }), tarvo::errc::ItemNotFound);
}

TEST_P(ItemStoreTest, CreatedDocumentExistsOnlyOnceCommitted) {
    tarvo::FileCreateInfo info{tarvo::GenerateUuid(), L"draft", tarvo::GenerateUuid()};
    auto draft = m_store->CreateDocument(m_root, info, L"");
    EXPECT_EQ(m_store->ResolvePath({L"", L"draft"}), m_root);
    draft->Close(false);
    EXPECT_EQ(m_store->ResolvePath({L"", L"draft"}), m_root);

    auto created = m_store->CreateDocument(m_root, info, L"");
    WriteBlob(*created, PatternBytes(10, 3));
    created->Close(true);
    const auto path = m_store->ResolvePath({L"", L"draft"});
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path.back(), info.id);
    EXPECT_EQ(ReadFirstBlob(*m_store, path), PatternBytes(10, 3));
    EXPECT_EQ(ErrorCodeOf([&] { m_store->OpenDocument(m_root); }), tarvo::errc::NotADocument);
}

TEST_P(ItemStoreTest, CreatesADocumentAlreadyLockedForEditing) {
    tarvo::FileCreateInfo info{tarvo::GenerateUuid(), L"new", tarvo::GenerateUuid()};
    const auto document = m_store->CreateDocumentForEdit(m_root, info, L"");
    EXPECT_EQ(m_store->ResolvePath({L"", L"new"}), document);
    EXPECT_EQ(m_store->ListVersions(document), (std::vector<tarvo::VersionNumber>{1}));
    EXPECT_EQ(m_store->GetItemInfo(document).size, std::optional<std::uint64_t>(0));
    std::wstring holder;
    EXPECT_EQ(m_store->LockForEdit(document, holder), tarvo::lock_state::kAlreadyHeld);
    auto other = m_repository->Connect()->OpenItemStore();
    EXPECT_EQ(other->LockForEdit(document, holder), tarvo::lock_state::kHeldByOther);

    // A taken name: nothing is created and no lock is left behind.
    tarvo::FileCreateInfo clash{tarvo::GenerateUuid(), L"new", tarvo::GenerateUuid()};
    EXPECT_EQ(ErrorCodeOf([&] { m_store->CreateDocumentForEdit(m_root, clash, L""); }),
              tarvo::errc::NameCollision);
    EXPECT_EQ(Children(*m_store, m_root).size(), 1u);
    EXPECT_EQ(ErrorCodeOf([&] { other->CreateDocumentForEdit(document, info, L""); }),
              tarvo::errc::NotAFolder);
}

TEST_P(ItemStoreTest, StreamsContentInChunks) {
    const auto document = CreateDocument(*m_store, m_root, L"large");
    auto version = m_store->BeginVersion(document, L"");
    const std::size_t chunk = version->CreateBlob(tarvo::GenerateUuid())->GetChunkSize();
    version->Close(false);
    ASSERT_GT(chunk, 0u);

    // Two and a half chunks, written in buffers that fit no chunk boundary.
    const auto content = PatternBytes(chunk * 2 + chunk / 2, 4);
    auto writing = m_store->BeginVersion(document, L"");
    WriteBlob(*writing, content, chunk / 3 + 7);
    WriteBlob(*writing, PatternBytes(10, 5));  // a second blob: the size stays the first one's
    writing->Close(true);
    EXPECT_EQ(m_store->GetItemInfo(document).size, std::optional<std::uint64_t>(content.size()));

    auto reading = m_store->OpenDocument(document);
    std::vector<tarvo::BlobInfo> blobs;
    tarvo::BlobInfo blob;
    for (auto iterator = reading->ListBlobs(); iterator->Next(blob);) {
        blobs.push_back(blob);
    }
    ASSERT_EQ(blobs.size(), 2u);
    auto reader = reading->OpenBlob(blobs[0].id);
    EXPECT_EQ(reader->GetSize(), content.size());
    Bytes readBack;
    int reads = 0;
    while (auto buffer = reader->Read()) {
        if (buffer->GetSize() == 0) {
            break;
        }
        EXPECT_LE(buffer->GetSize(), chunk);
        readBack.insert(readBack.end(), buffer->GetData(), buffer->GetData() + buffer->GetSize());
        ++reads;
    }
    EXPECT_EQ(reads, 3);
    EXPECT_TRUE(readBack == content);

    // Ranges in any order, within one chunk, across chunk boundaries and past the end.
    const std::pair<std::size_t, std::size_t> ranges[] = {
        {chunk * 2 + 5, 100},     {0, 10},
        {chunk - 3, 10},          {chunk / 2, chunk + 7},
        {content.size() - 1, 10}, {content.size(), 10}};
    for (const auto& [offset, size] : ranges) {
        Bytes part(size, 0);
        const std::size_t count = reader->ReadAt(offset, part.data(), size);
        const std::size_t expected = std::min(size, content.size() - offset);
        ASSERT_EQ(count, expected) << "at " << offset;
        EXPECT_TRUE(std::equal(part.begin(), part.begin() + count, content.begin() + offset))
            << "at " << offset;
    }
    EXPECT_EQ(ErrorCodeOf([&] { reading->CreateBlob(tarvo::GenerateUuid()); }),
              tarvo::errc::InvalidArgument);
    reading->Close(false);
}

TEST_P(ItemStoreTest, EditLocksBetweenTwoLinks) {
    const auto document = CreateDocument(*m_store, m_root, L"doc");
    auto otherLink = m_repository->Connect();
    auto other = otherLink->OpenItemStore();

    std::wstring holder;
    EXPECT_EQ(m_store->LockForEdit(document, holder), tarvo::lock_state::kTaken);
    const std::wstring ownHolder = holder;
    EXPECT_FALSE(ownHolder.empty());
    EXPECT_EQ(m_store->LockForEdit(document, holder), tarvo::lock_state::kAlreadyHeld);
    // Another store of the same link is the same holder.
    EXPECT_EQ(m_link->OpenItemStore()->LockForEdit(document, holder),
              tarvo::lock_state::kAlreadyHeld);

    holder.clear();
    EXPECT_EQ(other->LockForEdit(document, holder), tarvo::lock_state::kHeldByOther);
    EXPECT_EQ(holder, ownHolder);
    // The other link can neither release the lock nor write around it.
    EXPECT_EQ(ErrorCodeOf([&] { other->Unlock(document); }), tarvo::errc::LockedByOther);
    EXPECT_EQ(ErrorCodeOf([&] { CommitVersion(*other, document, PatternBytes(10, 6)); }),
              tarvo::errc::LockedByOther);
    EXPECT_TRUE(ReadFirstBlob(*other, document).empty());
    EXPECT_EQ(other->ListVersions(document).size(), 1u);
    EXPECT_EQ(ErrorCodeOf([&] { other->DeleteItem(document); }), tarvo::errc::LockedByOther);

    // The holder writes as usual.
    CommitVersion(*m_store, document, PatternBytes(10, 7));
    EXPECT_EQ(ReadFirstBlob(*other, document), PatternBytes(10, 7));

    m_store->Unlock(document);
    EXPECT_EQ(other->LockForEdit(document, holder), tarvo::lock_state::kTaken);
    EXPECT_EQ(m_store->LockForEdit(document, holder), tarvo::lock_state::kHeldByOther);

    // A link that goes away gives its locks back.
    other.reset();
    otherLink.reset();
    EXPECT_EQ(m_store->LockForEdit(document, holder), tarvo::lock_state::kTaken);
}

TEST_P(ItemStoreTest, TakesOverTheLockOfALinkWhoseProcessEnded) {
    const auto document = CreateDocument(*m_store, m_root, L"doc");
    ChildProcess child(ChildProgram(), ChildArguments(*m_repository, "hold-lock", document));
    ASSERT_EQ(child.ReadLine(), "locked");

    std::wstring holder;
    EXPECT_EQ(m_store->LockForEdit(document, holder), tarvo::lock_state::kHeldByOther);
    EXPECT_NE(holder.find(std::to_wstring(child.Pid())), std::wstring::npos) << holder.size();

    child.Kill();
    child.Wait();
    EXPECT_EQ(m_store->LockForEdit(document, holder), tarvo::lock_state::kTaken);
    EXPECT_EQ(m_store->LockForEdit(document, holder), tarvo::lock_state::kAlreadyHeld);
}

TEST_P(ItemStoreTest, AKilledUploadLeavesThePreviousVersionIntactAndItsStagedContentIsCollected) {
    const auto document = CreateDocument(*m_store, m_root, L"doc");
    const auto other = CreateDocument(*m_store, m_root, L"other");
    const auto previous = PatternBytes(300'000, 7);
    CommitVersion(*m_store, document, previous);
    const auto versionsBefore = m_store->ListVersions(document);
    const std::int64_t chunksBefore = m_repository->StoredChunks();

    {
        ChildProcess child(ChildProgram(), ChildArguments(*m_repository, "upload", document));
        ASSERT_EQ(child.ReadLine(), "uploading");
        // Neither readers nor other writers are held up by the upload in progress.
        EXPECT_EQ(ReadFirstBlob(*m_store, document), previous);
        CommitVersion(*m_store, other, PatternBytes(10, 9));
        m_store->CreateFolders(m_root, {L"made during the upload"});
        EXPECT_GT(m_repository->StoredChunks(), chunksBefore + 1);
        child.Kill();
        const int status = child.Wait();
        ASSERT_TRUE(WIFSIGNALED(status));
    }

    auto fresh = m_repository->Connect()->OpenItemStore();
    // The next open collects what the killed upload had staged. A server notices a killed
    // client's closed connection a moment later; until then its upload still counts as alive.
    for (int attempt = 0; attempt < 50 && m_repository->StoredChunks() != chunksBefore + 1;
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_repository->Connect();
    }
    EXPECT_EQ(m_repository->StoredChunks(), chunksBefore + 1);
    EXPECT_EQ(fresh->ListVersions(document), versionsBefore);
    EXPECT_EQ(ReadFirstBlob(*fresh, document), previous);
    EXPECT_EQ(fresh->GetItemInfo(document).size, std::optional<std::uint64_t>(previous.size()));
    // The dead writer holds nothing: the next version goes in.
    CommitVersion(*fresh, document, PatternBytes(100, 8));
    EXPECT_EQ(ReadFirstBlob(*m_store, document), PatternBytes(100, 8));
}

TEST_P(ItemStoreTest, ServesConcurrentReadersAndWriters) {
    constexpr int kDocuments = 3;
    constexpr int kVersionsPerWriter = 8;
    constexpr std::size_t kSize = 150'000;
    std::vector<IdPath> documents;
    for (int index = 0; index < kDocuments; ++index) {
        documents.push_back(CreateDocument(*m_store, m_root, L"doc" + std::to_wstring(index)));
        CommitVersion(*m_store, documents.back(), PatternBytes(kSize, 0));
    }
    // Every version of every document is one of the patterns 0..kVersionsPerWriter.
    std::vector<Bytes> patterns;
    for (int seed = 0; seed <= kVersionsPerWriter; ++seed) {
        patterns.push_back(PatternBytes(kSize, static_cast<std::uint32_t>(seed)));
    }

    std::atomic<bool> writing{true};
    std::atomic<int> failures{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> threads;
    auto secondLink = m_repository->Connect();
    for (int index = 0; index < kDocuments; ++index) {
        auto store = index % 2 == 0 ? m_store : secondLink->OpenItemStore();
        threads.emplace_back([&, store, index] {
            try {
                for (int seed = 1; seed <= kVersionsPerWriter; ++seed) {
                    CommitVersion(*store, documents[index], patterns[seed]);
                    store->CreateFolders(m_root, {L"w" + std::to_wstring(index)});
                }
            } catch (const std::exception&) {
                ++failures;
            }
        });
    }
    for (int reader = 0; reader < 3; ++reader) {
        threads.emplace_back([&, reader] {
            try {
                while (writing) {
                    const auto content = ReadFirstBlob(*m_store, documents[reader % kDocuments]);
                    if (std::find(patterns.begin(), patterns.end(), content) == patterns.end()) {
                        ++failures;
                    }
                    ++reads;
                }
            } catch (const std::exception&) {
                ++failures;
            }
        });
    }
    for (int index = 0; index < kDocuments; ++index) {
        threads[index].join();
    }
    writing = false;
    for (std::size_t index = kDocuments; index < threads.size(); ++index) {
        threads[index].join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_GT(reads, 0);
    for (const auto& document : documents) {
        EXPECT_EQ(m_store->ListVersions(document).size(), kVersionsPerWriter + 2u);
        EXPECT_TRUE(ReadFirstBlob(*m_store, document) == patterns.back());
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, ItemStoreTest, ::testing::ValuesIn(EngineFactories()),
                         [](const auto& engine) { return engine.param.name; });

}  // namespace
}  // namespace kelvo_test
