#include "ConnectionsStorage.h"

#include "ConnectionsStorage_p.h"
#include "FSDriver.h"

#include <dokan/dokan.h>
#include <logging/logging.h>
#include <tarvo_cm/password_store.h>
#include <win_compat/windows.h>

#include <QStandardPaths>

#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <mutex>

namespace {

ConnectionsStorage* g_instance = nullptr;

std::atomic<bool> g_loadingInterrupted{false};
// Every drive thread of the process, whichever storage started it.
const std::shared_ptr<std::atomic<int>> g_runningDriveThreads =
    std::make_shared<std::atomic<int>>(0);

QString drivePath(QChar letter) {
    return QStringLiteral("%1:\\").arg(letter);
}

bool isDriveLetter(QChar c) {
    return c >= QLatin1Char('A') && c <= QLatin1Char('Z');
}

}  // namespace

std::size_t addressHash(const tarvo_cm::Connection& connection) {
    std::size_t hash = connection.endpoint.index();
    if (const auto* remote = std::get_if<tarvo::endpoint::Remote>(&connection.endpoint)) {
        boost::hash_combine(hash, remote->host);
        boost::hash_combine(hash, remote->port);
        boost::hash_combine(hash, remote->database);
        boost::hash_combine(hash, remote->sslMode);
    }
    boost::hash_combine(hash, connection.credentials.index());
    if (const auto* basic = std::get_if<tarvo::auth::Basic>(&connection.credentials)) {
        boost::hash_combine(hash, basic->login);
        boost::hash_combine(hash, basic->password);
    }
    return hash;
}

// Drive threads emit driveMounted and driveUnmounted through this gate; the destructor closes it,
// so a drive that ends after the storage has gone emits nothing.
struct ConnectionsStorage::SignalGate {
    std::mutex mutex;
    ConnectionsStorage* storage = nullptr;

    template <class Signal>
    void emitSignal(Signal signal, ConnectionHandle* handle) {
        std::lock_guard<std::mutex> lock(mutex);
        if (storage) {
            (storage->*signal)(handle);
        }
    }

    // Notices go to the GUI thread by identifier: the handle may be gone by the time they arrive.
    void postNotice(const boost::uuids::uuid& id, const DriveNotice& notice) {
        std::lock_guard<std::mutex> lock(mutex);
        if (storage) {
            QMetaObject::invokeMethod(
                storage, [target = storage, id, notice] { target->takeDriveNotice(id, notice); },
                Qt::QueuedConnection);
        }
    }
};

bool ConnectionHandle::isConnected() const {
    return fileSystem && fileSystem->isConnected();
}

ConnectionsStorage::Paths ConnectionsStorage::defaultPaths() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    return {base + QStringLiteral("/../KelvoIII_2013/ConnectionsConfig.xml"),
            base + QStringLiteral("/mount_points.xml")};
}

ConnectionsStorage::ConnectionsStorage()
    : ConnectionsStorage(defaultPaths(), tarvo::CreateCore()) {}

ConnectionsStorage::ConnectionsStorage(const Paths& paths, std::shared_ptr<tarvo::ICore> core)
    : QObject(nullptr),
      m_connectionsConfigPath(paths.connectionsConfigPath),
      m_mountPointsPath(paths.mountPointsPath),
      m_core(std::move(core)),
      m_runningDriveThreads(g_runningDriveThreads),
      m_signalGate(std::make_shared<SignalGate>()) {
    m_signalGate->storage = this;
    load();
}

ConnectionsStorage::~ConnectionsStorage() {
    {
        std::lock_guard<std::mutex> lock(m_signalGate->mutex);
        m_signalGate->storage = nullptr;
    }
    for (auto& [id, handle] : m_handles) {
        stopDrive(*handle);
    }
}

ConnectionsStorage* ConnectionsStorage::instance() {
    return g_instance;
}

void ConnectionsStorage::setInstance(ConnectionsStorage* storage) {
    g_instance = storage;
}

void ConnectionsStorage::interruptLoading() {
    g_loadingInterrupted.store(true);
}

int ConnectionsStorage::runningDriveThreads() {
    return g_runningDriveThreads->load();
}

void ConnectionsStorage::load() {
    const std::vector<tarvo_cm::Connection> loaded = loadConnectionsList();
    if (loaded.empty()) {
        return;
    }
    const MountPointsFile saved = loadMountPointsFile(loaded);
    unsigned long usedDrives = GetLogicalDrives();
    for (const tarvo_cm::Connection& connection : loaded) {
        if (g_loadingInterrupted.load()) {
            KELVO_LOG(logging::kInfo) << L"Загрузка подключений прервана: программа завершается";
            return;
        }
        const MountPoint mountPoint =
            initialMountPoint(connection, saved.table, saved.exists, usedDrives);
        registerConnection(connection, mountPoint);
        if (!mountPoint.path.isEmpty()) {
            mountDrive(connection);
        }
    }
}

