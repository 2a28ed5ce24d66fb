#include "gui_test_support.h"

#include "RussianButtonTexts.h"

#include "test_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>
#include <QWidget>
#include <chrono>

#include <cstdlib>

namespace ui_test {

namespace {

constexpr int kPollIntervalMs = 20;
constexpr int kMountTimeoutMs = 20000;

QTemporaryDir& EnvironmentFolder() {
    static QTemporaryDir folder;
    return folder;
}

}  // namespace

void PrepareApplicationEnvironment() {
    const QString root = EnvironmentFolder().path();
    const QString config = root + "/config";
    const QString data = root + "/data";
    const QString drives = root + "/drives";
    for (const QString& folder : {config, data, drives}) {
        QDir().mkpath(folder);
    }
    // Settings, autostart entries and the local repository must never touch the real user's.
    ::setenv("XDG_CONFIG_HOME", config.toLocal8Bit().constData(), 1);
    ::setenv("KELVO_DATA_DIR", data.toLocal8Bit().constData(), 1);
    ::setenv("KELVO_DRIVES_DIR", drives.toLocal8Bit().constData(), 1);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, config);
    QCoreApplication::setOrganizationName("Ostrel");
    QCoreApplication::setApplicationName("Браузер хранилищ документов");
    // Lets QSignalSpy keep the handle argument of the storage's signals.
    qRegisterMetaType<ConnectionHandle*>("ConnectionHandle*");
}

void InstallQtTranslation() {
    static QTranslator translator;
    if (translator.load("qtbase_ru", QLibraryInfo::location(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(&translator);
    }
    static RussianButtonTexts buttonTexts;
    QCoreApplication::installTranslator(&buttonTexts);
}

QString DrivesFolder() {
    return EnvironmentFolder().path() + "/drives";
}

ModalAnswers::ModalAnswers() {
    m_timer.setInterval(kPollIntervalMs);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
    m_timer.start();
}

ModalAnswers::~ModalAnswers() {
    EXPECT_TRUE(m_handlers.empty())
        << m_handlers.size() << " expected modal window(s) never appeared";
}

void ModalAnswers::then(Handler handler) {
    m_handlers.push_back(std::move(handler));
}

void ModalAnswers::poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == m_lastHandled || !modal->isVisible()) {
        return;
    }
    m_lastHandled = modal;
    if (m_handlers.empty()) {
        ADD_FAILURE() << "unexpected modal window \"" << modal->windowTitle().toStdString() << "\"";
        if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        } else {
            modal->close();
        }
        return;
    }
    Handler handler = std::move(m_handlers.front());
    m_handlers.pop_front();
    handler(modal);
}

ModalAnswers::Handler RecordAndPress(MessageBoxSeen& seen, int standardButton) {
    return [&seen, standardButton](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr) << "expected a message box, got \""
                                << modal->windowTitle().toStdString() << "\"";
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.warning = box->icon() == QMessageBox::Warning;
        seen.information = box->icon() == QMessageBox::Information;
        seen.buttons.clear();
        for (QAbstractButton* button : box->buttons()) {
            seen.buttons << button->text();
        }
        QAbstractButton* button =
            box->button(static_cast<QMessageBox::StandardButton>(standardButton));
        ASSERT_NE(button, nullptr) << "the message box lacks the button to press";
        button->click();
    };
}

std::string MountUnavailableReason() {
    const std::string fuse = kelvo_test::FuseUnavailableReason();
    if (!fuse.empty()) {
        return fuse;
    }
    if (!tarvo::CreateCore()) {
        return "the repository core is not built in yet (tarvo::CreateCore returns null)";
    }
    return {};
}

