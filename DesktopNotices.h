#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <map>

class QSystemTrayIcon;

// Short messages to the user outside the window: a balloon of the tray icon, or a desktop
// notification where the desktop shows no tray. At most one notice per subject (a document, or a
// drive as a whole) per minute, so that a program retrying a save does not flood the desktop.
class DesktopNotices : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Shows one notice; what the tray or the desktop's notification service do otherwise.
    using Presenter = std::function<void(const QString& title, const QString& text)>;

    static constexpr std::chrono::seconds kQuietPeriod{60};

    // `tray` may be null or hidden; it is asked at every notice.
    explicit DesktopNotices(QSystemTrayIcon* tray, QObject* parent = nullptr);

    // Shows the notice unless one about the same subject was shown less than a minute ago.
    // Returns whether it was shown.
    bool show(const QString& subject, const QString& title, const QString& text);

    // Seams for tests: another clock, another way of showing.
    void setClock(Clock clock);
    void setPresenter(Presenter presenter);

private:
    void present(const QString& title, const QString& text);

    QSystemTrayIcon* m_tray;
    Clock m_clock;
    Presenter m_presenter;
    std::map<QString, std::chrono::steady_clock::time_point> m_lastShown;
};
