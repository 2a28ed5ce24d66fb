#include "data_folder.h"

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

namespace tarvo::detail {

namespace {

std::filesystem::path NonEmptyVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::filesystem::path(value)
                                              : std::filesystem::path();
}

std::filesystem::path HomeFolder() {
    if (auto home = NonEmptyVariable("HOME"); !home.empty()) {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_dir) {
        return entry->pw_dir;
    }
    return std::filesystem::temp_directory_path();
}

}  // namespace

std::filesystem::path DataFolder() {
    if (auto overridden = NonEmptyVariable("KELVO_DATA_DIR"); !overridden.empty()) {
        return overridden;
    }
    // XDG says a relative value is invalid and must be ignored.
    if (auto dataHome = NonEmptyVariable("XDG_DATA_HOME");
        !dataHome.empty() && dataHome.is_absolute()) {
        return dataHome / "KelvoDrive";
    }
    return HomeFolder() / ".local" / "share" / "KelvoDrive";
}

}  // namespace tarvo::detail
