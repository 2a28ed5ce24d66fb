// The process entry: the driver-installation mode, or the tray application.

#include "ConnectionsStorage.h"
#include "DriverCheck.h"
#include "HelpKeyFilter.h"
#include "LaterStarts.h"
#include "MainWindow.h"
#include "RussianButtonTexts.h"

#include <dokan/dokan.h>
#include <logging/dump_util.h>
#include <logging/logging.h>
#include <logging/private_files.h>
#include <singleapplication.h>
#include <win_compat/console_control.h>
#include <win_compat/handle_inheritance.h>
#include <win_compat/windows.h>

#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QTranslator>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

namespace {

int wideArgumentCount() {
    int argumentCount = 0;
    LocalFree(static_cast<void*>(CommandLineToArgvW(GetCommandLineW(), &argumentCount)));
    return argumentCount;
}

// Set once the end of the session or Ctrl+C has asked the program to end.
std::atomic<bool> g_quitRequested{false};
// Set when the main thread has finished its teardown: the process is ending by itself.
std::atomic<bool> g_tornDown{false};

// How long the main thread has, after a quit request, to reach the end on its own; then the
// program ends from the signal thread. Together with the unmount that follows, the program is
// gone within two seconds of the request, whatever the main thread was waiting for (a keyring
// that does not answer, a connection attempt of a dialog).
constexpr auto kOrderlyEndLimit = std::chrono::milliseconds(1200);
constexpr auto kEmergencyUnmountLimit = std::chrono::milliseconds(500);

// The end when the main thread is held up: the drives are removed the usual way and the process
// ends. Saves replace their file in one step, so no file is left half-written.
[[noreturn]] void endNow() {
    KELVO_LOG(logging::kWarning)
        << L"the program did not end in time after the request to end; its drives are removed "
           L"and it ends now";
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const std::wstring mountPoint = std::wstring(1, letter) + L":\\";
        DokanRemoveMountPoint(mountPoint.c_str());
    }
    const auto deadline = std::chrono::steady_clock::now() + kEmergencyUnmountLimit;
    while (ConnectionsStorage::runningDriveThreads() > 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    logging::Flush();
    std::_Exit(0);
}

// Log-out, shutdown and Ctrl+C end the event loop the way the tray's exit item does, so the
// program tears down in order. Runs on the signal thread. A nested event loop (a keyring wait, a
// dialog) that takes the quit ends too, and the flag keeps the main loop from starting afterwards.
BOOL quitOnSessionEnd(DWORD /*controlType*/) {
    if (g_quitRequested.exchange(true)) {
        return TRUE;
    }
    ConnectionsStorage::interruptLoading();
    // Before the application object exists the flag alone ends the start.
    if (QCoreApplication* application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(application, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    std::thread([] {
        std::this_thread::sleep_for(kOrderlyEndLimit);
        if (!g_tornDown.load()) {
            endNow();
        }
    }).detach();
    return TRUE;
}

// The crash-dump folder in the cache location. `firstStart` tells whether it had to be created:
// only the very first start of the program for this user (or one after the folder was removed)
// opens the main window. Throws std::filesystem::filesystem_error when the folder can neither be
// examined nor created.
std::filesystem::path prepareCrashDumpFolder(bool& firstStart) {
    // In the file system's own encoding: a path made from a wide string goes through the C++
    // locale, which is "C" here and cannot hold the Cyrillic application name in the path.
    const std::filesystem::path folder =
        QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::CacheLocation))
            .toStdString();
    std::error_code error;
    const bool exists = std::filesystem::exists(folder, error);
    if (error && error != std::errc::no_such_file_or_directory &&
        error != std::errc::not_a_directory && error != std::errc::filename_too_long) {
        throw std::filesystem::filesystem_error("exists", folder, error);
    }
    firstStart = !exists;
    private_files::CreateFolders(folder, error);
    if (error) {
        throw std::filesystem::filesystem_error("create_directories", folder, error);
    }
    return folder;
}

// The folder of mount_points.xml; on Linux nothing else creates it before the first save.
void prepareConfigurationFolder() {
    std::error_code error;
    private_files::CreateFolders(
        QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation))
            .toStdString(),
        error);
    if (error) {
        KELVO_LOG(logging::kError) << L"cannot create the configuration folder: "
                                   << QString::fromStdString(error.message()).toStdWString();
    }
}

// The settings store (window geometry, table layout) is the user's alone. Qt keeps the mode of a
// file it replaces, so a file made 0600 before Qt first writes it stays so.
void prepareSettingsFile() {
    const std::filesystem::path file = QFile::encodeName(QSettings().fileName()).toStdString();
    std::error_code error;
    private_files::CreateFolders(file.parent_path(), error);
    private_files::CreatePrivateFile(file, error);
    if (error) {
        KELVO_LOG(logging::kError)
            << L"cannot prepare the settings file " << logging::PathText(file) << L": "
            << QString::fromStdString(error.message()).toStdWString();
    }
}

// What the primary instance holds from start-up to its end, torn down once and in order however
// main() returns: the drives are unmounted, the translators and the application object go (which
// releases the single-instance block) and the log is written out.
class ProcessTeardown {
public:
    ProcessTeardown() = default;
    ~ProcessTeardown();
    ProcessTeardown(const ProcessTeardown&) = delete;
    ProcessTeardown& operator=(const ProcessTeardown&) = delete;

