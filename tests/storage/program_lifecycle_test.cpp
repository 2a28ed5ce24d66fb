// The real program: started on a desktop it loads the saved connections, mounts them, and on the
// end of the session (SIGTERM) or Ctrl+C it tears down in order and leaves no mount behind, from
// any state; it starts normally after a crash; its files are private whatever the umask.

#include "storage_test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <gtest/gtest.h>

#include <boost/uuid/uuid_io.hpp>

#include <fstream>
#include <functional>
#include <iostream>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <csignal>

namespace {

bool waitFor(const std::function<bool()>& condition, int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::msleep(20);
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

// Descriptors of a running process that a program it starts would inherit.
QStringList inheritableDescriptors(qint64 pid) {
    QStringList found;
    const QString folder = QStringLiteral("/proc/%1/fdinfo").arg(pid);
    for (const QString& name : QDir(folder).entryList(QDir::Files)) {
        if (name.toInt() <= STDERR_FILENO) {
            continue;
        }
        QFile info(folder + QLatin1Char('/') + name);
        if (!info.open(QIODevice::ReadOnly)) {
            continue;  // closed meanwhile
        }
        const QString text = QString::fromLatin1(info.readAll());
        const int flagsAt = text.indexOf(QStringLiteral("flags:"));
        const qulonglong flags = text.mid(flagsAt + 6)
                                     .section(QLatin1Char('\n'), 0, 0)
                                     .trimmed()
                                     .toULongLong(nullptr, 8);
        if ((flags & O_CLOEXEC) == 0) {
            found << name + QStringLiteral(" -> ") +
                         QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(name));
        }
    }
    return found;
}

// Files and folders under `root` that others could read, written as "mode path".
QStringList notPrivate(const QString& root) {
    QStringList found;
    QDirIterator entries(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString path = entries.next();
        struct stat status {};
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0) {
            continue;
        }
        const mode_t expected = S_ISDIR(status.st_mode) ? 0700 : 0600;
        if ((status.st_mode & 0777) != expected) {
            found << QString::number(status.st_mode & 0777, 8) + QLatin1Char(' ') + path;
        }
    }
    return found;
}

// A session bus that takes connections and never answers: a keyring call waits until its limit.
class SilentBus {
public:
    explicit SilentBus(const QString& path) {
        m_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::copy(name.begin(), name.end(), address.sun_path);
        if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(m_socket, 16) != 0) {
            ::close(m_socket);
            m_socket = -1;
        }
    }
    ~SilentBus() {
        if (m_socket >= 0) {
            ::close(m_socket);
        }
    }
    SilentBus(const SilentBus&) = delete;
    SilentBus& operator=(const SilentBus&) = delete;

    bool listening() const { return m_socket >= 0; }
    // Whether a client has connected (and now waits for an answer).
    bool called() const {
        pollfd entry{m_socket, POLLIN, 0};
        return ::poll(&entry, 1, 0) == 1;
    }

private:
    int m_socket = -1;
};

