// Ordinary programs at work on a mounted drive: cp, mv, rm, mkdir, ls and a script.

#include "fuse_test_fixture.h"

#include <fstream>
#include <random>

namespace kelvo_test {
namespace {

using FuseProgramsTest = FuseLayerTest;

void WriteRandomFile(const std::filesystem::path& path, std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string content(size, '\0');
    for (char& byte : content) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    std::ofstream(path, std::ios::binary) << content;
}

TEST_F(FuseProgramsTest, TreeCopiedInAndOutIsByteForByteTheSame) {
    const std::filesystem::path source = m_temporary.filePath("source").toStdString();
    std::filesystem::create_directories(source / "nested" / "deeper");
    std::filesystem::create_directories(source / "empty folder");
    WriteRandomFile(source / "big.bin", 3 * 1024 * 1024 + 17, 1);
    WriteRandomFile(source / "nested" / "small.bin", 4096, 2);
    WriteRandomFile(source / "nested" / "deeper" / "Документ.dat", 100'000, 3);
    std::ofstream(source / "empty.txt");

    const std::string out = m_temporary.filePath("out").toStdString();
    ASSERT_EQ(Shell("cp -r '" + source.string() + "' tree"), 0);
    ASSERT_EQ(Shell("cp -r tree '" + out + "'"), 0);
    EXPECT_EQ(Shell("diff -r '" + source.string() + "' '" + out + "'"), 0);
    EXPECT_EQ(Shell("cmp '" + (source / "big.bin").string() + "' tree/big.bin"), 0);
    EXPECT_TRUE(m_fileSystem.Exists(L"\\tree\\empty folder"));
    EXPECT_EQ(m_fileSystem.Content(L"\\tree\\nested\\small.bin")->size(), 4096u);
}

TEST_F(FuseProgramsTest, MkdirMvLsAndRmWorkAsEverywhere) {
    ASSERT_EQ(Shell("mkdir -p a/b/c && echo text > a/b/c/file && mv a/b/c a/moved"), 0);
    const std::string listing = ShellOutput("ls -l a");
    EXPECT_NE(listing.find("moved"), std::string::npos);
    EXPECT_NE(listing.find("b"), std::string::npos);
    EXPECT_EQ(ShellOutput("cat a/moved/file"), "text\n");
    EXPECT_EQ(m_fileSystem.Content(L"\\a\\moved\\file"), "text\n");
    ASSERT_EQ(Shell("mv a/moved/file a/renamed && test ! -e a/moved/file"), 0);
    ASSERT_EQ(Shell("rm -r a"), 0);
    EXPECT_TRUE(m_fileSystem.Children(L"\\").empty());
    EXPECT_NE(Shell("ls a 2>/dev/null"), 0);
}

TEST_F(FuseProgramsTest, ScriptSeeksTruncatesAndRenames) {
    const std::string script = R"PY(
import os
with open("doc.txt", "w+b") as f:
    f.write(b"0123456789")
    f.seek(3)
    f.write(b"abc")
    f.seek(0)
    assert f.read() == b"012abc6789"
    f.truncate(5)
    f.flush()
    assert os.fstat(f.fileno()).st_size == 5
os.rename("doc.txt", "renamed.txt")
assert not os.path.exists("doc.txt")
with open("renamed.txt", "rb") as f:
    assert f.read() == b"012ab"
os.truncate("renamed.txt", 2)
with open("renamed.txt", "ab") as f:
    f.write(b"!")
print(open("renamed.txt", "rb").read().decode())
)PY";
    std::ofstream(m_temporary.filePath("script.py").toStdString()) << script;
    EXPECT_EQ(ShellOutput("python3 '" + m_temporary.filePath("script.py").toStdString() + "'"),
              "01!\n");
    EXPECT_EQ(m_fileSystem.Content(L"\\renamed.txt"), "01!");
    EXPECT_FALSE(m_fileSystem.Exists(L"\\doc.txt"));
}

}  // namespace
}  // namespace kelvo_test
