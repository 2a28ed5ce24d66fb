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
#include <QStyle>

#include <algorithm>

namespace {

const char kTableLayoutKey[] = "TableLayout";
constexpr int kNameColumn = 0;
constexpr int kDriveColumn = 1;
constexpr int kStatusColumn = 2;
// A display name holds up to 32 characters: a name of that length with the usual mix of capitals,
// small letters, blanks and digits, and some room to spare for wider letters, is what the column
// shows whole. Measured in the table's own font, since letters' widths differ from font to font.
const char kLongestTypicalName[] = "Проектная документация отдела 26";
constexpr int kWideLettersAllowancePercent = 15;

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

ConnectionsListWidget::ConnectionsListWidget(ConnectionsStorage& storage, QWidget* parent)
    : QTreeView(parent), m_storage(storage) {
    // The saved layout goes to the header before the model and sorting, so that switching sorting
    // on sorts by the restored column and order.
    const QByteArray savedLayout = QSettings().value(kTableLayoutKey).toByteArray();
    const bool layoutRestored = !savedLayout.isEmpty() && header()->restoreState(savedLayout);

    m_model = new ConnectionsListModel(m_storage, this);
    m_proxy = new QSortFilterProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_proxy->setSortCaseSensitivity(Qt::CaseInsensitive);
    setModel(m_proxy);
    if (!layoutRestored) {
        // Qt's own default sorts Z to A.
        header()->setSortIndicator(kNameColumn, Qt::AscendingOrder);
    }

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
    if (!layoutRestored) {
        // After sorting is on: the sort indicator takes room in the headers too.
        applyDefaultColumnWidths();
    }

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
    const std::shared_ptr<tarvo::ICore> core = m_storage.core();
    const std::vector<ConnectionHandle*> snapshot = m_storage.connections();

    DlgEditConnection dialog(core, nullptr, this, &m_storage);
    dialog.setConnectionValidator([snapshot](const tarvo_cm::Connection& candidate) {
        return findDuplicateConnection(candidate, snapshot, nullptr);
    });
    if (dialog.exec() == QDialog::Accepted) {
        m_storage.addConnection(dialog.connection(), dialog.mountPoint());
    }
}

void ConnectionsListWidget::editSelectedConnection() {
    const std::vector<ConnectionHandle*> selected = selectedConnections();
    if (selected.size() != 1 || !selected.front()) {
        return;
    }
    ConnectionHandle* handle = selected.front();
    const std::shared_ptr<tarvo::ICore> core = m_storage.core();
    const std::vector<ConnectionHandle*> snapshot = m_storage.connections();

    DlgEditConnection dialog(core, handle, this, &m_storage);
    dialog.setConnectionValidator([snapshot, handle](const tarvo_cm::Connection& candidate) {
        return findDuplicateConnection(candidate, snapshot, handle);
    });
    if (dialog.exec() == QDialog::Accepted) {
        m_storage.updateConnection(dialog.connection(), dialog.mountPoint());
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
    for (const tarvo_cm::Connection& record : records) {
        m_storage.removeConnection(record);
    }
}

void ConnectionsListWidget::connectSelected() {
    for (const ConnectionHandle* handle : selectedConnections()) {
        if (handle) {
            m_storage.mountDrive(handle->connection);
        }
    }
}

void ConnectionsListWidget::disconnectSelected() {
    for (const ConnectionHandle* handle : selectedConnections()) {
        if (handle) {
            m_storage.unmountDrive(handle->connection);
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

// Qt's own default gives every column the same width, which cuts long names off.
void ConnectionsListWidget::applyDefaultColumnWidths() {
    const int padding = 2 * style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) +
                        fontMetrics().horizontalAdvance(QLatin1Char(' ')) * 4;
    const int nameWidth = fontMetrics().horizontalAdvance(QString::fromUtf8(kLongestTypicalName)) *
                          (100 + kWideLettersAllowancePercent) / 100;
    header()->resizeSection(kNameColumn,
                            std::max(nameWidth + padding, header()->sectionSizeHint(kNameColumn)));
    const int driveWidth = fontMetrics().horizontalAdvance(QStringLiteral("W:\\"));
    header()->resizeSection(
        kDriveColumn, std::max(driveWidth + padding, header()->sectionSizeHint(kDriveColumn)));
    header()->resizeSection(kStatusColumn, std::max(widestStatusText() + padding,
                                                    header()->sectionSizeHint(kStatusColumn)));
}

int ConnectionsListWidget::widestStatusText() const {
    int widest = 0;
    for (const QString& text : {tr("Подключено"), tr("Отключено"), tr("Ошибка")}) {
        widest = std::max(widest, fontMetrics().horizontalAdvance(text));
    }
    return widest;
}

void ConnectionsListWidget::saveTableLayout() {
    QSettings().setValue(kTableLayoutKey, header()->saveState());
}
