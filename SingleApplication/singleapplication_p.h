#pragma once

#include "singleapplication.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>

class QLocalServer;
class QLocalSocket;
class QSharedMemory;

// The content of the shared memory block, in the machine's byte order. Every instance reads and
// writes it only while it holds the block's lock.
struct InstanceBlock {
    quint8 hasPrimary;
    quint8 unassigned1[3];
    quint32 secondaryCount;  // never decreases while the block lives
    qint64 primaryProcessId;
    char primaryUserName[128];  // UTF-8, zero-terminated
    quint16 checksum;           // CRC-16 (ISO 3309) over the 144 bytes before it
    quint8 unassigned2[6];
};
static_assert(sizeof(InstanceBlock) == 152, "the block is shared with other builds of the program");
static_assert(offsetof(InstanceBlock, secondaryCount) == 4);
static_assert(offsetof(InstanceBlock, primaryProcessId) == 8);
static_assert(offsetof(InstanceBlock, primaryUserName) == 16);
static_assert(offsetof(InstanceBlock, checksum) == 144);

// What the primary knows about one accepted connection.
struct PeerState {
    qint64 messageLength = 0;
    quint32 instanceId = 0;
    quint8 readStage = 0;  // ReadStage
};

class SingleApplicationPrivate : public QObject {
    Q_OBJECT
public:
    // Kinds of identification message.
    enum ConnectionType : quint8 { NewInstance = 1, SecondaryInstance = 2 };
    enum ReadStage : quint8 { StageHeader = 0, StageBody = 1, StageConnected = 2 };

    static constexpr int BlockSize = 152;
    static constexpr int HeaderSize = 8;

    explicit SingleApplicationPrivate(SingleApplication* owner);
    ~SingleApplicationPrivate() override;

    SingleApplicationPrivate(const SingleApplicationPrivate&) = delete;
    SingleApplicationPrivate& operator=(const SingleApplicationPrivate&) = delete;

    // The name of the block and of the server for the running program and the given mode.
    static QString computeInstanceKey(QFlags<SingleApplication::Mode> mode);
    // The account name of the user who runs the process.
    static QString userName();
    // CRC-16 of ISO 3309 over the block's first 144 bytes.
    static quint16 blockChecksum(const InstanceBlock& block);
    // The identification message body: key, kind, instance number and checksum.
    static QByteArray identificationBody(const QString& key, ConnectionType kind,
                                         quint32 instanceNumber);

    void genInstanceKey();
    // Creates or attaches the block and returns with its lock held.
    void initializeMemoryBlock();
    // Returns, lock held, once the block is consistent; resets a block inconsistent for over 5 s.
    void waitForConsistentBlock();
    void resetBlock();
    void startPrimary();
    void startSecondary();
    bool connectToPrimary(int timeout, ConnectionType kind);
    qint64 primaryPid() const;
    // Whether the primary that the (locked, consistent) block names still exists.
    bool recordedPrimaryIsGone(int timeout) const;

    InstanceBlock* block() const;
    void updateChecksum();
    bool blockIsConsistent() const;
    static void randomSleep();

    SingleApplication* q = nullptr;
    QSharedMemory* sharedBlock = nullptr;
    QLocalSocket* socket = nullptr;
    QLocalServer* server = nullptr;
    int instanceIndex = -1;
    QString instanceKey;
    QFlags<SingleApplication::Mode> mode;
    QMap<QLocalSocket*, PeerState> peers;

public slots:
    void slotConnectionEstablished();
    void slotDataAvailable(QLocalSocket* dataSocket, quint32 instanceId);
    void slotClientConnectionClosed(QLocalSocket* closedSocket, quint32 instanceId);

private:
    void readIdentification(QLocalSocket* peerSocket);
    void readHeader(QLocalSocket* peerSocket);
    void readBody(QLocalSocket* peerSocket);
    bool isAcceptedBody(const QByteArray& body, quint8* kind, quint32* instanceNumber) const;
};