void StorageTest::SetUp() {
    std::shared_ptr<tarvo::ICore> core = tarvo::CreateCore();
    if (!core) {
        GTEST_SKIP() << "the repository core is not built in yet (tarvo::CreateCore returns null)";
    }
    QSettings().clear();
    m_folder = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(m_folder->isValid());
    const ConnectionsStorage::Paths paths{m_folder->filePath("ConnectionsConfig.xml"),
                                          m_folder->filePath("mount_points.xml")};
    m_storage = std::make_unique<ConnectionsStorage>(paths, std::move(core));
    ConnectionsStorage::setInstance(m_storage.get());
}

void StorageTest::TearDown() {
    if (!m_storage) {
        return;
    }
    // Drives must be gone before their folders are deleted.
    for (ConnectionHandle* handle : m_storage->connections()) {
        if (!handle->isConnected()) {
            continue;
        }
        QSignalSpy unmounted(m_storage.get(), &ConnectionsStorage::driveUnmounted);
        m_storage->unmountDrive(handle->connection);
        EXPECT_TRUE(unmounted.count() > 0 || unmounted.wait(kMountTimeoutMs))
            << "a drive did not unmount";
    }
    ConnectionsStorage::setInstance(nullptr);
    // Drives still connecting (an unreachable server) end before the storage and the process.
    m_storage->unmountAllAndWait(std::chrono::seconds(10));
    m_storage.reset();
    QSettings().clear();
}

tarvo_cm::Connection StorageTest::RemoteConnection(const std::wstring& name,
                                                   const std::wstring& host) {
    tarvo_cm::Connection connection;
    tarvo::endpoint::Remote remote;
    remote.host = host;
    remote.port = 1;  // nothing listens there: connecting fails at once
    remote.database = name;
    connection.endpoint = remote;
    connection.credentials = tarvo::auth::Basic{L"tester", L"secret"};
    connection.name = name;
    return connection;
}

tarvo_cm::Connection StorageTest::LocalConnection(const std::wstring& name) {
    tarvo_cm::Connection connection;
    connection.endpoint = tarvo::endpoint::Local{};
    connection.credentials = tarvo::auth::Current{};
    connection.name = name;
    return connection;
}

ConnectionHandle* StorageTest::add(const tarvo_cm::Connection& connection, const QString& path,
                                   const QString& customName) {
    m_storage->addConnection(connection, MountPoint{path, customName});
    for (ConnectionHandle* handle : m_storage->connections()) {
        if (handle->connection.id == connection.id) {
            return handle;
        }
    }
    return nullptr;
}

ConnectionHandle* StorageTest::addMounted(const QString& path, std::string& whyNot) {
    whyNot = MountUnavailableReason();
    if (!whyNot.empty()) {
        return nullptr;
    }
    QSignalSpy mounted(m_storage.get(), &ConnectionsStorage::driveMounted);
    ConnectionHandle* handle = add(LocalConnection(L"Локальное"), path, "Подключённое");
    if (!handle) {
        whyNot = "the storage refused the local connection";
        return nullptr;
    }
    // The drive thread clears `starting` once the drive is mounted or has given up; waiting
    // longer than that would only wait for the timeout.
    const bool settled = QTest::qWaitFor(
        [&] { return (handle->isConnected() && mounted.count() > 0) || !handle->starting->load(); },
        kMountTimeoutMs);
    if (!handle->isConnected() || !settled) {
        whyNot = "the local repository's drive did not mount on " + path.toStdString() +
                 " (the drive layer cannot mount in this build)";
        return nullptr;
    }
    if (mounted.count() == 0 && !mounted.wait(kMountTimeoutMs)) {
        ADD_FAILURE() << "the drive on " << path.toStdString()
                      << " mounted but driveMounted never came";
        whyNot = "see the failure above";
        return nullptr;
    }
    return handle;
}

}  // namespace ui_test

void PrintTo(const QString& text, std::ostream* stream) {
    *stream << '"' << text.toStdString() << '"';
}

void PrintTo(const QStringList& texts, std::ostream* stream) {
    *stream << '{';
    for (const QString& text : texts) {
        *stream << (&text == &texts.front() ? "" : ", ");
        PrintTo(text, stream);
    }
    *stream << '}';
}
