#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QList>

class ConnectionsStorage;
struct ConnectionHandle;

// The storage's connections as a three-column table (name, drive, status). It owns nothing: the
// storage owns the handles and announces every change, which the model mirrors into row
// insertions, removals and repaints. Rows come in order of arrival; sorting is left to a proxy.
class ConnectionsListModel : public QAbstractListModel {
    Q_OBJECT

public:
    // Mirrors `storage`, which must outlive the model.
    ConnectionsListModel(ConnectionsStorage& storage, QObject* parent);
    ~ConnectionsListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The handle shown at a source index of this model; null for an invalid or stale index.
    ConnectionHandle* connectionAt(const QModelIndex& index) const;

    void onConnectionAdded(ConnectionHandle* connection);
    void onConnectionAboutToBeRemoved(ConnectionHandle* connection);
    // Only uses the pointer as a key, so a queued notification for a removed handle is harmless.
    void onConnectionChanged(ConnectionHandle* connection);

private:
    // "Подключено", "Отключено", or "Ошибка" when the last attempt to connect failed.
    static QString statusText(const ConnectionHandle& connection);
    // Why a failed drive is not connected, and where the drive's folder lies.
    static QVariant toolTip(const ConnectionHandle& connection);

    QList<ConnectionHandle*> m_connections;
    QHash<ConnectionHandle*, int> m_connectionsRows;
};
