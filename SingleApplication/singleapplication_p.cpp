#include "singleapplication_p.h"

#include <platform_base/processes.h>
#include <win_compat/windows.h>

#include <QCryptographicHash>
#include <QDataStream>
#include <QDebug>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator64>
#include <QSharedMemory>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <limits>

#ifdef Q_OS_UNIX
#include <sys/types.h>
#endif

namespace {

constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_5_6;
constexpr qint64 kInconsistentBlockLimitMs = 5000;
constexpr int kUserNameBufferLength = 257;  // UNLEN + 1

int remainingTime(int timeout, const QElapsedTimer& clock) {
    return static_cast<int>(std::max<qint64>(0, timeout - clock.elapsed()));
}

}  // namespace

SingleApplicationPrivate::SingleApplicationPrivate(SingleApplication* owner) : q(owner) {}

SingleApplicationPrivate::~SingleApplicationPrivate() {
    if (socket != nullptr) {
        socket->close();
        delete socket;
        socket = nullptr;
    }
    if (sharedBlock == nullptr) {
        return;
    }
    const bool locked = sharedBlock->lock();
    if (!locked) {
        qDebug().noquote() << "SingleApplication: Unable to lock memory block for release."
                           << sharedBlock->errorString();
    }
    if (server != nullptr) {
        // The peers' handlers refer to this object, which is going away with the server.
        for (QLocalSocket* peerSocket : server->findChildren<QLocalSocket*>()) {
            peerSocket->disconnect();
        }
        peers.clear();
        server->close();
        delete server;
        server = nullptr;
        // A block that a later instance has taken over names that instance; leave it to it.
        if (locked && block()->primaryProcessId == QCoreApplication::applicationPid()) {
            InstanceBlock* content = block();
            content->hasPrimary = 0;
            content->primaryProcessId = -1;
            content->primaryUserName[0] = '\0';
            updateChecksum();
        }
    }
    if (locked && !sharedBlock->unlock()) {
        qDebug().noquote() << "SingleApplication: Unable to unlock memory block after release."
                           << sharedBlock->errorString();
    }
    delete sharedBlock;
    sharedBlock = nullptr;
}

// --- The instance key ---------------------------------------------------------------------------

QString SingleApplicationPrivate::userName() {
    WCHAR buffer[kUserNameBufferLength] = {};
    DWORD length = kUserNameBufferLength;
    if (GetUserNameW(buffer, &length)) {
        return QString::fromWCharArray(buffer);
    }
    if (qEnvironmentVariableIsSet("USERNAME")) {
        return qEnvironmentVariable("USERNAME");
    }
    return qEnvironmentVariable("USER");
}

QString SingleApplicationPrivate::computeInstanceKey(QFlags<SingleApplication::Mode> keyMode) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData("SingleApplication", 17);
    hash.addData(QCoreApplication::applicationName().toUtf8());
    hash.addData(QCoreApplication::organizationName().toUtf8());
    hash.addData(QCoreApplication::organizationDomain().toUtf8());
    if (!keyMode.testFlag(SingleApplication::KeyWithoutVersion)) {
        hash.addData(QCoreApplication::applicationVersion().toUtf8());
    }
    if (!keyMode.testFlag(SingleApplication::KeyWithoutPath)) {
        hash.addData(QCoreApplication::applicationFilePath().toLower().toUtf8());
    }
    if (keyMode.testFlag(SingleApplication::PerUser)) {
        hash.addData(userName().toUtf8());
    }
    // Base64 may hold "/", which neither a block name nor a server name may contain.
    return QString::fromLatin1(hash.result().toBase64().replace('/', '_'));
}

void SingleApplicationPrivate::genInstanceKey() {
    instanceKey = computeInstanceKey(mode);
}

// --- The shared block ---------------------------------------------------------------------------

InstanceBlock* SingleApplicationPrivate::block() const {
    return static_cast<InstanceBlock*>(sharedBlock->data());
}

quint16 SingleApplicationPrivate::blockChecksum(const InstanceBlock& content) {
    return qChecksum(reinterpret_cast<const char*>(&content), offsetof(InstanceBlock, checksum),
                     Qt::ChecksumIso3309);
}

void SingleApplicationPrivate::updateChecksum() {
    block()->checksum = blockChecksum(*block());
}

bool SingleApplicationPrivate::blockIsConsistent() const {
    return block()->checksum == blockChecksum(*block());
}

void SingleApplicationPrivate::resetBlock() {
    InstanceBlock* content = block();
    content->hasPrimary = 0;
    content->secondaryCount = 0;
    content->primaryProcessId = -1;
    content->primaryUserName[0] = '\0';
    updateChecksum();
}

void SingleApplicationPrivate::randomSleep() {
    QThread::msleep(8 + QRandomGenerator64::global()->bounded(10u));
}

