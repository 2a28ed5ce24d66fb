#pragma once

#include <FSDriver.h>
#include <test_support.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace drive_test {

// A drive on a fresh local repository, mounted for real through the driver on a drive thread.
// The repository and the drives folder live in temporary folders.
class MountedDrive {
public:
    MountedDrive();
    ~MountedDrive();
    MountedDrive(const MountedDrive&) = delete;
    MountedDrive& operator=(const MountedDrive&) = delete;

    // Mounts and waits for the mount notification; false (with the reason) when it did not come.
    bool mount(std::string& failure);
    void unmount();
    // Unmounts as the storage does when the user disconnects: the link is cleared at once.
    void disconnect();

    // The folder the drive is mounted on.
    const std::filesystem::path& root() const { return m_root; }
    // The program's data folder (the repository, the recovery folder).
    std::filesystem::path dataFolder() const { return m_dataFolder.path().toStdString(); }
    // The repository behind the drive, through a link of the caller's own.
    std::shared_ptr<tarvo::IItemStore> repository();
    // Ids of the longest existing part of a path relative to the root ("a/b.txt"), root first.
    tarvo::IdPath resolve(const std::filesystem::path& relative);
    // Number of versions of the document at a path relative to the root.
    std::size_t versionCount(const std::filesystem::path& relative);

private:
    QTemporaryDir m_dataFolder;
    QTemporaryDir m_drivesFolder;
    std::unique_ptr<kelvo_test::ScopedEnvironment> m_dataEnvironment;
    std::unique_ptr<kelvo_test::ScopedEnvironment> m_drivesEnvironment;
    std::shared_ptr<tarvo::ICore> m_core;
    std::shared_ptr<KelvoFileSystem> m_drive;
    std::shared_ptr<tarvo::IItemStore> m_store;
    std::thread m_thread;
    std::filesystem::path m_root;
    bool m_mounted = false;
};

// A test on a drive mounted for it (skipped where FUSE is unusable).
class MountedDriveTest : public ::testing::Test {
protected:
    void SetUp() override;

    MountedDrive m_drive;
    std::filesystem::path m_root;  // where the drive is mounted
};

// Writes the whole content as a program saves a file (a failure fails the test).
void WriteFile(const std::filesystem::path& path, const std::string& content);
// The whole content of the file (a failure fails the test).
std::string ReadFile(const std::filesystem::path& path);

// Runs a program to its end; its exit status, or -1 when it did not end normally.
int RunProgram(const std::vector<std::string>& arguments);

}  // namespace drive_test
