// Users, the own executable, starting programs and waiting for them.

#include <win_compat/help_viewer.h>
#include <win_compat/service_control.h>
#include <win_compat/windows.h>

#include <platform_base/text_codec.h>
#include <platform_base/user_folders.h>
#include "../../common/child_process.h"

#include <logging/logging.h>

#include <unistd.h>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <unordered_set>

namespace {

// A process handle as ShellExecuteExW hands it out.
struct ProcessObject {
    std::unique_ptr<win_compat::LaunchedProcess> process;
};

class ProcessObjects {
public:
    static ProcessObjects& Instance() {
        static ProcessObjects objects;
        return objects;
    }
    HANDLE Add(std::unique_ptr<win_compat::LaunchedProcess> process) {
        auto* object = new ProcessObject{std::move(process)};
        std::lock_guard<std::mutex> lock(m_mutex);
        m_live.insert(object);
        return object;
    }
    // The object behind a handle, or null for something this module never handed out.
    ProcessObject* Find(HANDLE handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto* object = static_cast<ProcessObject*>(handle);
        return m_live.count(object) != 0 ? object : nullptr;
    }
    bool Remove(HANDLE handle) {
        auto* object = static_cast<ProcessObject*>(handle);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_live.erase(object) == 0) {
                return false;
            }
        }
        delete object;
        return true;
    }

private:
    std::mutex m_mutex;
    std::unordered_set<ProcessObject*> m_live;
};

// A program started for the "open" verb.
class OpenedProcess : public win_compat::LaunchedProcess {
public:
    explicit OpenedProcess(kelvo_platform::ChildProcess child) : m_child(std::move(child)) {}
    bool WaitForExit(std::optional<std::chrono::milliseconds> timeout) override {
        return m_child.Wait(timeout).has_value();
    }

private:
    kelvo_platform::ChildProcess m_child;
};

bool VerbIs(LPCWSTR verb, const wchar_t* expected) {
    return verb != nullptr && std::wcscmp(verb, expected) == 0;
}

}  // namespace

BOOL GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer) {
    if (pcbBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string name = kelvo_platform::UserName();
    if (name.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    const std::wstring wide = kelvo_platform::Utf8ToWideLossy(name);
    const auto needed = static_cast<DWORD>(wide.size() + 1);
    if (lpBuffer == nullptr || *pcbBuffer < needed) {
        *pcbBuffer = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::wmemcpy(lpBuffer, wide.c_str(), needed);
    *pcbBuffer = needed;
    return TRUE;
}

DWORD GetModuleFileNameW(HANDLE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);  // only the executable itself is known here
        return 0;
    }
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    const std::wstring wide =
        kelvo_platform::Utf8ToWideLossy(std::string_view(path, static_cast<std::size_t>(length)));
    if (wide.size() >= nSize) {
        // Windows truncates, terminates, and reports the full buffer.
        std::wmemcpy(lpFilename, wide.c_str(), nSize - 1);
        lpFilename[nSize - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    std::wmemcpy(lpFilename, wide.c_str(), wide.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(wide.size());
}

BOOL AllowSetForegroundWindow(DWORD) {
    return TRUE;
}

HRESULT CoInitializeEx(LPVOID, DWORD) {
    return S_OK;
}

BOOL ShellExecuteExW(SHELLEXECUTEINFOW* pExecInfo) {
    if (pExecInfo == nullptr || pExecInfo->cbSize != sizeof(SHELLEXECUTEINFOW) ||
        pExecInfo->lpFile == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pExecInfo->hProcess = nullptr;
    std::unique_ptr<win_compat::LaunchedProcess> process;
    if (VerbIs(pExecInfo->lpVerb, L"runas")) {
        process = win_compat::CurrentServiceControlBackend()->LaunchElevated(
            pExecInfo->lpFile, pExecInfo->lpParameters != nullptr ? pExecInfo->lpParameters : L"");
        if (!process) {
            SetLastError(ERROR_CANCELLED);
        }
    } else if (pExecInfo->lpVerb == nullptr || VerbIs(pExecInfo->lpVerb, L"open")) {
        std::optional<kelvo_platform::ChildProcess> child = kelvo_platform::ChildProcess::Start(
            {kelvo_platform::WideToUtf8Lossy(win_compat::HelpViewerProgram()),
             kelvo_platform::WideToUtf8Lossy(pExecInfo->lpFile)});
        if (child) {
            process = std::make_unique<OpenedProcess>(std::move(*child));
        } else {
            SetLastError(ERROR_FILE_NOT_FOUND);
        }
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    if (!process) {
        pExecInfo->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(5));
        return FALSE;
    }
    pExecInfo->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(42));
    if ((pExecInfo->fMask & SEE_MASK_NOCLOSEPROCESS) != 0) {
        pExecInfo->hProcess = ProcessObjects::Instance().Add(std::move(process));
    }
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    ProcessObject* object = ProcessObjects::Instance().Find(hHandle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::optional<std::chrono::milliseconds> timeout;
    if (dwMilliseconds != INFINITE) {
        timeout = std::chrono::milliseconds(dwMilliseconds);
    }
    return object->process->WaitForExit(timeout) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE hObject) {
    if (!ProcessObjects::Instance().Remove(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
