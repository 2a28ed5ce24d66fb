// Mounting and unmounting: DokanMain's results, the notifications, removal from anywhere, and
// what is left behind (or cleared) on the mount point.

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include "fuse_test_fixture.h"

#include <win_compat/scripted_service_control.h>
#include <win_compat/windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>

namespace kelvo_test {
namespace {

using namespace std::chrono_literals;

// The mountinfo line of `folder`, or empty.
std::string MountInfoLine(const std::filesystem::path& folder) {
    std::ifstream mountInfo("/proc/self/mountinfo");
    std::string line;
    const std::string needle = " " + folder.string() + " ";
    while (std::getline(mountInfo, line)) {
        if (line.find(needle) != std::string::npos) {
            return line;
        }
    }
    return {};
}

// Leaves a dead FUSE mount on `folder`: a child process mounts it and ends without unmounting.
void MakeStaleMount(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const fuse_lowlevel_ops operations{};
        char program[] = "stale";
        char* argv[] = {program, nullptr};
        fuse_args args = FUSE_ARGS_INIT(1, argv);
        fuse_session* session = fuse_session_new(&args, &operations, sizeof operations, nullptr);
        const bool mounted = session != nullptr && fuse_session_mount(session, folder.c_str()) == 0;
        ::_exit(mounted ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "could not mount";
}

class FuseLifecycleTest : public FuseLayerTest {
protected:
    // Runs DokanMain for `mountPoint` once and returns its result (for mounts that must fail).
    int RunDokanMain(const std::wstring& mountPoint, USHORT version = DOKAN_VERSION) {
        DOKAN_OPTIONS options{};
        options.Version = version;
        options.GlobalContext = reinterpret_cast<std::uintptr_t>(&m_fileSystem);
        options.MountPoint = mountPoint.c_str();
        DOKAN_OPERATIONS operations = MemoryFileSystem::Operations();
        return DokanMain(&options, &operations);
    }
};

TEST_F(FuseLifecycleTest, MountCarriesTheLabelAndTheSubtypeAndEndsWithUnmounted) {
    const std::string line = MountInfoLine(m_root);
    ASSERT_FALSE(line.empty());
    EXPECT_NE(line.find(" - fuse.kelvo Memory,"), std::string::npos) << line;
    EXPECT_EQ(m_fileSystem.MountedCount(), 1);
    EXPECT_EQ(m_fileSystem.UnmountedCount(), 0);
    EXPECT_EQ(GetLogicalDrives() & (1u << ('M' - 'A')), 1u << ('M' - 'A'));

    EXPECT_EQ(m_drive->Unmount(), DOKAN_SUCCESS);
    EXPECT_EQ(m_fileSystem.UnmountedCount(), 1);
    EXPECT_TRUE(MountInfoLine(m_root).empty());
    EXPECT_EQ(GetLogicalDrives() & (1u << ('M' - 'A')), 0u);
}

TEST_F(FuseLifecycleTest, RemovalFromInsideAnOperationDoesNotDeadlock) {
    for (const USHORT threads : {USHORT{1}, USHORT{4}}) {
        SCOPED_TRACE(std::to_string(threads) + " worker threads");
        ASSERT_TRUE(Mount(threads));
        m_fileSystem.SetCreateHook([](const std::wstring& path, ACCESS_MASK, DWORD, ULONG) {
            if (path == L"\\unmount-me") {
                EXPECT_TRUE(DokanRemoveMountPoint(L"M:\\"));
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            return STATUS_SUCCESS;
        });
        struct stat status {};
        ::stat(Path("unmount-me").c_str(), &status);
        EXPECT_EQ(m_drive->WaitForEnd(20s), DOKAN_SUCCESS);
        m_fileSystem.SetCreateHook(nullptr);
        EXPECT_TRUE(MountInfoLine(m_root).empty());
    }
    EXPECT_EQ(m_fileSystem.UnmountedCount(), m_fileSystem.MountedCount());
}

TEST_F(FuseLifecycleTest, RemovalSaysWhetherItFoundTheMount) {
    EXPECT_FALSE(DokanRemoveMountPoint(L"Q:\\"));
    EXPECT_FALSE(DokanRemoveMountPoint(nullptr));
    EXPECT_TRUE(DokanRemoveMountPoint(L"M:\\"));
    EXPECT_EQ(m_drive->WaitForEnd(20s), DOKAN_SUCCESS);
    EXPECT_FALSE(DokanRemoveMountPoint(L"M:\\"));
}

TEST_F(FuseLifecycleTest, OccupiedMountPointsAreRefused) {
    EXPECT_EQ(RunDokanMain(L"M:\\"), DOKAN_MOUNT_POINT_ERROR);  // mounted already

    const std::filesystem::path drives = m_root.parent_path();
    std::filesystem::create_directories(drives / "N");
    std::ofstream(drives / "N" / "something") << "x";
    EXPECT_EQ(RunDokanMain(L"N:\\"), DOKAN_MOUNT_POINT_ERROR);

    std::ofstream(drives / "O") << "a file, not a folder";
    EXPECT_EQ(RunDokanMain(L"O:\\"), DOKAN_MOUNT_POINT_ERROR);

    const DWORD drivesInUse = GetLogicalDrives();
    EXPECT_NE(drivesInUse & (1u << ('N' - 'A')), 0u);
    EXPECT_NE(drivesInUse & (1u << ('O' - 'A')), 0u);
    EXPECT_EQ(drivesInUse & (1u << ('P' - 'A')), 0u);
    EXPECT_EQ(m_fileSystem.MountedCount(), 1);
}

TEST_F(FuseLifecycleTest, BadRequestsGetTheirOwnResults) {
    EXPECT_EQ(RunDokanMain(L"1:\\"), DOKAN_DRIVE_LETTER_ERROR);
    EXPECT_EQ(RunDokanMain(L""), DOKAN_DRIVE_LETTER_ERROR);
    EXPECT_EQ(RunDokanMain(L"P:\\", 99), DOKAN_VERSION_ERROR);
    EXPECT_EQ(DokanMain(nullptr, nullptr), DOKAN_ERROR);
}

TEST_F(FuseLifecycleTest, MissingFuseIsReportedAsAMissingDriver) {
    win_compat::ScopedServiceControl service;
    service->SetState(std::nullopt);
    EXPECT_EQ(RunDokanMain(L"P:\\"), DOKAN_DRIVER_INSTALL_ERROR);
    service->SetState(SERVICE_STOPPED);
    EXPECT_EQ(RunDokanMain(L"P:\\"), DOKAN_DRIVER_INSTALL_ERROR);
}

TEST_F(FuseLifecycleTest, ADeadMountLeftByACrashIsClearedFirst) {
    const std::filesystem::path folder = m_root.parent_path() / "S";
    MakeStaleMount(folder);
    struct stat status {};
    ASSERT_EQ(::stat(folder.c_str(), &status), -1);
    ASSERT_EQ(errno, ENOTCONN);
    EXPECT_NE(GetLogicalDrives() & (1u << ('S' - 'A')), 0u);

    MountedDrive drive(m_fileSystem, L"S:\\");
    ASSERT_TRUE(drive.IsMounted());
    EXPECT_EQ(::stat(folder.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(drive.Unmount(), DOKAN_SUCCESS);
    EXPECT_EQ(::stat(folder.c_str(), &status), 0);
}

TEST_F(FuseLifecycleTest, UnmountWithFilesStillOpenEndsAndCleansThemUp) {
    const int descriptor = ::open(Path("open-file").c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(::write(descriptor, "x", 1), 1);
    EXPECT_EQ(m_drive->Unmount(), DOKAN_SUCCESS);
    char byte = 0;
    EXPECT_EQ(::pread(descriptor, &byte, 1, 0), -1);  // the drive is gone
    ::close(descriptor);
    const auto& counters = m_fileSystem.counters();
    EXPECT_EQ(counters.creates.load(), counters.cleanups.load());
    EXPECT_EQ(counters.creates.load(), counters.closes.load());
}

TEST_F(FuseLifecycleTest, AKilledServerLeavesNoMountBehind) {
    // Built beside this test.
    const std::string helper =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "platform_mount_helper")
            .string();
    const std::filesystem::path folder = m_root.parent_path() / "K";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl(helper.c_str(), helper.c_str(), "K", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!std::filesystem::exists(folder / "alive.txt") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(std::filesystem::exists(folder / "alive.txt")) << "the helper did not mount";
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    // fusermount3's watchdog takes the mount away once the serving process is gone.
    const auto unmountDeadline = std::chrono::steady_clock::now() + 10s;
    while (!MountInfoLine(folder).empty() && std::chrono::steady_clock::now() < unmountDeadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(MountInfoLine(folder).empty());
    struct stat folderStatus {};
    EXPECT_EQ(::stat(folder.c_str(), &folderStatus), 0);
    EXPECT_EQ(GetLogicalDrives() & (1u << ('K' - 'A')), 0u);
}

// The kernel sends a closed file's release after close() has returned, so it reaches the drive
// while the removal runs. The removal must end regardless, and every handle is cleaned up once.
TEST_F(FuseLifecycleTest, RemovalRightAfterAClosePassesTheLateReleaseAndEnds) {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    int rounds = 0;
    for (; rounds < 40 && std::chrono::steady_clock::now() < deadline; ++rounds) {
        SCOPED_TRACE("round " + std::to_string(rounds));
        // One worker and several: the release may wait for the only worker or race the others.
        ASSERT_TRUE(Mount(rounds % 2 == 0 ? USHORT{1} : USHORT{4}));
        const int descriptor = ::open(Path("late-release").c_str(), O_CREAT | O_RDWR, 0644);
        ASSERT_GE(descriptor, 0);
        ASSERT_EQ(::write(descriptor, "x", 1), 1);
        ASSERT_EQ(::close(descriptor), 0);
        // The removal itself may be what hangs: it runs on a thread of its own.
        auto removal = std::async(std::launch::async, [this] { return m_drive->Unmount(10s); });
        const std::optional<int> result =
            removal.wait_for(12s) == std::future_status::ready ? removal.get() : std::nullopt;
        if (!result) {
            // The drive thread cannot be joined: end here rather than hang in the tear-down.
            ADD_FAILURE() << "the removal did not end within ten seconds";
            std::fflush(nullptr);
            std::_Exit(EXIT_FAILURE);
        }
        ASSERT_EQ(*result, DOKAN_SUCCESS);
        ASSERT_TRUE(MountInfoLine(m_root).empty());
    }
    EXPECT_GE(rounds, 5);
    EXPECT_EQ(m_fileSystem.UnmountedCount(), m_fileSystem.MountedCount());
    const auto& counters = m_fileSystem.counters();
    EXPECT_EQ(counters.creates.load(), counters.cleanups.load());
    EXPECT_EQ(counters.creates.load(), counters.closes.load());
}

TEST_F(FuseLifecycleTest, TheSameLetterMountsAgainRightAfterAnUnmount) {
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(m_drive->Unmount(), DOKAN_SUCCESS);
        ASSERT_TRUE(Mount());
        std::ofstream(Path("round")) << round;
    }
    EXPECT_EQ(m_fileSystem.Content(L"\\round"), "2");
}

}  // namespace
}  // namespace kelvo_test
