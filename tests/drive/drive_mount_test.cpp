// The drive through a real mount: what programs do with files, end to end.
#include "MountedDrive.h"
#include "sync_counting_vfs.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

extern char** environ;

namespace drive_test {
namespace {

namespace fs = std::filesystem;

std::string Bytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

int Shell(const std::string& command, const fs::path& file) {
    return RunProgram({"sh", "-c", command, file.string()});  // the file is $0
}

std::uint64_t SizeByPath(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return static_cast<std::uint64_t>(status.st_size);
}

std::uint64_t SizeByDescriptor(int descriptor) {
    struct stat status {};
    EXPECT_EQ(::fstat(descriptor, &status), 0);
    return static_cast<std::uint64_t>(status.st_size);
}

std::string ReadAt(int descriptor, std::size_t length, off_t offset) {
    std::string bytes(length, '\0');
    const ssize_t count = ::pread(descriptor, bytes.data(), length, offset);
    bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return bytes;
}

class DriveMountTest : public MountedDriveTest {};

TEST_F(DriveMountTest, ATreeCopiedInAndOutKeepsEveryByte) {
    QTemporaryDir source;
    QTemporaryDir back;
    const fs::path in = source.path().toStdString();
    const fs::path out = fs::path(back.path().toStdString()) / "tree";
    fs::create_directories(in / "sub" / "deeper");
    fs::create_directories(in / "empty folder");
    const std::size_t sizes[] = {0, 1, 4095, 4096, 65537, 1024 * 1024 + 3, 3 * 1024 * 1024};
    unsigned seed = 1;
    for (const std::size_t size : sizes) {
        WriteFile(in / ("file" + std::to_string(size)), Bytes(size, seed++));
        WriteFile(in / "sub" / ("inner" + std::to_string(size)), Bytes(size / 3, seed++));
    }
    WriteFile(in / "sub" / "deeper" / "Текст.txt", "кириллица");

    fs::copy(in, m_root / "tree", fs::copy_options::recursive);
    fs::copy(m_root / "tree", out, fs::copy_options::recursive);

    std::size_t compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(in)) {
        const fs::path relative = fs::relative(entry.path(), in);
        ASSERT_TRUE(fs::exists(out / relative)) << relative;
        if (entry.is_regular_file()) {
            EXPECT_TRUE(ReadFile(entry.path()) == ReadFile(out / relative)) << relative;
            EXPECT_EQ(fs::file_size(m_root / "tree" / relative), entry.file_size()) << relative;
            ++compared;
        } else {
            EXPECT_TRUE(fs::is_directory(out / relative)) << relative;
        }
    }
    EXPECT_EQ(compared, 2 * std::size(sizes) + 1);
}

TEST_F(DriveMountTest, EditingInPlaceKeepsTheRestAndAddsOneVersion) {
    const std::string original = Bytes(200000, 7);
    WriteFile(m_root / "doc.bin", original);
    const std::size_t versions = m_drive.versionCount("doc.bin");

    const int fd = ::open((m_root / "doc.bin").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const std::string patch = "PATCHED";
    ASSERT_EQ(::pwrite(fd, patch.data(), patch.size(), 100000), static_cast<ssize_t>(patch.size()));
    ASSERT_EQ(::close(fd), 0);

    std::string expected = original;
    expected.replace(100000, patch.size(), patch);
    EXPECT_TRUE(ReadFile(m_root / "doc.bin") == expected);
    EXPECT_EQ(m_drive.versionCount("doc.bin"), versions + 1);
}

// The drive on a repository whose syncs are counted. The counting stays the default for the rest
// of this program: the drive's connections may outlive the test.
class DriveDurabilityTest : public DriveMountTest {
protected:
    void SetUp() override {
        static kelvo_test::SyncCountingVfs* const vfs = new kelvo_test::SyncCountingVfs;
        m_vfs = vfs;
        DriveMountTest::SetUp();
    }

    kelvo_test::SyncCountingVfs* m_vfs = nullptr;
};

TEST_F(DriveDurabilityTest, FsyncAndSynchronousWritesWaitForTheDiskAndACloseDoesNot) {
    // SQLite syncs the header of a write-ahead log it starts anew: once, before the first save.
    WriteFile(m_root / "first.txt", "starts the log");
    int syncs = m_vfs->Syncs();
    WriteFile(m_root / "closed.txt", "stored when closed");
    EXPECT_EQ(m_vfs->Syncs(), syncs) << "a close waited for the disk";
    EXPECT_EQ(ReadFile(m_root / "closed.txt"), "stored when closed");

    for (const bool dataOnly : {false, true}) {
        const int descriptor = ::open((m_root / "synced.txt").c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(descriptor, 0);
        ASSERT_EQ(::write(descriptor, "abc", 3), 3);
        syncs = m_vfs->Syncs();
        EXPECT_EQ(dataOnly ? ::fdatasync(descriptor) : ::fsync(descriptor), 0);
        EXPECT_GT(m_vfs->Syncs(), syncs) << (dataOnly ? "fdatasync" : "fsync");
        EXPECT_EQ(::close(descriptor), 0);
    }
    // An fsync with nothing of its own to store still covers what was stored before.
    const int reader = ::open((m_root / "closed.txt").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    syncs = m_vfs->Syncs();
    EXPECT_EQ(::fsync(reader), 0);
    EXPECT_GT(m_vfs->Syncs(), syncs);
    ::close(reader);

    for (const int flag : {O_SYNC, O_DSYNC}) {
        const int descriptor =
            ::open((m_root / "synchronous.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC | flag, 0644);
        ASSERT_GE(descriptor, 0);
        syncs = m_vfs->Syncs();
        const std::size_t versions = m_drive.versionCount("synchronous.txt");
        ASSERT_EQ(::write(descriptor, "durable", 7), 7);
        EXPECT_GT(m_vfs->Syncs(), syncs) << "a write through O_SYNC or O_DSYNC";
        EXPECT_EQ(m_drive.versionCount("synchronous.txt"), versions + 1);
        EXPECT_EQ(::close(descriptor), 0);
        EXPECT_EQ(ReadFile(m_root / "synchronous.txt"), "durable");
    }
}

TEST_F(DriveMountTest, EachSaveCreatesExactlyOneVersion) {
    WriteFile(m_root / "saved.txt", "first");
    const std::size_t afterCreation = m_drive.versionCount("saved.txt");
    for (int save = 1; save <= 3; ++save) {
        WriteFile(m_root / "saved.txt", "save number " + std::to_string(save));
        EXPECT_EQ(m_drive.versionCount("saved.txt"), afterCreation + save);
    }
    // Reading is no save.
    EXPECT_EQ(ReadFile(m_root / "saved.txt"), "save number 3");
    EXPECT_EQ(m_drive.versionCount("saved.txt"), afterCreation + 3);
}

// --- Saves by replacing, refusals
// -----------------------------------------------------------------

int ErrnoOf(int result) {
    return result == 0 ? 0 : errno;
}

// Names in a folder, sorted, without the root's service file.
std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != ".kelvo_drive") {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Whether another process sees this process's write lock on the file.
bool AnotherProcessSeesTheLock(const fs::path& path) {
    const pid_t owner = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        const int descriptor = ::open(path.c_str(), O_RDONLY);
        struct flock probe {};
        probe.l_type = F_RDLCK;
        probe.l_whence = SEEK_SET;
        const bool seen = descriptor >= 0 && ::fcntl(descriptor, F_GETLK, &probe) == 0 &&
                          probe.l_type == F_WRLCK && probe.l_pid == owner;
        ::_exit(seen ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Saves a line over the document as Python programs do: a temporary file and os.replace.
// Takes the edit lock for another link, waiting a little for a release still on its way.
bool LockTakenOnceReleased(tarvo::IItemStore& other, const tarvo::IdPath& document) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::wstring holder;
    while (other.LockForEdit(document, holder) != tarvo::lock_state::kTaken) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void SaveWithPython(const fs::path& document, const std::string& line) {
    const std::string script =
        "import os, sys; p = sys.argv[1]; open(p + '.tmp', 'w').write("
        "sys.argv[2] + chr(10)); os.replace(p + '.tmp', p)";
    ASSERT_EQ(
        std::system(
            ("python3 -c \"" + script + "\" " + document.string() + " '" + line + "'").c_str()),
        0);
}

// The document holds one line; sed -i writes its replacement to a temporary file and renames it.
void SaveWithSed(const fs::path& document, const std::string& line) {
    ASSERT_EQ(std::system(("sed -i 's/.*/" + line + "/' " + document.string()).c_str()), 0);
}

// As office suites save: the temporary file is locked while it is written and renamed over the
// document, and unlocked after.
void SaveWithLockedTemporary(const fs::path& document, const std::string& line) {
    const fs::path temporary = document.string() + ".lock~";
    const int descriptor = ::open(temporary.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    ASSERT_GE(descriptor, 0);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(descriptor, F_SETLK, &lock), 0);
    EXPECT_TRUE(AnotherProcessSeesTheLock(temporary));
    EXPECT_EQ(::flock(descriptor, LOCK_EX | LOCK_NB), 0);
    const int second = ::open(temporary.c_str(), O_RDONLY);
    EXPECT_EQ(ErrnoOf(::flock(second, LOCK_SH | LOCK_NB)), EWOULDBLOCK);
    ::close(second);
    const std::string content = line + "\n";
    ASSERT_EQ(::write(descriptor, content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    EXPECT_EQ(ErrnoOf(::rename(temporary.c_str(), document.c_str())), 0);
    lock.l_type = F_UNLCK;
    EXPECT_EQ(::fcntl(descriptor, F_SETLK, &lock), 0);
    EXPECT_EQ(::close(descriptor), 0);
}

TEST_F(DriveMountTest, SavesByReplacingKeepTheDocumentAndAddOneVersionEach) {
    const struct {
        const char* way;
        void (*save)(const fs::path&, const std::string&);
    } ways[] = {
        {"python", SaveWithPython},
        {"sed", SaveWithSed},
        {"locked", SaveWithLockedTemporary},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.way);
        const fs::path relative = fs::path(way.way) / "doc.txt";
        fs::create_directory(m_root / way.way);
        WriteFile(m_root / relative, "start\n");
        const tarvo::ItemId id = m_drive.resolve(relative).back();
        const std::size_t versions = m_drive.versionCount(relative);
        for (int save = 1; save <= 3; ++save) {
            const std::string line = "save " + std::to_string(save);
            way.save(m_root / relative, line);
            EXPECT_EQ(ReadFile(m_root / relative), line + "\n");
        }
        EXPECT_EQ(m_drive.resolve(relative).back(), id);
        EXPECT_EQ(m_drive.versionCount(relative), versions + 3);
        EXPECT_EQ(Names(m_root / way.way), std::vector<std::string>{"doc.txt"});
    }
}

TEST_F(DriveMountTest, ADocumentSavedOverWhileOpenKeepsServingItsDescriptor) {
    const fs::path document = m_root / "open.txt";
    WriteFile(document, "original");
    const std::size_t versions = m_drive.versionCount("open.txt");
    const int descriptor = ::open(document.c_str(), O_RDWR);
    ASSERT_GE(descriptor, 0);
    SaveWithPython(document, "saved");
    EXPECT_EQ(ReadAt(descriptor, 8, 0), "original");
    // Written to what the descriptor holds; never uploaded over the save.
    EXPECT_EQ(::pwrite(descriptor, "X", 1, 0), 1);
    EXPECT_EQ(ReadAt(descriptor, 8, 0), "Xriginal");
    // A writer of the saved document shares the edit lock the old descriptor's writer took; it
    // stays taken when the old descriptor closes.
    const int writer = ::open(document.c_str(), O_RDWR);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(::close(descriptor), 0);
    std::wstring holder;
    const auto other = m_drive.repository();
    EXPECT_EQ(other->LockForEdit(m_drive.resolve("open.txt"), holder),
              tarvo::lock_state::kHeldByOther);
    EXPECT_EQ(::close(writer), 0);
    // The kernel hands the drive the descriptor's release after close() has returned; the lock
    // goes back then.
    EXPECT_TRUE(LockTakenOnceReleased(*other, m_drive.resolve("open.txt")));
    other->Unlock(m_drive.resolve("open.txt"));
    EXPECT_EQ(ReadFile(document), "saved\n");
    EXPECT_EQ(m_drive.versionCount("open.txt"), versions + 1);
    EXPECT_FALSE(fs::exists(m_drive.dataFolder() / "recovery"));
}

TEST_F(DriveMountTest, ADocumentAnotherLinkEditsIsNeitherDeletedNorSavedOver) {
    const fs::path document = m_root / "doc.txt";
    const fs::path replacement = m_root / "doc.txt.new";
    WriteFile(document, "original");
    WriteFile(replacement, "replacement");
    const std::size_t versions = m_drive.versionCount("doc.txt");
    const auto other = m_drive.repository();  // a link of its own: another user
    std::wstring holder;
    ASSERT_EQ(other->LockForEdit(m_drive.resolve("doc.txt"), holder), tarvo::lock_state::kTaken);

    EXPECT_EQ(ErrnoOf(::unlink(document.c_str())), EACCES);
    EXPECT_EQ(ErrnoOf(::rename(replacement.c_str(), document.c_str())), EACCES);
    EXPECT_EQ(ReadFile(document), "original");
    EXPECT_EQ(ReadFile(replacement), "replacement");
    EXPECT_EQ(m_drive.versionCount("doc.txt"), versions);
    EXPECT_EQ(Names(m_root), (std::vector<std::string>{"doc.txt", "doc.txt.new"}));

    other->Unlock(m_drive.resolve("doc.txt"));
    EXPECT_EQ(ErrnoOf(::rename(replacement.c_str(), document.c_str())), 0);
    EXPECT_EQ(ReadFile(document), "replacement");
    EXPECT_EQ(ErrnoOf(::unlink(document.c_str())), 0);
    EXPECT_TRUE(Names(m_root).empty());
}

TEST_F(DriveMountTest, RenamesAndRemovalsAnswerAsOnALocalDisk) {
    fs::create_directories(m_root / "full" / "inner");
    fs::create_directory(m_root / "empty");
    fs::create_directory(m_root / "moving");
    WriteFile(m_root / "moving" / "kept.txt", "kept");
    WriteFile(m_root / "doc.txt", "doc");
    const auto path = [this](const char* name) { return (m_root / name).string(); };
    const auto rename = [&](const char* from, const char* to) {
        return ::rename(path(from).c_str(), path(to).c_str());
    };
    const struct {
        const char* what;
        std::function<int()> call;
        int expected;
    } rows[] = {
        {"folder onto a folder with items", [&] { return rename("moving", "full"); }, ENOTEMPTY},
        {"document onto a folder", [&] { return rename("doc.txt", "empty"); }, EISDIR},
        {"folder onto a document", [&] { return rename("moving", "doc.txt"); }, ENOTDIR},
        {"folder onto an empty folder", [&] { return rename("moving", "empty"); }, 0},
        {"removing the service file", [&] { return ::unlink(path(".kelvo_drive").c_str()); },
         EPERM},
        {"renaming the service file", [&] { return rename(".kelvo_drive", "x"); }, EPERM},
        {"renaming onto the service file", [&] { return rename("doc.txt", ".kelvo_drive"); },
         EPERM},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ErrnoOf(row.call()), row.expected) << row.what;
    }
    EXPECT_EQ(ReadFile(m_root / "empty" / "kept.txt"), "kept");
    EXPECT_EQ(Names(m_root), (std::vector<std::string>{"doc.txt", "empty", "full"}));
    EXPECT_EQ(Names(m_root / "full"), std::vector<std::string>{"inner"});
    EXPECT_EQ(ReadFile(m_root / "doc.txt"), "doc");
    EXPECT_FALSE(ReadFile(m_root / ".kelvo_drive").empty());
}

TEST_F(DriveMountTest, DeleteAndMove) {
    fs::create_directories(m_root / "a" / "inner");
    fs::create_directory(m_root / "b");
    WriteFile(m_root / "a" / "one.txt", "one");
    WriteFile(m_root / "a" / "inner" / "two.txt", "two");

    fs::rename(m_root / "a" / "one.txt", m_root / "b" / "uno.txt");
    EXPECT_FALSE(fs::exists(m_root / "a" / "one.txt"));
    EXPECT_EQ(ReadFile(m_root / "b" / "uno.txt"), "one");

    fs::rename(m_root / "a" / "inner", m_root / "b" / "moved");
    EXPECT_EQ(ReadFile(m_root / "b" / "moved" / "two.txt"), "two");

    std::error_code error;
    fs::remove(m_root / "b" / "moved", error);
    EXPECT_TRUE(error) << "a folder with a document in it was removed";
    EXPECT_TRUE(fs::remove(m_root / "b" / "moved" / "two.txt"));
    EXPECT_TRUE(fs::remove(m_root / "b" / "moved"));
    EXPECT_TRUE(fs::remove(m_root / "b" / "uno.txt"));
    EXPECT_TRUE(fs::is_empty(m_root / "b"));
    EXPECT_EQ(m_drive.versionCount("b/uno.txt"), 0u);
}

TEST_F(DriveMountTest, TwoProcessesReadOneDocument) {
    const std::string content = Bytes(8 * 1024 * 1024, 11);
    WriteFile(m_root / "shared.bin", content);
    QTemporaryDir local;
    const fs::path expected = fs::path(local.path().toStdString()) / "expected.bin";
    WriteFile(expected, content);

    const std::string mounted = (m_root / "shared.bin").string();
    std::vector<pid_t> readers;
    for (int reader = 0; reader < 2; ++reader) {
        const char* arguments[] = {"cmp", mounted.c_str(), expected.c_str(), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(
            posix_spawnp(&pid, "cmp", nullptr, nullptr, const_cast<char**>(arguments), environ), 0);
        readers.push_back(pid);
    }
    for (const pid_t pid : readers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "cmp reported a difference";
    }
}

// Every change through any handle or process shows at once in stat, fstat and the content: the
// kernel appends at the size it was told.
TEST_F(DriveMountTest, SizesAndContentAreLiveAfterEveryChange) {
    const fs::path path = m_root / "sized.txt";
    WriteFile(path, "0123456789");
    const int descriptor = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(descriptor, 0);
    struct Step {
        const char* name;
        std::function<void()> change;
        std::string expected;
    };
    const std::vector<Step> steps = {
        {"truncate to nothing", [&] { EXPECT_EQ(::truncate(path.c_str(), 0), 0); }, ""},
        {"append by a shell after another process's stat",
         [&] { EXPECT_EQ(Shell("stat \"$0\" > /dev/null && printf abcd >> \"$0\"", path), 0); },
         "abcd"},
        {"ftruncate shrinks", [&] { EXPECT_EQ(::ftruncate(descriptor, 2), 0); }, "ab"},
        {"ftruncate extends", [&] { EXPECT_EQ(::ftruncate(descriptor, 5), 0); },
         std::string("ab\0\0\0", 5)},
        {"a write past the end", [&] { EXPECT_EQ(::pwrite(descriptor, "XY", 2, 6), 2); },
         std::string("ab\0\0\0\0XY", 8)},
        {"O_APPEND after another process's stat",
         [&] {
             EXPECT_EQ(RunProgram({"stat", path.string()}), 0);
             const int appender = ::open(path.c_str(), O_WRONLY | O_APPEND);
             EXPECT_EQ(::write(appender, "++", 2), 2);
             EXPECT_EQ(::close(appender), 0);
         },
         std::string("ab\0\0\0\0XY++", 10)},
        {"truncate -s 2, then >>",
         [&] { EXPECT_EQ(Shell("truncate -s 2 \"$0\" && printf zz >> \"$0\"", path), 0); }, "abzz"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.change();
        EXPECT_EQ(SizeByPath(path), step.expected.size());
        EXPECT_EQ(SizeByDescriptor(descriptor), step.expected.size());
        EXPECT_EQ(ReadAt(descriptor, 64, 0), step.expected);
        EXPECT_EQ(ReadFile(path), step.expected);
    }
    EXPECT_EQ(::close(descriptor), 0);
    EXPECT_EQ(ReadFile(path), "abzz");
}

TEST_F(DriveMountTest, WritesAreSharedByDescriptorsAndProcesses) {
    const fs::path path = m_root / "shared.txt";
    WriteFile(path, "0123456789ABCDEF");

    // Write, then read on one descriptor.
    const int descriptor = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::pwrite(descriptor, "w", 1, 15), 1);
    EXPECT_EQ(ReadAt(descriptor, 64, 0), "0123456789ABCDEw");
    ASSERT_EQ(::close(descriptor), 0);

    // Two processes with the document open at once write different ranges: both are kept.
    const char* writer =
        "(sleep 0.3; printf \"$1\") | dd of=\"$0\" bs=4 seek=\"$2\" "
        "conv=notrunc status=none";
    pid_t writers[2] = {};
    const std::string blocks[2][2] = {{"aaaa", "0"}, {"bbbb", "2"}};
    for (int index = 0; index < 2; ++index) {
        const char* arguments[] = {
            "sh",   "-c", writer, path.c_str(), blocks[index][0].c_str(), blocks[index][1].c_str(),
            nullptr};
        ASSERT_EQ(posix_spawnp(&writers[index], "sh", nullptr, nullptr,
                               const_cast<char**>(arguments), environ),
                  0);
    }
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(ReadFile(path), "aaaa4567bbbbCDEw");

    // A file written and closed is read back whole by another process at once.
    const std::string content = Bytes(3 * 1024 * 1024 + 5, 21);
    QTemporaryDir local;
    const fs::path expected = fs::path(local.path().toStdString()) / "expected.bin";
    WriteFile(expected, content);
    WriteFile(m_root / "copied.bin", content);
    EXPECT_EQ(RunProgram({"cmp", (m_root / "copied.bin").string(), expected.string()}), 0);
    EXPECT_EQ(SizeByPath(m_root / "copied.bin"), content.size());
}

TEST_F(DriveMountTest, ADocumentDeletedWhileOpenStaysUsableThroughItsDescriptor) {
    const fs::path path = m_root / "deleted.bin";
    const std::string content = Bytes(300000, 5);
    WriteFile(path, content);
    const int descriptor = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_FALSE(fs::exists(path));
    // Past the kernel's attribute cache, so that fstat asks the drive.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(SizeByDescriptor(descriptor), content.size());
    EXPECT_TRUE(ReadAt(descriptor, 100, 1000) == content.substr(1000, 100));
    ASSERT_EQ(::pwrite(descriptor, "tail", 4, 300000), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(SizeByDescriptor(descriptor), content.size() + 4);
    EXPECT_EQ(ReadAt(descriptor, 4, 300000), "tail");
    EXPECT_EQ(::close(descriptor), 0);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(m_drive.dataFolder() / "recovery"));
}

TEST_F(DriveMountTest, VersionsOnlyForWhatChanged) {
    struct Row {
        const char* name;
        std::function<void(const fs::path&)> act;
        std::size_t newVersions;
    };
    const std::vector<Row> rows = {
        {"write and close",
         [](const fs::path& path) {
             const int descriptor = ::open(path.c_str(), O_WRONLY);
             EXPECT_EQ(::pwrite(descriptor, "new", 3, 0), 3);
             EXPECT_EQ(::close(descriptor), 0);
         },
         1},
        {"truncate, write and close",
         [](const fs::path& path) {
             const int descriptor = ::open(path.c_str(), O_RDWR);
             EXPECT_EQ(::ftruncate(descriptor, 0), 0);
             EXPECT_EQ(::write(descriptor, "new", 3), 3);
             EXPECT_EQ(::close(descriptor), 0);
         },
         1},
        {"a shell redirect over the document",
         [](const fs::path& path) { EXPECT_EQ(Shell("echo x > \"$0\"", path), 0); }, 1},
        {"a duplicated descriptor closed, nothing written",
         [](const fs::path& path) {
             const int descriptor = ::open(path.c_str(), O_RDWR);
             const int duplicate = ::dup(descriptor);
             EXPECT_EQ(::close(duplicate), 0);
             EXPECT_EQ(::close(descriptor), 0);
         },
         0},
        {"written, then a duplicate and the original closed",
         [](const fs::path& path) {
             const int descriptor = ::open(path.c_str(), O_RDWR);
             EXPECT_EQ(::pwrite(descriptor, "new", 3, 0), 3);
             const int duplicate = ::dup(descriptor);
             EXPECT_EQ(::close(duplicate), 0);
             EXPECT_EQ(::close(descriptor), 0);
         },
         1},
        {"read only", [](const fs::path& path) { ReadFile(path); }, 0},
    };
    int index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string name = "versions" + std::to_string(index++) + ".txt";
        WriteFile(m_root / name, "original content");
        const std::size_t before = m_drive.versionCount(name);
        row.act(m_root / name);
        // The kernel ends a handle after close() returns: let it reach the drive.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(m_drive.versionCount(name), before + row.newVersions);
    }
}

TEST_F(DriveMountTest, WhatHandlesLeftOpenAtDisconnectionHoldIsUploaded) {
    WriteFile(m_root / "open.txt", "before");
    const std::size_t before = m_drive.versionCount("open.txt");
    const int descriptor = ::open((m_root / "open.txt").c_str(), O_WRONLY);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::pwrite(descriptor, "AFTER!", 6, 0), 6);
    m_drive.disconnect();
    ::close(descriptor);  // the mount is gone: whatever this answers, the content was saved
    EXPECT_EQ(m_drive.versionCount("open.txt"), before + 1);
    std::wstring holder;
    const auto store = m_drive.repository();
    EXPECT_EQ(store->LockForEdit(store->ResolvePath({L"", L"open.txt"}), holder),
              tarvo::lock_state::kTaken);
}

TEST_F(DriveMountTest, TheRootShowsTheServiceFile) {
    const std::string name = ReadFile(m_root / ".kelvo_drive");
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(fs::file_size(m_root / ".kelvo_drive"), name.size());
}

// --- Real programs
// -----------------------------------------------------------------------------------

// Runs a shell script (with `set -e`) that sees a fresh folder on the drive as $M and a local one
// as $L; empty when it succeeded, else what it printed.
std::string RunScript(const std::string& script, const fs::path& mounted, const fs::path& local) {
    const std::string body = "M=$0 L=$1\nexec > \"$L/script-output.txt\" 2>&1\nset -ex\n" + script;
    if (RunProgram({"sh", "-c", body, mounted.string(), local.string()}) == 0) {
        return {};
    }
    const std::string printed = ReadFile(local / "script-output.txt");
    return printed.empty() ? std::string("the script failed without a word") : printed;
}

bool ProgramInstalled(const std::string& program) {
    return RunProgram({"sh", "-c", "command -v \"$0\" > /dev/null", program}) == 0;
}

// Each script does what people do with the program on a local disk and checks the result itself.
TEST_F(DriveMountTest, RealProgramsWorkAsOnALocalDisk) {
    const struct {
        const char* name;
        const char* program;
        const char* script;
    } rows[] = {
        {"git commits, restores and repacks without phantom changes", "git", R"sh(
            export HOME="$L" GIT_CONFIG_NOSYSTEM=1
            git config --global user.name QA
            git config --global user.email qa@example.com
            cd "$M"
            git init -q
            printf 'one\n' > a.txt
            mkdir sub
            head -c 100000 /dev/urandom > sub/b.bin
            git add -A
            git commit -qm first
            printf 'two\n' >> a.txt
            git commit -qam second
            printf 'dirty\n' > a.txt
            git checkout -- a.txt
            test -z "$(git status --porcelain)"
            test "$(cat a.txt)" = "$(printf 'one\ntwo')"
            git gc -q
            git fsck --no-progress
            test -z "$(git status --porcelain)"
            git clone -q "$M" "$L/clone"
            diff -r --exclude=.git "$M" "$L/clone")sh"},
        {"cp of a multi-MiB file is read back at once, also over a larger one", "cp", R"sh(
            head -c 6000000 /dev/urandom > "$L/big"
            cp "$L/big" "$M/big"
            cmp "$L/big" "$M/big"
            cp "$M/big" "$M/copy"
            cmp "$L/big" "$M/copy"
            head -c 1000 /dev/urandom > "$L/small"
            cp "$L/small" "$M/big"
            cmp "$L/small" "$M/big"
            test "$(stat -c %s "$M/big")" = 1000)sh"},
        {"dd conv=notrunc patches the middle and writes past the end", "dd", R"sh(
            head -c 5000000 /dev/urandom > "$L/reference"
            cp "$L/reference" "$M/doc"
            head -c 10000 /dev/urandom > "$L/patch"
            for seek in 3000 6000; do
                dd if="$L/patch" of="$M/doc" bs=1000 seek=$seek conv=notrunc status=none
                dd if="$L/patch" of="$L/reference" bs=1000 seek=$seek conv=notrunc status=none
                cmp "$L/reference" "$M/doc"
            done)sh"},
        {"tar extracts a tree that diff finds equal", "tar", R"sh(
            mkdir -p "$L/tree/a/b" "$L/tree/empty folder"
            printf x > "$L/tree/a/one"
            head -c 300000 /dev/urandom > "$L/tree/a/b/two"
            : > "$L/tree/zero"
            tar -C "$L" -cf "$L/tree.tar" tree
            tar -C "$M" -xf "$L/tree.tar"
            diff -r "$L/tree" "$M/tree"
            tar -C "$M" -cf "$L/back.tar" tree
            test "$(tar -tf "$L/back.tar" | sort)" = "$(tar -tf "$L/tree.tar" | sort)")sh"},
        {">> from two processes in turn, one keeping its descriptor open", "sh", R"sh(
            exec 3>> "$M/log"
            echo a >&3
            (echo b >> "$M/log")
            echo c >&3
            sh -c 'echo d >> "$0"' "$M/log"
            exec 3>&-
            printf 'a\nb\nc\nd\n' | cmp - "$M/log")sh"},
        {"sqlite keeps a database with a journal on the drive", "python3", R"sh(
            python3 - "$M/data.db" << 'END'
import sqlite3, sys
connection = sqlite3.connect(sys.argv[1])
connection.execute('create table t(x)')
for row in range(60):
    connection.execute('insert into t values (?)', ('x' * (row * 700),))
    if row % 10 == 9:
        connection.commit()
connection.execute('delete from t where rowid % 3 = 0')
connection.commit()
connection.execute('vacuum')
connection.close()
connection = sqlite3.connect(sys.argv[1])
assert connection.execute('pragma integrity_check').fetchone()[0] == 'ok'
assert connection.execute('select count(*) from t').fetchone()[0] == 40
END
            test ! -e "$M/data.db-journal")sh"},
        {"rsync copies, then updates by temporary files renamed over the documents", "rsync", R"sh(
            mkdir -p "$L/from/sub"
            head -c 200000 /dev/urandom > "$L/from/sub/x"
            printf one > "$L/from/y"
            rsync -a "$L/from/" "$M/to/"
            diff -r "$L/from" "$M/to"
            printf two >> "$L/from/y"
            head -c 1000 /dev/urandom >> "$L/from/sub/x"
            rsync -a --checksum "$L/from/" "$M/to/"
            diff -r "$L/from" "$M/to"
            test "$(ls -A "$M/to" | tr '\n' ' ')" = "sub y "
            printf three >> "$L/from/y"
            rsync -a --inplace "$L/from/" "$M/to/"
            diff -r "$L/from" "$M/to")sh"},
    };
    std::vector<std::string> missing;
    for (const auto& row : rows) {
        if (!ProgramInstalled(row.program)) {
            missing.push_back(row.program);
            continue;
        }
        QTemporaryDir local;
        const fs::path mounted = m_root / row.program;
        fs::create_directory(mounted);
        EXPECT_EQ(RunScript(row.script, mounted, local.path().toStdString()), "") << row.name;
    }
    if (!missing.empty()) {
        GTEST_SKIP() << "not installed (scripts/setup-deps.sh installs them): "
                     << ::testing::PrintToString(missing);
    }
}

// --- Random operations, checked against a local file
// -----------------------------------------------------

// One operation on a descriptor of a file; the data to write and the bytes read pass through a
// buffer. Only system calls, so that a forked child of this threaded process may run it too.
struct Operation {
    enum Kind { Open, Close, Write, Read, Truncate, Append, Size, Sync } kind;
    std::uint64_t offset = 0;  // the size for Truncate
    std::size_t length = 0;
};

struct Outcome {
    std::int64_t result = 0;  // what the call returned (the size for Size)
    int error = 0;
};

Outcome Perform(int& descriptor, const char* path, const Operation& operation, char* buffer) {
    Outcome outcome;
    const auto offset = static_cast<off_t>(operation.offset);
    switch (operation.kind) {
        case Operation::Open:
            descriptor = ::open(path, O_RDWR);
            outcome.result = descriptor < 0 ? -1 : 0;
            break;
        case Operation::Close:
            outcome.result = ::close(descriptor);
            descriptor = -1;
            break;
        case Operation::Write:
            outcome.result = ::pwrite(descriptor, buffer, operation.length, offset);
            break;
        case Operation::Read:
            outcome.result = ::pread(descriptor, buffer, operation.length, offset);
            break;
        case Operation::Truncate:
            outcome.result = ::ftruncate(descriptor, offset);
            break;
        case Operation::Append: {
            // As a shell's >>: a descriptor of its own, opened, written and closed.
            const int appender = ::open(path, O_WRONLY | O_APPEND);
            outcome.result = appender < 0 ? -1 : ::write(appender, buffer, operation.length);
            if (appender >= 0 && ::close(appender) != 0) {
                outcome.result = -1;
            }
            break;
        }
        case Operation::Size: {
            struct stat status {};
            outcome.result = ::fstat(descriptor, &status) == 0 ? status.st_size : -1;
            break;
        }
        case Operation::Sync:
            outcome.result = ::fsync(descriptor);
            break;
    }
    outcome.error = outcome.result < 0 ? errno : 0;
    return outcome;
}

constexpr std::size_t kLongestTransfer = 96 * 1024;

// A second process with a descriptor of its own on the file: it performs the operations it is
// sent, one at a time, with the data in memory shared with this process.
class PartnerProcess {
public:
    explicit PartnerProcess(const fs::path& path) : m_path(path.string()) {
        void* shared = ::mmap(nullptr, kLongestTransfer, PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED || ::pipe(m_requests) != 0 || ::pipe(m_answers) != 0) {
            return;
        }
        m_buffer = static_cast<char*>(shared);
        m_child = ::fork();
        if (m_child == 0) {
            Serve();
        }
        ::close(m_requests[0]);
        ::close(m_answers[1]);
    }
    ~PartnerProcess() {
        ::close(m_requests[1]);  // the child ends when its requests end
        if (m_child > 0) {
            int status = 0;
            ::waitpid(m_child, &status, 0);
        }
        ::close(m_answers[0]);
        if (m_buffer) {
            ::munmap(m_buffer, kLongestTransfer);
        }
    }
    PartnerProcess(const PartnerProcess&) = delete;
    PartnerProcess& operator=(const PartnerProcess&) = delete;

    bool running() const { return m_child > 0; }
    char* buffer() { return m_buffer; }
    Outcome perform(const Operation& operation) {
        Outcome outcome{-1, EPIPE};
        if (::write(m_requests[1], &operation, sizeof operation) != sizeof operation ||
            ::read(m_answers[0], &outcome, sizeof outcome) != sizeof outcome) {
            return Outcome{-1, EPIPE};
        }
        return outcome;
    }

private:
    [[noreturn]] void Serve() {
        ::close(m_requests[1]);
        ::close(m_answers[0]);
        int descriptor = -1;
        Operation operation{};
        while (::read(m_requests[0], &operation, sizeof operation) == sizeof operation) {
            const Outcome outcome = Perform(descriptor, m_path.c_str(), operation, m_buffer);
            if (::write(m_answers[1], &outcome, sizeof outcome) != sizeof outcome) {
                break;
            }
        }
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        ::_exit(0);
    }

    std::string m_path;
    char* m_buffer = nullptr;
    int m_requests[2] = {-1, -1};
    int m_answers[2] = {-1, -1};
    pid_t m_child = -1;
};

// Applies random writes, cuts, reads, appends, syncs and reopens through a descriptor of this
// process and one of another process to a document on the drive, and the same to a local file;
// after every step the sizes (stat and both fstat) and what was read must agree, and now and then
// the whole content. run() gives the first disagreement, empty when there was none.
class RandomExercise {
public:
    RandomExercise(const fs::path& mounted, const fs::path& reference, unsigned seed)
        : m_mounted(mounted.string()),
          m_reference(reference.string()),
          m_partner(mounted),
          m_random(seed),
          m_expected(kLongestTransfer, '\0'),
          m_actual(kLongestTransfer, '\0') {
        m_referenceDescriptor = ::open(m_reference.c_str(), O_RDWR);
    }
    ~RandomExercise() {
        for (const int descriptor : {m_descriptor, m_referenceDescriptor}) {
            if (descriptor >= 0) {
                ::close(descriptor);
            }
        }
    }
    RandomExercise(const RandomExercise&) = delete;
    RandomExercise& operator=(const RandomExercise&) = delete;

    std::string run(int steps) {
        if (!m_partner.running() || m_referenceDescriptor < 0) {
            return "cannot start: no partner process or no local file";
        }
        if (!same(0, {Operation::Open}, "open") || !same(1, {Operation::Open}, "open")) {
            return m_failure;
        }
        for (m_step = 0; m_step < steps && m_failure.empty(); ++m_step) {
            step();
            if (m_failure.empty()) {
                compareSizes();
            }
            if (m_failure.empty() && m_step % 16 == 15) {
                compareContent(0);
            }
        }
        // Each close uploads; a fresh open reads the repository's content.
        if (m_failure.empty() && same(0, {Operation::Close}, "close") &&
            same(1, {Operation::Close}, "close") && same(1, {Operation::Open}, "reopen")) {
            compareContent(1);
        }
        return m_failure;
    }

private:
    std::uint64_t pick(std::uint64_t below) {
        return std::uniform_int_distribution<std::uint64_t>(0, below - 1)(m_random);
    }

    // Half the offsets fall within a transfer of the end, where live sizes matter.
    std::uint64_t pickOffset() {
        if (pick(2) == 0 && m_size > 0) {
            const std::uint64_t near = std::min<std::uint64_t>(m_size, kLongestTransfer);
            return m_size - near + pick(2 * near);
        }
        return pick(3 * 1024 * 1024);
    }

    std::size_t pickLength() { return pick(4) == 0 ? 1 + pick(16) : 1 + pick(kLongestTransfer); }

    void step() {
        const int actor = static_cast<int>(pick(2));
        const std::uint64_t choice = pick(20);
        if (choice < 6) {
            write(actor, {Operation::Write, pickOffset(), pickLength()});
        } else if (choice < 9) {
            write(actor, {Operation::Append, 0, pickLength()});
        } else if (choice < 11) {
            same(actor, {Operation::Truncate, pickOffset()}, "truncate");
        } else if (choice < 13) {
            if (same(actor, {Operation::Close}, "close")) {
                same(actor, {Operation::Open}, "reopen");
            }
        } else if (choice < 14) {
            // Both closed: the next open downloads the uploaded content, in the background.
            if (same(0, {Operation::Close}, "close") && same(1, {Operation::Close}, "close") &&
                same(0, {Operation::Open}, "reopen")) {
                same(1, {Operation::Open}, "reopen");
            }
        } else if (choice < 15) {
            same(actor, {Operation::Sync}, "fsync");
        } else {
            read(actor, {Operation::Read, pickOffset(), pickLength()});
        }
    }

    char* bufferOf(int actor) { return actor == 0 ? m_actual.data() : m_partner.buffer(); }

    // Performs the operation through the actor's descriptor on the drive and on the local file
    // (whose one descriptor stays open); false, with the failure noted, when they answer
    // differently. Data to write is in m_expected.
    bool same(int actor, const Operation& operation, const char* what) {
        if (operation.kind == Operation::Write || operation.kind == Operation::Append) {
            std::memcpy(bufferOf(actor), m_expected.data(), operation.length);
        }
        m_history.push_back(std::string(what) + "(" + std::to_string(actor) + ", " +
                            std::to_string(operation.offset) + ", " +
                            std::to_string(operation.length) + ")");
        if (m_history.size() > 12) {
            m_history.pop_front();
        }
        const Outcome onDrive =
            actor == 0 ? Perform(m_descriptor, m_mounted.c_str(), operation, m_actual.data())
                       : m_partner.perform(operation);
        Outcome expected;
        if (operation.kind != Operation::Open && operation.kind != Operation::Close) {
            expected =
                Perform(m_referenceDescriptor, m_reference.c_str(), operation, m_expected.data());
        }
        if (onDrive.result != expected.result || onDrive.error != expected.error) {
            fail(std::string(what) + " through " + (actor == 0 ? "this" : "the other") +
                 " process answered " + std::to_string(onDrive.result) + " (" +
                 std::strerror(onDrive.error) + "), the local file " +
                 std::to_string(expected.result));
            return false;
        }
        m_size = static_cast<std::uint64_t>(
            Perform(m_referenceDescriptor, m_reference.c_str(), {Operation::Size}, nullptr).result);
        return true;
    }

    void write(int actor, const Operation& operation) {
        for (std::size_t index = 0; index < operation.length; ++index) {
            m_expected[index] = static_cast<char>(m_random());
        }
        same(actor, operation, operation.kind == Operation::Write ? "write" : "append");
    }

    void read(int actor, const Operation& operation) {
        if (same(actor, operation, "read") &&
            std::memcmp(
                bufferOf(actor), m_expected.data(),
                operation.offset >= m_size
                    ? 0
                    : std::min<std::uint64_t>(operation.length, m_size - operation.offset)) != 0) {
            fail("read of " + std::to_string(operation.length) + " bytes at " +
                 std::to_string(operation.offset) + ": other bytes than the local file's");
        }
    }

    void compareSizes() {
        struct stat status {};
        const std::int64_t sizes[] = {
            ::stat(m_mounted.c_str(), &status) == 0 ? status.st_size : -1,
            Perform(m_descriptor, m_mounted.c_str(), {Operation::Size}, nullptr).result,
            m_partner.perform({Operation::Size}).result};
        const char* names[] = {"stat", "fstat", "the other process's fstat"};
        for (std::size_t index = 0; index < std::size(sizes); ++index) {
            if (sizes[index] != static_cast<std::int64_t>(m_size)) {
                return fail(std::string(names[index]) + " shows " + std::to_string(sizes[index]) +
                            " bytes, the local file has " + std::to_string(m_size));
            }
        }
    }

    // The whole content, read through the actor's descriptor.
    void compareContent(int actor) {
        for (std::uint64_t offset = 0; offset <= m_size && m_failure.empty();
             offset += kLongestTransfer) {
            read(actor, {Operation::Read, offset, kLongestTransfer});
        }
    }

    void fail(const std::string& what) {
        if (m_failure.empty()) {
            m_failure = "step " + std::to_string(m_step) + ": " + what + "; the last steps:";
            for (const std::string& done : m_history) {
                m_failure += " " + done;
            }
        }
    }

    const std::string m_mounted;
    const std::string m_reference;
    PartnerProcess m_partner;
    std::mt19937_64 m_random;
    std::vector<char> m_expected;
    std::vector<char> m_actual;
    int m_descriptor = -1;
    int m_referenceDescriptor = -1;
    std::uint64_t m_size = 0;
    int m_step = 0;
    std::deque<std::string> m_history;  // what was done last, for the failure's message
    std::string m_failure;
};

// KELVO_RANDOM_SEED=n runs that seed alone, KELVO_RANDOM_STEPS=n makes each run longer.
TEST_F(DriveMountTest, RandomOperationsFromTwoProcessesMatchALocalFile) {
    std::vector<unsigned> seeds = {1, 2, 3};
    if (const char* seed = std::getenv("KELVO_RANDOM_SEED")) {
        seeds = {static_cast<unsigned>(std::strtoul(seed, nullptr, 10))};
    }
    const char* steps = std::getenv("KELVO_RANDOM_STEPS");
    QTemporaryDir local;
    for (const unsigned seed : seeds) {
        const std::string name = "random" + std::to_string(seed) + ".bin";
        const fs::path reference = fs::path(local.path().toStdString()) / name;
        WriteFile(m_root / name, "");
        WriteFile(reference, "");
        RandomExercise exercise(m_root / name, reference, seed);
        EXPECT_EQ(exercise.run(steps ? std::atoi(steps) : 250), "") << "seed " << seed;
    }
}

}  // namespace
}  // namespace drive_test
