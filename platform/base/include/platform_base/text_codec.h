#pragma once

// Conversions between the UTF-8 byte strings of Linux and the wide strings (UTF-32 wchar_t) that
// the Windows-shaped interfaces use.

#include <optional>
#include <string>
#include <string_view>

namespace kelvo_platform {

// Strict: nullopt when the bytes are not well-formed UTF-8 (overlong forms, surrogates and code
// points above U+10FFFF included).
std::optional<std::wstring> Utf8ToWide(std::string_view text);
// Strict: nullopt when a character is a surrogate or above U+10FFFF.
std::optional<std::string> WideToUtf8(std::wstring_view text);

// Lenient forms for texts that must not be refused (command lines, user names): every malformed
// sequence becomes U+FFFD.
std::wstring Utf8ToWideLossy(std::string_view text);
std::string WideToUtf8Lossy(std::wstring_view text);

}  // namespace kelvo_platform
