// Pictures of the main window and of the connection dialog for a reviewer to look at. They need
// a real X display (scripts/test.sh runs the tests under Xvfb); the offscreen platform draws no
// window decorations and uses no real fonts.
#include "ConnectionsListWidget.h"
#include "DlgEditConnection.h"
#include "MainWindow.h"
#include "gui_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTest>

#include <cstdio>

namespace {

class ScreenshotTest : public ui_test::StorageTest {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != "xcb") {
            GTEST_SKIP() << "no X display (DISPLAY is unset); run under xvfb-run as "
                            "scripts/test.sh does";
        }
        StorageTest::SetUp();
    }

    // Saves a picture of the whole screen area the window covers, frame included.
    static void save(QWidget& window, const QString& name) {
        QTest::qWait(300);  // let the window manager-less server settle the first paint
        const QPixmap picture = window.grab();
        const QString folder = KELVO_SCREENSHOT_DIR;
        ASSERT_TRUE(QDir().mkpath(folder));
        const QString path = folder + "/" + name;
        ASSERT_TRUE(picture.save(path, "PNG")) << path.toStdString();
        std::printf("screenshot: %s\n", QDir::toNativeSeparators(path).toLocal8Bit().constData());
    }
};

TEST_F(ScreenshotTest, MainWindowWithThreeConnectionsOneConnected) {
    // Server connections on a closed loopback port: their drives never mount, and no name is
    // ever looked up in the network.
    ASSERT_TRUE(add(RemoteConnection(L"Архив договоров"), "Y:\\", "Архив договоров"));
    ASSERT_TRUE(add(RemoteConnection(L"Проекты"), QString(), "Проекты отдела"));
    // The longest name the dialog allows.
    ASSERT_TRUE(add(RemoteConnection(L"Длинное", L"127.0.0.2"), "X:\\",
                    "Проектная документация отдела 26"));
    // Without a mountable drive the picture is still taken, with all three disconnected, and
    // the test says so by skipping.
    std::string whyNotConnected;
    ConnectionHandle* connected = addMounted("Z:\\", whyNotConnected);
    for (ConnectionHandle* handle : m_storage->connections()) {
        if (!connected && handle->customName == "Подключённое") {
            connected = handle;  // added, but its drive did not mount
        }
    }
    ASSERT_TRUE(connected);

    MainWindow window(*m_storage);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* table = window.findChild<ConnectionsListWidget*>();
    ASSERT_NE(table, nullptr);
    // The failed drives' status settles once their connection attempts have been refused.
    QTest::qWait(500);
    // One row selected, as a user about to press a button would have it.
    QAbstractItemModel* view = table->model();
    for (int row = 0; row < view->rowCount(); ++row) {
        if (view->index(row, 0).data().toString() == connected->customName) {
            table->selectionModel()->select(
                view->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    save(window, "main_window.png");
    if (!whyNotConnected.empty()) {
        GTEST_SKIP() << "the picture shows no connected drive: " << whyNotConnected;
    }
}

TEST_F(ScreenshotTest, ConnectionDialog) {
    // Shown as a user would fill it in; without a drive letter stored, no mount is attempted.
    tarvo_cm::Connection record = RemoteConnection(L"Архив", L"docs.example.org");
    std::get<tarvo::endpoint::Remote>(record.endpoint).port = 5432;
    ConnectionHandle* handle = add(record, QString(), "Архив договоров");
    ASSERT_TRUE(handle);

    DlgEditConnection dialog(m_storage->core(), handle, nullptr);
    auto* letters = dialog.findChild<QComboBox*>("driveLetterCombo");
    ASSERT_NE(letters, nullptr);
    letters->setCurrentText("Y:\\");
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    save(dialog, "connection_dialog.png");

    DlgEditConnection create(m_storage->core(), nullptr, nullptr);
    create.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&create));
    save(create, "connection_dialog_new.png");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The test registration asks for the offscreen platform; pictures want a real display.
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    ui_test::PrepareApplicationEnvironment();
    QApplication application(argc, argv);
    ui_test::InstallQtTranslation();
    return RUN_ALL_TESTS();
}
