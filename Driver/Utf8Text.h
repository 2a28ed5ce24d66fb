#pragma once

#include <string>

namespace utf8_text {

// The text in UTF-8. Throws std::range_error for a character that is not a Unicode scalar value
// (a lone surrogate, or beyond U+10FFFF).
std::string FromWide(const std::wstring& text);

// The text in UTF-8 with every character that FromWide refuses replaced by U+FFFD.
std::string FromWideLenient(const std::wstring& text);

}  // namespace utf8_text
