#include "DesktopNotices.h"

#include <logging/logging.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QSystemTrayIcon>
#include <QVariantMap>

#include <utility>

namespace {

constexpr int kTrayMessageMilliseconds = 10000;

// The freedesktop.org notification service, which every Linux desktop provides, tray or not.
void notifyThroughDesktop(const QString& title, const QString& text) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QCoreApplication::applicationName() << 0u << QStringLiteral("KelvoDrive") << title
         << text << QStringList() << QVariantMap() << -1;
    // Not waited for: a desktop without the service must not hold the program up.
    if (!QDBusConnection::sessionBus().send(call)) {
        KELVO_LOG(logging::kWarning) << L"Уведомление не показано (" << title.toStdWString()
                                     << L"): " << text.toStdWString();
    }
}

}  // namespace

DesktopNotices::DesktopNotices(QSystemTrayIcon* tray, QObject* parent)
    : QObject(parent), m_tray(tray), m_clock([] { return std::chrono::steady_clock::now(); }) {}

bool DesktopNotices::show(const QString& subject, const QString& title, const QString& text) {
    const auto now = m_clock();
    const auto last = m_lastShown.find(subject);
    if (last != m_lastShown.end() && now - last->second < kQuietPeriod) {
        KELVO_LOG(logging::kInfo) << L"Уведомление не повторяется в течение минуты: "
                                  << text.toStdWString();
        return false;
    }
    m_lastShown[subject] = now;
    present(title, text);
    return true;
}

void DesktopNotices::setClock(Clock clock) {
    m_clock = std::move(clock);
}

void DesktopNotices::setPresenter(Presenter presenter) {
    m_presenter = std::move(presenter);
}

void DesktopNotices::present(const QString& title, const QString& text) {
    if (m_presenter) {
        m_presenter(title, text);
    } else if (m_tray && m_tray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable() &&
               QSystemTrayIcon::supportsMessages()) {
        m_tray->showMessage(title, text, QSystemTrayIcon::Warning, kTrayMessageMilliseconds);
    } else {
        notifyThroughDesktop(title, text);
    }
}