MountPoint ConnectionsStorage::initialMountPoint(const tarvo_cm::Connection& connection,
                                                 const MountPointTable& saved,
                                                 bool mountPointsFileExisted,
                                                 unsigned long& usedDrives) const {
    if (const auto entry = saved.find(connection.id); entry != saved.end()) {
        return entry->second;
    }
    if (mountPointsFileExisted) {
        return {};
    }
    // First run: free letters from Z downwards, one per connection in list order.
    for (int bit = 25; bit >= 0; --bit) {
        if ((usedDrives & (1UL << bit)) == 0) {
            usedDrives |= 1UL << bit;
            return {drivePath(QLatin1Char(static_cast<char>('A' + bit))), QString()};
        }
    }
    return {};
}

ConnectionHandle* ConnectionsStorage::findHandle(const tarvo_cm::Connection& connection) const {
    const auto found = m_handles.find(connection.id);
    return found == m_handles.end() ? nullptr : found->second.get();
}

bool ConnectionsStorage::isRegistered(const tarvo_cm::Connection& connection) const {
    if (m_handles.count(connection.id) != 0) {
        return true;
    }
    const auto sameHash = m_addresses.equal_range(addressHash(connection));
    return std::any_of(sameHash.first, sameHash.second, [&](const auto& entry) {
        return tarvo_cm::SameAddress(m_handles.at(entry.second)->connection, connection);
    });
}

void ConnectionsStorage::forgetAddress(const tarvo_cm::Connection& registered) {
    const auto sameHash = m_addresses.equal_range(addressHash(registered));
    for (auto entry = sameHash.first; entry != sameHash.second; ++entry) {
        if (entry->second == registered.id) {
            m_addresses.erase(entry);
            return;
        }
    }
}

ConnectionHandle* ConnectionsStorage::registerConnection(const tarvo_cm::Connection& connection,
                                                         const MountPoint& mountPoint) {
    auto handle = std::make_unique<ConnectionHandle>();
    handle->connection = connection;
    handle->mountPoint = mountPoint.path;
    handle->customName = mountPoint.customName;
    handle->fileSystem = std::make_shared<KelvoFileSystem>(m_core);

    ConnectionHandle* const rawHandle = handle.get();
    const std::shared_ptr<std::atomic<bool>> starting = handle->starting;
    const std::shared_ptr<SignalGate> gate = m_signalGate;
    handle->fileSystem->onMounted = [gate, rawHandle, starting] {
        starting->store(false);
        gate->emitSignal(&ConnectionsStorage::driveMounted, rawHandle);
    };
    handle->fileSystem->onUnmounted = [gate, rawHandle] {
        gate->emitSignal(&ConnectionsStorage::driveUnmounted, rawHandle);
    };
    handle->fileSystem->onNotice = [gate, id = connection.id](const DriveNotice& notice) {
        gate->postNotice(id, notice);
    };

    m_handles.emplace(connection.id, std::move(handle));
    m_order.push_back(connection.id);
    m_addresses.emplace(addressHash(connection), connection.id);
    if (!mountPoint.path.isEmpty()) {
        m_mountPoints.emplace(connection.id, mountPoint);
    }
    return rawHandle;
}

void ConnectionsStorage::addConnection(const tarvo_cm::Connection& connection,
                                       const MountPoint& mountPoint) {
    if (!connection.isValid() || isRegistered(connection)) {
        return;
    }
    ConnectionHandle* const handle = registerConnection(connection, mountPoint);
    // A connection without a letter is simply not mounted; only asking to connect it is a failure.
    if (!mountPoint.path.isEmpty()) {
        mountDrive(connection);
    }
    emit connectionAdded(handle);
    saveMountPoints();
    saveConnections();
}

void ConnectionsStorage::updateConnection(const tarvo_cm::Connection& connection,
                                          const MountPoint& mountPoint) {
    ConnectionHandle* const handle = findHandle(connection);
    if (!handle) {
        return;
    }
    unmountDrive(connection);

    forgetAddress(handle->connection);
    m_addresses.emplace(addressHash(connection), connection.id);
    handle->connection = connection;
    handle->mountPoint = mountPoint.path;
    handle->customName = mountPoint.customName;
    handle->fileSystem->setMountPoint(mountPoint.path.toStdWString());
    handle->fileSystem->setCustomName(mountPoint.customName.toStdWString());

    if (!mountPoint.path.isEmpty() || !mountPoint.customName.isEmpty()) {
        m_mountPoints[connection.id] = mountPoint;
    } else {
        m_mountPoints.erase(connection.id);
    }
    if (!mountPoint.path.isEmpty()) {
        mountDrive(connection);
    }
    emit connectionUpdated(handle);
    saveMountPoints();
    saveConnections();
}

