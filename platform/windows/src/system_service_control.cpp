// The system's own service-control backend: the driver service stands for FUSE.

#include <win_compat/service_control.h>
#include <win_compat/windows.h>

#include <platform_base/text_codec.h>
#include "../../common/child_process.h"

#include <logging/logging.h>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <cerrno>
#include <cwctype>
#include <fstream>

namespace {

bool SameServiceName(const std::wstring& left, const std::wstring& right) {
    if (left.size() != right.size()) {
        return false;
    }
    for (std::size_t index = 0; index < left.size(); ++index) {
        if (std::towlower(left[index]) != std::towlower(right[index])) {
            return false;
        }
    }
    return true;
}

bool FileMentions(const std::string& path, const std::string& text) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Built in, loaded, or available as a module of the running kernel.
bool KernelSupportsFuse() {
    if (::access("/dev/fuse", F_OK) == 0 || FileMentions("/proc/filesystems", "\tfuse")) {
        return true;
    }
    utsname system{};
    if (::uname(&system) != 0) {
        return false;
    }
    const std::string modules = std::string("/lib/modules/") + system.release;
    return FileMentions(modules + "/modules.builtin", "/fuse.ko") ||
           FileMentions(modules + "/modules.dep", "/fuse.ko");
}

// 0 when /dev/fuse opens for reading and writing, else the errno of the attempt.
int FuseDeviceError() {
    const int descriptor = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    ::close(descriptor);
    return 0;
}

bool FuseDeviceUsable() {
    return FuseDeviceError() == 0;
}

class ElevatedProcess : public win_compat::LaunchedProcess {
public:
    explicit ElevatedProcess(kelvo_platform::ChildProcess child) : m_child(std::move(child)) {}
    bool WaitForExit(std::optional<std::chrono::milliseconds> timeout) override {
        const std::optional<int> status = m_child.Wait(timeout);
        if (status && (*status == 126 || *status == 127)) {
            // pkexec's answer when the user dismissed or failed the password prompt.
            KELVO_LOG(logging::kWarning) << L"The elevated program was not allowed to run";
        }
        return status.has_value();
    }

private:
    kelvo_platform::ChildProcess m_child;
};

class SystemServiceControl : public win_compat::ServiceControlBackend {
public:
    bool ManagerAvailable() override { return true; }

    std::optional<DWORD> QueryState(const std::wstring& serviceName) override {
        if (!SameServiceName(serviceName, win_compat::kDriverServiceName)) {
            return std::nullopt;
        }
        if (!kelvo_platform::FindProgram("fusermount3") || !KernelSupportsFuse()) {
            return std::nullopt;
        }
        return FuseDeviceUsable() ? SERVICE_RUNNING : SERVICE_STOPPED;
    }

    win_compat::DriverFault Diagnose(const std::wstring& serviceName) override {
        using win_compat::DriverFault;
        if (!SameServiceName(serviceName, win_compat::kDriverServiceName)) {
            return DriverFault::None;
        }
        if (!kelvo_platform::FindProgram("fusermount3")) {
            return DriverFault::HelperMissing;
        }
        if (!KernelSupportsFuse()) {
            return DriverFault::KernelModuleAbsent;
        }
        switch (FuseDeviceError()) {
            case 0:
                return DriverFault::None;
            case ENOENT:
            case ENODEV:
            case ENXIO:
                return DriverFault::DeviceMissing;
            case EACCES:
            case EPERM:
                return DriverFault::DeviceNotPermitted;
            default:
                return DriverFault::PendingRestart;
        }
    }

    bool Start(const std::wstring& serviceName) override {
        const std::optional<int> status = kelvo_platform::RunProgram({"modprobe", "fuse"});
        if (!status || *status != 0) {
            KELVO_LOG(logging::kError) << L"modprobe fuse failed";
        }
        return QueryState(serviceName) == SERVICE_RUNNING;
    }

    void InstallDriverPackage(const std::wstring&) override {
        const std::vector<std::string> environment = {"DEBIAN_FRONTEND=noninteractive"};
        const std::vector<std::string> install = {"apt-get", "install", "-y", "-q", "fuse3"};
        std::optional<int> status = kelvo_platform::RunProgram(install, environment);
        if (!status || *status != 0) {
            // A stale package list is the usual reason: refresh it once and try again.
            kelvo_platform::RunProgram({"apt-get", "update", "-q"}, environment);
            status = kelvo_platform::RunProgram(install, environment);
        }
        if (!status || *status != 0) {
            KELVO_LOG(logging::kError) << L"Installing the fuse3 package failed";
        }
    }

    std::unique_ptr<win_compat::LaunchedProcess> LaunchElevated(
        const std::wstring& file, const std::wstring& parameters) override {
        std::vector<std::string> arguments;
        if (::geteuid() != 0) {
            if (!kelvo_platform::FindProgram("pkexec")) {
                KELVO_LOG(logging::kError)
                    << L"pkexec is missing: cannot run " << file << L" with administrator rights";
                return nullptr;
            }
            arguments.emplace_back("pkexec");
        }
        arguments.push_back(kelvo_platform::WideToUtf8Lossy(file));
        if (!parameters.empty()) {
            const std::wstring line = L"program " + parameters;
            int count = 0;
            LPWSTR* split = CommandLineToArgvW(line.c_str(), &count);
            for (int index = 1; split != nullptr && index < count; ++index) {
                arguments.push_back(kelvo_platform::WideToUtf8Lossy(split[index]));
            }
            LocalFree(split);
        }
        std::optional<kelvo_platform::ChildProcess> child =
            kelvo_platform::ChildProcess::Start(arguments);
        if (!child) {
            return nullptr;
        }
        return std::make_unique<ElevatedProcess>(std::move(*child));
    }
};

}  // namespace

namespace win_compat {

std::shared_ptr<ServiceControlBackend> SystemServiceControlBackend() {
    static const std::shared_ptr<ServiceControlBackend> backend =
        std::make_shared<SystemServiceControl>();
    return backend;
}

}  // namespace win_compat
