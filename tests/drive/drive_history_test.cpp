// The drive's version history through a real mount: what programs see below ".versions".
#include "MountedDrive.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <regex>

namespace drive_test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMegabyte = 1024 * 1024;

// Bytes that differ from offset to offset, so that a range served from the wrong place shows.
std::string Pattern(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t index = 0; index < size; ++index) {
        bytes[index] = static_cast<char>((index * 131 + seed * 7 + index / 4093) % 251);
    }
    return bytes;
}

// The folder's entries, sorted by name as a file manager shows them.
std::vector<fs::path> Entries(const fs::path& folder) {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(folder)) {
        entries.push_back(entry.path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

class DriveHistoryTest : public MountedDriveTest {
protected:
    void SetUp() override {
        MountedDriveTest::SetUp();
        m_history = m_root / ".versions";
    }

    fs::path m_history;
};

TEST_F(DriveHistoryTest, EachSaveIsAVersionFileWithItsContentSizeAndTime) {
    fs::create_directory(m_root / "work");
    // The second save spans three chunks of the repository's storage.
    const std::string saves[] = {"first text", Pattern(2 * kMegabyte + 12345, 2), "third"};
    for (const std::string& content : saves) {
        WriteFile(m_root / "work" / "report.odt", content);
    }

    for (const auto& entry : fs::directory_iterator(m_root)) {
        EXPECT_NE(entry.path().filename(), ".versions") << "the root lists the history";
    }
    ASSERT_TRUE(fs::is_directory(m_history));
    ASSERT_TRUE(fs::is_directory(m_history / "work" / "report.odt"));
    const std::vector<fs::path> files = Entries(m_history / "work" / "report.odt");
    ASSERT_EQ(files.size(), std::size(saves));

    const passwd* user = ::getpwuid(::geteuid());
    ASSERT_NE(user, nullptr);
    const std::regex form(R"(\d{4} \d{4}-\d\d-\d\d \d\d\.\d\d\.\d\d )" +
                          std::string(user->pw_name) + R"(\.odt)");
    for (std::size_t index = 0; index < files.size(); ++index) {
        const std::string name = files[index].filename().string();
        EXPECT_TRUE(std::regex_match(name, form)) << name;
        EXPECT_EQ(fs::file_size(files[index]), saves[index].size()) << name;
        EXPECT_TRUE(ReadFile(files[index]) == saves[index]) << name;
        // The name tells the commit time in local time, as the file's own time does.
        struct stat status {};
        ASSERT_EQ(::stat(files[index].c_str(), &status), 0);
        std::tm local{};
        ::localtime_r(&status.st_mtime, &local);
        char time[32] = {};
        std::strftime(time, sizeof(time), " %Y-%m-%d %H.%M.%S ", &local);
        EXPECT_NE(name.find(time), std::string::npos) << name << " vs" << time;
    }

    // Reads in any order are served by range, across the storage's chunk boundaries.
    const int descriptor = ::open(files[1].c_str(), O_RDONLY);
    ASSERT_GE(descriptor, 0);
    for (const std::size_t offset : {2 * kMegabyte - 100, std::size_t{10}, kMegabyte - 5}) {
        std::string part(300, '\0');
        ASSERT_EQ(::pread(descriptor, part.data(), part.size(), static_cast<off_t>(offset)), 300);
        EXPECT_TRUE(part == saves[1].substr(offset, 300)) << "at " << offset;
    }
    ::close(descriptor);
}

TEST_F(DriveHistoryTest, NothingBelowTheHistoryCanBeChanged) {
    WriteFile(m_root / "doc.txt", "one");
    WriteFile(m_root / "doc.txt", "two");
    const fs::path folder = m_history / "doc.txt";
    const std::vector<fs::path> before = Entries(folder);
    ASSERT_EQ(before.size(), 2u);
    const fs::path version = before[0];
    const std::size_t versions = m_drive.versionCount("doc.txt");

    const auto openWith = [](const fs::path& path, int flags) {
        const int descriptor = ::open(path.c_str(), flags, 0644);
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return descriptor;
    };
    const std::pair<const char*, std::function<int()>> attempts[] = {
        {"open for writing", [&] { return openWith(version, O_WRONLY); }},
        {"open to cut", [&] { return openWith(version, O_RDONLY | O_TRUNC); }},
        {"truncate", [&] { return ::truncate(version.c_str(), 0); }},
        {"create a file", [&] { return openWith(folder / "new.txt", O_CREAT | O_WRONLY); }},
        {"make a folder", [&] { return ::mkdir((m_history / "new").c_str(), 0755); }},
        {"delete a version", [&] { return ::unlink(version.c_str()); }},
        {"delete a document's folder", [&] { return ::rmdir(folder.c_str()); }},
        {"rename a version", [&] { return ::rename(version.c_str(), (folder / "x").c_str()); }},
        {"rename the history",
         [&] { return ::rename(m_history.c_str(), (m_root / "old").c_str()); }},
        {"move a document into the history",
         [&] { return ::rename((m_root / "doc.txt").c_str(), (folder / "doc.txt").c_str()); }},
        {"change the mode", [&] { return ::chmod(version.c_str(), 0600); }},
        {"change the times", [&] { return ::utimensat(AT_FDCWD, version.c_str(), nullptr, 0); }},
    };
    for (const auto& [what, attempt] : attempts) {
        errno = 0;
        EXPECT_EQ(attempt(), -1) << what;
        EXPECT_EQ(errno, EROFS) << what << ": " << std::strerror(errno);
    }

    EXPECT_EQ(Entries(folder), before);
    EXPECT_EQ(ReadFile(version), "one");
    EXPECT_EQ(ReadFile(m_root / "doc.txt"), "two");
    EXPECT_EQ(m_drive.versionCount("doc.txt"), versions);
}

TEST_F(DriveHistoryTest, CopyingAVersionOverTheDocumentMakesItTheNewest) {
    const std::string first = Pattern(kMegabyte + kMegabyte / 2, 5);
    for (const std::string& content : {first, std::string("second"), std::string("third")}) {
        WriteFile(m_root / "doc.bin", content);
    }
    const fs::path folder = m_history / "doc.bin";
    ASSERT_EQ(Entries(folder).size(), 3u);

    ASSERT_EQ(RunProgram({"cp", Entries(folder)[0].string(), (m_root / "doc.bin").string()}), 0);

    EXPECT_TRUE(ReadFile(m_root / "doc.bin") == first);
    const std::vector<fs::path> files = Entries(folder);
    ASSERT_EQ(files.size(), 4u);
    EXPECT_TRUE(ReadFile(files[3]) == first);
    EXPECT_TRUE(ReadFile(files[0]) == first);
    EXPECT_EQ(ReadFile(files[1]), "second");
    EXPECT_EQ(ReadFile(files[2]), "third");
}

TEST_F(DriveHistoryTest, ARenamedOrMovedDocumentShowsItsHistoryAtItsNewPath) {
    fs::create_directories(m_root / "a");
    fs::create_directories(m_root / "b");
    WriteFile(m_root / "a" / "draft.txt", "v1");
    WriteFile(m_root / "a" / "draft.txt", "v2");

    fs::rename(m_root / "a" / "draft.txt", m_root / "a" / "renamed.txt");
    ASSERT_EQ(Entries(m_history / "a" / "renamed.txt").size(), 2u);
    fs::rename(m_root / "a" / "renamed.txt", m_root / "b" / "final.txt");

    EXPECT_FALSE(fs::exists(m_history / "a" / "draft.txt"));
    EXPECT_FALSE(fs::exists(m_history / "a" / "renamed.txt"));
    const std::vector<fs::path> files = Entries(m_history / "b" / "final.txt");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(ReadFile(files[0]), "v1");
    EXPECT_EQ(ReadFile(files[1]), "v2");
    EXPECT_EQ(files[0].extension(), ".txt");
}

TEST_F(DriveHistoryTest, ARootItemNamedLikeTheHistoryKeepsItsNameAndTheHistoryMovesAside) {
    const auto store = m_drive.repository();
    store->CreateFolders(store->ResolvePath({L""}), {L".versions"});
    WriteFile(m_root / ".versions" / "own.txt", "mine");

    std::vector<std::string> rootNames;
    for (const auto& entry : fs::directory_iterator(m_root)) {
        rootNames.push_back(entry.path().filename().string());
    }
    EXPECT_NE(std::find(rootNames.begin(), rootNames.end(), ".versions"), rootNames.end());
    EXPECT_EQ(Entries(m_root / ".versions"),
              std::vector<fs::path>{m_root / ".versions" / "own.txt"});
    const std::vector<fs::path> files =
        Entries(m_root / ".kelvo_versions" / ".versions" / "own.txt");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(ReadFile(files[0]), "mine");
}

}  // namespace
}  // namespace drive_test
