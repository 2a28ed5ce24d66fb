// The driver check against a scripted driver service: each case sets the service's states over a
// virtual clock that the check's sleeper advances, and answers the message boxes it shows.

#include "DriverCheck.h"

#include <win_compat/service_control.h>
#include <win_compat/windows.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace {

using std::chrono::milliseconds;

const QString kApplicationName = QStringLiteral("Браузер хранилищ документов");
const QString kInstallQuestion =
    QStringLiteral("Для работы приложения необходимо установить драйвер.\nУстановить сейчас?");
const QString kRebootToFinish =
    QStringLiteral("Перезагрузите компьютер для завершения установки драйвера.");
const QString kRebootBeforeInstall =
    QStringLiteral("Перезагрузите компьютер перед установкой драйвера.");

// The driver service as the test scripts it.
class ScriptedService : public win_compat::ServiceControlBackend {
public:
    // The state at a moment of the virtual clock; nullopt while the service is not installed.
    std::function<std::optional<DWORD>(milliseconds)> stateAt = [](milliseconds) {
        return std::optional<DWORD>();
    };
    bool managerAvailable = true;
    bool elevationRefused = false;
    win_compat::DriverFault fault = win_compat::DriverFault::PendingRestart;
    // What the elevated installation run leaves behind when it ends.
    std::optional<DWORD> stateAfterInstallation;

    milliseconds now{0};
    std::vector<std::pair<std::wstring, std::wstring>> elevatedLaunches;
    bool waitedWithoutLimit = false;

    bool ManagerAvailable() override { return managerAvailable; }
    std::optional<DWORD> QueryState(const std::wstring& serviceName) override {
        EXPECT_EQ(serviceName, L"dokan1");
        return stateAt(now);
    }
    win_compat::DriverFault Diagnose(const std::wstring&) override { return fault; }
    bool Start(const std::wstring&) override { return false; }
    void InstallDriverPackage(const std::wstring&) override {}
    std::unique_ptr<win_compat::LaunchedProcess> LaunchElevated(
        const std::wstring& file, const std::wstring& parameters) override {
        elevatedLaunches.emplace_back(file, parameters);
        if (elevationRefused) {
            return nullptr;
        }
        return std::make_unique<InstallationRun>(*this);
    }

private:
    class InstallationRun : public win_compat::LaunchedProcess {
    public:
        explicit InstallationRun(ScriptedService& service) : m_service(service) {}
        bool WaitForExit(std::optional<milliseconds> timeout) override {
            m_service.waitedWithoutLimit = !timeout.has_value();
            const std::optional<DWORD> installed = m_service.stateAfterInstallation;
            m_service.stateAt = [installed](milliseconds) { return installed; };
            return true;
        }

    private:
        ScriptedService& m_service;
    };
};

struct ShownBox {
    QString title;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
};

// Answers every message box that opens, with the given button (Ok where that is the only one),
// and records what each box showed.
class MessageBoxAnswerer {
public:
    explicit MessageBoxAnswerer(QMessageBox::StandardButton answer) : m_answer(answer) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { answerVisibleBoxes(); });
        m_timer.start(10);
    }
    std::vector<ShownBox> shown;

private:
    void answerVisibleBoxes() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (box == nullptr || !box->isVisible()) {
                continue;
            }
            shown.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                             box->defaultButton() != nullptr
                                 ? box->standardButton(box->defaultButton())
                                 : QMessageBox::NoButton});
            QAbstractButton* button = box->button(m_answer);
            if (button == nullptr) {
                button = box->button(QMessageBox::Ok);
            }
            button->click();
        }
    }

    QMessageBox::StandardButton m_answer;
    QTimer m_timer;
};

class DriverCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_service = std::make_shared<ScriptedService>();
        win_compat::SetServiceControlBackend(m_service);
    }
    void TearDown() override { win_compat::SetServiceControlBackend(nullptr); }

    // Runs the check with a sleeper that only advances the virtual clock.
    bool runCheck() {
        return checkDriver([this](milliseconds duration) {
            m_sleeps.push_back(duration);
            m_service->now += duration;
        });
    }

    static std::optional<DWORD> state(DWORD value) { return value; }

    std::shared_ptr<ScriptedService> m_service;
    std::vector<milliseconds> m_sleeps;
};

