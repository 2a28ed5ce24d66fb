// The Windows stand-ins that need no mount: command line, drives folder, users, the Run key.

#include "test_support.h"

#include "../../platform/common/child_process.h"

#include <win_compat/handle_inheritance.h>
#include <win_compat/run_key.h>
#include <win_compat/windows.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kelvo_test::ScopedEnvironment;

std::vector<std::wstring> Split(const std::wstring& line) {
    int count = -1;
    LPWSTR* arguments = CommandLineToArgvW(line.c_str(), &count);
    EXPECT_NE(arguments, nullptr);
    std::vector<std::wstring> result;
    for (int index = 0; arguments != nullptr && index < count; ++index) {
        result.emplace_back(arguments[index]);
    }
    EXPECT_EQ(arguments == nullptr ? nullptr : arguments[count], nullptr);
    LocalFree(arguments);
    return result;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(CommandLineTest, SplitsByTheWindowsRules) {
    using Arguments = std::vector<std::wstring>;
    EXPECT_EQ(Split(L"prog -install-driver"), (Arguments{L"prog", L"-install-driver"}));
    EXPECT_EQ(Split(L"\"C:\\Program Files\\app.exe\"  a\tb"),
              (Arguments{L"C:\\Program Files\\app.exe", L"a", L"b"}));
    EXPECT_EQ(Split(L"p \"two words\" \"\" x"), (Arguments{L"p", L"two words", L"", L"x"}));
    // Backslashes are literal unless they come before a quote.
    EXPECT_EQ(Split(L"p a\\\\b \\\\\\\"q \"c\\\\\""),
              (Arguments{L"p", L"a\\\\b", L"\\\"q", L"c\\"}));
    EXPECT_EQ(Split(L"p \"in \"\"quotes\"\"\""), (Arguments{L"p", L"in \"quotes\""}));
    EXPECT_EQ(Split(L"p ab\"c d\"e"), (Arguments{L"p", L"abc de"}));
    // The program name takes no escapes.
    EXPECT_EQ(Split(L"C:\\dir\\p.exe x"), (Arguments{L"C:\\dir\\p.exe", L"x"}));
}

TEST(CommandLineTest, EmptyLineGivesTheProgramItselfAndBadCallsFail) {
    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(nullptr, path, 4096);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(Split(L""), std::vector<std::wstring>{std::wstring(path, length)});
    EXPECT_EQ(CommandLineToArgvW(L"p", nullptr), nullptr);
}

TEST(CommandLineTest, OwnCommandLineRoundTripsThroughTheSplitter) {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::wstring> expected;
    std::stringstream parts(raw);
    std::string part;
    while (std::getline(parts, part, '\0')) {
        expected.emplace_back(part.begin(), part.end());  // the test's arguments are ASCII
    }
    const std::vector<std::wstring> split = Split(GetCommandLineW());
    ASSERT_FALSE(split.empty());
    EXPECT_EQ(split, expected);
}

TEST(ProcessCallsTest, ExecutableAndUserNamesAndHarmlessCalls) {
    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(nullptr, path, 4096);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::filesystem::path(std::wstring(path, length)).filename(),
              "platform_windows_tests");
    wchar_t tiny[4];
    EXPECT_EQ(GetModuleFileNameW(nullptr, tiny, 4), 4u);  // truncated, as on Windows
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(tiny[3], L'\0');

    DWORD size = 0;
    EXPECT_FALSE(GetUserNameW(nullptr, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<wchar_t> name(size);
    ASSERT_TRUE(GetUserNameW(name.data(), &size));
    EXPECT_EQ(std::wstring(name.data()), ::getuid() == 0 ? L"root" : std::wstring(name.data()));
    EXPECT_EQ(size, std::wstring(name.data()).size() + 1);

    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE), S_OK);
    EXPECT_TRUE(AllowSetForegroundWindow(1234));
}

// A pipe left open across exec (by a library, or by whoever started the program) must reach no
// program started from here: it would keep the pipe open for as long as that program runs.
TEST(ProcessCallsTest, StartedProgramsGetOnlyTheStandardDescriptors) {
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(::pipe(pipeEnds), 0);  // without close-on-exec
    const std::string notInherited = "test ! -e /proc/$$/fd/" + std::to_string(pipeEnds[1]);
    EXPECT_EQ(kelvo_platform::RunProgram({"sh", "-c", notInherited}), 0);

    win_compat::StopHandleInheritance();
    for (const int end : pipeEnds) {
        EXPECT_NE(::fcntl(end, F_GETFD) & FD_CLOEXEC, 0) << "descriptor " << end;
        ::close(end);
    }
}

