#include "ConnectionsStorage.h"

#include "FSDriver.h"

#include <dokan/dokan.h>
#include <logging/logging.h>
#include <logging/private_files.h>
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

#include <algorithm>
#include <mutex>
#include <unordered_set>

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

std::atomic<bool> g_loadingInterrupted{false};
// Every drive thread of the process, whichever storage started it.
const std::shared_ptr<std::atomic<int>> g_runningDriveThreads =
    std::make_shared<std::atomic<int>>(0);

// Replaces the file in one step (temporary file, flush to disk, rename), so a save that is cut
// short leaves the previous file whole. The folder is created when it is missing: without it
// nothing the user changed would survive the program's end. Both the folders and the file are the
// user's alone: the connections file may hold a password.
void writeFileAtomically(const QString& path, const QString& text) {
    std::error_code folderError;
    private_files::CreateFolders(QFile::encodeName(QFileInfo(path).absolutePath()).toStdString(),
                                 folderError);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        KELVO_LOG(logging::kError) << L"Не удалось записать файл " << path.toStdWString() << L": "
                                   << file.errorString().toStdWString();
        return;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    stream << text;
    stream.flush();
    if (!file.commit()) {
        KELVO_LOG(logging::kError) << L"Не удалось записать файл " << path.toStdWString() << L": "
                                   << file.errorString().toStdWString();
    }
}

// Same address as tarvo_cm::SameAddress compares it: equal for records with the same address.
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

std::wstring idText(const pt::wptree& element) {
    return element.get<std::wstring>(L"id", L"без идентификатора");
}

