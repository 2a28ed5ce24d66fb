#pragma once

#include "memory_file_system.h"
#include "mounted_drive.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace kelvo_test {

// A temporary drives folder, and the in-memory file system mounted as drive M: in it.
class FuseLayerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Mounts the file system (again); false when the mount did not come up.
    bool Mount(USHORT threadCount = 0);
    std::string Path(const std::string& relative) const;
    // Runs a shell command line with the mount's folder as the current folder; its exit status.
    int Shell(const std::string& command) const;
    std::string ShellOutput(const std::string& command) const;

    QTemporaryDir m_temporary;
    std::optional<ScopedEnvironment> m_drivesFolder;
    MemoryFileSystem m_fileSystem;
    std::unique_ptr<MountedDrive> m_drive;
    std::filesystem::path m_root;
};

}  // namespace kelvo_test
