#include "MainWindow.h"

#include "ConnectionsListWidget.h"
#include "ConnectionsStorage.h"
#include "ui_MainWindow.h"

#include <win_compat/run_key.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QIcon>
#include <QItemSelectionModel>
#include <QMenu>
#include <QSettings>
#include <QTimer>

// The icon lives in this library's resources; a static library's resources are only linked in
// when something refers to them, so the window registers them itself.
static void initKelvoDriveResources() {
    Q_INIT_RESOURCE(KelvoDrive);
}

namespace {

const char kGeometryKey[] = "MainWindowGeometry";
const wchar_t kAutostartValueName[] = L"KelvoDrive";

std::optional<bool>& trayAvailableOverride() {
    static std::optional<bool> value;
    return value;
}

}  // namespace

MainWindow::MainWindow() : QMainWindow(nullptr), ui(new Ui::MainWindow) {
    ui->setupUi(this);

    initKelvoDriveResources();
    setWindowIcon(QIcon(":/KelvoDrive.ico"));
    setWindowTitle(tr("Браузер хранилищ документов"));

    connectionsList = new ConnectionsListWidget(this);
    ui->centralLayout->insertWidget(0, connectionsList);

    connect(ui->buttonAdd, &QPushButton::clicked, connectionsList,
            &ConnectionsListWidget::addConnection);
    connect(ui->buttonToggleConnection, &QPushButton::clicked, this,
            [this] { toggleSelectedConnections(); });
    connect(ui->buttonEdit, &QPushButton::clicked, connectionsList,
            &ConnectionsListWidget::editSelectedConnection);
    connect(ui->buttonDelete, &QPushButton::clicked, connectionsList,
            &ConnectionsListWidget::removeSelectedConnections);
    connect(connectionsList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { updateConnectionButtons(); });
    ConnectionsStorage* storage = ConnectionsStorage::instance();
    connect(storage, &ConnectionsStorage::driveMounted, this,
            [this] { updateConnectionButtons(); });
    connect(storage, &ConnectionsStorage::driveUnmounted, this,
            [this] { updateConnectionButtons(); });

    createTrayIcon();

    restoreGeometry(QSettings().value(kGeometryKey).toByteArray());
    updateConnectionButtons();
}

MainWindow::~MainWindow() {
    saveWindowGeometry();
    delete ui;
}

bool MainWindow::trayAvailable() {
    if (trayAvailableOverride()) {
        return *trayAvailableOverride();
    }
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::setTrayAvailableOverride(std::optional<bool> available) {
    trayAvailableOverride() = available;
}

void MainWindow::createTrayIcon() {
    trayIcon = new QSystemTrayIcon(windowIcon(), this);

    showHideAction = new QAction(this);
    autostartAction = new QAction(tr("Запускать при старте системы"), this);
    autostartAction->setCheckable(true);
    auto* exitAction = new QAction(tr("Выход"), this);
    connect(exitAction, &QAction::triggered, this, [] { QCoreApplication::quit(); });

    auto* menu = new QMenu(this);
    menu->addAction(showHideAction);
    menu->addSeparator();
    menu->addAction(autostartAction);
    menu->addSeparator();
    menu->addAction(exitAction);
    trayIcon->setContextMenu(menu);

    connect(showHideAction, &QAction::triggered, this, [this] { toggleWindow(); });
    connect(autostartAction, &QAction::triggered, this,
            [this](bool checked) { setAutostart(checked); });
    connect(menu, &QMenu::aboutToShow, this, [this] { refreshTrayMenu(); });
    connect(trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { onTrayActivated(reason); });

    trayIcon->show();
}

bool MainWindow::allSelectedConnected() const {
    const std::vector<ConnectionHandle*> selected = connectionsList->selectedConnections();
    if (selected.empty()) {
        return false;
    }
    for (const ConnectionHandle* handle : selected) {
        if (!handle || !handle->isConnected()) {
            return false;
        }
    }
    return true;
}

void MainWindow::updateConnectionButtons() {
    const bool anySelected = !connectionsList->selectedConnections().empty();
    ui->buttonToggleConnection->setEnabled(anySelected);
    ui->buttonEdit->setEnabled(anySelected);
    ui->buttonDelete->setEnabled(anySelected);
    ui->buttonToggleConnection->setText(allSelectedConnected() ? tr("Отключить")
                                                               : tr("Подключить"));
}

void MainWindow::toggleSelectedConnections() {
    // The same test as the caption's, so the button does what it says.
    if (allSelectedConnected()) {
        connectionsList->disconnectSelected();
    } else {
        connectionsList->connectSelected();
    }
}

void MainWindow::saveWindowGeometry() {
    QSettings().setValue(kGeometryKey, saveGeometry());
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (isHidden()) {
        return;
    }
    saveWindowGeometry();
    event->ignore();
    // Hiding (or minimising) later, outside the close handling, keeps the window system's own
    // close sequence from seeing a window vanish under it.
    if (trayAvailable()) {
        QTimer::singleShot(0, this, &QWidget::hide);
    } else {
        QTimer::singleShot(0, this, &QWidget::showMinimized);
    }
}

void MainWindow::toggleWindow() {
    if (!isHidden()) {
        hide();
        return;
    }
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void MainWindow::onTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    // The context menu opens by itself; only a plain click toggles the window.
    if (reason == QSystemTrayIcon::Trigger) {
        toggleWindow();
    }
}

void MainWindow::refreshTrayMenu() {
    showHideAction->setText(isVisible() ? tr("Скрыть") : tr("Показать"));
    // Read each time, so that changes made outside the program show.
    autostartAction->setChecked(win_compat::RunKey::Contains(kAutostartValueName));
}

void MainWindow::setAutostart(bool enabled) {
    if (enabled) {
        const QString executable =
            QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
        win_compat::RunKey::SetValue(kAutostartValueName, executable.toStdWString());
    } else {
        win_compat::RunKey::Remove(kAutostartValueName);
    }
}
