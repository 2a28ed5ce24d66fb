// The service control calls, answered by the installed ServiceControlBackend.

#include <win_compat/service_control.h>
#include <win_compat/windows.h>

#include <mutex>
#include <unordered_set>

struct SC_HANDLE__ {
    bool isManager = false;
    std::wstring serviceName;
    DWORD access = 0;
    std::shared_ptr<win_compat::ServiceControlBackend> backend;
};

namespace {

std::mutex g_backendMutex;
std::shared_ptr<win_compat::ServiceControlBackend> g_backend;

class ServiceHandles {
public:
    static ServiceHandles& Instance() {
        static ServiceHandles handles;
        return handles;
    }
    SC_HANDLE Add(SC_HANDLE__ record) {
        auto* handle = new SC_HANDLE__(std::move(record));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_live.insert(handle);
        return handle;
    }
    // A copy of the record, or nothing for a handle that is not open.
    std::optional<SC_HANDLE__> Find(SC_HANDLE handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_live.count(handle) == 0) {
            return std::nullopt;
        }
        return *handle;
    }
    bool Remove(SC_HANDLE handle) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_live.erase(handle) == 0) {
                return false;
            }
        }
        delete handle;
        return true;
    }

private:
    std::mutex m_mutex;
    std::unordered_set<SC_HANDLE> m_live;
};

bool HasAccess(DWORD granted, DWORD wanted) {
    return (granted & wanted) == wanted;
}

std::optional<SC_HANDLE__> FindService(SC_HANDLE handle) {
    std::optional<SC_HANDLE__> record = ServiceHandles::Instance().Find(handle);
    if (!record || record->isManager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return std::nullopt;
    }
    return record;
}

}  // namespace

namespace win_compat {

void SetServiceControlBackend(std::shared_ptr<ServiceControlBackend> backend) {
    std::lock_guard<std::mutex> lock(g_backendMutex);
    g_backend = std::move(backend);
}

std::shared_ptr<ServiceControlBackend> CurrentServiceControlBackend() {
    {
        std::lock_guard<std::mutex> lock(g_backendMutex);
        if (g_backend) {
            return g_backend;
        }
    }
    return SystemServiceControlBackend();
}

}  // namespace win_compat

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if ((lpMachineName != nullptr && *lpMachineName != L'\0') ||
        (lpDatabaseName != nullptr && *lpDatabaseName != L'\0')) {
        SetLastError(ERROR_DATABASE_DOES_NOT_EXIST);  // only this machine's manager exists
        return nullptr;
    }
    auto backend = win_compat::CurrentServiceControlBackend();
    if (!backend->ManagerAvailable()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    SC_HANDLE__ record;
    record.isManager = true;
    record.access = dwDesiredAccess;
    record.backend = std::move(backend);
    return ServiceHandles::Instance().Add(std::move(record));
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    const std::optional<SC_HANDLE__> manager = ServiceHandles::Instance().Find(hSCManager);
    if (!manager || !manager->isManager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (lpServiceName == nullptr) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    if (!manager->backend->IsInstalled(lpServiceName)) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    SC_HANDLE__ record;
    record.serviceName = lpServiceName;
    record.access = dwDesiredAccess;
    record.backend = manager->backend;
    return ServiceHandles::Instance().Add(std::move(record));
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    const std::optional<SC_HANDLE__> service = FindService(hService);
    if (!service) {
        return FALSE;
    }
    if (lpServiceStatus == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!HasAccess(service->access, SERVICE_QUERY_STATUS)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::optional<DWORD> state = service->backend->QueryState(service->serviceName);
    if (!state) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);  // removed since it was opened
        return FALSE;
    }
    *lpServiceStatus = SERVICE_STATUS{};
    lpServiceStatus->dwServiceType = SERVICE_FILE_SYSTEM_DRIVER;
    lpServiceStatus->dwCurrentState = *state;
    return TRUE;
}

BOOL StartServiceW(SC_HANDLE hService, DWORD, LPCWSTR*) {
    const std::optional<SC_HANDLE__> service = FindService(hService);
    if (!service) {
        return FALSE;
    }
    if (!HasAccess(service->access, SERVICE_START)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    const std::optional<DWORD> state = service->backend->QueryState(service->serviceName);
    if (!state) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    if (*state == SERVICE_RUNNING) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return FALSE;
    }
    if (!service->backend->Start(service->serviceName)) {
        SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    if (!ServiceHandles::Instance().Remove(hSCObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void InstallHinfSectionW(HWND, HINSTANCE, LPCWSTR CommandLine, INT) {
    win_compat::CurrentServiceControlBackend()->InstallDriverPackage(
        CommandLine != nullptr ? CommandLine : L"");
}
