#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QEvent;

// Opens the user manual when F1 is released, in any window of the program: installed once as an
// event filter on the application object, it sees the events of every object. Modifiers do not
// matter. The release is consumed; every other event, the press of F1 included, goes on as usual.
class HelpKeyFilter : public QObject {
public:
    // Starts `program` with `arguments` as a process of its own.
    using Launcher = std::function<void(const QString& program, const QStringList& arguments)>;

    // The manual's place relative to the executable's folder.
    static const char* const kHelpFileRelativePath;

    explicit HelpKeyFilter(Launcher launcher = startDetached, QObject* parent = nullptr);

    bool eventFilter(QObject* watched, QEvent* event) override;

    static void startDetached(const QString& program, const QStringList& arguments);

private:
    Launcher m_launcher;
    QString m_helpFilePath;  // worked out on the first F1, kept for the rest of the process
};
