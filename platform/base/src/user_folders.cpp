#include <platform_base/user_folders.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kelvo_platform {
namespace {

struct Account {
    std::string name;
    std::string home;
};

// The account entry of this process's user, with the reentrant call: any thread may ask.
Account ThisAccount() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return {};
    }
    return {entry.pw_name != nullptr ? entry.pw_name : "",
            entry.pw_dir != nullptr ? entry.pw_dir : ""};
}

// An absolute path from the environment; empty when the variable is unset, empty or relative.
std::filesystem::path AbsoluteVariable(const char* name) {
    std::filesystem::path value = EnvironmentValue(name);
    return value.is_absolute() ? value : std::filesystem::path();
}

std::filesystem::path BaseFolder(const char* variable, const std::filesystem::path& belowHome) {
    std::filesystem::path folder = AbsoluteVariable(variable);
    return folder.empty() ? HomeFolder() / belowHome : folder;
}

}  // namespace

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : std::string();
}

std::filesystem::path HomeFolder() {
    if (std::filesystem::path home = AbsoluteVariable("HOME"); !home.empty()) {
        return home;
    }
    if (std::filesystem::path home = ThisAccount().home; home.is_absolute()) {
        return home;
    }
    return std::filesystem::temp_directory_path();
}

std::filesystem::path DataHome() {
    return BaseFolder("XDG_DATA_HOME", std::filesystem::path(".local") / "share");
}

std::filesystem::path StateHome() {
    return BaseFolder("XDG_STATE_HOME", std::filesystem::path(".local") / "state");
}

std::filesystem::path CacheHome() {
    return BaseFolder("XDG_CACHE_HOME", ".cache");
}

std::filesystem::path ConfigHome() {
    return BaseFolder("XDG_CONFIG_HOME", ".config");
}

std::filesystem::path RuntimeFolder() {
    return AbsoluteVariable("XDG_RUNTIME_DIR");
}

std::string UserName() {
    if (std::string name = ThisAccount().name; !name.empty()) {
        return name;
    }
    if (std::string user = EnvironmentValue("USER"); !user.empty()) {
        return user;
    }
    return EnvironmentValue("LOGNAME");
}

}  // namespace kelvo_platform
