#include <win_compat/help_viewer.h>

namespace win_compat {

std::wstring HelpViewerProgram() {
    return L"xdg-open";
}

}  // namespace win_compat
