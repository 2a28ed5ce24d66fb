#include <tarvo/errors.h>

namespace {

std::string ToUtf8(const std::wstring& text) {
    std::string result;
    result.reserve(text.size());
    for (wchar_t wide : text) {
        auto c = static_cast<char32_t>(wide);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            result += static_cast<char>(c);
        } else if (c < 0x800) {
            result += static_cast<char>(0xC0 | (c >> 6));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            result += static_cast<char>(0xE0 | (c >> 12));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (c >> 18));
            result += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return result;
}

}  // namespace

namespace exceptions {

Error::Error(std::wstring message)
    : m_message(std::move(message)), m_utf8Message(ToUtf8(m_message)) {}

}  // namespace exceptions

namespace tarvo {

TarvoError::TarvoError(errc::Type code, std::wstring message)
    : exceptions::Error(std::move(message)), m_code(code) {}

}  // namespace tarvo
