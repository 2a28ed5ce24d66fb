// The two configuration files: the connections file shared with the sibling product and the
// program's own mount-point file; how the storage reads them at start and writes them back after
// each change.

#include "ConnectionsStorage.h"

#include "ConnectionsStorage_p.h"

#include <logging/logging.h>
#include <logging/private_files.h>
#include <tarvo_cm/config.h>

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

#include <boost/property_tree/xml_parser.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <unordered_set>

namespace pt = boost::property_tree;

namespace {

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

}  // namespace

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