TEST_F(DriverCheckTest, RunningServicePassesAtOnce) {
    m_service->stateAt = [](milliseconds) { return state(SERVICE_RUNNING); };
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    EXPECT_TRUE(runCheck());
    EXPECT_TRUE(answerer.shown.empty());
    EXPECT_TRUE(m_sleeps.empty());
    EXPECT_TRUE(m_service->elevatedLaunches.empty());
}

TEST_F(DriverCheckTest, StartingServiceIsWaitedForInStepsOfTwoSeconds) {
    m_service->stateAt = [](milliseconds now) {
        return state(now < milliseconds(5000) ? SERVICE_START_PENDING : SERVICE_RUNNING);
    };
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    EXPECT_TRUE(runCheck());
    EXPECT_EQ(m_sleeps, std::vector<milliseconds>(3, milliseconds(2000)));
    EXPECT_TRUE(answerer.shown.empty());
}

TEST_F(DriverCheckTest, ServiceStuckInAPendingStateGivesUpAfterThirtyQueries) {
    m_service->stateAt = [](milliseconds now) {
        // Paused and pending states all count as "not yet".
        return state(now < milliseconds(20000) ? SERVICE_PAUSED : SERVICE_CONTINUE_PENDING);
    };
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    EXPECT_FALSE(runCheck());
    EXPECT_EQ(m_sleeps.size(), 30u);
    EXPECT_TRUE(answerer.shown.empty());
}

TEST_F(DriverCheckTest, MissingServiceDeclinedEndsWithoutFurtherQuestions) {
    MessageBoxAnswerer answerer(QMessageBox::No);
    EXPECT_FALSE(runCheck());
    ASSERT_EQ(answerer.shown.size(), 1u);
    const ShownBox& question = answerer.shown[0];
    EXPECT_EQ(question.title, kApplicationName);
    EXPECT_EQ(question.text, kInstallQuestion);
    EXPECT_EQ(question.icon, QMessageBox::Question);
    EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(question.defaultButton, QMessageBox::Yes);
    EXPECT_TRUE(m_service->elevatedLaunches.empty());
}

TEST_F(DriverCheckTest, MissingServiceWithElevationRefusedEndsSilently) {
    m_service->elevationRefused = true;
    MessageBoxAnswerer answerer(QMessageBox::Yes);
    EXPECT_FALSE(runCheck());
    EXPECT_EQ(answerer.shown.size(), 1u) << "only the question";
    ASSERT_EQ(m_service->elevatedLaunches.size(), 1u);
    EXPECT_EQ(QString::fromStdWString(m_service->elevatedLaunches[0].first),
              QCoreApplication::applicationFilePath());
    EXPECT_EQ(m_service->elevatedLaunches[0].second, L"-install-driver");
    EXPECT_FALSE(m_service->waitedWithoutLimit);
}

TEST_F(DriverCheckTest, MissingServiceInstalledAndRunningPasses) {
    m_service->stateAfterInstallation = SERVICE_RUNNING;
    MessageBoxAnswerer answerer(QMessageBox::Yes);
    EXPECT_TRUE(runCheck());
    EXPECT_EQ(answerer.shown.size(), 1u);
    EXPECT_EQ(m_service->elevatedLaunches.size(), 1u);
    EXPECT_TRUE(m_service->waitedWithoutLimit) << "the installation run is waited for to its end";
    EXPECT_TRUE(m_sleeps.empty());
}

TEST_F(DriverCheckTest, ServiceStillMissingAfterInstallationEndsSilently) {
    MessageBoxAnswerer answerer(QMessageBox::Yes);
    EXPECT_FALSE(runCheck());
    EXPECT_EQ(answerer.shown.size(), 1u);
    EXPECT_TRUE(m_service->waitedWithoutLimit);
}

