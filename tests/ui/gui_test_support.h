#pragma once

// Shared set-up of the user-interface tests: a real connections storage on temporary files with
// the real repository core, and a way to answer the modal dialogs and message boxes that the code
// under test opens.

#include "ConnectionsStorage.h"

#include <gtest/gtest.h>

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

class QMessageBox;
class QWidget;

namespace ui_test {

// What the test program sets before QApplication exists: temporary settings, data and drives
// folders, the application's names and Qt's Russian translation. Call once from main().
void PrepareApplicationEnvironment();
// Installs Qt's own Russian texts ("ОК", "Отмена"), as the program does at start.
void InstallQtTranslation();
// The temporary folder that stands for the user's drives (KELVO_DRIVES_DIR).
QString DrivesFolder();

// Answers modal windows one after another: each handler receives the next modal widget that
// appears and must close it (or open the next one). Handlers left over at destruction, or a modal
// window that appears with no handler left, fail the test.
class ModalAnswers {
public:
    using Handler = std::function<void(QWidget* modal)>;

    ModalAnswers();
    ~ModalAnswers();
    ModalAnswers(const ModalAnswers&) = delete;
    ModalAnswers& operator=(const ModalAnswers&) = delete;

    void then(Handler handler);
    int pending() const { return static_cast<int>(m_handlers.size()); }

private:
    void poll();

    QTimer m_timer;
    std::deque<Handler> m_handlers;
    QPointer<QWidget> m_lastHandled;
};

// A message box as the user saw it.
struct MessageBoxSeen {
    QString title;
    QString text;
    QStringList buttons;  // the button texts, in the box's order
    bool warning = false;
    bool information = false;
};

// Records a message box and presses the given button on it.
ModalAnswers::Handler RecordAndPress(MessageBoxSeen& seen, int standardButton);

// Owns one ConnectionsStorage on temporary configuration files and makes it the process-wide
// instance for the test's lifetime. Tests that need it skip when the repository core is missing.
class StorageTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A record of a server connection that no server answers (loopback, closed port); `host`
    // tells records apart. Its drive never mounts.
    static tarvo_cm::Connection RemoteConnection(const std::wstring& name,
                                                 const std::wstring& host = L"127.0.0.1");
    // A record of the user's built-in local repository with the current user.
    static tarvo_cm::Connection LocalConnection(const std::wstring& name);

    // Adds a connection and returns its handle (null when the storage refused it).
    ConnectionHandle* add(const tarvo_cm::Connection& connection, const QString& path = {},
                          const QString& customName = {});
    // Adds the local connection on `path` (shown as "Подключённое") and waits until its drive
    // is mounted. Returns the handle, or null with the reason why a mounted drive cannot be had.
    ConnectionHandle* addMounted(const QString& path, std::string& whyNot);

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<ConnectionsStorage> m_storage;
};

// Why a connected (mounted) connection cannot be had in this build; empty when it can.
std::string MountUnavailableReason();

}  // namespace ui_test

// Readable Qt texts in test failure messages.
void PrintTo(const QString& text, std::ostream* stream);
void PrintTo(const QStringList& texts, std::ostream* stream);

// Skips the test unless a local connection can be mounted on a real drive.
#define UI_TEST_ADD_MOUNTED(handleVariable, path)                      \
    std::string uiTestWhyNot;                                          \
    ConnectionHandle* handleVariable = addMounted(path, uiTestWhyNot); \
    if (!handleVariable) {                                             \
        GTEST_SKIP() << uiTestWhyNot;                                  \
    }
