#include "HelpKeyFilter.h"

#include <win_compat/help_viewer.h>

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QKeyEvent>
#include <QProcess>

#include <utility>

const char* const HelpKeyFilter::kHelpFileRelativePath = "Help/KelvoDrive.html";

HelpKeyFilter::HelpKeyFilter(Launcher launcher, QObject* parent)
    : QObject(parent), m_launcher(std::move(launcher)) {}

bool HelpKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyRelease &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_F1) {
        // From the executable's folder, never the current directory, which may be anywhere.
        if (m_helpFilePath.isEmpty()) {
            m_helpFilePath = QDir(QCoreApplication::applicationDirPath())
                                 .filePath(QString::fromLatin1(kHelpFileRelativePath));
        }
        // A missing manual or viewer shows the viewer's own error, or nothing.
        m_launcher(QString::fromStdWString(win_compat::HelpViewerProgram()), {m_helpFilePath});
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void HelpKeyFilter::startDetached(const QString& program, const QStringList& arguments) {
    QProcess::startDetached(program, arguments);
}
