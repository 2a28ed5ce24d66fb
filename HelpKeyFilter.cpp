#include "HelpKeyFilter.h"

#include <win_compat/help_viewer.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>

#include <utility>

const char* const HelpKeyFilter::kHelpFileRelativePath = "Help/KelvoDrive.html";
const char* const HelpKeyFilter::kInstalledHelpFileRelativePath =
    "../share/kelvodrive/Help/KelvoDrive.html";

QString HelpKeyFilter::helpFilePath() {
    // From the executable's folder, never the current directory, which may be anywhere.
    const QDir programFolder(QCoreApplication::applicationDirPath());
    const QString beside = programFolder.filePath(QString::fromLatin1(kHelpFileRelativePath));
    if (QFileInfo::exists(beside)) {
        return beside;
    }
    const QString installed = QDir::cleanPath(
        programFolder.filePath(QString::fromLatin1(kInstalledHelpFileRelativePath)));
    return QFileInfo::exists(installed) ? installed : beside;
}

HelpKeyFilter::HelpKeyFilter(Launcher launcher, QObject* parent)
    : QObject(parent), m_launcher(std::move(launcher)) {}

bool HelpKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyRelease &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_F1) {
        if (m_helpFilePath.isEmpty()) {
            m_helpFilePath = helpFilePath();
        }
        // A missing manual shows the viewer's own error.
        const QString viewer = QString::fromStdWString(win_compat::HelpViewerProgram());
        if (!m_launcher(viewer, {m_helpFilePath})) {
            tellWhereTheManualIs(viewer);
        }
        return true;
    }
    return QObject::eventFilter(watched, event);
}

// The platform's starter rather than QProcess: it hands the viewer no descriptor of this process
// but standard input, output and error. The program is always the help viewer.
bool HelpKeyFilter::startDetached(const QString& /*program*/, const QStringList& arguments) {
    return win_compat::OpenHelpViewer(QFile::encodeName(arguments.value(0)).toStdString());
}

void HelpKeyFilter::tellWhereTheManualIs(const QString& viewer) {
    // Not modal in the filter's own call: the box must not run an event loop inside key handling.
    auto* box = new QMessageBox(
        QMessageBox::Information, QCoreApplication::applicationName(),
        tr("Не удалось открыть руководство пользователя: программа просмотра (%1) не найдена.\n"
           "Руководство находится в файле:\n%2")
            .arg(viewer, QDir::toNativeSeparators(m_helpFilePath)),
        QMessageBox::Ok, QApplication::activeWindow());
    box->setObjectName("helpFileLocation");
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
