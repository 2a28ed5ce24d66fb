#pragma once

#include <QTreeView>

#include <vector>

class ConnectionsListModel;
class ConnectionsStorage;
class QSortFilterProxyModel;
struct ConnectionHandle;

// The connections table of the main window: a flat, sortable, multi-selection view over the
// connections model, carrying the user's operations on connections (context menu, double click,
// and the public operations the window's buttons call). Every change goes to the storage; the
// widget learns of it only through the model. Remembers its header layout between runs.
class ConnectionsListWidget : public QTreeView {
    Q_OBJECT

public:
    // Shows and changes the connections of `storage`, which must outlive the widget.
    ConnectionsListWidget(ConnectionsStorage& storage, QWidget* parent);
    ~ConnectionsListWidget() override;

    // The handles of the selected rows; valid only until the storage next changes.
    std::vector<ConnectionHandle*> selectedConnections() const;

    void addConnection();
    void editSelectedConnection();
    void removeSelectedConnections();
    void connectSelected();
    void disconnectSelected();

private:
    void showContextMenu();
    void saveTableLayout();
    void applyDefaultColumnWidths();
    int widestStatusText() const;

    ConnectionsStorage& m_storage;
    ConnectionsListModel* m_model = nullptr;
    QSortFilterProxyModel* m_proxy = nullptr;
};
