#pragma once

// The machine behind the service-control and elevation stand-ins. On Linux the driver service
// "dokan1" stands for FUSE: it is missing when the fusermount3 helper or the kernel's FUSE support
// is absent, running when /dev/fuse can be opened for reading and writing, and stopped otherwise.
// Tests install a scripted backend to reach every state.

#include <win_compat/wintypes.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace win_compat {

// The name under which the file-system driver's service is known.
inline constexpr wchar_t kDriverServiceName[] = L"dokan1";

// Why the driver cannot be used, as far as the machine tells.
enum class DriverFault {
    None,                // nothing wrong was found
    PendingRestart,      // the driver waits for the computer to restart
    HelperMissing,       // the mount helper program (fusermount3) is not installed
    KernelModuleAbsent,  // the running kernel has no FUSE support, built in or as a module
    DeviceMissing,       // the kernel supports FUSE but its device (/dev/fuse) does not exist
    DeviceNotPermitted,  // the device exists but this user may not open it
};

// A program started by ShellExecuteExW; WaitForSingleObject waits on it.
class LaunchedProcess {
public:
    virtual ~LaunchedProcess() = default;
    // True once the program has ended; false when `timeout` passed first (nullopt: no limit).
    virtual bool WaitForExit(std::optional<std::chrono::milliseconds> timeout) = 0;
};

class ServiceControlBackend {
public:
    virtual ~ServiceControlBackend() = default;
    // Whether the service control manager can be opened at all.
    virtual bool ManagerAvailable() = 0;
    // The current state (SERVICE_STOPPED ... SERVICE_PAUSED); nullopt when not installed.
    virtual std::optional<DWORD> QueryState(const std::wstring& serviceName) = 0;
    // Whether the service exists (OpenServiceW asks this; a status query is QueryState).
    virtual bool IsInstalled(const std::wstring& serviceName) {
        return QueryState(serviceName).has_value();
    }
    // Why the service is missing or stopped. Where nothing more can be found out, a stopped
    // driver is taken to wait for a restart.
    virtual DriverFault Diagnose(const std::wstring& /*serviceName*/) {
        return DriverFault::PendingRestart;
    }
    // Starts the service; true when it runs afterwards.
    virtual bool Start(const std::wstring& serviceName) = 0;
    // Installs the driver package (InstallHinfSectionW's command line is handed on).
    virtual void InstallDriverPackage(const std::wstring& commandLine) = 0;
    // Starts `file` with `parameters` with administrator rights; null when that is refused or
    // impossible.
    virtual std::unique_ptr<LaunchedProcess> LaunchElevated(const std::wstring& file,
                                                            const std::wstring& parameters) = 0;
};

// Installs the backend that the calls use from now on; null puts the system's own back.
void SetServiceControlBackend(std::shared_ptr<ServiceControlBackend> backend);
std::shared_ptr<ServiceControlBackend> CurrentServiceControlBackend();
// The system's own backend (FUSE, fuse3 through apt-get, pkexec).
std::shared_ptr<ServiceControlBackend> SystemServiceControlBackend();

}  // namespace win_compat
