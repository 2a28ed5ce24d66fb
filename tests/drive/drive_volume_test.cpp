// The volume-level operations and the drive's life outside a mount.
#include "DriveFixture.h"

namespace drive_test {
namespace {

class DriveVolumeTest : public DriveFixture {
protected:
    struct Volume {
        NTSTATUS status;
        std::wstring label;
        DWORD serial, maxComponent, flags;
        std::wstring fileSystem;
    };
    Volume volume(DWORD labelSize = 64) {
        std::vector<wchar_t> label(labelSize + 1, L'#');
        wchar_t fileSystem[32];
        Volume result{};
        DOKAN_FILE_INFO info{};
        info.DokanOptions = &m_options;
        result.status = m_operations.GetVolumeInformation(label.data(), labelSize, &result.serial,
                                                          &result.maxComponent, &result.flags,
                                                          fileSystem, 32, &info);
        result.label = label.data();
        result.fileSystem = fileSystem;
        return result;
    }
};

TEST_F(DriveVolumeTest, TheVolumeIsDescribedAsAKelvoStorage) {
    const Volume described = volume();
    EXPECT_EQ(described.status, STATUS_SUCCESS);
    EXPECT_EQ(described.label, repositoryName());
    EXPECT_EQ(described.serial, 0u);
    EXPECT_EQ(described.maxComponent, 255u);
    EXPECT_EQ(described.flags, 0x900107u);
    EXPECT_EQ(described.fileSystem, L"Kelvo storage");

    m_drive->setCustomName(L"Мои документы");
    EXPECT_EQ(volume().label, L"Мои документы");
    EXPECT_EQ(volume(4).label, L"Мои");  // cut to the buffer, terminator included
}

TEST_F(DriveVolumeTest, ALabelThatCannotBeReadIsEmpty) {
    m_drive->repository.reset();
    const Volume described = volume();
    EXPECT_EQ(described.status, STATUS_SUCCESS);
    EXPECT_EQ(described.label, L"");
}

TEST_F(DriveVolumeTest, FixedAnswers) {
    DOKAN_FILE_INFO info{};
    info.DokanOptions = &m_options;
    ULONGLONG a = 0, b = 0, c = 0;
    EXPECT_EQ(m_operations.GetDiskFreeSpace(&a, &b, &c, &info), STATUS_ACCESS_DENIED);
    EXPECT_EQ(m_operations.SetFileAttributes(L"\\x", 0, &info), STATUS_SUCCESS);
    EXPECT_EQ(m_operations.SetFileTime(L"\\x", nullptr, nullptr, nullptr, &info), STATUS_SUCCESS);
    EXPECT_EQ(m_operations.FindFilesWithPattern, nullptr);
    EXPECT_EQ(m_operations.LockFile, nullptr);
    EXPECT_EQ(m_operations.GetFileSecurity, nullptr);
    EXPECT_EQ(m_operations.FindStreams, nullptr);
}

TEST_F(DriveVolumeTest, MountNotificationsReachTheCallbacks) {
    int mounted = 0;
    int unmounted = 0;
    m_drive->onMounted = [&] { ++mounted; };
    m_drive->onUnmounted = [&] { ++unmounted; };
    DOKAN_FILE_INFO info{};
    info.DokanOptions = &m_options;
    testing::internal::CaptureStderr();
    EXPECT_EQ(m_operations.Mounted(&info), STATUS_SUCCESS);
    EXPECT_EQ(m_operations.Unmounted(&info), STATUS_SUCCESS);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(mounted, 1);
    EXPECT_EQ(unmounted, 1);
    EXPECT_NE(log.find("Successfully mounted: Q:\\"), std::string::npos) << log;
    EXPECT_NE(log.find("Successfully unmounted: Q:\\"), std::string::npos) << log;

    m_drive->onMounted = [] { throw std::runtime_error("callback failed"); };
    EXPECT_EQ(m_operations.Mounted(&info), STATUS_SUCCESS);  // nothing escapes
}

TEST_F(DriveVolumeTest, RunWithoutAMountPointDoesNothing) {
    auto drive = std::make_shared<KelvoFileSystem>(m_core);
    tarvo_cm::Connection connection;
    connection.endpoint = tarvo::endpoint::Local{};
    RunDriveThread(drive, connection, L"", L"name");
    EXPECT_FALSE(drive->isConnected());
    EXPECT_EQ(drive->mountPoint(), L"X:\\");
    EXPECT_TRUE(drive->customName().empty());
}

TEST_F(DriveVolumeTest, RunWithAnUnreachableRepositoryLogsOnceAndMountsNothing) {
    auto drive = std::make_shared<KelvoFileSystem>(m_core);
    tarvo_cm::Connection connection;
    connection.endpoint = tarvo::endpoint::Remote{L"127.0.0.1", 1, L"nowhere", L"disable"};
    testing::internal::CaptureStderr();
    RunDriveThread(drive, connection, L"P:\\", L"");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(drive->isConnected());
    EXPECT_FALSE(drive->itemStore.load());
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n') >= 1, true) << log;
    EXPECT_EQ(log.find("Successfully mounted"), std::string::npos);
}

}  // namespace
}  // namespace drive_test
