// The single-instance guard between real processes: each test copies the probe program into a
// folder of its own (so its key is its own), starts it as primary and secondary instances, and
// talks to it through the shared block and the local socket, encoded here independently.

#include <singleapplication_p.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <memory>

namespace {

constexpr int kBlockSize = 152;
constexpr int kLineTimeoutMs = 15000;

// The shared block's fields at their offsets.
struct BlockFields {
    quint8 hasPrimary = 0;
    quint32 secondaryCount = 0;
    qint64 primaryProcessId = -1;
    QByteArray userName;
    bool consistent = false;
};

void writeBlock(void* memory, const BlockFields& fields, bool validChecksum) {
    auto* data = static_cast<char*>(memory);
    std::memset(data, 0, kBlockSize);
    data[0] = static_cast<char>(fields.hasPrimary);
    std::memcpy(data + 4, &fields.secondaryCount, 4);
    std::memcpy(data + 8, &fields.primaryProcessId, 8);
    std::memcpy(data + 16, fields.userName.constData(), std::min(127, fields.userName.size()));
    quint16 checksum = qChecksum(data, 144, Qt::ChecksumIso3309);
    if (!validChecksum) {
        checksum ^= 0x0101;
    }
    std::memcpy(data + 144, &checksum, 2);
}

BlockFields readBlock(const void* memory) {
    const auto* data = static_cast<const char*>(memory);
    BlockFields fields;
    fields.hasPrimary = static_cast<quint8>(data[0]);
    std::memcpy(&fields.secondaryCount, data + 4, 4);
    std::memcpy(&fields.primaryProcessId, data + 8, 8);
    fields.userName = QByteArray(data + 16);
    quint16 checksum = 0;
    std::memcpy(&checksum, data + 144, 2);
    fields.consistent = checksum == qChecksum(data, 144, Qt::ChecksumIso3309);
    return fields;
}

QByteArray lengthHeader(quint64 length) {
    QByteArray header(8, '\0');
    qToBigEndian(length, header.data());
    return header;
}

// The body of an identification message: key length, key, kind, number, CRC-16.
QByteArray identificationBody(const QString& key, quint8 kind, quint32 number) {
    const QByteArray keyBytes = key.toLatin1();
    QByteArray body(4, '\0');
    qToBigEndian(static_cast<quint32>(keyBytes.size()), body.data());
    body += keyBytes;
    body += static_cast<char>(kind);
    QByteArray numberBytes(4, '\0');
    qToBigEndian(number, numberBytes.data());
    body += numberBytes;
    QByteArray checksum(2, '\0');
    qToBigEndian(qChecksum(body.constData(), static_cast<uint>(body.size()), Qt::ChecksumIso3309),
                 checksum.data());
    return body + checksum;
}

// One started probe process and the lines it prints.
class Probe {
public:
    explicit Probe(const QString& program) {
        m_process.setProgram(program);
        m_process.start();
        m_clock.start();
    }
    ~Probe() { stop(); }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // The next line of standard output; empty when none comes in time.
    QString nextLine(int timeoutMs = kLineTimeoutMs) {
        QElapsedTimer waited;
        waited.start();
        while (!m_process.canReadLine()) {
            const int remaining = timeoutMs - static_cast<int>(waited.elapsed());
            if (remaining <= 0 || !m_process.waitForReadyRead(remaining)) {
                if (!m_process.canReadLine()) {
                    return {};
                }
            }
        }
        return QString::fromUtf8(m_process.readLine()).trimmed();
    }

    // Reads the key line and the decision line: "primary 0 pid N" or "secondary N".
    void readDecision() {
        const QString keyLine = nextLine();
        ASSERT_TRUE(keyLine.startsWith(QLatin1String("key "))) << keyLine.toStdString();
        key = keyLine.mid(4);
        decision = nextLine();
    }