TEST(DrivesFolderTest, LettersMapToFoldersOfTheDrivesFolder) {
    ScopedEnvironment drives("KELVO_DRIVES_DIR", "/somewhere/drives");
    EXPECT_EQ(win_compat::DrivesFolder(), "/somewhere/drives");
    EXPECT_EQ(win_compat::MountPointFolder(L"Z:\\"), "/somewhere/drives/Z");
    EXPECT_EQ(win_compat::MountPointFolder(L"d:"), "/somewhere/drives/D");
    EXPECT_EQ(win_compat::MountPointFolder(L"A"), "/somewhere/drives/A");
    EXPECT_TRUE(win_compat::MountPointFolder(L"").empty());
    EXPECT_TRUE(win_compat::MountPointFolder(L"1:\\").empty());
    EXPECT_TRUE(win_compat::MountPointFolder(L"Z:/").empty());
    EXPECT_TRUE(win_compat::MountPointFolder(L"Z:\\folder").empty());
}

TEST(DrivesFolderTest, DefaultIsKelvoDriveInHome) {
    ScopedEnvironment drives("KELVO_DRIVES_DIR", "");
    ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(win_compat::DrivesFolder(), "/home/someone/KelvoDrive");
}

TEST(LogicalDrivesTest, OccupiedFoldersSetTheirBits) {
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    const std::filesystem::path drives = temporary.filePath("drives").toStdString();
    ScopedEnvironment environment("KELVO_DRIVES_DIR", drives.string());
    EXPECT_EQ(GetLogicalDrives(), 0u);  // the drives folder does not even exist yet

    std::filesystem::create_directories(drives / "C");                      // empty: free
    std::filesystem::create_directories(drives / "D" / "inside");           // not empty
    std::ofstream(drives / "E") << "a file";                                // not a folder
    std::filesystem::create_directory_symlink(drives / "C", drives / "F");  // a link
    std::filesystem::create_directories(drives / "lowercase-is-no-letter");
    EXPECT_EQ(GetLogicalDrives(), (1u << 3) | (1u << 4) | (1u << 5));
}

class RunKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_temporary.isValid());
        m_config.emplace("XDG_CONFIG_HOME", m_temporary.filePath("config").toStdString());
    }
    std::filesystem::path Entry() const {
        return std::filesystem::path(m_temporary.filePath("config").toStdString()) / "autostart" /
               "KelvoDrive.desktop";
    }
    QTemporaryDir m_temporary;
    std::optional<ScopedEnvironment> m_config;
};

TEST_F(RunKeyTest, ValueIsAnAutostartEntryThatRemoveDeletes) {
    EXPECT_FALSE(win_compat::RunKey::Contains(L"KelvoDrive"));
    win_compat::RunKey::SetValue(L"KelvoDrive", L"/opt/kelvo/KelvoDrive");
    EXPECT_TRUE(win_compat::RunKey::Contains(L"KelvoDrive"));
    const std::string entry = ReadFile(Entry());
    EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(entry.find("Type=Application\n"), std::string::npos);
    EXPECT_NE(entry.find("Exec=/opt/kelvo/KelvoDrive\n"), std::string::npos);

    // Deleting the file by hand is seen at once.
    std::filesystem::remove(Entry());
    EXPECT_FALSE(win_compat::RunKey::Contains(L"KelvoDrive"));

    win_compat::RunKey::SetValue(L"KelvoDrive", L"/opt/kelvo/KelvoDrive");
    win_compat::RunKey::Remove(L"KelvoDrive");
    EXPECT_FALSE(win_compat::RunKey::Contains(L"KelvoDrive"));
    win_compat::RunKey::Remove(L"KelvoDrive");  // removing a missing value is harmless
}

TEST_F(RunKeyTest, PathsAreQuotedAndWindowsSeparatorsTurnedBack) {
    win_compat::RunKey::SetValue(L"KelvoDrive", L"\\home\\user\\My Apps\\KelvoDrive");
    EXPECT_NE(ReadFile(Entry()).find("Exec=\"/home/user/My Apps/KelvoDrive\"\n"),
              std::string::npos);
    win_compat::RunKey::SetValue(L"KelvoDrive", L"/opt/100%/$HOME");
    EXPECT_NE(ReadFile(Entry()).find("Exec=\"/opt/100%%/\\\\$HOME\"\n"), std::string::npos);
    // A name that cannot be a file name is refused without writing anything.
    win_compat::RunKey::SetValue(L"../escape", L"/bin/true");
    EXPECT_FALSE(
        std::filesystem::exists(m_temporary.filePath("config/escape.desktop").toStdString()));
    EXPECT_FALSE(win_compat::RunKey::Contains(L"../escape"));
}

}  // namespace
