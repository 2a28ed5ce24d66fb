#include "data_folder.h"

#include <platform_base/user_folders.h>

namespace tarvo::detail {

std::filesystem::path DataFolder() {
    if (std::filesystem::path overridden = kelvo_platform::EnvironmentValue("KELVO_DATA_DIR");
        !overridden.empty()) {
        return overridden;
    }
    return kelvo_platform::DataHome() / "KelvoDrive";
}

}  // namespace tarvo::detail
