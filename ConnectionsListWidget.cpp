#include "ConnectionsListWidget.h"

#include "ConnectionsListModel.h"
#include "ConnectionsListWidget_p.h"
#include "ConnectionsStorage.h"
#include "DlgEditConnection.h"

#include <QCursor>
#include <QDialog>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QSortFilterProxyModel>

namespace {

const char kTableLayoutKey[] = "TableLayout";

}  // namespace

QString findDuplicateConnection(const tarvo_cm::Connection& candidate,
                                const std::vector<ConnectionHandle*>& connections,
                                const ConnectionHandle* skipped) {
    for (const ConnectionHandle* entry : connections) {
        if (entry == skipped) {
            continue;
        }
        if (entry->connection.id == candidate.id) {
            return QDialog::tr("Соединение с таким ID уже существует");
        }
        if (tarvo_cm::SameAddress(entry->connection, candidate)) {
            return QDialog::tr("Соединение с таким адресом уже существует");
        }
    }
    return {};
}

ConnectionsListWidget::ConnectionsListWidget(QWidget* parent) : QTreeView(parent) {
    // The saved layout goes to the header before the model and sorting, so that switching sorting
    // on sorts by the restored column and order.
    header()->restoreState(QSettings().value(kTableLayoutKey).toByteArray());

    m_model = new ConnectionsListModel(this);
    m_proxy = new QSortFilterProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_proxy->setSortCaseSensitivity(Qt::CaseInsensitive);
    setModel(m_proxy);

    setUniformRowHeights(true);
    setSortingEnabled(true);
    setRootIsDecorated(false);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setItemsExpandable(false);
    setAutoScroll(true);
    setDragDropMode(QAbstractItemView::NoDragDrop);
    setContextMenuPolicy(Qt::CustomContextMenu);

    connect(this, &QTreeView::doubleClicked, this, [this] { editSelectedConnection(); });
    connect(this, &QWidget::customContextMenuRequested, this, [this] { showContextMenu(); });
    connect(header(), &QHeaderView::sectionMoved, this, [this] { saveTableLayout(); });
    connect(header(), &QHeaderView::sectionResized, this, [this] { saveTableLayout(); });
    connect(header(), &QHeaderView::sortIndicatorChanged, this, [this] { saveTableLayout(); });
}

ConnectionsListWidget::~ConnectionsListWidget() {
    saveTableLayout();
}

std::vector<ConnectionHandle*> ConnectionsListWidget::selectedConnections() const {
    const QModelIndexList rows = selectionModel()->selectedRows(0);
    std::vector<ConnectionHandle*> result;
    result.reserve(rows.size());
    for (const QModelIndex& index : rows) {
        Q_ASSERT(index.isValid());
        const QModelIndex sourceIndex =
            index.model() == m_proxy ? m_proxy->mapToSource(index) : index;
        result.push_back(m_model->connectionAt(sourceIndex));
    }
    return result;
}

void ConnectionsListWidget::addConnection() {
    ConnectionsStorage* storage = ConnectionsStorage::instance();
    const std::shared_ptr<tarvo::ICore> core = storage->core();
    const std::vector<ConnectionHandle*> snapshot = storage->connections();

    DlgEditConnection dialog(core, nullptr, this);
    dialog.setConnectionValidator([snapshot](const tarvo_cm::Connection& candidate) {
        return findDuplicateConnection(candidate, snapshot, nullptr);
    });
    if (dialog.exec() == QDialog::Accepted) {
        storage->addConnection(dialog.connection(), dialog.mountPoint());
    }
}

void ConnectionsListWidget::editSelectedConnection() {
    const std::vector<ConnectionHandle*> selected = selectedConnections();
    if (selected.size() != 1 || !selected.front()) {
        return;
    }
    ConnectionHandle* handle = selected.front();
    ConnectionsStorage* storage = ConnectionsStorage::instance();
    const std::shared_ptr<tarvo::ICore> core = storage->core();
    const std::vector<ConnectionHandle*> snapshot = storage->connections();

    DlgEditConnection dialog(core, handle, this);
    dialog.setConnectionValidator([snapshot, handle](const tarvo_cm::Connection& candidate) {
        return findDuplicateConnection(candidate, snapshot, handle);
    });
    if (dialog.exec() == QDialog::Accepted) {
        storage->updateConnection(dialog.connection(), dialog.mountPoint());
    }
}

void ConnectionsListWidget::removeSelectedConnections() {
    const std::vector<ConnectionHandle*> selected = selectedConnections();
    if (selected.empty()) {
        return;
    }
    const QMessageBox::StandardButton answer =
        QMessageBox::question(this, tr("Удалить"), tr("Удалить выбранные подключения?"),
                              QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::No) {
        return;
    }
    // The records are copied first: removing one handle may not disturb reading the next, and a
    // handle is gone once its removal has been announced.
    std::vector<tarvo_cm::Connection> records;
    records.reserve(selected.size());
    for (const ConnectionHandle* handle : selected) {
        if (handle) {
            records.push_back(handle->connection);
        }
    }
    ConnectionsStorage* storage = ConnectionsStorage::instance();
    for (const tarvo_cm::Connection& record : records) {
        storage->removeConnection(record);
    }
}

void ConnectionsListWidget::connectSelected() {
    ConnectionsStorage* storage = ConnectionsStorage::instance();
    for (const ConnectionHandle* handle : selectedConnections()) {
        if (handle) {
            storage->mountDrive(handle->connection);
        }
    }
}

void ConnectionsListWidget::disconnectSelected() {
    ConnectionsStorage* storage = ConnectionsStorage::instance();
    for (const ConnectionHandle* handle : selectedConnections()) {
        if (handle) {
            storage->unmountDrive(handle->connection);
        }
    }
}

void ConnectionsListWidget::showContextMenu() {
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);

    const auto addAction = [this, menu](const QString& text,
                                        void (ConnectionsListWidget::*operation)()) {
        auto* action = new QAction(text, menu);
        connect(action, &QAction::triggered, this, [this, operation] { (this->*operation)(); });
        menu->addAction(action);
    };

    const std::vector<ConnectionHandle*> selected = selectedConnections();
    if (selected.empty()) {
        addAction(tr("Добавить"), &ConnectionsListWidget::addConnection);
    } else {
        bool canConnect = false;
        bool canDisconnect = false;
        for (const ConnectionHandle* handle : selected) {
            if (!handle) {
                continue;
            }
            const bool connected = handle->isConnected();
            canConnect = canConnect || (!connected && !handle->mountPoint.isEmpty());
            canDisconnect = canDisconnect || connected;
        }
        if (canConnect) {
            addAction(tr("Подключить"), &ConnectionsListWidget::connectSelected);
        }
        if (canDisconnect) {
            addAction(tr("Отключить"), &ConnectionsListWidget::disconnectSelected);
        }
        menu->addSeparator();
        addAction(tr("Редактировать"), &ConnectionsListWidget::editSelectedConnection);
        menu->addSeparator();
        addAction(tr("Удалить"), &ConnectionsListWidget::removeSelectedConnections);
    }
    menu->popup(QCursor::pos());
}

void ConnectionsListWidget::saveTableLayout() {
    QSettings().setValue(kTableLayoutKey, header()->saveState());
}