class ProgramLifecycle : public ::testing::Test {
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
        // A copy of its own: the instance key includes the executable's path, so tests that
        // start the program at the same time would otherwise find each other's primary instance.
        QDir().mkpath(QFileInfo(executable()).absolutePath());
        ASSERT_TRUE(QFile::copy(QStringLiteral(KELVO_PROGRAM_PATH), executable()));
    }

    ConnectionsStorage::Paths paths() const {
        const QString config = home.filePath(QStringLiteral("config/Ostrel"));
        return {config + QStringLiteral("/KelvoIII_2013/ConnectionsConfig.xml"),
                config + QStringLiteral("/Браузер хранилищ документов/mount_points.xml")};
    }
    QString executable() const { return home.filePath(QStringLiteral("bin/KelvoDrive")); }
    QString driveZ() const { return folders.drivesFolder() + QStringLiteral("/Z"); }
    QString cacheFolder() const { return home.filePath(QStringLiteral("кэш")); }
    QString crashFolder() const {
        return cacheFolder() + QStringLiteral("/Ostrel/Браузер хранилищ документов");
    }
    QString log() const {
        return QString::fromUtf8(
            kelvo_test::readFile(home.filePath(QStringLiteral("state/KelvoDrive/KelvoDrive.log"))));
    }

    QProcessEnvironment environment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                           home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), cacheFolder());
        environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("XDG_STATE_HOME"),
                           home.filePath(QStringLiteral("state")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return environment;
    }

    void start(QProcess& program, const QProcessEnvironment& environment) {
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(executable(), QStringList());
        ASSERT_TRUE(program.waitForStarted());
    }

    // Ends the program with `endingSignal` and checks that it went within two seconds, with
    // exit code 0 and no mount left (time to start is not counted).
    void endAndCheck(QProcess& program, int endingSignal) {
        QElapsedTimer ending;
        ending.start();
        ::kill(static_cast<pid_t>(program.processId()), endingSignal);
        ASSERT_TRUE(program.waitForFinished(10000)) << "the program did not end";
        const qint64 milliseconds = ending.elapsed();
        std::cout << "ended " << milliseconds << " ms after the signal\n";
        // Slack for a machine loaded by parallel tests; the program itself gives up at 1.2 s.
        EXPECT_LT(milliseconds, 3000) << "the program took too long to end";
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_FALSE(isMountPoint(driveZ())) << "the drive outlived the program";
    }

    QTemporaryDir home;
    kelvo_test::StorageFixtureFolders folders;  // drives and repository data of this test
};

class EndOfSession : public ProgramLifecycle, public ::testing::WithParamInterface<int> {};

TEST_P(EndOfSession, MountsTheSavedConnectionWritesNothingAndLeavesNoMount) {
    const QByteArray connections = kelvo_test::readFile(paths().connectionsConfigPath);
    QProcess program;
    start(program, environment());
    ASSERT_TRUE(waitFor([&] { return isMountPoint(driveZ()); }, 20000))
        << "the saved connection was not mounted on Z";
    EXPECT_TRUE(QFile::exists(driveZ() + QStringLiteral("/.kelvo_drive")));
    EXPECT_EQ(inheritableDescriptors(program.processId()), QStringList())
        << "descriptors a started program would inherit";

    endAndCheck(program, GetParam());
    EXPECT_TRUE(QDir(crashFolder()).exists()) << "the crash-dump folder was not created";
    EXPECT_EQ(kelvo_test::readFile(paths().connectionsConfigPath), connections);
    EXPECT_FALSE(QFile::exists(paths().mountPointsPath)) << "a start wrote the mount-point file";
    // The test runs under umask 022 (see main): every folder and file the program made (the
    // configuration written by the storage above included) is the owner's alone.
    for (const QString& root :
         {home.filePath(QStringLiteral("config")), cacheFolder(),
          home.filePath(QStringLiteral("state")), folders.path(QStringLiteral("data"))}) {
        EXPECT_EQ(notPrivate(root), QStringList());
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, EndOfSession, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& parameter) {
                             return std::string(parameter.param == SIGTERM  ? "SIGTERM"
                                                : parameter.param == SIGINT ? "SIGINT"
                                                                            : "SIGHUP");
                         });

// Connection records behind the local one: one that needs the keyring, or thousands of servers.
QByteArray recordsAfterTheLocalOne(bool keyring) {
    QByteArray records;
    const int count = keyring ? 1 : 20000;
    for (int index = 0; index < count; ++index) {
        records += "<connection><id>" +
                   QByteArray::fromStdString(boost::uuids::to_string(tarvo::GenerateUuid())) +
                   "</id><name>n</name><endpoint><kind>remote</kind><host>127.0.0.1</host>"
                   "<port>1</port><database>d" +
                   QByteArray::number(index) +
                   "</database></endpoint><credentials><kind>basic</kind><login>u</login>" +
                   (keyring ? "<password_store>keyring</password_store>"
                            : "<password_store>none</password_store>") +
                   "</credentials></connection>";
    }
    return records;
}

