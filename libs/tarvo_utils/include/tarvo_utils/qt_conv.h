#pragma once

#include <QString>
#include <string>

namespace qt_conv {

// Wide text to QString; characters outside the BMP survive on platforms with a 32-bit wchar_t.
QString FromStdWString(const std::wstring& text);

}  // namespace qt_conv
