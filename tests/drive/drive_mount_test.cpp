// The drive through a real mount: what programs do with files, end to end.
#include "MountedDrive.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>

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

TEST_F(DriveMountTest, SavingByATemporaryFileAndRenameReplacesTheOriginal) {
    fs::create_directory(m_root / "work");
    WriteFile(m_root / "work" / "report.odt", "old text");
    WriteFile(m_root / "work" / ".~report.odt.tmp", "new text");
    fs::rename(m_root / "work" / ".~report.odt.tmp", m_root / "work" / "report.odt");
    EXPECT_EQ(ReadFile(m_root / "work" / "report.odt"), "new text");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_root / "work")) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"report.odt"});
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

TEST_F(DriveMountTest, TheRootShowsTheServiceFile) {
    const std::string name = ReadFile(m_root / ".kelvo_drive");
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(fs::file_size(m_root / ".kelvo_drive"), name.size());
}

}  // namespace
}  // namespace drive_test
