#include "text_codec.h"

#include <platform_base/text_codec.h>

namespace tarvo::detail {

std::string ToUtf8(const std::wstring& text) {
    return kelvo_platform::WideToUtf8Lossy(text);
}

std::wstring FromUtf8(const std::string& text) {
    return kelvo_platform::Utf8ToWideLossy(text);
}

}  // namespace tarvo::detail
