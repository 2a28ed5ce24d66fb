#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QEvent;

// Opens the user manual when F1 is released, in any window of the program: installed once as an
// event filter on the application object, it sees the events of every object. Modifiers do not
// matter. Without a viewer a message names the manual's file. The release is consumed; every other
// event, the press of F1 included, goes on as usual.
class HelpKeyFilter : public QObject {
public:
    // Starts `program` with `arguments` as a process of its own; false when it could not start.
    using Launcher = std::function<bool(const QString& program, const QStringList& arguments)>;

    // The manual's place relative to the executable's folder, beside it in a build folder...
    static const char* const kHelpFileRelativePath;
    // ...and where an installed program (bin/) finds it (share/kelvodrive/).
    static const char* const kInstalledHelpFileRelativePath;

    // Where the manual is for this executable: beside it when it is there, else in the installed
    // place when it is there, else (missing) beside it.
    static QString helpFilePath();

    explicit HelpKeyFilter(Launcher launcher = startDetached, QObject* parent = nullptr);

    bool eventFilter(QObject* watched, QEvent* event) override;

    static bool startDetached(const QString& program, const QStringList& arguments);

private:
    // Without a viewer the user still learns where the manual is, to open it some other way.
    void tellWhereTheManualIs(const QString& viewer);

    Launcher m_launcher;
    QString m_helpFilePath;  // worked out on the first F1, kept for the rest of the process
};
