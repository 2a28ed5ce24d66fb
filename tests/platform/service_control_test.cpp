// Service control for the driver service and the elevated relaunch, against a scripted machine and
// against this machine.

#include "test_support.h"

#include <win_compat/scripted_service_control.h>
#include <win_compat/windows.h>

#include <gtest/gtest.h>

namespace {

using win_compat::ScopedServiceControl;
using win_compat::ScriptedServiceControl;

// The status the calls report for "dokan1"; nullopt when it cannot be opened.
std::optional<DWORD> DriverState() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
    if (manager == nullptr) {
        return std::nullopt;
    }
    std::optional<DWORD> state;
    if (SC_HANDLE service = OpenServiceW(manager, L"dokan1", SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status)) {
            state = status.dwCurrentState;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return state;
}

// The elevated relaunch as the driver check makes it; true when it started.
bool RelaunchElevated() {
    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof request;
    request.fMask = SEE_MASK_NOCLOSEPROCESS;
    request.lpVerb = L"runas";
    request.lpFile = L"/opt/kelvo/KelvoDrive";
    request.lpParameters = L"-install-driver";
    request.nShow = SW_SHOW;
    if (!ShellExecuteExW(&request)) {
        return false;
    }
    EXPECT_NE(request.hProcess, nullptr);
    EXPECT_EQ(WaitForSingleObject(request.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(request.hProcess));
    return true;
}

TEST(ServiceControlTest, ReportsEveryScriptedState) {
    ScopedServiceControl service;
    service->SetState(std::nullopt);
    EXPECT_EQ(DriverState(), std::nullopt);
    for (const DWORD state : {SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_STOP_PENDING,
                              SERVICE_RUNNING, SERVICE_PAUSED}) {
        service->SetState(state);
        EXPECT_EQ(DriverState(), state);
    }
    service->SetState(SERVICE_START_PENDING);
    service->QueueStates({SERVICE_START_PENDING, SERVICE_RUNNING});
    EXPECT_EQ(DriverState(), SERVICE_START_PENDING);
    EXPECT_EQ(DriverState(), SERVICE_RUNNING);
    EXPECT_EQ(DriverState(), SERVICE_START_PENDING);  // the set state again

    service->SetManagerAvailable(false);
    EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE), nullptr);
}

TEST(ServiceControlTest, HandlesFollowTheWindowsRules) {
    ScopedServiceControl service;
    service->SetState(SERVICE_STOPPED);
    EXPECT_EQ(OpenSCManagerW(L"\\\\elsewhere", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(OpenServiceW(manager, L"otherservice", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

    // Opened for status only: starting is refused.
    SC_HANDLE queryOnly = OpenServiceW(manager, L"dokan1", SERVICE_QUERY_STATUS);
    ASSERT_NE(queryOnly, nullptr);
    EXPECT_FALSE(StartServiceW(queryOnly, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseServiceHandle(queryOnly));
    EXPECT_FALSE(CloseServiceHandle(queryOnly));  // already closed
    SERVICE_STATUS status{};
    EXPECT_FALSE(QueryServiceStatus(manager, &status));  // a manager is not a service

    // The installation mode's way: everything with SC_MANAGER_ALL_ACCESS.
    SC_HANDLE all = OpenServiceW(manager, L"DOKAN1", SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(all, nullptr);
    EXPECT_TRUE(StartServiceW(all, 0, nullptr));
    EXPECT_EQ(service->StartCount(), 1);
    ASSERT_TRUE(QueryServiceStatus(all, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_FALSE(StartServiceW(all, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    CloseServiceHandle(all);
    CloseServiceHandle(manager);
}

TEST(ServiceControlTest, MissingDriverInstalledThroughTheElevatedRelaunch) {
    ScopedServiceControl service;
    service->SetState(std::nullopt);
    // The relaunched program installs the package and starts the service, as the installation
    // mode does.
    service->ScriptElevation(ScriptedServiceControl::Elevation::Accepted, [](auto& machine) {
        InstallHinfSectionW(nullptr, nullptr, L"DefaultInstall 123 .\\driver\\dokan.inf", 0);
        machine.SetState(SERVICE_STOPPED);
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE started = OpenServiceW(manager, L"dokan1", SC_MANAGER_ALL_ACCESS);
        StartServiceW(started, 0, nullptr);
        CloseServiceHandle(started);
        CloseServiceHandle(manager);
    });
    EXPECT_EQ(DriverState(), std::nullopt);
    EXPECT_TRUE(RelaunchElevated());
    EXPECT_EQ(service->LastLaunchedFile(), L"/opt/kelvo/KelvoDrive");
    EXPECT_EQ(service->LastLaunchedParameters(), L"-install-driver");
    EXPECT_EQ(service->WaitCount(), 1);
    EXPECT_EQ(service->InstallCount(), 1);
    EXPECT_EQ(service->LastInstallCommandLine(), L"DefaultInstall 123 .\\driver\\dokan.inf");
    EXPECT_EQ(DriverState(), SERVICE_RUNNING);
}

TEST(ServiceControlTest, RefusedElevationLeavesTheDriverMissing) {
    ScopedServiceControl service;
    service->SetState(std::nullopt);
    service->ScriptElevation(ScriptedServiceControl::Elevation::Refused);
    EXPECT_FALSE(RelaunchElevated());
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_EQ(service->LaunchCount(), 1);
    EXPECT_EQ(service->WaitCount(), 0);
    EXPECT_EQ(DriverState(), std::nullopt);
}

TEST(ServiceControlTest, BadRequestsAreRefused) {
    EXPECT_FALSE(ShellExecuteExW(nullptr));
    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof request - 1;
    request.lpFile = L"x";
    EXPECT_FALSE(ShellExecuteExW(&request));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForSingleObject(&request, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(&request));
}

TEST(ServiceControlTest, ThisMachinesFuseIsARunningDriver) {
    KELVO_REQUIRE_FUSE();
    EXPECT_EQ(DriverState(), SERVICE_RUNNING);
}

}  // namespace
