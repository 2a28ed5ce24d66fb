#pragma once

#include <tarvo/core.h>
#include <tarvo_cm/connection.h>

#include <QObject>
#include <QString>

#include <boost/functional/hash.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/uuid/uuid.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

class KelvoFileSystem;
struct DriveNotice;

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
    // Set from the start of a drive thread until its drive is mounted or the thread ends, so that
    // a second mount request meanwhile does not start a second thread for the same drive.
    std::shared_ptr<std::atomic<bool>> starting = std::make_shared<std::atomic<bool>>(false);
    // Why the last attempt to mount or keep the drive connected failed, in the user's words;
    // empty when it did not fail. GUI thread only.
    QString failure;

    // Whether the drive holds a repository link; safe to call on the GUI thread at any time.
    bool isConnected() const;
};

// The one registry of connections, their drive letters, display names and drives, and the two
// configuration files that keep them. Used on the GUI thread only; the process-wide instance is
// reached through ConnectionsStorage::instance().
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
    // The files beside and below the application's configuration folder.
    static Paths defaultPaths();

    // Loads both files and mounts every connection that has a free drive letter. Loading only
    // reads: the files are written after the user's changes, never at start.
    ConnectionsStorage();
    // The same with other files and another core (tests).
    ConnectionsStorage(const Paths& paths, std::shared_ptr<tarvo::ICore> core);
    ~ConnectionsStorage() override;
    ConnectionsStorage(const ConnectionsStorage&) = delete;
    ConnectionsStorage& operator=(const ConnectionsStorage&) = delete;

    // The process-wide storage; null before start-up has created it.
    static ConnectionsStorage* instance();
    static void setInstance(ConnectionsStorage* storage);

    void addConnection(const tarvo_cm::Connection& connection, const MountPoint& mountPoint);
    void updateConnection(const tarvo_cm::Connection& connection, const MountPoint& mountPoint);
    // False when no connection has that identifier.
    bool removeConnection(const tarvo_cm::Connection& connection);
    void mountDrive(const tarvo_cm::Connection& connection);
    void unmountDrive(const tarvo_cm::Connection& connection);
    // Every handle, in the order the connections were added.
    std::vector<ConnectionHandle*> connections() const;
    std::shared_ptr<tarvo::ICore> core() const;

    // Unmounts every drive and waits up to `timeout` for their drive threads to end, so that the
    // process does not end with drives still serving requests. Used once, at exit.
    void unmountAllAndWait(std::chrono::milliseconds timeout);
    // Drive threads of this process that have not returned yet. Safe from any thread.
    static int runningDriveThreads();
    // Makes a loading in progress stop after the connection at hand (the program is asked to end).
    // Safe from any thread, also before the storage exists; lasts for the rest of the process.
    static void interruptLoading();

    // The configuration files. Failures are logged; what was read before a failure is returned.
    static std::wstringstream readTextFile(const QString& path);
    static std::vector<tarvo_cm::Connection> readConnectionsConfig(const QString& path);
    static MountPointTable readMountPoints(const QString& path);

signals:
    void connectionAdded(ConnectionHandle* connection);
    void connectionAboutToBeRemoved(ConnectionHandle* connection);
    void connectionUpdated(ConnectionHandle* connection);
    // Emitted on a drive's own thread.
    void driveMounted(ConnectionHandle* connection);
    void driveUnmounted(ConnectionHandle* connection);
    // What a drive reported beyond its operations' results (a failed mount, upload or edit, a
    // lost link). Emitted on the GUI thread; a failed mount or lost link has set the handle's
    // failure already.
    void driveNotice(ConnectionHandle* connection, const DriveNotice& notice);

private:
    struct SignalGate;
    // One element of a file's list, in file order: the entry of a loaded connection, or an element
    // kept as it was found (a record that does not read or was refused, another product's
    // element), which every save writes back in its place.
    struct ListElement {
        std::optional<boost::uuids::uuid> loaded;
        std::wstring name;
        boost::property_tree::wptree kept;
    };
    struct MountPointsFile;
    // The mount-point file as read: the table of readable entries (the first of an identifier
    // wins), every entry in file order with its element, and the whole document.
    struct MountPointsList {
        MountPointTable table;
        std::vector<ListElement> list;
        boost::property_tree::wptree document;
        bool unreadable = false;  // exists but is not XML
    };
    static MountPointsList readMountPointsList(const QString& path);

    void load();
    std::vector<tarvo_cm::Connection> loadConnectionsList();
    MountPointsFile loadMountPointsFile(const std::vector<tarvo_cm::Connection>& loaded);
    ConnectionHandle* registerConnection(const tarvo_cm::Connection& connection,
                                         const MountPoint& mountPoint);
    bool isRegistered(const tarvo_cm::Connection& connection) const;
    void forgetAddress(const tarvo_cm::Connection& registered);
    MountPoint initialMountPoint(const tarvo_cm::Connection& connection,
                                 const MountPointTable& saved, bool mountPointsFileExisted,
                                 unsigned long& usedDrives) const;
    ConnectionHandle* findHandle(const tarvo_cm::Connection& connection) const;
    // Writes `list` into `node` in its order: each loaded entry as `elementOf` gives it now (none:
    // left out), each kept element as it is; then the connections the list does not have yet.
    // Returns the list as written.
    std::vector<ListElement> writeList(
        const std::vector<ListElement>& list, const std::wstring& elementName,
        boost::property_tree::wptree& node,
        const std::function<std::optional<boost::property_tree::wptree>(const boost::uuids::uuid&)>&
            elementOf) const;
    void saveMountPoints();
    void saveConnections();
    void stopDrive(ConnectionHandle& handle);
    void takeDriveNotice(const boost::uuids::uuid& id, const DriveNotice& notice);
    void setFailure(ConnectionHandle& handle, const QString& failure);

    QString m_connectionsConfigPath;
    QString m_mountPointsPath;
    std::shared_ptr<tarvo::ICore> m_core;
    std::unordered_map<boost::uuids::uuid, std::unique_ptr<ConnectionHandle>,
                       boost::hash<boost::uuids::uuid>>
        m_handles;
    // Identifiers in the order they were added: the order of the list and of both files.
    std::vector<boost::uuids::uuid> m_order;
    MountPointTable m_mountPoints;
    // Registered connections by a hash of their address, for the duplicate test.
    std::unordered_multimap<std::size_t, boost::uuids::uuid> m_addresses;
    // The two lists as the files held them; each save writes them back with the changes.
    std::vector<ListElement> m_connectionsList;
    std::vector<ListElement> m_mountPointsList;
    // The mount-point file as read, for what it holds besides the list.
    boost::property_tree::wptree m_mountPointsDocument;
    // A mount-point file that exists but is not XML is kept untouched rather than replaced.
    bool m_mountPointsFileUnreadable = false;
    // Drive threads that have not returned yet, whether their handle still exists or not.
    std::shared_ptr<std::atomic<int>> m_runningDriveThreads;
    // Lets drive threads emit the drive signals only while this object exists.
    std::shared_ptr<SignalGate> m_signalGate;
};