    // Ends a primary through its standard input (so it releases the block), or waits for a
    // secondary to end.
    void stop() {
        if (m_process.state() == QProcess::NotRunning) {
            return;
        }
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QString errorOutput() { return QString::fromUtf8(m_process.readAllStandardError()); }
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    QProcess& process() { return m_process; }

    QString key;
    QString decision;

private:
    QProcess m_process;
    QElapsedTimer m_clock;
};

// A folder of its own with a copy of the probe program, so that its instance key is unique.
class ProbeCopy {
public:
    ProbeCopy() {
        m_program = m_folder.filePath(QStringLiteral("kelvo_probe"));
        EXPECT_TRUE(QFile::copy(QStringLiteral(SINGLE_INSTANCE_PROBE), m_program));
    }
    std::unique_ptr<Probe> start() const { return std::make_unique<Probe>(m_program); }
    // The key of this copy, learnt from one short primary run.
    QString learnKey() const {
        auto probe = start();
        probe->readDecision();
        EXPECT_EQ(probe->decision.section(' ', 0, 1), QStringLiteral("primary 0"));
        probe->stop();
        return probe->key;
    }

private:
    QTemporaryDir m_folder;
    QString m_program;
};

// Opens a raw connection to a primary's server.
std::unique_ptr<QLocalSocket> connectRaw(const QString& key) {
    auto socket = std::make_unique<QLocalSocket>();
    socket->connectToServer(key);
    EXPECT_TRUE(socket->waitForConnected(5000)) << socket->errorString().toStdString();
    return socket;
}

void send(QLocalSocket& socket, const QByteArray& bytes) {
    socket.write(bytes);
    ASSERT_TRUE(socket.waitForBytesWritten(5000));
}

TEST(SingleApplicationTest, FirstStartIsPrimarySecondStartsNotifyItAndCountOn) {
    ProbeCopy copy;
    auto primary = copy.start();
    primary->readDecision();
    EXPECT_EQ(primary->decision.section(' ', 0, 1), QStringLiteral("primary 0"));
    EXPECT_EQ(primary->decision.section(' ', 3), QString::number(primary->process().processId()));
    EXPECT_EQ(primary->key.size(), 44);
    EXPECT_FALSE(primary->key.contains('/'));

    auto second = copy.start();
    second->readDecision();
    EXPECT_EQ(second->decision, QStringLiteral("secondary 1"));
    EXPECT_EQ(second->key, primary->key);
    // The primary's hidden, minimized window is shown and no longer minimized: a window left
    // minimized (as it is where the desktop has no tray) must come back where the user sees it.
    EXPECT_EQ(primary->nextLine(), QStringLiteral("instanceStarted visible normal"));
    ASSERT_TRUE(second->process().waitForFinished(10000));
    EXPECT_EQ(second->process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->process().exitCode(), 0);
    EXPECT_GE(second->elapsedMs(), 1000) << "a secondary waits a second before it ends";
    EXPECT_EQ(primary->nextLine(300), QString()) << "instanceStarted once per secondary";

    // The count never goes down, so the third start is number 2 although the second has ended.
    auto third = copy.start();
    third->readDecision();
    EXPECT_EQ(third->decision, QStringLiteral("secondary 2"));
    EXPECT_EQ(primary->nextLine(), QStringLiteral("instanceStarted visible normal"));
    third->stop();
    EXPECT_EQ(third->process().exitCode(), 0);

    primary->stop();
    EXPECT_EQ(primary->process().exitCode(), 0);
    EXPECT_FALSE(primary->errorOutput().contains(QStringLiteral("SingleApplication: ")))
        << "a plain start and stop logs nothing";

    // With the primary gone, the next start is a primary again.
    auto next = copy.start();
    next->readDecision();
    EXPECT_EQ(next->decision.section(' ', 0, 1), QStringLiteral("primary 0"));
}

TEST(SingleApplicationTest, CopyInAnotherFolderIsAPrimaryOfItsOwn) {
    ProbeCopy copy;
    ProbeCopy otherCopy;
    auto primary = copy.start();
    primary->readDecision();
    auto otherPrimary = otherCopy.start();
    otherPrimary->readDecision();
    EXPECT_EQ(primary->decision.section(' ', 0, 1), QStringLiteral("primary 0"));
    EXPECT_EQ(otherPrimary->decision.section(' ', 0, 1), QStringLiteral("primary 0"));
    EXPECT_NE(primary->key, otherPrimary->key);
}

// The test plays the primary: it records itself in the block and listens, so it sees exactly the
// bytes that a secondary sends.
TEST(SingleApplicationTest, SecondarySendsTheIdentificationMessageByteForByte) {
    ProbeCopy copy;
    const QString key = copy.learnKey();
    QSharedMemory block(key);
    ASSERT_TRUE(block.create(kBlockSize)) << block.errorString().toStdString();
    BlockFields fields;
    fields.hasPrimary = 1;
    fields.secondaryCount = 6;
    fields.primaryProcessId = QCoreApplication::applicationPid();
    fields.userName = "tester";
    ASSERT_TRUE(block.lock());
    writeBlock(block.data(), fields, true);
    ASSERT_TRUE(block.unlock());
    QLocalServer::removeServer(key);
    QLocalServer server;
    ASSERT_TRUE(server.listen(key));

    auto secondary = copy.start();
    // Connections that close without data (a check that the primary still answers) are skipped.
    QByteArray received;
    QElapsedTimer waited;
    waited.start();
    while (received.isEmpty() && waited.elapsed() < 10000) {
        if (!server.waitForNewConnection(10000)) {
            break;
        }
        std::unique_ptr<QLocalSocket> connection(server.nextPendingConnection());
        while (connection->waitForReadyRead(3000)) {
            received += connection->readAll();
        }
        received += connection->readAll();
    }
    secondary->readDecision();
    EXPECT_EQ(secondary->decision, QStringLiteral("secondary 7"));

    ASSERT_EQ(received.size(), 8 + 55);
    EXPECT_EQ(received.left(8), lengthHeader(55));
    const QByteArray body = received.mid(8);
    EXPECT_EQ(qFromBigEndian<quint32>(body.constData()), 44u);
    EXPECT_EQ(body.mid(4, 44), key.toLatin1());
    EXPECT_EQ(body.at(48), 2) << "kind: a secondary instance";
    EXPECT_EQ(qFromBigEndian<quint32>(body.constData() + 49), 7u);
    EXPECT_EQ(qFromBigEndian<quint16>(body.constData() + 53),
              qChecksum(body.constData(), 53, Qt::ChecksumIso3309));
    EXPECT_EQ(body, identificationBody(key, 2, 7));

    ASSERT_TRUE(secondary->process().waitForFinished(10000));
    EXPECT_EQ(secondary->process().exitCode(), 0);
    ASSERT_TRUE(block.lock());
    const BlockFields after = readBlock(block.data());
    ASSERT_TRUE(block.unlock());
    EXPECT_TRUE(after.consistent);
    EXPECT_EQ(after.secondaryCount, 7u);
    EXPECT_EQ(after.hasPrimary, 1) << "a secondary leaves the primary's record alone";
    EXPECT_EQ(after.primaryProcessId, QCoreApplication::applicationPid());
}

TEST(SingleApplicationTest, BlockWithBadChecksumIsTakenOverAfterFiveSeconds) {
    ProbeCopy copy;
    const QString key = copy.learnKey();
    QSharedMemory block(key);
    ASSERT_TRUE(block.create(kBlockSize)) << block.errorString().toStdString();
    BlockFields fields;
    fields.hasPrimary = 1;
    fields.secondaryCount = 3;
    fields.primaryProcessId = QCoreApplication::applicationPid();
    ASSERT_TRUE(block.lock());
    writeBlock(block.data(), fields, false);
    ASSERT_TRUE(block.unlock());

    auto probe = copy.start();
    probe->readDecision();
    EXPECT_EQ(probe->decision.section(' ', 0, 1), QStringLiteral("primary 0"));
    EXPECT_GE(probe->elapsedMs(), 5000);

    ASSERT_TRUE(block.lock());
    const BlockFields after = readBlock(block.data());
    ASSERT_TRUE(block.unlock());
    EXPECT_TRUE(after.consistent);
    EXPECT_EQ(after.hasPrimary, 1);
    EXPECT_EQ(after.secondaryCount, 0u);
    EXPECT_EQ(after.primaryProcessId, probe->process().processId());
    probe->stop();
    EXPECT_TRUE(probe->errorOutput().contains(QStringLiteral(
        "SingleApplication: Shared memory block has been in an inconsistent state from more than "
        "5s. Assuming primary instance failure.")));

    ASSERT_TRUE(block.lock());
    const BlockFields released = readBlock(block.data());
    ASSERT_TRUE(block.unlock());
    EXPECT_TRUE(released.consistent);
    EXPECT_EQ(released.hasPrimary, 0);
    EXPECT_EQ(released.primaryProcessId, -1);
    EXPECT_TRUE(released.userName.isEmpty());
}

TEST(SingleApplicationTest, PrimaryRejectsAMessageWithAFlippedBit) {
    ProbeCopy copy;
    auto primary = copy.start();
    primary->readDecision();
    const QByteArray good = identificationBody(primary->key, 2, 5);
    ASSERT_EQ(good.size(), 55);

    // Bits in the key length, the key, the kind, the number and the checksum.
    for (int position : {2, 10, 48, 52, 54}) {
        QByteArray flipped = good;
        flipped[position] = static_cast<char>(flipped[position] ^ 0x04);
        auto socket = connectRaw(primary->key);
        send(*socket, lengthHeader(55) + flipped);
        EXPECT_TRUE(socket->state() == QLocalSocket::UnconnectedState ||
                    socket->waitForDisconnected(5000))
            << "the primary closes the connection for a flip at byte " << position;
    }
    auto socket = connectRaw(primary->key);
    send(*socket, lengthHeader(55) + good);
    EXPECT_EQ(primary->nextLine(), QStringLiteral("instanceStarted visible normal"));
    EXPECT_EQ(primary->nextLine(300), QString()) << "only the sound message counts";
    EXPECT_EQ(socket->state(), QLocalSocket::ConnectedState);
}

TEST(SingleApplicationTest, HeaderInTwoPiecesIsReadAndLaterBytesAreAMessage) {
    ProbeCopy copy;
    auto primary = copy.start();
    primary->readDecision();
    const QByteArray header = lengthHeader(55);
    const QByteArray body = identificationBody(primary->key, 2, 9);

    auto socket = connectRaw(primary->key);
    send(*socket, header.left(3));
    QThread::msleep(200);
    send(*socket, header.mid(3));
    QThread::msleep(200);
    send(*socket, body.left(20));
    QThread::msleep(200);
    EXPECT_EQ(primary->nextLine(100), QString()) << "nothing before the body is complete";
    send(*socket, body.mid(20));
    EXPECT_EQ(primary->nextLine(), QStringLiteral("instanceStarted visible normal"));

    send(*socket, "hello");
    EXPECT_EQ(primary->nextLine(), QStringLiteral("message 9 68656c6c6f"));
}

TEST(SingleApplicationTest, PrimaryKilledWithSigkillDoesNotBlockTheNextStart) {
    ProbeCopy copy;
    auto primary = copy.start();
    primary->readDecision();
    ASSERT_EQ(primary->decision.section(' ', 0, 1), QStringLiteral("primary 0"));
    primary->process().kill();
    ASSERT_TRUE(primary->process().waitForFinished(5000));

    auto next = copy.start();
    next->readDecision();
    EXPECT_EQ(next->decision.section(' ', 0, 1), QStringLiteral("primary 0"));
    EXPECT_LT(next->elapsedMs(), 5000) << "a provably gone primary needs no 5-second wait";

    // The new primary serves later starts as usual.
    auto second = copy.start();
    second->readDecision();
    EXPECT_EQ(second->decision, QStringLiteral("secondary 1"));
    EXPECT_EQ(next->nextLine(), QStringLiteral("instanceStarted visible normal"));
    next->stop();
    EXPECT_TRUE(next->errorOutput().contains(QStringLiteral("no longer runs")));
}

// A recorded process id that now belongs to another process (here: the test itself), with no
// server under the key, is a primary that is gone too.
TEST(SingleApplicationTest, RecordedPrimaryWithoutServerIsTakenOver) {
    ProbeCopy copy;
    const QString key = copy.learnKey();
    QSharedMemory block(key);
    ASSERT_TRUE(block.create(kBlockSize)) << block.errorString().toStdString();
    BlockFields fields;
    fields.hasPrimary = 1;
    fields.secondaryCount = 4;
    fields.primaryProcessId = QCoreApplication::applicationPid();
    ASSERT_TRUE(block.lock());
    writeBlock(block.data(), fields, true);
    ASSERT_TRUE(block.unlock());
    QLocalServer::removeServer(key);

    auto probe = copy.start();
    probe->readDecision();
    EXPECT_EQ(probe->decision.section(' ', 0, 1), QStringLiteral("primary 0"));
    ASSERT_TRUE(block.lock());
    const BlockFields after = readBlock(block.data());
    ASSERT_TRUE(block.unlock());
    EXPECT_EQ(after.primaryProcessId, probe->process().processId());
    EXPECT_EQ(after.secondaryCount, 0u);
}

TEST(InstanceKeyTest, KeyFollowsNamesVersionAndPathAsConfigured) {
    const QString previousVersion = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationVersion(QStringLiteral("2.4.1"));
    const auto defaultMode = QFlags<SingleApplication::Mode>(SingleApplication::NotifyOnSecondary);
    const QString key = SingleApplicationPrivate::computeInstanceKey(defaultMode);

    QCryptographicHash expected(QCryptographicHash::Sha256);
    expected.addData("SingleApplication");
    expected.addData(QCoreApplication::applicationName().toUtf8());
    expected.addData("2.4.1");
    expected.addData(QCoreApplication::applicationFilePath().toLower().toUtf8());
    EXPECT_EQ(key, QString::fromLatin1(expected.result().toBase64().replace('/', '_')));

    const auto withoutVersion = defaultMode | SingleApplication::KeyWithoutVersion;
    const QString unversioned = SingleApplicationPrivate::computeInstanceKey(withoutVersion);
    QCoreApplication::setApplicationVersion(QStringLiteral("2.5.0"));
    EXPECT_NE(SingleApplicationPrivate::computeInstanceKey(defaultMode), key)
        << "another version is a primary of its own";
    EXPECT_EQ(SingleApplicationPrivate::computeInstanceKey(withoutVersion), unversioned);
    EXPECT_NE(SingleApplicationPrivate::computeInstanceKey(withoutVersion |
                                                           SingleApplication::KeyWithoutPath),
              unversioned);
    QCoreApplication::setApplicationVersion(previousVersion);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
