#pragma once

#include <string>

namespace tarvo::detail {

// Conversion between the library's wide text and the UTF-8 that storage engines keep.
// Invalid sequences become U+FFFD rather than failing: a name must always be showable.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace tarvo::detail
