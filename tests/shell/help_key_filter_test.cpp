// The help key: F1 released anywhere starts the viewer on the manual beside the executable.

#include "HelpKeyFilter.h"

#include "test_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include <gtest/gtest.h>

#include <unistd.h>

#include <vector>

namespace {

struct Launch {
    QString program;
    QStringList arguments;
};

// A widget that counts the key events that reach it.
class KeyCountingWidget : public QWidget {
public:
    int presses = 0;
    int releases = 0;

protected:
    void keyPressEvent(QKeyEvent*) override { ++presses; }
    void keyReleaseEvent(QKeyEvent*) override { ++releases; }
};

void sendKey(QWidget& target, QEvent::Type type, int key, Qt::KeyboardModifiers modifiers = {}) {
    QKeyEvent event(type, key, modifiers);
    QApplication::sendEvent(&target, &event);
}

QString expectedHelpFile() {
    return QDir(QCoreApplication::applicationDirPath()).filePath("Help/KelvoDrive.html");
}

class HelpKeyFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_filter = new HelpKeyFilter([this](const QString& program, const QStringList& arguments) {
            m_launches.push_back({program, arguments});
            return m_viewerStarts;
        });
        qApp->installEventFilter(m_filter);
    }
    void TearDown() override {
        qApp->removeEventFilter(m_filter);
        delete m_filter;
    }

    HelpKeyFilter* m_filter = nullptr;
    std::vector<Launch> m_launches;
    bool m_viewerStarts = true;
};

TEST_F(HelpKeyFilterTest, ReleaseOfF1WithOrWithoutModifiersStartsTheViewerOnce) {
    KeyCountingWidget widget;
    for (Qt::KeyboardModifiers modifiers :
         {Qt::KeyboardModifiers(), Qt::KeyboardModifiers(Qt::ShiftModifier),
          Qt::KeyboardModifiers(Qt::ControlModifier)}) {
        m_launches.clear();
        sendKey(widget, QEvent::KeyPress, Qt::Key_F1, modifiers);
        EXPECT_TRUE(m_launches.empty()) << "the press starts nothing";
        sendKey(widget, QEvent::KeyRelease, Qt::Key_F1, modifiers);
        ASSERT_EQ(m_launches.size(), 1u);
        EXPECT_EQ(m_launches[0].program, QStringLiteral("xdg-open"));
        EXPECT_EQ(m_launches[0].arguments, QStringList{expectedHelpFile()});
    }
    EXPECT_EQ(widget.presses, 3) << "presses of F1 are delivered as usual";
    EXPECT_EQ(widget.releases, 0) << "the release of F1 goes no further";
}

TEST_F(HelpKeyFilterTest, OtherKeysAndRepeatedReleasesBehaveAsUsual) {
    QLineEdit editor;
    sendKey(editor, QEvent::KeyPress, Qt::Key_A);
    sendKey(editor, QEvent::KeyRelease, Qt::Key_A);
    sendKey(editor, QEvent::KeyRelease, Qt::Key_F2);
    EXPECT_TRUE(m_launches.empty());

    // Each release starts another viewer; nothing holds a second one back.
    sendKey(editor, QEvent::KeyRelease, Qt::Key_F1);
    sendKey(editor, QEvent::KeyRelease, Qt::Key_F1);
    EXPECT_EQ(m_launches.size(), 2u);
}

TEST_F(HelpKeyFilterTest, PathComesFromTheExecutablesFolderNotTheCurrentDirectory) {
    QTemporaryDir elsewhere;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));
    QWidget widget;
    sendKey(widget, QEvent::KeyRelease, Qt::Key_F1);
    ASSERT_TRUE(QDir::setCurrent(previous));
    ASSERT_EQ(m_launches.size(), 1u);
    EXPECT_EQ(m_launches[0].arguments, QStringList{expectedHelpFile()});
}

TEST_F(HelpKeyFilterTest, WithoutAViewerAMessageNamesTheManualsFile) {
    m_viewerStarts = false;
    QWidget widget;
    sendKey(widget, QEvent::KeyRelease, Qt::Key_F1);
    ASSERT_EQ(m_launches.size(), 1u);
    QMessageBox* box = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->objectName() == "helpFileLocation" && window->isVisible()) {
            box = qobject_cast<QMessageBox*>(window);
        }
    }
    ASSERT_NE(box, nullptr) << "no message about the manual";
    EXPECT_TRUE(box->text().contains(expectedHelpFile())) << box->text().toStdString();
    EXPECT_TRUE(box->text().contains("xdg-open"));
    box->close();
}

// The real launcher: a viewer found through PATH (a script that records its arguments) is
// started as a process of its own.
TEST(HelpKeyFilterProcessTest, ReleaseOfF1StartsTheViewerFoundOnThePath) {
    QTemporaryDir folder;
    const QString record = folder.filePath("arguments.txt");
    const QString viewer = folder.filePath("xdg-open");
    {
        QFile script(viewer);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(
            QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '%1'\n").arg(record).toUtf8());
    }
    QFile::setPermissions(viewer, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    kelvo_test::ScopedEnvironment path("PATH", folder.path().toStdString() + ":/usr/bin:/bin");

    HelpKeyFilter filter;
    qApp->installEventFilter(&filter);
    QWidget widget;
    sendKey(widget, QEvent::KeyPress, Qt::Key_F1);
    sendKey(widget, QEvent::KeyRelease, Qt::Key_F1, Qt::ShiftModifier);
    qApp->removeEventFilter(&filter);

    QElapsedTimer waited;
    waited.start();
    while (!QFile::exists(record) && waited.elapsed() < 10000) {
        QThread::msleep(20);
    }
    QThread::msleep(200);  // a second, wrong start would have written by now as well
    QFile recorded(record);
    ASSERT_TRUE(recorded.open(QIODevice::ReadOnly)) << "the viewer was not started";
    EXPECT_EQ(QString::fromUtf8(recorded.readAll()), expectedHelpFile() + "\n");
}

// The manual ships beside the executable, in Russian.
TEST(HelpManualTest, ManualLiesBesideTheExecutable) {
    QFile manual(QStringLiteral(KELVO_HELP_FILE));
    ASSERT_TRUE(manual.open(QIODevice::ReadOnly)) << KELVO_HELP_FILE;
    const QString text = QString::fromUtf8(manual.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("lang=\"ru\"")));
    for (const char* topic : {"~/KelvoDrive/", "~/.local/state/KelvoDrive", "FUSE"}) {
        EXPECT_TRUE(text.contains(QString::fromUtf8(topic))) << topic;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Listing the tests happens without the test environment; widgets need no screen anyway.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
