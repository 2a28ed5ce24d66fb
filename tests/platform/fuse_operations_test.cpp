// Each request of the kernel and the driver operations it becomes, driven through real system
// calls on a mounted in-memory file system.

#include "fuse_test_fixture.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace kelvo_test {
namespace {

// errno of a failed call, 0 when it worked.
int ErrnoOf(int result) {
    return result < 0 ? errno : 0;
}

void WriteWhole(const std::string& path, const std::string& content) {
    const int descriptor = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(descriptor, 0) << path << ": " << std::strerror(errno);
    ASSERT_EQ(::write(descriptor, content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    ASSERT_EQ(::close(descriptor), 0) << std::strerror(errno);
}

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

using FuseOperationsTest = FuseLayerTest;

TEST_F(FuseOperationsTest, CreatedFileHoldsWhatWasWrittenAndReadsBack) {
    WriteWhole(Path("note.txt"), "hello, drive");
    EXPECT_EQ(m_fileSystem.Content(L"\\note.txt"), "hello, drive");
    EXPECT_EQ(ReadWhole(Path("note.txt")), "hello, drive");
    struct stat status {};
    ASSERT_EQ(::stat(Path("note.txt").c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_size, 12);
    EXPECT_EQ(status.st_uid, ::getuid());
}

TEST_F(FuseOperationsTest, CreateFlagsMapToDispositions) {
    m_fileSystem.AddFile(L"\\existing", "old content");
    // O_CREAT alone on an existing file opens it (the driver's collision means "opened").
    int descriptor = ::open(Path("existing").c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(descriptor, 0) << std::strerror(errno);
    ::close(descriptor);
    EXPECT_EQ(m_fileSystem.Content(L"\\existing"), "old content");
    // O_EXCL refuses an existing name.
    EXPECT_EQ(ErrnoOf(::open(Path("existing").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644)), EEXIST);
    // O_TRUNC empties it.
    descriptor = ::open(Path("existing").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(descriptor, 0) << std::strerror(errno);
    ::close(descriptor);
    EXPECT_EQ(m_fileSystem.Content(L"\\existing"), "");
    // No O_CREAT: a missing name stays missing.
    EXPECT_EQ(ErrnoOf(::open(Path("missing").c_str(), O_RDONLY)), ENOENT);
    EXPECT_FALSE(m_fileSystem.Exists(L"\\missing"));
    // O_CREAT | O_EXCL on a new name creates it.
    descriptor = ::open(Path("fresh").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
    ASSERT_GE(descriptor, 0) << std::strerror(errno);
    ::close(descriptor);
    EXPECT_TRUE(m_fileSystem.Exists(L"\\fresh"));
}

TEST_F(FuseOperationsTest, SeekWriteTruncateAndAppend) {
    const std::string path = Path("data.bin");
    int descriptor = ::open(path.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::pwrite(descriptor, "tail", 4, 10), 4);
    ASSERT_EQ(::pwrite(descriptor, "head", 4, 0), 4);
    char buffer[16] = {};
    ASSERT_EQ(::pread(descriptor, buffer, sizeof buffer, 0), 14);
    EXPECT_EQ(std::string(buffer, 14), std::string("head\0\0\0\0\0\0tail", 14));
    ASSERT_EQ(::ftruncate(descriptor, 6), 0);  // SetEndOfFile through the handle
    struct stat status {};
    ASSERT_EQ(::fstat(descriptor, &status), 0);
    EXPECT_EQ(status.st_size, 6);
    ::close(descriptor);
    EXPECT_EQ(m_fileSystem.Content(L"\\data.bin"), std::string("head\0\0", 6));

    ASSERT_EQ(::truncate(path.c_str(), 2), 0);  // SetEndOfFile without a handle
    EXPECT_EQ(m_fileSystem.Content(L"\\data.bin"), "he");

    descriptor = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::write(descriptor, "llo", 3), 3);
    ::close(descriptor);
    EXPECT_EQ(m_fileSystem.Content(L"\\data.bin"), "hello");
}

TEST_F(FuseOperationsTest, FoldersAreCreatedListedAndRemoved) {
    ASSERT_EQ(::mkdir(Path("folder").c_str(), 0755), 0) << std::strerror(errno);
    EXPECT_EQ(ErrnoOf(::mkdir(Path("folder").c_str(), 0755)), EEXIST);
    WriteWhole(Path("folder/inside.txt"), "x");
    struct stat status {};
    ASSERT_EQ(::stat(Path("folder").c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));

    EXPECT_EQ(ErrnoOf(::rmdir(Path("folder").c_str())), ENOTEMPTY);
    EXPECT_EQ(ErrnoOf(::unlink(Path("folder/missing").c_str())), ENOENT);
    ASSERT_EQ(::unlink(Path("folder/inside.txt").c_str()), 0);
    EXPECT_FALSE(m_fileSystem.Exists(L"\\folder\\inside.txt"));
    ASSERT_EQ(::rmdir(Path("folder").c_str()), 0);
    EXPECT_FALSE(m_fileSystem.Exists(L"\\folder"));
    EXPECT_EQ(ErrnoOf(::stat(Path("folder").c_str(), &status)), ENOENT);
}

TEST_F(FuseOperationsTest, RenameMovesReplacesAndRefusesExchange) {
    WriteWhole(Path("a"), "A");
    WriteWhole(Path("b"), "B");
    ASSERT_EQ(::mkdir(Path("dir").c_str(), 0755), 0);
    WriteWhole(Path("dir/child"), "C");

    ASSERT_EQ(::rename(Path("a").c_str(), Path("b").c_str()), 0);  // replaces b
    EXPECT_FALSE(m_fileSystem.Exists(L"\\a"));
    EXPECT_EQ(m_fileSystem.Content(L"\\b"), "A");

    WriteWhole(Path("c"), "C2");
    EXPECT_EQ(ErrnoOf(::renameat2(AT_FDCWD, Path("c").c_str(), AT_FDCWD, Path("b").c_str(),
                                  RENAME_NOREPLACE)),
              EEXIST);
    EXPECT_EQ(ErrnoOf(::renameat2(AT_FDCWD, Path("c").c_str(), AT_FDCWD, Path("b").c_str(),
                                  RENAME_EXCHANGE)),
              EINVAL);
    EXPECT_EQ(m_fileSystem.Content(L"\\b"), "A");

    // A folder moves with its contents, and the new path works at once.
    ASSERT_EQ(::rename(Path("dir").c_str(), Path("moved").c_str()), 0);
    EXPECT_EQ(ReadWhole(Path("moved/child")), "C");
    struct stat status {};
    EXPECT_EQ(ErrnoOf(::stat(Path("dir/child").c_str(), &status)), ENOENT);
}

TEST_F(FuseOperationsTest, OpenHandleFollowsARenameOfItsFolder) {
    ASSERT_EQ(::mkdir(Path("old").c_str(), 0755), 0);
    const int descriptor = ::open(Path("old/file").c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::rename(Path("old").c_str(), Path("new").c_str()), 0);
    ASSERT_EQ(::write(descriptor, "after", 5), 5);
    ASSERT_EQ(::close(descriptor), 0);
    EXPECT_EQ(m_fileSystem.Content(L"\\new\\file"), "after");
    EXPECT_EQ(m_fileSystem.counters().contextMismatches.load(), 0);
}

TEST_F(FuseOperationsTest, ListingHandsAttributesOverWithoutOpeningEveryItem) {
    m_fileSystem.AddFolder(L"\\many");
    for (int index = 0; index < 300; ++index) {
        m_fileSystem.AddFile(L"\\many\\item" + std::to_wstring(index), std::string(index, 'x'));
    }
    const int createsBefore = m_fileSystem.counters().creates.load();
    const std::string listing = ShellOutput("ls -l many");
    const int creates = m_fileSystem.counters().creates.load() - createsBefore;
    EXPECT_NE(listing.find("item299"), std::string::npos);
    EXPECT_NE(listing.find(" 299 "), std::string::npos);  // the size came with the listing
    EXPECT_LT(creates, 10) << "ls -l opened items one by one";
    EXPECT_EQ(m_fileSystem.counters().findFiles.load(), 1);
}

TEST_F(FuseOperationsTest, ModeAndTimesBecomeAttributesAndFileTimes) {
    WriteWhole(Path("f"), "content");
    ASSERT_EQ(::chmod(Path("f").c_str(), 0444), 0);
    EXPECT_NE(*m_fileSystem.Attributes(L"\\f") & FILE_ATTRIBUTE_READONLY, 0u);
    struct stat status {};
    ASSERT_EQ(::stat(Path("f").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0444u);
    ASSERT_EQ(::chmod(Path("f").c_str(), 0644), 0);
    EXPECT_EQ(*m_fileSystem.Attributes(L"\\f") & FILE_ATTRIBUTE_READONLY, 0u);

    const timespec times[2] = {{1'000'000'000, 0}, {1'500'000'000, 500}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Path("f").c_str(), times, 0), 0);
    const FILETIME written = *m_fileSystem.LastWriteTime(L"\\f");
    const std::uint64_t intervals =
        (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    EXPECT_EQ(intervals, (1'500'000'000ULL + 11'644'473'600ULL) * 10'000'000ULL + 5);
    ASSERT_EQ(::stat(Path("f").c_str(), &status), 0);
    EXPECT_EQ(status.st_mtim.tv_sec, 1'500'000'000);

    EXPECT_EQ(::chown(Path("f").c_str(), ::getuid(), ::getgid()), 0);
}

TEST_F(FuseOperationsTest, VolumeFiguresComeFromTheFileSystem) {
    struct statvfs status {};
    ASSERT_EQ(::statvfs(m_root.c_str(), &status), 0);
    EXPECT_EQ(status.f_namemax, 255u);
    EXPECT_EQ(status.f_blocks * status.f_frsize, 1ULL << 30);
    EXPECT_EQ(status.f_bavail * status.f_frsize, 1ULL << 29);

    // A file system that cannot tell its free space still answers statfs.
    m_fileSystem.SetDiskFreeSpaceStatus(STATUS_ACCESS_DENIED);
    ASSERT_EQ(::statvfs(m_root.c_str(), &status), 0);
    EXPECT_GT(status.f_bavail, 0u);
}

TEST_F(FuseOperationsTest, WhatTheDriveDoesNotHaveGetsCleanErrors) {
    WriteWhole(Path("f"), "x");
    EXPECT_EQ(ErrnoOf(::symlink("f", Path("link").c_str())), EPERM);
    EXPECT_EQ(ErrnoOf(::link(Path("f").c_str(), Path("hard").c_str())), EPERM);
    EXPECT_EQ(ErrnoOf(::mkfifo(Path("fifo").c_str(), 0644)), EPERM);
    EXPECT_EQ(ErrnoOf(::setxattr(Path("f").c_str(), "user.test", "v", 1, 0)), ENOTSUP);
    char value[16];
    EXPECT_EQ(ErrnoOf(static_cast<int>(::getxattr(Path("f").c_str(), "user.test", value, 16))),
              ENOTSUP);

    const int descriptor = ::open(Path("f").c_str(), O_RDWR);
    ASSERT_GE(descriptor, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    // Locks are kept by the kernel, for the programs of this machine.
    EXPECT_EQ(ErrnoOf(::fcntl(descriptor, F_SETLK, &lock)), 0);
    EXPECT_EQ(ErrnoOf(::flock(descriptor, LOCK_EX | LOCK_NB)), 0);
    ::close(descriptor);
    EXPECT_FALSE(m_fileSystem.Exists(L"\\link"));
    EXPECT_FALSE(m_fileSystem.Exists(L"\\hard"));
}

TEST_F(FuseOperationsTest, FlushFailureReachesCloseAndFsync) {
    const int descriptor = ::open(Path("upload").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::write(descriptor, "data", 4), 4);
    m_fileSystem.SetFlushStatus(STATUS_DISK_FULL);
    EXPECT_EQ(ErrnoOf(::fsync(descriptor)), ENOSPC);
    EXPECT_EQ(ErrnoOf(::close(descriptor)), ENOSPC);
    m_fileSystem.SetFlushStatus(STATUS_SUCCESS);
}

TEST_F(FuseOperationsTest, StatusesBecomeTheErrnoProgramsExpect) {
    struct Row {
        NTSTATUS status;
        int expected;
    };
    const std::vector<Row> rows = {
        {STATUS_ACCESS_DENIED, EACCES},
        {STATUS_CANNOT_DELETE, EPERM},
        {STATUS_OBJECT_NAME_NOT_FOUND, ENOENT},
        {STATUS_NO_SUCH_FILE, ENOENT},
        {STATUS_OBJECT_PATH_NOT_FOUND, ENOENT},
        {STATUS_OBJECT_NAME_COLLISION, EEXIST},
        {STATUS_OBJECT_NAME_INVALID, EINVAL},
        {STATUS_FILE_IS_A_DIRECTORY, EISDIR},
        {STATUS_NOT_A_DIRECTORY, ENOTDIR},
        {STATUS_DIRECTORY_NOT_EMPTY, ENOTEMPTY},
        {STATUS_SHARING_VIOLATION, EBUSY},
        {STATUS_DISK_FULL, ENOSPC},
        {STATUS_FILE_TOO_LARGE, EFBIG},
        {STATUS_CONNECTION_DISCONNECTED, EIO},
        {STATUS_NOT_IMPLEMENTED, ENOTSUP},
        {static_cast<NTSTATUS>(0xC0001234), EIO},  // unknown: EIO, logged
    };
    std::mutex mutex;
    NTSTATUS answer = STATUS_SUCCESS;
    m_fileSystem.SetCreateHook([&](const std::wstring& path, ACCESS_MASK, DWORD, ULONG) {
        std::lock_guard<std::mutex> lock(mutex);
        return path.rfind(L"\\probe", 0) == 0 ? answer : STATUS_SUCCESS;
    });
    int index = 0;
    for (const Row& row : rows) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            answer = row.status;
        }
        // A fresh name each time: the kernel remembers a missing name for a moment.
        const std::string name = "probe" + std::to_string(index++);
        struct stat status {};
        EXPECT_EQ(ErrnoOf(::stat(Path(name).c_str(), &status)), row.expected)
            << "status 0x" << std::hex << static_cast<DWORD>(row.status);
    }
    // A name the file system finds invalid because it is too long.
    {
        std::lock_guard<std::mutex> lock(mutex);
        answer = STATUS_OBJECT_NAME_INVALID;
    }
    struct stat status {};
    EXPECT_EQ(ErrnoOf(::stat(Path("probe" + std::string(250, 'n')).c_str(), &status)),
              ENAMETOOLONG);
    m_fileSystem.SetCreateHook(nullptr);
}

TEST_F(FuseOperationsTest, BadNamesAreRefusedBeforeAnyOperation) {
    std::mutex mutex;
    std::vector<std::wstring> seen;
    m_fileSystem.SetCreateHook([&](const std::wstring& path, ACCESS_MASK, DWORD, ULONG) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(path);
        return STATUS_SUCCESS;
    });
    EXPECT_EQ(ErrnoOf(::open(Path("back\\slash").c_str(), O_CREAT | O_WRONLY, 0644)), EINVAL);
    EXPECT_EQ(ErrnoOf(::mkdir(Path("bad\xff"
                                   "name")
                                  .c_str(),
                              0755)),
              EINVAL);
    WriteWhole(Path("good"), "x");
    EXPECT_EQ(ErrnoOf(::rename(Path("good").c_str(), Path("a\\b").c_str())), EINVAL);
    m_fileSystem.SetCreateHook(nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    for (const std::wstring& path : seen) {
        EXPECT_EQ(path.find(L"slash"), std::wstring::npos);
        EXPECT_EQ(path.find(L"name"), std::wstring::npos);
        EXPECT_EQ(path.find(L"a\\b"), std::wstring::npos);
    }
    EXPECT_TRUE(m_fileSystem.Exists(L"\\good"));
    // Unicode names are fine.
    WriteWhole(Path("Отчёт 2024.txt"), "ok");
    EXPECT_TRUE(m_fileSystem.Exists(L"\\Отчёт 2024.txt"));
}

TEST_F(FuseOperationsTest, EveryOpenEndsInCleanupAndCloseWithItsOwnContext) {
    WriteWhole(Path("one"), "1");
    ASSERT_EQ(::mkdir(Path("two").c_str(), 0755), 0);
    WriteWhole(Path("two/three"), "3");
    EXPECT_EQ(ReadWhole(Path("two/three")), "3");
    Shell("ls -la two > /dev/null");
    ASSERT_EQ(::unlink(Path("one").c_str()), 0);
    ASSERT_TRUE(m_drive->Unmount().has_value());
    const auto& counters = m_fileSystem.counters();
    EXPECT_EQ(counters.creates.load(), counters.cleanups.load());
    EXPECT_EQ(counters.creates.load(), counters.closes.load());
    EXPECT_EQ(counters.contextMismatches.load(), 0);
}

}  // namespace
}  // namespace kelvo_test
