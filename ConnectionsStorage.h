#pragma once

#include <tarvo/core.h>
#include <tarvo_cm/connection.h>

#include <QObject>
#include <QString>

#include <boost/functional/hash.hpp>
#include <boost/uuid/uuid.hpp>

#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

class KelvoFileSystem;

// A drive letter and display name kept per connection.
struct MountPoint {
    QString path;        // drive path such as "Z:\"; empty: no drive letter
    QString customName;  // empty: none
};

// The runtime record of one connection; owned by the storage, everybody else holds raw pointers,
// valid until connectionAboutToBeRemoved has been emitted for them.
struct ConnectionHandle {
    tarvo_cm::Connection connection;
    QString mountPoint;
    QString customName;
    std::shared_ptr<KelvoFileSystem> fileSystem;
    std::thread thread;

    // Whether the drive holds a repository link; safe to call on the GUI thread at any time.
    bool isConnected() const;
};

// The one registry of connections, their drive letters, display names and drives. Used on the GUI
// thread only; reached through ConnectionsStorage::instance().
class ConnectionsStorage : public QObject {
    Q_OBJECT

public:
    using MountPointTable =
        std::unordered_map<boost::uuids::uuid, MountPoint, boost::hash<boost::uuids::uuid>>;

    // Where the two configuration files lie.
    struct Paths {
        QString connectionsConfigPath;
        QString mountPointsPath;
    };
    // The files below the application's configuration folder.
    static Paths defaultPaths();

    ConnectionsStorage();
    // For tests: other files and another core.
    ConnectionsStorage(const Paths& paths, std::shared_ptr<tarvo::ICore> core);
    ~ConnectionsStorage() override;

    // The process-wide storage; null before start-up has created it.
    static ConnectionsStorage* instance();
    static void setInstance(ConnectionsStorage* storage);

    void addConnection(const tarvo_cm::Connection& connection, const MountPoint& mountPoint);
    void updateConnection(const tarvo_cm::Connection& connection, const MountPoint& mountPoint);
    bool removeConnection(const tarvo_cm::Connection& connection);
    void mountDrive(const tarvo_cm::Connection& connection);
    void unmountDrive(const tarvo_cm::Connection& connection);
    std::vector<ConnectionHandle*> connections() const;
    std::shared_ptr<tarvo::ICore> core() const;

signals:
    void connectionAdded(ConnectionHandle* connection);
    void connectionAboutToBeRemoved(ConnectionHandle* connection);
    void connectionUpdated(ConnectionHandle* connection);
    void driveMounted(ConnectionHandle* connection);
    void driveUnmounted(ConnectionHandle* connection);

private:
    void load();
    MountPoint initialMountPoint(const tarvo_cm::Connection& connection,
                                 const MountPointTable& saved, bool mountPointsFileExisted,
                                 unsigned long& usedDrives) const;
    ConnectionHandle* findHandle(const tarvo_cm::Connection& connection) const;
    void saveMountPoints();
    void saveConnections();

    QString m_connectionsConfigPath;
    QString m_mountPointsPath;
    std::shared_ptr<tarvo::ICore> m_core;
    // Insertion order is kept so that the list and both files keep the user's order.
    std::vector<std::unique_ptr<ConnectionHandle>> m_handles;
    std::vector<std::pair<boost::uuids::uuid, MountPoint>> m_mountPoints;
};