    std::unique_ptr<SingleApplication> application;
    std::unique_ptr<QTranslator> qtTranslation;
    // Installed last, so asked first; lives no longer than the translation above.
    std::unique_ptr<RussianButtonTexts> buttonTexts;
    ConnectionsStorage* storage = nullptr;  // never destroyed; only its drives end
};

ProcessTeardown::~ProcessTeardown() {
    // Unmount in order rather than ending with drives still serving requests: uploads in progress
    // finish, and no program is left holding a file on a drive that vanished mid-request.
    if (storage != nullptr) {
        storage->unmountAllAndWait(std::chrono::seconds(10));
    }
    buttonTexts.reset();
    qtTranslation.reset();
    application.reset();
    logging::Flush();
    g_tornDown.store(true);
}

// The application object, which is the single-instance guard.
std::unique_ptr<SingleApplication> createApplication() {
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    // What Qt reads from the executable's version resource on Windows; part of the instance key,
    // so that another version of the program runs as a primary of its own.
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVO_VERSION));
    // Qt is never given the program's arguments: with a null vector it sees only the program name.
    int argumentCount = wideArgumentCount();
    return std::make_unique<SingleApplication>(argumentCount, nullptr, true,
                                               SingleApplication::NotifyOnSecondary, 1000);
}

void setUpPrimaryInstance() {
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QCoreApplication::setOrganizationName(QStringLiteral("Ostrel"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("ostrel.example"));
    QCoreApplication::setApplicationName(QObject::tr("Браузер хранилищ документов"));
    QCoreApplication::setAttribute(Qt::AA_DisableWindowContextHelpButton);
    // Sees the events of every window of the process; lives until the process ends.
    QCoreApplication::instance()->installEventFilter(new HelpKeyFilter());
}

void installTranslations(ProcessTeardown& process) {
    process.qtTranslation = std::make_unique<QTranslator>();
    if (process.qtTranslation->load(QStringLiteral("qtbase_ru"),
                                    QLibraryInfo::location(QLibraryInfo::TranslationsPath),
                                    QString(), QString())) {
        QCoreApplication::installTranslator(process.qtTranslation.get());
    }
    process.buttonTexts = std::make_unique<RussianButtonTexts>();
    QCoreApplication::installTranslator(process.buttonTexts.get());
}

// The crash-dump folder (handed to the logging library), the configuration folder and the settings
// file. Whether this is the first start for the user; nothing when the crash-dump folder cannot be
// made, which the user has then been told.
std::optional<bool> prepareFolders() {
    bool firstStart = false;
    std::filesystem::path crashDumpFolder;
    try {
        crashDumpFolder = prepareCrashDumpFolder(firstStart);
    } catch (const std::filesystem::filesystem_error& error) {
        KELVO_LOG(logging::kError) << QString::fromUtf8(error.what()).toStdWString();
        QMessageBox::critical(nullptr, QCoreApplication::applicationName(),
                              QString::fromUtf8(error.what()));
        return std::nullopt;
    }
    dump_util::InitDumps(crashDumpFolder);
    prepareConfigurationFolder();
    prepareSettingsFile();
    return firstStart;
}

// The one storage of the process, kept in the process-wide pointer and never destroyed. Creating it
// loads the saved connections and mounts their drives.
ConnectionsStorage& createStorage() {
    if (ConnectionsStorage::instance() == nullptr) {
        ConnectionsStorage::setInstance(new ConnectionsStorage());
    }
    return *ConnectionsStorage::instance();
}

// Shows the tray icon (and the window where it must), runs the event loop and stores the window's
// geometry; the event loop's exit code.
int runMainWindow(ConnectionsStorage& storage, SingleApplication& application, bool firstStart) {
    // A quit that came while loading may have been taken by a nested event loop (a keyring wait);
    // the main loop would never see it, so it does not start then.
    if (g_quitRequested.load()) {
        return 0;
    }
    MainWindow mainWindow(storage);  // its destructor stores the window geometry
    bringWindowForwardOnLaterStarts(application, mainWindow);
    // Only the very first start for the user opens the window; later ones show the tray icon
    // alone. Without a tray nothing would lead back to the program, so the window opens then too.
    mainWindow.setVisible(firstStart || !MainWindow::trayAvailable());
    if (g_quitRequested.load()) {
        return 0;
    }
    return QApplication::exec();
}

}  // namespace

int main(int /*argc*/, char* /*argv*/[]) {
    win_compat::StopHandleInheritance();
    logging::Initialize();
    logging::InstallQtMessageHandler();
    if (isInstallDriverMode()) {
        return installDriver();
    }

    // From here on the end of the session ends the program in order, from the first moment: a
    // signal that came before the handler would kill the process outright.
    SetConsoleCtrlHandler(quitOnSessionEnd, TRUE);
    ProcessTeardown process;
    process.application = createApplication();
    if (!process.application->isPrimaryInstance()) {
        // The primary has been told and brings its window forward; this start has nothing to do.
        QThread::sleep(1);
        return 0;
    }
    setUpPrimaryInstance();
    installTranslations(process);
    const std::optional<bool> firstStart = prepareFolders();
    if (!firstStart) {
        return 1;
    }
    // Without a running driver no drive can be mounted: no storage, window or tray icon then. The
    // check has already told the user why, where there was anything to tell.
    if (!checkDriver()) {
        return 0;
    }
    process.storage = &createStorage();
    return runMainWindow(*process.storage, *process.application, *firstStart);
}
