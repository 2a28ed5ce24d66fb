#include "DriverCheck.h"

#include <logging/logging.h>
#include <win_compat/service_control.h>
#include <win_compat/windows.h>

#include <QCoreApplication>
#include <QMessageBox>
#include <QObject>

#include <cwchar>
#include <thread>

namespace {

constexpr wchar_t kDriverService[] = L"dokan1";
constexpr wchar_t kInstallDriverOption[] = L"-install-driver";
constexpr int kMaximumStatusQueries = 30;
constexpr std::chrono::seconds kPollInterval{2};

// A service control manager or service handle, closed when it goes out of scope.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle = nullptr) : m_handle(handle) {}
    ~ServiceHandle() { reset(); }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;

    void reset(SC_HANDLE handle = nullptr) {
        if (m_handle != nullptr) {
            CloseServiceHandle(m_handle);
        }
        m_handle = handle;
    }
    SC_HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};

// Message boxes of the check carry the application's name as their title and have no parent:
// no window exists yet.
QString boxTitle() {
    return QCoreApplication::applicationName();
}

bool userAgreesToInstall() {
    const QMessageBox::StandardButton answer = QMessageBox::question(
        nullptr, boxTitle(),
        QObject::tr("Для работы приложения необходимо установить драйвер.\nУстановить сейчас?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    return answer != QMessageBox::No;
}

void tellUser(const QString& text) {
    QMessageBox::information(nullptr, boxTitle(), text, QMessageBox::Ok);
}

// Relaunches this executable elevated in its installation mode and waits until that run ends.
// A refused elevation (or a failed launch) returns at once.
void runElevatedInstallation() {
    WCHAR executable[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, executable, MAX_PATH);

    SHELLEXECUTEINFOW request = {};
    request.cbSize = sizeof(request);
    request.fMask = SEE_MASK_NOCLOSEPROCESS;
    request.lpVerb = L"runas";
    request.lpFile = executable;
    request.lpParameters = kInstallDriverOption;
    request.nShow = SW_SHOW;

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    if (!ShellExecuteExW(&request)) {
        KELVO_LOG(logging::kWarning) << L"Не удалось запустить установку драйвера";
        return;
    }
    if (request.hProcess != nullptr) {
        WaitForSingleObject(request.hProcess, INFINITE);
        CloseHandle(request.hProcess);
    }
}

// What the user can do about a driver that cannot be used; empty where nothing is known.
QString faultAdvice(win_compat::DriverFault fault) {
    using win_compat::DriverFault;
    switch (fault) {
        case DriverFault::HelperMissing:
            return QObject::tr(
                "Не найдена программа подключения дисков fusermount3.\n"
                "Установите пакет fuse3 (sudo apt install fuse3) и запустите "
                "программу снова.");
        case DriverFault::KernelModuleAbsent:
            return QObject::tr(
                "Ядро системы не поддерживает FUSE: модуль fuse не найден.\n"
                "Установите модули ядра для вашей версии (пакет "
                "linux-modules-extra или linux-image) и запустите программу снова.");
        case DriverFault::DeviceMissing:
            return QObject::tr(
                "Устройство /dev/fuse отсутствует: модуль FUSE не загружен.\n"
                "Загрузите его командой «sudo modprobe fuse» и запустите программу "
                "снова.");
        case DriverFault::DeviceNotPermitted:
            return QObject::tr(
                "Нет прав на открытие устройства /dev/fuse.\n"
                "Попросите администратора разрешить его чтение и запись "
                "пользователям (sudo chmod 0666 /dev/fuse) и запустите программу "
                "снова.");
        case DriverFault::None:
        case DriverFault::PendingRestart:
            break;
    }
    return {};
}

win_compat::DriverFault diagnoseDriver() {
    return win_compat::CurrentServiceControlBackend()->Diagnose(kDriverService);
}

// Queries the service until it runs, stops or stays pending for too long.
bool waitUntilRunning(SC_HANDLE service, const DriverCheckSleeper& sleep) {
    for (int queries = 0; queries < kMaximumStatusQueries;) {
        SERVICE_STATUS status = {};
        // A failed query reports no state and counts like a pending one: the service may still
        // answer at the next query.
        if (!QueryServiceStatus(service, &status)) {
            KELVO_LOG(logging::kWarning)
                << L"Не удалось запросить состояние службы драйвера " << kDriverService;
        }
        switch (status.dwCurrentState) {
            case SERVICE_RUNNING:
                return true;
            case SERVICE_STOPPED: {
                // A restart helps only a driver that waits for one; say what else is wrong.
                const QString advice = faultAdvice(diagnoseDriver());
                tellUser(advice.isEmpty()
                             ? QObject::tr("Перезагрузите компьютер для завершения установки "
                                           "драйвера.")
                             : advice);
                return false;
            }
            case SERVICE_STOP_PENDING:
                tellUser(QObject::tr("Перезагрузите компьютер перед установкой драйвера."));
                return false;
            default:
                sleep(kPollInterval);
                ++queries;
                break;
        }
    }
    KELVO_LOG(logging::kWarning) << L"Служба драйвера " << kDriverService
                                 << L" не запустилась за отведённое время";
    return false;
}

}  // namespace

bool isInstallDriverMode() {
    int argumentCount = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    const bool installMode = arguments != nullptr && argumentCount >= 2 &&
                             std::wcscmp(arguments[1], kInstallDriverOption) == 0;
    LocalFree(static_cast<void*>(arguments));
    return installMode;
}

int installDriver() {
    InstallHinfSectionW(nullptr, nullptr, L"DefaultInstall 123 .\\driver\\dokan.inf", 0);
    // Declared in this order so that the service handle is closed before the manager's.
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return 0;
    }
    const ServiceHandle service(OpenServiceW(manager.get(), kDriverService, SC_MANAGER_ALL_ACCESS));
    if (service) {
        StartServiceW(service.get(), 0, nullptr);
    }
    return 0;
}

void sleepOnThisThread(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

bool checkDriver(const DriverCheckSleeper& sleep) {
    // Declared in this order so that the service handle is closed before the manager's.
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (!manager) {
        KELVO_LOG(logging::kWarning) << L"Не удалось открыть диспетчер служб";
        return false;
    }
    ServiceHandle service(OpenServiceW(manager.get(), kDriverService, SERVICE_QUERY_STATUS));
    if (!service) {
        if (!userAgreesToInstall()) {
            return false;
        }
        runElevatedInstallation();
        service.reset(OpenServiceW(manager.get(), kDriverService, SERVICE_QUERY_STATUS));
        if (!service) {
            KELVO_LOG(logging::kWarning)
                << L"Служба драйвера " << kDriverService << L" не установлена";
            const QString advice = faultAdvice(diagnoseDriver());
            if (!advice.isEmpty()) {
                tellUser(advice);
            }
            return false;
        }
    }
    return waitUntilRunning(service.get(), sleep);
}
