#include "ConnectionsListModel.h"

#include "ConnectionsStorage.h"

#include <tarvo_cm/helpers.h>
#include <win_compat/windows.h>

#include <QStringList>

namespace {

enum Column { NameColumn = 0, DriveColumn = 1, StatusColumn = 2, ColumnCount = 3 };

// Right-aligned and vertically centred (Qt::AlignRight | Qt::AlignVCenter).
constexpr int kRightAlignment = 0x82;

}  // namespace

ConnectionsListModel::ConnectionsListModel(ConnectionsStorage& storage, QObject* parent)
    : QAbstractListModel(parent) {
    for (ConnectionHandle* connection : storage.connections()) {
        onConnectionAdded(connection);
    }
    connect(&storage, &ConnectionsStorage::connectionAdded, this,
            &ConnectionsListModel::onConnectionAdded);
    connect(&storage, &ConnectionsStorage::connectionAboutToBeRemoved, this,
            &ConnectionsListModel::onConnectionAboutToBeRemoved);
    connect(&storage, &ConnectionsStorage::connectionUpdated, this,
            &ConnectionsListModel::onConnectionChanged);
    connect(&storage, &ConnectionsStorage::driveMounted, this,
            &ConnectionsListModel::onConnectionChanged);
    connect(&storage, &ConnectionsStorage::driveUnmounted, this,
            &ConnectionsListModel::onConnectionChanged);
}

ConnectionsListModel::~ConnectionsListModel() = default;

int ConnectionsListModel::rowCount(const QModelIndex&) const {
    return m_connections.size();
}

int ConnectionsListModel::columnCount(const QModelIndex&) const {
    return ColumnCount;
}

QVariant ConnectionsListModel::data(const QModelIndex& index, int role) const {
    if (index.row() < 0 || index.column() < 0 || !index.model()) {
        return {};
    }
    Q_ASSERT(index.row() < rowCount());
    const ConnectionHandle* connection = m_connections.value(index.row());
    if (!connection) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
                case NameColumn:
                    return connection->customName.isEmpty()
                               ? tarvo_cm::helpers::FormatDisplayName(connection->connection)
                               : connection->customName;
                case DriveColumn:
                    return connection->mountPoint;
                case StatusColumn:
                    return statusText(*connection);
                default:
                    return {};
            }
        case Qt::TextAlignmentRole:
            if (index.column() == DriveColumn || index.column() == StatusColumn) {
                return kRightAlignment;
            }
            return {};
        case Qt::ToolTipRole:
            return toolTip(*connection);
        default:
            return {};
    }
}

QString ConnectionsListModel::statusText(const ConnectionHandle& connection) {
    if (connection.isConnected()) {
        return tr("Подключено");
    }
    return connection.failure.isEmpty() ? tr("Отключено") : tr("Ошибка");
}

QVariant ConnectionsListModel::toolTip(const ConnectionHandle& connection) {
    QStringList lines;
    // Why the drive is not connected comes first: it is what the user hovers the row for.
    if (!connection.isConnected() && !connection.failure.isEmpty()) {
        lines << connection.failure;
    }
    // The drive path reads like a Windows drive; say where that drive really lies.
    if (!connection.mountPoint.isEmpty()) {
        const std::filesystem::path folder =
            win_compat::MountPointFolder(connection.mountPoint.toStdWString());
        if (!folder.empty()) {
            lines << tr("Диск %1 находится в папке %2")
                         .arg(connection.mountPoint, QString::fromStdString(folder.string()));
        }
    }
    if (lines.isEmpty()) {
        return {};
    }
    return lines.join(QLatin1Char('\n'));
}

QVariant ConnectionsListModel::headerData(int section, Qt::Orientation orientation,
                                          int role) const {
    if (orientation == Qt::Vertical) {
        return {};
    }
    switch (role) {
        case Qt::DisplayRole:
            switch (section) {
                case NameColumn:
                    return tr("Название хранилища");
                case DriveColumn:
                    return tr("Диск");
                case StatusColumn:
                    return tr("Статус");
                default:
                    return {};
            }
        case Qt::TextAlignmentRole:
            if (section == DriveColumn || section == StatusColumn) {
                return kRightAlignment;
            }
            return QAbstractItemModel::headerData(section, orientation, role);
        default:
            return {};
    }
}

ConnectionHandle* ConnectionsListModel::connectionAt(const QModelIndex& index) const {
    if (index.row() < 0 || index.column() < 0 || !index.model() ||
        index.row() >= m_connections.size()) {
        return nullptr;
    }
    return m_connections.at(index.row());
}

void ConnectionsListModel::onConnectionAdded(ConnectionHandle* connection) {
    Q_ASSERT(!m_connectionsRows.contains(connection));
    if (m_connectionsRows.contains(connection)) {
        return;
    }
    const int row = m_connections.size();
    beginInsertRows(QModelIndex(), row, row);
    m_connections.append(connection);
    m_connectionsRows.insert(connection, row);
    endInsertRows();
}

void ConnectionsListModel::onConnectionAboutToBeRemoved(ConnectionHandle* connection) {
    const int row = m_connectionsRows.value(connection, -1);
    Q_ASSERT(row >= 0);
    if (row < 0) {
        return;
    }
    beginRemoveRows(QModelIndex(), row, row);
    m_connections.removeAt(row);
    m_connectionsRows.remove(connection);
    for (auto entry = m_connectionsRows.begin(); entry != m_connectionsRows.end(); ++entry) {
        if (entry.value() > row) {
            --entry.value();
        }
    }
    endRemoveRows();
}

void ConnectionsListModel::onConnectionChanged(ConnectionHandle* connection) {
    const int row = m_connectionsRows.value(connection, -1);
    if (row < 0) {
        return;
    }
    emit dataChanged(index(row, NameColumn), index(row, StatusColumn), {});
}