void SingleApplicationPrivate::initializeMemoryBlock() {
    randomSleep();
    sharedBlock = new QSharedMemory(instanceKey);
    if (sharedBlock->create(BlockSize, QSharedMemory::ReadWrite)) {
        if (!sharedBlock->lock()) {
            qCritical() << "SingleApplication: Unable to lock memory block after create.";
            q->abortSafely();
        }
        resetBlock();
        return;
    }
    if (sharedBlock->error() != QSharedMemory::AlreadyExists) {
        qCritical() << "SingleApplication: Unable to create block.";
        q->abortSafely();
    }
    if (!sharedBlock->attach(QSharedMemory::ReadWrite)) {
        qCritical() << "SingleApplication: Unable to attach to shared memory block.";
        q->abortSafely();
    }
    if (!sharedBlock->lock()) {
        qCritical() << "SingleApplication: Unable to lock memory block after attach.";
        q->abortSafely();
    }
}

void SingleApplicationPrivate::waitForConsistentBlock() {
    QElapsedTimer clock;
    clock.start();
    while (!blockIsConsistent()) {
        if (clock.elapsed() > kInconsistentBlockLimitMs) {
            qWarning() << "SingleApplication: Shared memory block has been in an inconsistent "
                          "state from more than 5s. Assuming primary instance failure.";
            resetBlock();
        }
        if (!sharedBlock->unlock()) {
            qDebug().noquote() << "SingleApplication: Unable to unlock memory for random wait."
                               << sharedBlock->errorString();
        }
        randomSleep();
        if (!sharedBlock->lock()) {
            qCritical() << "SingleApplication: Unable to lock memory after random wait.";
            q->abortSafely();
        }
    }
}

qint64 SingleApplicationPrivate::primaryPid() const {
    if (sharedBlock == nullptr || !sharedBlock->lock()) {
        return -1;
    }
    const qint64 pid = block()->primaryProcessId;
    if (!sharedBlock->unlock()) {
        qDebug().noquote() << "SingleApplication: Unable to unlock memory after reading the "
                              "primary's process id."
                           << sharedBlock->errorString();
    }
    return pid;
}

bool SingleApplicationPrivate::recordedPrimaryIsGone(int timeout) const {
    // A shared memory block outlives a primary that crashed and would otherwise keep saying that
    // a primary runs, turning every later start into a secondary that notifies nobody.
#ifdef Q_OS_UNIX
    const qint64 pid = block()->primaryProcessId;
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max() ||
        pid == QCoreApplication::applicationPid()) {
        return true;
    }
    if (kelvo_platform::ProcessIsGone(pid)) {
        return true;
    }
#endif
    // The id is in use, by the primary or by a process that got the id after it (or by a zombie
    // not yet reaped). A primary listens for as long as it is recorded; only a definite refusal
    // counts, a busy primary that does not accept in time does not.
    QLocalSocket probe;
    probe.connectToServer(instanceKey);
    if (probe.waitForConnected(timeout)) {
        probe.abort();
        return false;
    }
    return probe.error() == QLocalSocket::ServerNotFoundError ||
           probe.error() == QLocalSocket::ConnectionRefusedError;
}

// --- Primary and secondary ----------------------------------------------------------------------

void SingleApplicationPrivate::startPrimary() {
    InstanceBlock* content = block();
    content->hasPrimary = 1;
    content->primaryProcessId = QCoreApplication::applicationPid();
    const QByteArray name = userName().toUtf8();
    const auto nameLength =
        std::min<size_t>(static_cast<size_t>(name.size()), sizeof(content->primaryUserName) - 1);
    std::memcpy(content->primaryUserName, name.constData(), nameLength);
    content->primaryUserName[nameLength] = '\0';
    updateChecksum();
    instanceIndex = 0;

    QLocalServer::removeServer(instanceKey);
    server = new QLocalServer();
    server->setSocketOptions(mode.testFlag(SingleApplication::PerUser)
                                 ? QLocalServer::UserAccessOption
                                 : QLocalServer::WorldAccessOption);
    if (!server->listen(instanceKey)) {
        qWarning().noquote() << "SingleApplication: Unable to listen for later instances."
                             << server->errorString();
    }
    connect(server, &QLocalServer::newConnection, this,
            &SingleApplicationPrivate::slotConnectionEstablished);
}

void SingleApplicationPrivate::startSecondary() {
    InstanceBlock* content = block();
    content->secondaryCount += 1;
    updateChecksum();
    instanceIndex = static_cast<int>(content->secondaryCount);
}

QByteArray SingleApplicationPrivate::identificationBody(const QString& key, ConnectionType kind,
                                                        quint32 instanceNumber) {
    QByteArray body;
    QDataStream out(&body, QIODevice::WriteOnly);
    out.setVersion(kStreamVersion);
    out << key.toLatin1() << static_cast<quint8>(kind) << instanceNumber;
    out << qChecksum(body.constData(), static_cast<uint>(body.size()), Qt::ChecksumIso3309);
    return body;
}

