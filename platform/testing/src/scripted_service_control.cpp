#include <win_compat/scripted_service_control.h>

#include <cwctype>

namespace win_compat {

class ScriptedProcess : public LaunchedProcess {
public:
    ScriptedProcess(std::shared_ptr<ScriptedServiceControl> owner,
                    ScriptedServiceControl::Effect effect)
        : m_owner(std::move(owner)), m_effect(std::move(effect)) {}
    bool WaitForExit(std::optional<std::chrono::milliseconds>) override {
        m_owner->RecordWait();
        if (m_effect) {
            // The scripted program "runs" exactly once, when first waited for.
            ScriptedServiceControl::Effect effect = std::move(m_effect);
            m_effect = nullptr;
            effect(*m_owner);
        }
        return true;
    }

private:
    std::shared_ptr<ScriptedServiceControl> m_owner;
    ScriptedServiceControl::Effect m_effect;
};

namespace {

bool IsDriverService(const std::wstring& name) {
    const std::wstring expected = kDriverServiceName;
    if (name.size() != expected.size()) {
        return false;
    }
    for (std::size_t index = 0; index < name.size(); ++index) {
        if (static_cast<wchar_t>(std::towlower(name[index])) != expected[index]) {
            return false;
        }
    }
    return true;
}

}  // namespace

void ScriptedServiceControl::SetState(std::optional<DWORD> state) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state = state;
}

void ScriptedServiceControl::QueueStates(std::deque<DWORD> states) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queuedStates = std::move(states);
}

void ScriptedServiceControl::SetManagerAvailable(bool available) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_managerAvailable = available;
}

void ScriptedServiceControl::SetStartOutcome(bool succeeds, std::optional<DWORD> stateAfterwards) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startSucceeds = succeeds;
    m_stateAfterStart = stateAfterwards;
}

void ScriptedServiceControl::ScriptElevation(Elevation elevation, Effect effect) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_elevation = elevation;
    m_elevationEffect = std::move(effect);
}

void ScriptedServiceControl::SetInstallEffect(Effect effect) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_installEffect = std::move(effect);
}

int ScriptedServiceControl::QueryCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queries;
}
int ScriptedServiceControl::StartCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_starts;
}
int ScriptedServiceControl::InstallCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_installs;
}
int ScriptedServiceControl::LaunchCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_launches;
}
int ScriptedServiceControl::WaitCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waits;
}
std::wstring ScriptedServiceControl::LastLaunchedFile() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastFile;
}
std::wstring ScriptedServiceControl::LastLaunchedParameters() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastParameters;
}
std::wstring ScriptedServiceControl::LastInstallCommandLine() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastInstallCommandLine;
}

bool ScriptedServiceControl::ManagerAvailable() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_managerAvailable;
}

std::optional<DWORD> ScriptedServiceControl::QueryState(const std::wstring& serviceName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!IsDriverService(serviceName)) {
        return std::nullopt;
    }
    ++m_queries;
    if (!m_state) {
        return std::nullopt;
    }
    if (!m_queuedStates.empty()) {
        const DWORD state = m_queuedStates.front();
        m_queuedStates.pop_front();
        return state;
    }
    return m_state;
}

bool ScriptedServiceControl::IsInstalled(const std::wstring& serviceName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return IsDriverService(serviceName) && m_state.has_value();
}

bool ScriptedServiceControl::Start(const std::wstring& serviceName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!IsDriverService(serviceName)) {
        return false;
    }
    ++m_starts;
    if (m_startSucceeds && m_state) {
        m_state = m_stateAfterStart;
    }
    return m_startSucceeds;
}

void ScriptedServiceControl::InstallDriverPackage(const std::wstring& commandLine) {
    Effect effect;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_installs;
        m_lastInstallCommandLine = commandLine;
        effect = m_installEffect;
    }
    if (effect) {
        effect(*this);
    }
}

std::unique_ptr<LaunchedProcess> ScriptedServiceControl::LaunchElevated(
    const std::wstring& file, const std::wstring& parameters) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_launches;
    m_lastFile = file;
    m_lastParameters = parameters;
    if (m_elevation == Elevation::Refused) {
        return nullptr;
    }
    return std::make_unique<ScriptedProcess>(shared_from_this(), m_elevationEffect);
}

void ScriptedServiceControl::RecordWait() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_waits;
}

ScopedServiceControl::ScopedServiceControl()
    : m_backend(std::make_shared<ScriptedServiceControl>()) {
    SetServiceControlBackend(m_backend);
}

ScopedServiceControl::~ScopedServiceControl() {
    SetServiceControlBackend(nullptr);
}

}  // namespace win_compat
