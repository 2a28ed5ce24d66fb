#pragma once

#include <QMainWindow>
#include <QSystemTrayIcon>

#include <optional>

class ConnectionsListWidget;
class ConnectionsStorage;
class DesktopNotices;
class QAction;
class QLabel;
struct ConnectionHandle;
struct DriveNotice;
class QCloseEvent;

namespace Ui {
class MainWindow;
}

// The application's one top-level window: the connections table above a row of buttons, and the
// tray icon with its menu (show or hide, start with the logon, exit). Closing the window hides it
// into the tray; where the desktop has no tray it is minimised instead, so it stays reachable, and
// the window says how to quit. "Выход" (button, Ctrl+Q, tray menu) ends the program anywhere.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // Shows and changes the connections of `storage`, which must outlive the window.
    explicit MainWindow(ConnectionsStorage& storage);
    ~MainWindow() override;

    // Whether the desktop shows tray icons. Without one the window must be shown at start and
    // never hidden, since nothing would bring it back.
    static bool trayAvailable();
    // Lets tests pretend either way; nullopt asks the desktop again.
    static void setTrayAvailableOverride(std::optional<bool> available);

    void updateConnectionButtons();
    void saveWindowGeometry();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createQuitAction();
    void createTrayIcon();
    void updateQuitHint();
    void showDriveNotice(ConnectionHandle* connection, const DriveNotice& notice);
    bool allSelectedConnected() const;
    void toggleSelectedConnections();
    void toggleWindow();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void refreshTrayMenu();
    void setAutostart(bool enabled);

    Ui::MainWindow* ui = nullptr;
    ConnectionsListWidget* connectionsList = nullptr;
    QSystemTrayIcon* trayIcon = nullptr;
    QAction* showHideAction = nullptr;
    QAction* autostartAction = nullptr;
    QAction* quitAction = nullptr;
    QLabel* quitHint = nullptr;
    DesktopNotices* notices = nullptr;
};
