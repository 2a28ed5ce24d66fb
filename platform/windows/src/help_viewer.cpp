#include <win_compat/help_viewer.h>

#include <platform_base/text_codec.h>
#include "../../common/child_process.h"

namespace win_compat {

std::wstring HelpViewerProgram() {
    return L"xdg-open";
}

bool OpenHelpViewer(const std::filesystem::path& file) {
    std::optional<kelvo_platform::ChildProcess> child = kelvo_platform::ChildProcess::Start(
        {kelvo_platform::WideToUtf8Lossy(HelpViewerProgram()), file.string()});
    if (!child) {
        return false;
    }
    child->Detach();
    return true;
}

}  // namespace win_compat