bool ConnectionsStorage::removeConnection(const tarvo_cm::Connection& connection) {
    const auto found = m_handles.find(connection.id);
    if (found == m_handles.end()) {
        return false;
    }
    std::unique_ptr<ConnectionHandle> handle = std::move(found->second);

    KELVO_LOG(logging::kInfo) << L"Удаляем подключение " << handle->connection.name << L" c id = ["
                              << boost::uuids::to_wstring(connection.id) << L"]";
    emit connectionAboutToBeRemoved(handle.get());

    forgetAddress(handle->connection);
    m_handles.erase(found);
    m_order.erase(std::find(m_order.begin(), m_order.end(), connection.id));
    m_mountPoints.erase(connection.id);
    tarvo_cm::PasswordStore::instance().remove(connection.id);

    stopDrive(*handle);

    saveMountPoints();
    saveConnections();
    return true;
}

void ConnectionsStorage::mountDrive(const tarvo_cm::Connection& connection) {
    ConnectionHandle* const handle = findHandle(connection);
    if (!handle || handle->isConnected() || handle->starting->load()) {
        return;
    }
    if (handle->mountPoint.isEmpty()) {
        setFailure(*handle, tr("У подключения не выбрана буква диска. Выберите её в настройках "
                               "подключения."));
        return;
    }
    const QChar letter = handle->mountPoint.front();
    if (isDriveLetter(letter) && (GetLogicalDrives() & (1UL << (letter.unicode() - 'A'))) != 0) {
        setFailure(
            *handle,
            tr("Диск %1 уже занят другим подключением или программой.").arg(handle->mountPoint));
        return;
    }
    setFailure(*handle, QString());
    if (handle->thread.joinable()) {
        handle->thread.detach();
    }

    // The thread takes its own copies: the handle may change or go while the drive runs.
    handle->starting->store(true);
    m_runningDriveThreads->fetch_add(1);
    handle->thread =
        std::thread([fileSystem = handle->fileSystem, record = handle->connection,
                     mountPath = handle->mountPoint.toStdWString(),
                     customName = handle->customName.toStdWString(), starting = handle->starting,
                     running = m_runningDriveThreads]() mutable {
            RunDriveThread(std::move(fileSystem), std::move(record), std::move(mountPath),
                           std::move(customName));
            starting->store(false);
            running->fetch_sub(1);
        });
}

void ConnectionsStorage::unmountDrive(const tarvo_cm::Connection& connection) {
    if (ConnectionHandle* const handle = findHandle(connection)) {
        stopDrive(*handle);
        // Disconnecting on purpose ends whatever failure the drive had.
        setFailure(*handle, QString());
    }
}

void ConnectionsStorage::setFailure(ConnectionHandle& handle, const QString& failure) {
    if (handle.failure == failure) {
        return;
    }
    handle.failure = failure;
    emit connectionUpdated(&handle);
}

void ConnectionsStorage::takeDriveNotice(const boost::uuids::uuid& id, const DriveNotice& notice) {
    const auto found = m_handles.find(id);
    if (found == m_handles.end()) {
        return;
    }
    ConnectionHandle& handle = *found->second;
    if (notice.kind == DriveNotice::Kind::MountFailed ||
        notice.kind == DriveNotice::Kind::LinkLost) {
        setFailure(handle, QString::fromStdWString(notice.detail));
    }
    emit driveNotice(&handle, notice);
}

// Unmounting is asynchronous: the drive thread ends by itself once its dispatch loop returns, and
// driveUnmounted follows from there.
void ConnectionsStorage::stopDrive(ConnectionHandle& handle) {
    handle.fileSystem->unmount();
    if (handle.thread.joinable()) {
        handle.thread.detach();
    }
}

void ConnectionsStorage::unmountAllAndWait(std::chrono::milliseconds timeout) {
    for (auto& [id, handle] : m_handles) {
        stopDrive(*handle);
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_runningDriveThreads->load() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // A drive that was still starting had nothing to remove yet; it is asked again until its
        // thread ends.
        for (auto& [id, handle] : m_handles) {
            DokanRemoveMountPoint(handle->fileSystem->mountPoint().c_str());
        }
    }
}

std::vector<ConnectionHandle*> ConnectionsStorage::connections() const {
    std::vector<ConnectionHandle*> result;
    result.reserve(m_order.size());
    for (const boost::uuids::uuid& id : m_order) {
        result.push_back(m_handles.at(id).get());
    }
    return result;
}

std::shared_ptr<tarvo::ICore> ConnectionsStorage::core() const {
    return m_core;
}
