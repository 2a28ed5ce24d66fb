// The user-interface tests need a QApplication that exists before any widget and outlives them
// all, with the application's names and settings as the program sets them up.
#include "gui_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // CTest sets the offscreen platform; listing the tests happens without it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ui_test::PrepareApplicationEnvironment();
    QApplication application(argc, argv);
    ui_test::InstallQtTranslation();
    return RUN_ALL_TESTS();
}
