// The drive through a real mount: what programs do with files, end to end.
#include "MountedDrive.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
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

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    stream.close();
    ASSERT_TRUE(stream) << "cannot write " << path;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    EXPECT_TRUE(stream) << "cannot read " << path;
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

// Runs a program to its end; its exit status, or -1 when it did not end normally.
int RunProgram(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
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

class DriveMountTest : public ::testing::Test {
protected:
    void SetUp() override {
        KELVO_REQUIRE_FUSE();
        std::string failure;
        ASSERT_TRUE(m_drive.mount(failure)) << failure;
        m_root = m_drive.root();
    }

    MountedDrive m_drive;
    fs::path m_root;
};

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

}  // namespace
}  // namespace drive_test
