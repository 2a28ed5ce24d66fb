#include "LaterStarts.h"

#include <singleapplication.h>
#include <win_compat/windows.h>

#include <QWidget>

void bringWindowForwardOnLaterStarts(SingleApplication& application, QWidget& window) {
    // The primary itself is the process that may take the foreground when a later start asks.
    AllowSetForegroundWindow(static_cast<DWORD>(application.primaryPid()));
    QObject::connect(&application, &SingleApplication::instanceStarted, &window, [&window] {
        // A window minimised because the desktop has no tray comes back as well.
        window.setWindowState((window.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window.show();
        window.raise();
        window.activateWindow();
    });
}
