#include "ConnectionsStorage.h"

#include "FSDriver.h"

#include <dokan/dokan.h>
#include <logging/logging.h>
#include <tarvo_cm/config.h>
#include <tarvo_cm/password_store.h>
#include <win_compat/windows.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <mutex>

namespace pt = boost::property_tree;

namespace {

ConnectionsStorage* g_instance = nullptr;

const wchar_t* const kConnectionsNodePath = L"config.connections_manager.connections";
const wchar_t* const kMountPointsNodePath = L"config.mount_points";
constexpr int kReaderFlags = pt::xml_parser::no_comments | pt::xml_parser::trim_whitespace;

std::wstring toWide(const char* text) {
    return QString::fromUtf8(text).toStdWString();
}

void logFileError(const std::exception& error) {
    KELVO_LOG(logging::kError) << toWide(error.what());
}

// The text written to both files: UTF-8 without a byte-order mark, one tab per level, CR LF.
QString serialize(const pt::wptree& tree) {
    std::wostringstream text;
    pt::write_xml(text, tree, pt::xml_writer_make_settings<std::wstring>(L'\t', 1, L"utf-8"));
    QString result = QString::fromStdWString(text.str());
    result.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return result;
}

// Replaces the file at once, so a crash while saving leaves the old file. The folder is created
// when it is missing: without it nothing the user changed would survive the program's end.
void writeFileAtomically(const QString& path, const QString& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        return;
    }
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    stream << text;
    stream.flush();
    file.commit();
}

pt::wptree parse(const QString& path) {
    pt::wptree tree;
    std::wstringstream text = ConnectionsStorage::readTextFile(path);
    if (text.rdbuf()->in_avail() > 0) {
        pt::read_xml(text, tree, kReaderFlags);
    }
    return tree;
}

QString drivePath(QChar letter) {
    return QStringLiteral("%1:\\").arg(letter);
}

bool isDriveLetter(QChar c) {
    return c >= QLatin1Char('A') && c <= QLatin1Char('Z');
}

}  // namespace

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
      m_runningDriveThreads(std::make_shared<std::atomic<int>>(0)),
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

void ConnectionsStorage::load() {
    const std::vector<tarvo_cm::Connection> loaded = readConnectionsConfig(m_connectionsConfigPath);
    if (loaded.empty()) {
        return;
    }
    const bool mountPointsFileExisted = QFile::exists(m_mountPointsPath);
    const MountPointTable saved =
        mountPointsFileExisted ? readMountPoints(m_mountPointsPath) : MountPointTable{};
    unsigned long usedDrives = GetLogicalDrives();
    for (const tarvo_cm::Connection& connection : loaded) {
        if (!connection.isValid()) {
            continue;
        }
        addConnection(connection,
                      initialMountPoint(connection, saved, mountPointsFileExisted, usedDrives));
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

void ConnectionsStorage::addConnection(const tarvo_cm::Connection& connection,
                                       const MountPoint& mountPoint) {
    if (!connection.isValid()) {
        return;
    }
    for (const auto& [id, handle] : m_handles) {
        if (id == connection.id || tarvo_cm::SameAddress(handle->connection, connection)) {
            return;
        }
    }

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
    if (!mountPoint.path.isEmpty()) {
        m_mountPoints.emplace(connection.id, mountPoint);
    }

    // A connection without a letter is simply not mounted; only asking to connect it is a failure.
    if (!mountPoint.path.isEmpty()) {
        mountDrive(connection);
    }
    emit connectionAdded(rawHandle);
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

    handle->connection = connection;
    handle->mountPoint = mountPoint.path;
    handle->customName = mountPoint.customName;
    handle->fileSystem->mountPoint = mountPoint.path.toStdWString();
    handle->fileSystem->customName = mountPoint.customName.toStdWString();

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
    DokanRemoveMountPoint(handle.fileSystem->mountPoint.c_str());
    handle.fileSystem->repository.reset();
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

// --- Configuration files
// --------------------------------------------------------------------------

std::wstringstream ConnectionsStorage::readTextFile(const QString& path) {
    std::wstringstream text;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        QTextStream stream(&file);
        stream.setCodec("UTF-8");
        text << stream.readAll().toStdWString();
    }
    return text;
}

std::vector<tarvo_cm::Connection> ConnectionsStorage::readConnectionsConfig(const QString& path) {
    std::vector<tarvo_cm::Connection> connections;
    try {
        const pt::wptree tree = parse(path);
        tarvo_cm::config::ReadConfigSubtree(tree.get_child(kConnectionsNodePath), connections);
    } catch (const std::exception& error) {
        logFileError(error);
    }
    return connections;
}

ConnectionsStorage::MountPointTable ConnectionsStorage::readMountPoints(const QString& path) {
    MountPointTable table;
    try {
        const pt::wptree tree = parse(path);
        boost::uuids::string_generator parseId;
        for (const auto& [elementName, entry] : tree.get_child(kMountPointsNodePath)) {
            const boost::uuids::uuid id = parseId(entry.get_child(L"id").data());
            MountPoint mountPoint;
            mountPoint.path = QString::fromStdWString(entry.get_child(L"path").data());
            mountPoint.customName =
                QString::fromStdWString(entry.get<std::wstring>(L"custom_name", std::wstring()));
            table.emplace(id, mountPoint);  // the first entry for an identifier wins
        }
    } catch (const std::exception& error) {
        logFileError(error);
    }
    return table;
}

void ConnectionsStorage::saveMountPoints() {
    QString text;
    try {
        pt::wptree tree;
        pt::wptree& node = tree.put_child(kMountPointsNodePath, pt::wptree());
        for (const boost::uuids::uuid& id : m_order) {
            const auto entry = m_mountPoints.find(id);
            if (entry == m_mountPoints.end()) {
                continue;
            }
            pt::wptree element;
            element.put(L"id", boost::uuids::to_wstring(id));
            element.put(L"path", entry->second.path.toStdWString());
            if (!entry->second.customName.isEmpty()) {
                element.put(L"custom_name", entry->second.customName.toStdWString());
            }
            node.add_child(L"mount_point", element);
        }
        text = serialize(tree);
    } catch (const std::exception& error) {  // a property-tree or connection-record error
        logFileError(error);
        return;
    }
    writeFileAtomically(m_mountPointsPath, text);
}

void ConnectionsStorage::saveConnections() {
    QString text;
    try {
        pt::wptree tree;
        if (QFile(m_connectionsConfigPath).exists()) {
            tree = parse(m_connectionsConfigPath);
        }
        pt::wptree& node = tree.put_child(kConnectionsNodePath, pt::wptree());
        std::vector<tarvo_cm::Connection> records;
        records.reserve(m_order.size());
        for (const boost::uuids::uuid& id : m_order) {
            records.push_back(m_handles.at(id)->connection);
        }
        tarvo_cm::config::WriteConfigSubtree(node, records);
        text = serialize(tree);
    } catch (const std::exception& error) {  // a property-tree or connection-record error
        logFileError(error);
        return;
    }
    writeFileAtomically(m_connectionsConfigPath, text);
}