TEST_F(DriverCheckTest, ServiceInstalledButStoppedAsksForAReboot) {
    m_service->stateAfterInstallation = SERVICE_STOPPED;
    MessageBoxAnswerer answerer(QMessageBox::Yes);
    EXPECT_FALSE(runCheck());
    ASSERT_EQ(answerer.shown.size(), 2u);
    const ShownBox& message = answerer.shown[1];
    EXPECT_EQ(message.title, kApplicationName);
    EXPECT_EQ(message.text, kRebootToFinish);
    EXPECT_EQ(message.icon, QMessageBox::Information);
    EXPECT_EQ(message.buttons, QMessageBox::Ok);
}

TEST_F(DriverCheckTest, StoppedOrStoppingServiceTellsWhichRebootIsNeeded) {
    m_service->stateAt = [](milliseconds) { return state(SERVICE_STOPPED); };
    {
        MessageBoxAnswerer answerer(QMessageBox::Ok);
        EXPECT_FALSE(runCheck());
        ASSERT_EQ(answerer.shown.size(), 1u);
        EXPECT_EQ(answerer.shown[0].text, kRebootToFinish);
    }
    m_service->stateAt = [](milliseconds now) {
        return state(now < milliseconds(3000) ? SERVICE_START_PENDING : SERVICE_STOP_PENDING);
    };
    MessageBoxAnswerer answerer(QMessageBox::Ok);
    EXPECT_FALSE(runCheck());
    ASSERT_EQ(answerer.shown.size(), 1u);
    EXPECT_EQ(answerer.shown[0].text, kRebootBeforeInstall);
    EXPECT_EQ(answerer.shown[0].title, kApplicationName);
    EXPECT_EQ(answerer.shown[0].buttons, QMessageBox::Ok);
    EXPECT_TRUE(m_service->elevatedLaunches.empty());
}

// Where a restart would not help, the check says what is wrong and what to do instead.
TEST_F(DriverCheckTest, UnusableFuseNamesTheCauseInsteadOfAReboot) {
    using win_compat::DriverFault;
    const struct {
        DriverFault fault;
        std::optional<DWORD> state;  // nullopt: the driver counts as not installed
        QString cause;
        QString remedy;
    } cases[] = {
        {DriverFault::DeviceNotPermitted, SERVICE_STOPPED, "Нет прав на открытие устройства",
         "chmod 0666 /dev/fuse"},
        {DriverFault::DeviceMissing, SERVICE_STOPPED, "Устройство /dev/fuse отсутствует",
         "modprobe fuse"},
        {DriverFault::KernelModuleAbsent, std::nullopt, "не поддерживает FUSE", "модули ядра"},
        {DriverFault::HelperMissing, std::nullopt, "fusermount3", "apt install fuse3"},
    };
    for (const auto& scenario : cases) {
        SCOPED_TRACE(scenario.cause.toStdString());
        m_service->fault = scenario.fault;
        m_service->elevationRefused = true;
        const std::optional<DWORD> state = scenario.state;
        m_service->stateAt = [state](milliseconds) { return state; };
        MessageBoxAnswerer answerer(QMessageBox::Yes);
        EXPECT_FALSE(runCheck());
        ASSERT_FALSE(answerer.shown.empty());
        const ShownBox& message = answerer.shown.back();
        EXPECT_TRUE(message.text.contains(scenario.cause)) << message.text.toStdString();
        EXPECT_TRUE(message.text.contains(scenario.remedy)) << message.text.toStdString();
        EXPECT_FALSE(message.text.contains("Перезагрузите"));
        EXPECT_EQ(message.title, kApplicationName);
    }
}

TEST_F(DriverCheckTest, UnavailableServiceManagerEndsSilently) {
    m_service->managerAvailable = false;
    MessageBoxAnswerer answerer(QMessageBox::Yes);
    EXPECT_FALSE(runCheck());
    EXPECT_TRUE(answerer.shown.empty());
}

}  // namespace

int main(int argc, char** argv) {
    // Listing the tests happens without the test environment; message boxes need no screen.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(kApplicationName);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