bool SingleApplicationPrivate::connectToPrimary(int timeout, ConnectionType kind) {
    QElapsedTimer clock;
    clock.start();
    if (socket == nullptr) {
        socket = new QLocalSocket();
    }
    if (socket->state() == QLocalSocket::ConnectedState) {
        return true;
    }
    for (;;) {
        randomSleep();
        if (socket->state() != QLocalSocket::ConnectingState) {
            socket->connectToServer(instanceKey, QIODevice::ReadWrite);
        }
        if (socket->state() == QLocalSocket::ConnectingState) {
            socket->waitForConnected(remainingTime(timeout, clock));
        }
        if (socket->state() == QLocalSocket::ConnectedState) {
            break;
        }
        if (clock.elapsed() >= timeout) {
            return false;
        }
    }

    // An instance that never decided has no number of its own; it sends 0.
    const QByteArray body =
        identificationBody(instanceKey, kind, static_cast<quint32>(std::max(instanceIndex, 0)));
    QByteArray header;
    QDataStream headerStream(&header, QIODevice::WriteOnly);
    headerStream.setVersion(kStreamVersion);
    headerStream << static_cast<quint64>(body.size());

    socket->write(header);
    socket->write(body);
    const bool written = socket->waitForBytesWritten(remainingTime(timeout, clock));
    socket->flush();
    return written;
}

// --- The primary's side of the conversation -----------------------------------------------------

void SingleApplicationPrivate::slotConnectionEstablished() {
    QLocalSocket* peerSocket = server->nextPendingConnection();
    if (peerSocket == nullptr) {
        return;
    }
    peers.insert(peerSocket, PeerState{});

    connect(
        peerSocket, &QLocalSocket::aboutToClose, peerSocket,
        [this, peerSocket] {
            // Only an identified peer's bytes are application data.
            const auto peer = peers.constFind(peerSocket);
            if (peer != peers.cend() && peer->readStage == StageConnected) {
                slotClientConnectionClosed(peerSocket, peer->instanceId);
            }
        },
        Qt::DirectConnection);
    connect(
        peerSocket, &QLocalSocket::disconnected, peerSocket,
        [this, peerSocket] {
            peers.remove(peerSocket);
            peerSocket->deleteLater();
        },
        Qt::DirectConnection);
    connect(
        peerSocket, &QLocalSocket::readyRead, peerSocket,
        [this, peerSocket] { readIdentification(peerSocket); }, Qt::DirectConnection);
}

void SingleApplicationPrivate::readIdentification(QLocalSocket* peerSocket) {
    const auto peer = peers.constFind(peerSocket);
    if (peer == peers.cend()) {
        return;
    }
    switch (peer->readStage) {
        case StageHeader:
            readHeader(peerSocket);
            break;
        case StageBody:
            readBody(peerSocket);
            break;
        default:
            slotDataAvailable(peerSocket, peer->instanceId);
            break;
    }
}

void SingleApplicationPrivate::readHeader(QLocalSocket* peerSocket) {
    if (peerSocket->bytesAvailable() < HeaderSize) {
        return;
    }
    const QByteArray header = peerSocket->read(HeaderSize);
    QDataStream in(header);
    in.setVersion(kStreamVersion);
    quint64 length = 0;
    in >> length;

    PeerState& peer = peers[peerSocket];
    peer.messageLength = static_cast<qint64>(length);
    peer.readStage = StageBody;
    readBody(peerSocket);
}

void SingleApplicationPrivate::readBody(QLocalSocket* peerSocket) {
    PeerState peer = peers.value(peerSocket);
    // A length beyond what a signed count holds is never reached: the peer waits until it leaves.
    if (peer.messageLength < 0 || peerSocket->bytesAvailable() < peer.messageLength) {
        return;
    }
    const QByteArray body = peerSocket->read(peer.messageLength);
    quint8 kind = 0;
    quint32 instanceNumber = 0;
    if (!isAcceptedBody(body, &kind, &instanceNumber)) {
        peerSocket->close();
        return;
    }
    peer.instanceId = instanceNumber;
    peer.readStage = StageConnected;
    peers.insert(peerSocket, peer);

    if (kind == NewInstance ||
        (kind == SecondaryInstance && mode.testFlag(SingleApplication::NotifyOnSecondary))) {
        emit q->instanceStarted();
    }
    if (peerSocket->bytesAvailable() > 0) {
        emit q->receivedMessage(instanceNumber, peerSocket->readAll());
    }
}

bool SingleApplicationPrivate::isAcceptedBody(const QByteArray& body, quint8* kind,
                                              quint32* instanceNumber) const {
    QDataStream in(body);
    in.setVersion(kStreamVersion);
    QByteArray key;
    quint16 checksum = 0;
    in >> key >> *kind >> *instanceNumber >> checksum;
    if (in.status() != QDataStream::Ok || body.size() < 2) {
        return false;
    }
    // The key counts up to its first zero byte.
    if (QString::fromLatin1(key.constData()) != instanceKey) {
        return false;
    }
    return checksum ==
           qChecksum(body.constData(), static_cast<uint>(body.size() - 2), Qt::ChecksumIso3309);
}

void SingleApplicationPrivate::slotDataAvailable(QLocalSocket* dataSocket, quint32 instanceId) {
    emit q->receivedMessage(instanceId, dataSocket->readAll());
}

void SingleApplicationPrivate::slotClientConnectionClosed(QLocalSocket* closedSocket,
                                                          quint32 instanceId) {
    if (closedSocket->bytesAvailable() > 0) {
        emit q->receivedMessage(instanceId, closedSocket->readAll());
    }
}
