#include "MountedDrive.h"

#include <dokan/dokan.h>
#include <win_compat/windows.h>

#include <QString>

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>

extern char** environ;

namespace drive_test {
namespace {
constexpr wchar_t kMountPoint[] = L"M:\\";
}

MountedDrive::MountedDrive()
    : m_dataEnvironment(std::make_unique<kelvo_test::ScopedEnvironment>(
          "KELVO_DATA_DIR", m_dataFolder.path().toStdString())),
      m_drivesEnvironment(std::make_unique<kelvo_test::ScopedEnvironment>(
          "KELVO_DRIVES_DIR", m_drivesFolder.path().toStdString())),
      m_core(tarvo::CreateCore()) {}

MountedDrive::~MountedDrive() {
    unmount();
}

bool MountedDrive::mount(std::string& failure) {
    if (!m_core) {
        failure = "the repository core is not available";
        return false;
    }
    m_drive = std::make_shared<KelvoFileSystem>(m_core);
    auto mounted = std::make_shared<std::promise<bool>>();
    auto signalled = std::make_shared<std::once_flag>();
    auto signal = [mounted, signalled](bool result) {
        std::call_once(*signalled, [&] { mounted->set_value(result); });
    };
    m_drive->onMounted = [signal] { signal(true); };
    tarvo_cm::Connection connection;
    connection.endpoint = tarvo::endpoint::Local{};
    connection.credentials = tarvo::auth::Current{};
    m_thread = std::thread([drive = m_drive, connection, signal] {
        RunDriveThread(drive, connection, kMountPoint, L"");
        signal(false);  // run ended without the mount ever coming up
    });
    auto future = mounted->get_future();
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready || !future.get()) {
        failure = "the drive did not mount (see the log)";
        unmount();
        return false;
    }
    m_mounted = true;
    m_root = win_compat::MountPointFolder(kMountPoint);
    return true;
}

void MountedDrive::unmount() {
    if (m_thread.joinable()) {
        DokanRemoveMountPoint(kMountPoint);
        m_thread.join();
    }
    m_mounted = false;
    m_drive.reset();
}

void MountedDrive::disconnect() {
    if (m_thread.joinable()) {
        DokanRemoveMountPoint(kMountPoint);
        m_drive->repository.reset();
    }
    unmount();
}

std::shared_ptr<tarvo::IItemStore> MountedDrive::repository() {
    if (!m_store) {
        m_store =
            m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{})->OpenItemStore();
    }
    return m_store;
}

tarvo::IdPath MountedDrive::resolve(const std::filesystem::path& relative) {
    tarvo::Names names{L""};
    for (const auto& part : relative) {
        names.push_back(QString::fromStdString(part.string()).toStdWString());
    }
    return repository()->ResolvePath(names);
}

std::size_t MountedDrive::versionCount(const std::filesystem::path& relative) {
    const tarvo::IdPath ids = resolve(relative);
    if (ids.size() !=
        static_cast<std::size_t>(std::distance(relative.begin(), relative.end())) + 1) {
        return 0;
    }
    return repository()->ListVersions(ids).size();
}

void MountedDriveTest::SetUp() {
    KELVO_REQUIRE_FUSE();
    std::string failure;
    ASSERT_TRUE(m_drive.mount(failure)) << failure;
    m_root = m_drive.root();
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    stream.close();
    ASSERT_TRUE(stream) << "cannot write " << path;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    EXPECT_TRUE(stream) << "cannot read " << path;
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

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

}  // namespace drive_test
