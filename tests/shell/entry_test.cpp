// The program itself, started as real processes in a home folder of its own: a later start ends
// after a second with exit code 0 and leaves the primary running.

#include "test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include <signal.h>

namespace {

class ProgramHome {
public:
    ProgramHome() {
        // A copy of its own, so that its instance key is not shared with other tests.
        m_program = m_home.filePath("bin/KelvoDrive");
        QDir().mkpath(m_home.filePath("bin"));
        EXPECT_TRUE(QFile::copy(QStringLiteral(KELVO_PROGRAM), m_program));
        QDir().mkpath(m_home.filePath("runtime"));
        QFile::setPermissions(m_home.filePath("runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_environment = QProcessEnvironment::systemEnvironment();
        m_environment.insert("HOME", m_home.path());
        m_environment.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
        m_environment.insert("XDG_CACHE_HOME", m_home.filePath("cache"));
        m_environment.insert("XDG_STATE_HOME", m_home.filePath("state"));
        m_environment.insert("XDG_DATA_HOME", m_home.filePath("data"));
        m_environment.insert("XDG_RUNTIME_DIR", m_home.filePath("runtime"));
        m_environment.insert("KELVO_DRIVES_DIR", m_home.filePath("drives"));
        m_environment.insert("KELVO_LOG_DIR", m_home.filePath("log"));
        m_environment.insert("QT_QPA_PLATFORM", "offscreen");
    }

    std::unique_ptr<QProcess> start() const {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(m_environment);
        process->setProgram(m_program);
        process->start();
        EXPECT_TRUE(process->waitForStarted(10000));
        return process;
    }

    // The crash-dump folder: Qt's cache location for the program's names.
    QString crashDumpFolder() const {
        return m_home.filePath(QStringLiteral("cache/Ostrel/Браузер хранилищ документов"));
    }

private:
    QTemporaryDir m_home;
    QString m_program;
    QProcessEnvironment m_environment;
};

// Ends a primary the way a log-out does, and returns its exit code.
int interrupt(QProcess& process) {
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return -1;
    }
    return process.exitCode();
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer waited;
    waited.start();
    while (!condition()) {
        if (waited.elapsed() > timeoutMs) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

TEST(EntryTest, LaterStartEndsAfterASecondAndThePrimaryRunsOn) {
    KELVO_REQUIRE_FUSE();  // the driver check would ask to install the driver otherwise
    ProgramHome home;
    auto primary = home.start();
    ASSERT_TRUE(waitFor([&] { return QDir(home.crashDumpFolder()).exists(); }, 15000))
        << "the first start creates the crash-dump folder";

    QElapsedTimer clock;
    clock.start();
    auto second = home.start();
    ASSERT_TRUE(second->waitForFinished(15000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_GE(clock.elapsed(), 1000);
    EXPECT_EQ(primary->state(), QProcess::Running);

    EXPECT_EQ(interrupt(*primary), 0);
    const QString primaryErrors = QString::fromUtf8(primary->readAllStandardError());
    EXPECT_FALSE(primaryErrors.contains("SingleApplication: ")) << primaryErrors.toStdString();

    // With the primary ended, the next start is the primary: it keeps running.
    auto next = home.start();
    EXPECT_FALSE(next->waitForFinished(2500)) << "a primary does not end by itself";
    EXPECT_EQ(interrupt(*next), 0);
}

}  // namespace
