// A small program that starts like KelvoDrive's entry does (an argument count but no vector,
// secondary instances allowed, notification on, 1000 ms) and tells on standard output what the
// single-instance guard decided, so that tests can drive real processes:
//   key <instance key>
//   primary 0 | secondary <index>
//   instanceStarted <window state>    (primary, each time the signal fires; the state of its
//                                      window, which starts hidden and minimized: "visible" or
//                                      "hidden", then "minimized" or "normal")
//   message <instance id> <hex bytes> (primary, for each receivedMessage)
// A secondary sleeps one second and ends with 0; a primary runs until its standard input closes.
#include "LaterStarts.h"

#include <singleapplication.h>
#include <singleapplication_p.h>

#include <QSocketNotifier>
#include <QThread>
#include <QWidget>

#include <unistd.h>

#include <cstdio>

namespace {

void say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

}  // namespace

int main() {
    int argc = 1;
    SingleApplication app(argc, nullptr, true, SingleApplication::NotifyOnSecondary, 1000);
    say(QStringLiteral("key %1").arg(
        SingleApplicationPrivate::computeInstanceKey(SingleApplication::NotifyOnSecondary)));
    if (!app.isPrimaryInstance()) {
        say(QStringLiteral("secondary %1").arg(app.instanceIndex()));
        QThread::sleep(1);
        return 0;
    }
    say(QStringLiteral("primary %1 pid %2").arg(app.instanceIndex()).arg(app.primaryPid()));

    // Wired as the entry wires the main window; the report comes after the window has reacted.
    QWidget window;
    window.setWindowState(Qt::WindowMinimized);
    bringWindowForwardOnLaterStarts(app, window);
    QObject::connect(&app, &SingleApplication::instanceStarted, [&window] {
        say(QStringLiteral("instanceStarted %1 %2")
                .arg(window.isVisible() ? "visible" : "hidden")
                .arg(window.isMinimized() ? "minimized" : "normal"));
    });
    QObject::connect(&app, &SingleApplication::receivedMessage,
                     [](quint32 instanceId, const QByteArray& message) {
                         say(QStringLiteral("message %1 %2")
                                 .arg(instanceId)
                                 .arg(QString::fromLatin1(message.toHex())));
                     });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&app, &input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            app.quit();
        }
    });
    return app.exec();
}
