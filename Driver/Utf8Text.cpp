#include "Utf8Text.h"

#include <platform_base/text_codec.h>

#include <optional>
#include <stdexcept>

namespace utf8_text {

std::string FromWide(const std::wstring& text) {
    std::optional<std::string> utf8 = kelvo_platform::WideToUtf8(text);
    if (!utf8) {
        throw std::range_error("the text holds a character that has no UTF-8 form");
    }
    return std::move(*utf8);
}

std::string FromWideLenient(const std::wstring& text) {
    return kelvo_platform::WideToUtf8Lossy(text);
}

}  // namespace utf8_text
