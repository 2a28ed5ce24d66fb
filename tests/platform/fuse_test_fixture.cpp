#include "fuse_test_fixture.h"

#include <array>
#include <cstdio>
#include <cstdlib>

namespace kelvo_test {

void FuseLayerTest::SetUp() {
    KELVO_REQUIRE_FUSE();
    ASSERT_TRUE(m_temporary.isValid());
    m_drivesFolder.emplace("KELVO_DRIVES_DIR", m_temporary.filePath("drives").toStdString());
    ASSERT_TRUE(Mount());
}

void FuseLayerTest::TearDown() {
    if (m_drive) {
        m_drive->Unmount();
        m_drive.reset();
    }
}

bool FuseLayerTest::Mount(USHORT threadCount) {
    m_drive.reset();
    m_drive = std::make_unique<MountedDrive>(m_fileSystem, L"M:\\", threadCount);
    m_root = m_drive->Folder();
    return m_drive->IsMounted();
}

std::string FuseLayerTest::Path(const std::string& relative) const {
    return (m_root / relative).string();
}

int FuseLayerTest::Shell(const std::string& command) const {
    const std::string line = "cd '" + m_root.string() + "' && " + command;
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string FuseLayerTest::ShellOutput(const std::string& command) const {
    const std::string line = "cd '" + m_root.string() + "' && " + command;
    std::string output;
    if (FILE* pipe = ::popen(line.c_str(), "r")) {
        std::array<char, 4096> buffer{};
        std::size_t count = 0;
        while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
            output.append(buffer.data(), count);
        }
        ::pclose(pipe);
    }
    return output;
}

}  // namespace kelvo_test