class EndWhileBusy : public ProgramLifecycle, public ::testing::WithParamInterface<bool> {};

// A keyring that never answers holds the start in its wait (a nested event loop); twenty thousand
// records keep it loading. Either way the end of the session ends the program at once.
TEST_P(EndWhileBusy, SigtermEndsTheProgramAtOnce) {
    const bool keyring = GetParam();
    QByteArray connections = kelvo_test::readFile(paths().connectionsConfigPath);
    connections.insert(connections.indexOf("</connections>"), recordsAfterTheLocalOne(keyring));
    kelvo_test::writeFile(paths().connectionsConfigPath, connections);
    SilentBus bus(home.filePath(QStringLiteral("bus")));
    ASSERT_TRUE(bus.listening());
    QProcessEnvironment withBus = environment();
    withBus.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                   QStringLiteral("unix:path=") + home.filePath(QStringLiteral("bus")));

    QProcess program;
    start(program, withBus);
    if (keyring) {
        ASSERT_TRUE(waitFor([&] { return bus.called(); }, 20000)) << "the keyring was not asked";
    } else {
        QThread::msleep(150);
    }
    endAndCheck(program, SIGTERM);
    EXPECT_EQ(kelvo_test::readFile(paths().connectionsConfigPath), connections);
    EXPECT_FALSE(QFile::exists(paths().mountPointsPath));
}

INSTANTIATE_TEST_SUITE_P(States, EndWhileBusy, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& parameter) {
                             return std::string(parameter.param ? "KeyringWait" : "Loading");
                         });

class AfterACrash : public ProgramLifecycle, public ::testing::WithParamInterface<const char*> {};

// The crash report lies in a folder with a Cyrillic name; under a C locale its path cannot be
// converted by the standard library. The start after the crash still runs and says where the
// report is.
TEST_P(AfterACrash, TheNextStartRunsNormallyAndNamesTheReport) {
    QProcessEnvironment inLocale = environment();
    inLocale.insert(QStringLiteral("LANG"), QString::fromLatin1(GetParam()));
    inLocale.remove(QStringLiteral("LC_ALL"));
    inLocale.remove(QStringLiteral("LC_CTYPE"));

    QProcess crashing;
    start(crashing, inLocale);
    ASSERT_TRUE(waitFor([&] { return isMountPoint(driveZ()); }, 20000));
    ::kill(static_cast<pid_t>(crashing.processId()), SIGSEGV);
    ASSERT_TRUE(crashing.waitForFinished(10000));
    EXPECT_EQ(crashing.exitStatus(), QProcess::CrashExit);
    ASSERT_FALSE(QDir(crashFolder()).entryList({QStringLiteral("crash-*.dump")}).isEmpty());
    // The crash guard detaches the dead mount.
    ASSERT_TRUE(waitFor([&] { return !isMountPoint(driveZ()); }, 15000));

    QProcess next;
    start(next, inLocale);
    ASSERT_TRUE(waitFor([&] { return isMountPoint(driveZ()); }, 20000))
        << "the start after the crash did not run";
    const QStringList reports = QDir(crashFolder()).entryList({QStringLiteral("crash-*.txt")});
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(log().contains(QStringLiteral("report: ") + crashFolder() + QLatin1Char('/') +
                               reports.front()))
        << log().toStdString();
    EXPECT_EQ(notPrivate(cacheFolder()), QStringList());
    endAndCheck(next, SIGTERM);
}

INSTANTIATE_TEST_SUITE_P(Locales, AfterACrash, ::testing::Values("C.UTF-8", "C"),
                         [](const ::testing::TestParamInfo<const char*>& parameter) {
                             return std::string(parameter.param[1] == '\0' ? "C" : "CUtf8");
                         });

}  // namespace

int main(int argc, char** argv) {
    // The usual umask of a desktop session: the program's files must be private all the same.
    ::umask(022);
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
