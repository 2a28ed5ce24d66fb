#include "MainWindow.h"

#include "ConnectionsListWidget.h"
#include "ConnectionsStorage.h"
#include "DesktopNotices.h"
#include "FSDriver.h"
#include "ui_MainWindow.h"

#include <win_compat/run_key.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QIcon>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QStatusBar>
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

MainWindow::MainWindow(ConnectionsStorage& storage) : QMainWindow(nullptr), ui(new Ui::MainWindow) {
    ui->setupUi(this);

    initKelvoDriveResources();
    setWindowIcon(QIcon(":/KelvoDrive.ico"));
    setWindowTitle(tr("Браузер хранилищ документов"));

    connectionsList = new ConnectionsListWidget(storage, this);
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
    connect(&storage, &ConnectionsStorage::driveMounted, this,
            [this] { updateConnectionButtons(); });
    connect(&storage, &ConnectionsStorage::driveUnmounted, this,
            [this] { updateConnectionButtons(); });

    createQuitAction();
    createTrayIcon();
    notices = new DesktopNotices(trayIcon, this);
    connect(&storage, &ConnectionsStorage::driveNotice, this,
            [this](ConnectionHandle* connection, const DriveNotice& notice) {
                showDriveNotice(connection, notice);
            });
    updateQuitHint();

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

void MainWindow::createQuitAction() {
    quitAction = new QAction(tr("Выход"), this);
    quitAction->setObjectName("actionQuit");
    // Spelled out: the platform's standard quit key is not Ctrl+Q on every desktop.
    quitAction->setShortcut(QKeySequence(Qt::CTRL + Qt::Key_Q));
    quitAction->setShortcutContext(Qt::WindowShortcut);
    connect(quitAction, &QAction::triggered, this, [] { QCoreApplication::quit(); });
    addAction(quitAction);

    auto* quitButton = new QPushButton(tr("Выход"), this);
    quitButton->setObjectName("buttonQuit");
    quitButton->setToolTip(tr("Завершить программу (Ctrl+Q); подключённые диски отключаются"));
    connect(quitButton, &QPushButton::clicked, quitAction, &QAction::trigger);
    ui->horizontalLayout->addWidget(quitButton);
}

// Without a tray, closing only minimises the window; the user must be told how to end the program.
void MainWindow::updateQuitHint() {
    const bool needed = !trayAvailable();
    if (needed && !quitHint) {
        quitHint = new QLabel(
            tr("Закрытое окно сворачивается. Завершить программу: «Выход» или Ctrl+Q."), this);
        quitHint->setObjectName("labelQuitHint");
        statusBar()->addWidget(quitHint, 1);
    }
    if (quitHint) {
        statusBar()->setVisible(needed);
    }
}

void MainWindow::showDriveNotice(ConnectionHandle* connection, const DriveNotice& notice) {
    const QString drive =
        connection->customName.isEmpty() ? connection->mountPoint : connection->customName;
    const QString document = QString::fromStdWString(notice.document);
    const QString detail = QString::fromStdWString(notice.detail);
    // One subject per document of a drive; the drive as a whole is a subject of its own.
    const QString subject = connection->mountPoint + QLatin1Char('|') + document;
    switch (notice.kind) {
        case DriveNotice::Kind::UploadFailed:
            notices->show(subject, tr("Изменения не сохранены в хранилище"),
                          tr("Изменения документа «%1» на диске %2 не удалось сохранить в "
                             "хранилище.\n%3")
                              .arg(document, drive, detail));
            break;
        case DriveNotice::Kind::EditRefused:
            notices->show(subject, tr("Документ занят"),
                          tr("Документ «%1» на диске %2 сейчас изменяет пользователь %3. "
                             "Изменить его можно будет, когда тот закроет документ.")
                              .arg(document, drive, detail));
            break;
        case DriveNotice::Kind::LinkLost:
            notices->show(subject, tr("Связь с хранилищем потеряна"),
                          tr("Диск %1 потерял связь с хранилищем.\n%2").arg(drive, detail));
            break;
        case DriveNotice::Kind::MountFailed:
            // Shown in the table: the status says "Ошибка" and the row's tool tip says why.
            break;
    }
}

void MainWindow::createTrayIcon() {
    trayIcon = new QSystemTrayIcon(windowIcon(), this);

    showHideAction = new QAction(this);
    autostartAction = new QAction(tr("Запускать при старте системы"), this);
    autostartAction->setCheckable(true);

    auto* menu = new QMenu(this);
    menu->addAction(showHideAction);
    menu->addSeparator();
    menu->addAction(autostartAction);
    menu->addSeparator();
    menu->addAction(quitAction);
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
    updateQuitHint();
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
