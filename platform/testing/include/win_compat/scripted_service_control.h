#pragma once

// A service-control backend for tests: the driver service's state, its start, the driver
// installation and the elevated relaunch all follow a script instead of the machine.

#include <win_compat/service_control.h>
#include <win_compat/windows.h>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace win_compat {

class ScriptedServiceControl : public ServiceControlBackend,
                               public std::enable_shared_from_this<ScriptedServiceControl> {
public:
    enum class Elevation { Accepted, Refused };
    using Effect = std::function<void(ScriptedServiceControl&)>;

    // The state of the driver service; nullopt: not installed. Other services never exist.
    void SetState(std::optional<DWORD> state);
    // States for the next status queries (QueryServiceStatus, and DokanMain's check), one per
    // query, before the set state answers again (for example start pending twice, then running).
    void QueueStates(std::deque<DWORD> states);
    void SetManagerAvailable(bool available);
    // What StartServiceW does: by default the service runs afterwards.
    void SetStartOutcome(bool succeeds, std::optional<DWORD> stateAfterwards = SERVICE_RUNNING);
    // The elevated relaunch: refused (ShellExecuteExW fails), or accepted; `effect` is what the
    // launched program did, applied when it is waited for.
    void ScriptElevation(Elevation elevation, Effect effect = {});
    // What the driver installation does; by default nothing.
    void SetInstallEffect(Effect effect);

    // What happened, for the test's checks.
    int QueryCount() const;
    int StartCount() const;
    int InstallCount() const;
    int LaunchCount() const;
    int WaitCount() const;
    std::wstring LastLaunchedFile() const;
    std::wstring LastLaunchedParameters() const;
    std::wstring LastInstallCommandLine() const;

    bool ManagerAvailable() override;
    std::optional<DWORD> QueryState(const std::wstring& serviceName) override;
    bool IsInstalled(const std::wstring& serviceName) override;
    bool Start(const std::wstring& serviceName) override;
    void InstallDriverPackage(const std::wstring& commandLine) override;
    std::unique_ptr<LaunchedProcess> LaunchElevated(const std::wstring& file,
                                                    const std::wstring& parameters) override;

private:
    friend class ScriptedProcess;
    void RecordWait();

    mutable std::mutex m_mutex;
    std::optional<DWORD> m_state;
    std::deque<DWORD> m_queuedStates;
    bool m_managerAvailable = true;
    bool m_startSucceeds = true;
    std::optional<DWORD> m_stateAfterStart = SERVICE_RUNNING;
    Elevation m_elevation = Elevation::Refused;
    Effect m_elevationEffect;
    Effect m_installEffect;
    int m_queries = 0;
    int m_starts = 0;
    int m_installs = 0;
    int m_launches = 0;
    int m_waits = 0;
    std::wstring m_lastFile;
    std::wstring m_lastParameters;
    std::wstring m_lastInstallCommandLine;
};

// Installs a scripted backend for the lifetime of the object and puts the system's back after.
class ScopedServiceControl {
public:
    ScopedServiceControl();
    ~ScopedServiceControl();
    ScopedServiceControl(const ScopedServiceControl&) = delete;
    ScopedServiceControl& operator=(const ScopedServiceControl&) = delete;
    ScriptedServiceControl& operator*() const { return *m_backend; }
    ScriptedServiceControl* operator->() const { return m_backend.get(); }

private:
    std::shared_ptr<ScriptedServiceControl> m_backend;
};

}  // namespace win_compat