void logKeptRecord(const QString& path, const std::wstring& why) {
    KELVO_LOG(logging::kError) << why << L" Запись оставлена в файле " << path.toStdWString()
                               << L" без изменений и пропущена.";
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

// What loading takes from the mount-point file.
struct ConnectionsStorage::MountPointsFile {
    bool exists = false;
    MountPointTable table;
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

// The readable, valid and distinct records; every other element of the list is kept for the
// saves, and each refused record is named in the log.
std::vector<tarvo_cm::Connection> ConnectionsStorage::loadConnectionsList() {
    pt::wptree tree;
    try {
        tree = parse(m_connectionsConfigPath);
    } catch (const std::exception& error) {
        logFileError(error);
        return {};
    }
    const auto node = tree.get_child_optional(kConnectionsNodePath);
    if (!node) {
        KELVO_LOG(logging::kError)
            << L"В файле " << m_connectionsConfigPath.toStdWString() << L" нет списка подключений";
        return {};
    }
    std::vector<tarvo_cm::Connection> loaded;
    std::unordered_set<boost::uuids::uuid, boost::hash<boost::uuids::uuid>> ids;
    std::unordered_multimap<std::size_t, std::size_t> addresses;  // address hash → index in loaded
    std::size_t number = 0;
    for (const tarvo_cm::config::ConfigEntry& entry : tarvo_cm::config::ReadConfigEntries(*node)) {
        if (entry.elementName == tarvo_cm::config::ConnectionElementName()) {
            ++number;
        }
        std::wstring refusal =
            entry.error.empty() ? entry.error : entry.error + L" [" + idText(*entry.element) + L"]";
        if (entry.connection) {
            const tarvo_cm::Connection& connection = *entry.connection;
            const auto sameAddress = addresses.equal_range(addressHash(connection));
            const auto record = [&] {
                return L"Запись подключения № " + std::to_wstring(number) + L" [" +
                       idText(*entry.element) + L"]";
            };
            if (!connection.isValid()) {
                refusal = record() + L" неполна: нет сервера или базы данных.";
            } else if (ids.count(connection.id) != 0) {
                refusal = record() + L" повторяет идентификатор другой записи.";
            } else if (std::any_of(sameAddress.first, sameAddress.second, [&](const auto& other) {
                           return tarvo_cm::SameAddress(loaded[other.second], connection);
                       })) {
                refusal = record() + L" повторяет адрес и учётные данные другой записи.";
            } else {
                ids.insert(connection.id);
                addresses.emplace(addressHash(connection), loaded.size());
                m_connectionsList.push_back({connection.id, entry.elementName, {}});
                loaded.push_back(connection);
                continue;
            }
        }
        if (!refusal.empty()) {
            logKeptRecord(m_connectionsConfigPath, refusal);
        }
        m_connectionsList.push_back({std::nullopt, entry.elementName, *entry.element});
    }
    return loaded;
}

ConnectionsStorage::MountPointsFile ConnectionsStorage::loadMountPointsFile(
    const std::vector<tarvo_cm::Connection>& loaded) {
    MountPointsFile result;
    result.exists = QFile::exists(m_mountPointsPath);
    if (!result.exists) {
        return result;
    }
    std::unordered_set<boost::uuids::uuid, boost::hash<boost::uuids::uuid>> loadedIds;
    for (const tarvo_cm::Connection& connection : loaded) {
        loadedIds.insert(connection.id);
    }
    MountPointsList read = readMountPointsList(m_mountPointsPath);
    m_mountPointsDocument = std::move(read.document);
    m_mountPointsFileUnreadable = read.unreadable;
    for (ListElement& element : read.list) {
        if (element.loaded && loadedIds.count(*element.loaded) == 0) {
            // The entry of a connection that is not loaded (its record did not read) stays as it
            // is, and so does its connection's drive letter.
            element.loaded.reset();
        } else if (element.loaded) {
            element.kept = pt::wptree();  // written from the table at each save
        }
    }
    m_mountPointsList = std::move(read.list);
    result.table = std::move(read.table);
    return result;
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
        // A drive that was still starting had nothing to remove yet; it is asked again until its
        // thread ends.
        for (auto& [id, handle] : m_handles) {
            DokanRemoveMountPoint(handle->fileSystem->mountPoint.c_str());
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
        for (const auto& entry :
             tarvo_cm::config::ReadConfigEntries(tree.get_child(kConnectionsNodePath))) {
            if (entry.connection) {
                connections.push_back(*entry.connection);
            } else if (!entry.error.empty()) {
                logKeptRecord(path, entry.error);
            }
        }
    } catch (const std::exception& error) {
        logFileError(error);
    }
    return connections;
}

ConnectionsStorage::MountPointTable ConnectionsStorage::readMountPoints(const QString& path) {
    return readMountPointsList(path).table;
}

namespace {

// The entries of a mount-point file cut short: those before the last complete one, so that the
// drives keep their letters although the file itself cannot be kept up to date.
std::optional<pt::wptree> salvageTruncated(const QString& path) {
    std::wstring text = ConnectionsStorage::readTextFile(path).str();
    const std::wstring lastEntryEnd = L"</mount_point>";
    const std::size_t end = text.rfind(lastEntryEnd);
    if (end == std::wstring::npos) {
        return std::nullopt;
    }
    text.erase(end + lastEntryEnd.size());
    text += L"</mount_points></config>";
    try {
        std::wistringstream stream(text);
        pt::wptree tree;
        pt::read_xml(stream, tree, kReaderFlags);
        return tree;
    } catch (const pt::ptree_error&) {
        return std::nullopt;
    }
}

}  // namespace

ConnectionsStorage::MountPointsList ConnectionsStorage::readMountPointsList(const QString& path) {
    MountPointsList result;
    pt::wptree salvaged;
    const pt::wptree* document = &result.document;
    try {
        result.document = parse(path);
    } catch (const pt::ptree_error& error) {
        logFileError(error);
        KELVO_LOG(logging::kError) << L"Файл " << path.toStdWString()
                                   << L" оставлен без изменений и не будет перезаписан, пока его "
                                      L"не исправят или не удалят";
        result.unreadable = true;
        if (std::optional<pt::wptree> tree = salvageTruncated(path)) {
            salvaged = std::move(*tree);
            document = &salvaged;
        }
    }
    const auto node = document->get_child_optional(kMountPointsNodePath);
    if (!node) {
        if (!result.unreadable) {
            KELVO_LOG(logging::kError)
                << L"В файле " << path.toStdWString() << L" нет списка точек подключения";
        }
        return result;
    }
    boost::uuids::string_generator parseId;
    std::size_t number = 0;
    for (const auto& [elementName, entry] : *node) {
        ListElement element{std::nullopt, elementName, entry};
        if (elementName == L"<xmlattr>") {  // attributes of mount_points, kept as they are
            result.list.push_back(std::move(element));
            continue;
        }
        ++number;
        try {
            const boost::uuids::uuid id = parseId(entry.get_child(L"id").data());
            MountPoint mountPoint;
            mountPoint.path = QString::fromStdWString(entry.get_child(L"path").data());
            mountPoint.customName =
                QString::fromStdWString(entry.get<std::wstring>(L"custom_name", std::wstring()));
            // The first entry of an identifier wins; a later one stays as it is.
            if (result.table.emplace(id, mountPoint).second) {
                element.loaded = id;
            }
        } catch (const std::exception& error) {
            logKeptRecord(path, L"Запись точки подключения № " + std::to_wstring(number) + L" [" +
                                    idText(entry) + L"] не прочитана: " + toWide(error.what()) +
                                    L".");
        }
        result.list.push_back(std::move(element));
    }
    return result;
}

std::vector<ConnectionsStorage::ListElement> ConnectionsStorage::writeList(
    const std::vector<ListElement>& list, const std::wstring& elementName, pt::wptree& node,
    const std::function<std::optional<pt::wptree>(const boost::uuids::uuid&)>& elementOf) const {
    std::vector<ListElement> written;
    std::unordered_set<boost::uuids::uuid, boost::hash<boost::uuids::uuid>> done;
    const auto writeEntry = [&](const boost::uuids::uuid& id) {
        if (done.count(id) != 0) {
            return;
        }
        if (std::optional<pt::wptree> element = elementOf(id)) {
            done.insert(id);
            node.add_child(elementName, *element);
            written.push_back({id, elementName, {}});
        }
    };
    for (const ListElement& element : list) {
        if (element.loaded) {
            writeEntry(*element.loaded);
        } else {
            node.add_child(element.name, element.kept);
            written.push_back(element);
        }
    }
    for (const boost::uuids::uuid& id : m_order) {
        writeEntry(id);
    }
    return written;
}

void ConnectionsStorage::saveMountPoints() {
    if (m_mountPointsFileUnreadable) {
        KELVO_LOG(logging::kError)
            << L"Точки подключения не сохранены: файл " << m_mountPointsPath.toStdWString()
            << L" не читается и оставлен без изменений";
        return;
    }
    QString text;
    std::vector<ListElement> written;
    try {
        // Only the document's root element is carried over: the file is this program's alone.
        pt::wptree tree;
        if (const auto root = m_mountPointsDocument.get_child_optional(L"config")) {
            tree.put_child(L"config", *root);
        }
        pt::wptree& node = tree.put_child(kMountPointsNodePath, pt::wptree());
        written =
            writeList(m_mountPointsList, L"mount_point", node,
                      [this](const boost::uuids::uuid& id) -> std::optional<pt::wptree> {
                          const auto entry = m_mountPoints.find(id);
                          if (entry == m_mountPoints.end()) {
                              return std::nullopt;
                          }
                          pt::wptree element;
                          element.put(L"id", boost::uuids::to_wstring(id));
                          element.put(L"path", entry->second.path.toStdWString());
                          if (!entry->second.customName.isEmpty()) {
                              element.put(L"custom_name", entry->second.customName.toStdWString());
                          }
                          return element;
                      });
        text = serialize(tree);
    } catch (const std::exception& error) {  // a property-tree or connection-record error
        logFileError(error);
        return;
    }
    writeFileAtomically(m_mountPointsPath, text);
    m_mountPointsList = std::move(written);
}

void ConnectionsStorage::saveConnections() {
    QString text;
    std::vector<ListElement> written;
    try {
        pt::wptree tree;
        if (QFile(m_connectionsConfigPath).exists()) {
            tree = parse(m_connectionsConfigPath);
        }
        pt::wptree& node = tree.put_child(kConnectionsNodePath, pt::wptree());
        written =
            writeList(m_connectionsList, tarvo_cm::config::ConnectionElementName(), node,
                      [this](const boost::uuids::uuid& id) -> std::optional<pt::wptree> {
                          const auto handle = m_handles.find(id);
                          if (handle == m_handles.end()) {
                              return std::nullopt;
                          }
                          return tarvo_cm::config::WriteConfigRecord(handle->second->connection);
                      });
        text = serialize(tree);
    } catch (const std::exception& error) {  // a property-tree or connection-record error
        logFileError(error);
        return;
    }
    writeFileAtomically(m_connectionsConfigPath, text);
    m_connectionsList = std::move(written);
}
