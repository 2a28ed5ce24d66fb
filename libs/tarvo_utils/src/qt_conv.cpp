#include <tarvo_utils/qt_conv.h>

namespace qt_conv {

QString FromStdWString(const std::wstring& text) {
    return QString::fromStdWString(text);
}

}  // namespace qt_conv
