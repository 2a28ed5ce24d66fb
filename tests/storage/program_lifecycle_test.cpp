// The real program: started on a desktop it loads the saved connections, mounts them, and on the
// end of the session (SIGTERM) or Ctrl+C it tears down in order and leaves no mount behind.

#include "storage_test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include <csignal>

namespace {

bool waitFor(const std::function<bool()>& condition, int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(50);
    }
    return true;
}

bool isMountPoint(const QString& folder) {
    std::ifstream mountInfo("/proc/self/mountinfo");
    const std::string wanted = " " + QDir(folder).absolutePath().toStdString() + " ";
    for (std::string line; std::getline(mountInfo, line);) {
        if (line.find(wanted) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class ProgramLifecycle : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        KELVO_REQUIRE_FUSE();
        // The saved connection of an earlier session, without a mount-point file: the program
        // gives it the first free letter, Z.
        {
            ConnectionsStorage storage(paths(), tarvo::CreateCore());
            storage.addConnection(kelvo_test::localConnection(), {});
        }
        QFile::remove(paths().mountPointsPath);
    }

    ConnectionsStorage::Paths paths() const {
        const QString config = home.filePath(QStringLiteral("config/Ostrel"));
        return {config + QStringLiteral("/KelvoIII_2013/ConnectionsConfig.xml"),
                config + QStringLiteral("/Браузер хранилищ документов/mount_points.xml")};
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"),
                           home.filePath(QStringLiteral("cache")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_STATE_HOME"),
                           home.filePath(QStringLiteral("state")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return environment;
    }

    QTemporaryDir home;
    kelvo_test::StorageFixtureFolders folders;  // drives and repository data of this test
};

TEST_P(ProgramLifecycle, MountsTheSavedConnectionAndLeavesNoMountAtTheEnd) {
    const int endingSignal = GetParam();
    QProcess program;
    program.setProcessEnvironment(environment());
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A copy of its own: the instance key includes the executable's path, so tests that start the
    // program at the same time would otherwise find each other's primary instance.
    const QString executable = home.filePath(QStringLiteral("KelvoDrive"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(KELVO_PROGRAM_PATH), executable));
    program.start(executable, QStringList());
    ASSERT_TRUE(program.waitForStarted());

    const QString driveZ = folders.drivesFolder() + QStringLiteral("/Z");
    ASSERT_TRUE(waitFor([&] { return isMountPoint(driveZ); }, 20000))
        << "the saved connection was not mounted on Z";
    EXPECT_TRUE(QFile::exists(driveZ + QStringLiteral("/.kelvo_drive")));

    ::kill(static_cast<pid_t>(program.processId()), endingSignal);
    ASSERT_TRUE(program.waitForFinished(20000)) << "the program did not end";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_FALSE(isMountPoint(driveZ)) << "the drive outlived the program";
    EXPECT_TRUE(QDir(home.filePath(QStringLiteral("cache"))).isEmpty() == false)
        << "the crash-dump folder was not created";
    EXPECT_EQ(ConnectionsStorage::readMountPoints(paths().mountPointsPath).size(), 1u)
        << "the letter given at the first start was not saved";
}

INSTANTIATE_TEST_SUITE_P(EndOfSession, ProgramLifecycle, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& parameter) {
                             return std::string(parameter.param == SIGTERM  ? "SIGTERM"
                                                : parameter.param == SIGINT ? "SIGINT"
                                                                            : "SIGHUP");
                         });

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
