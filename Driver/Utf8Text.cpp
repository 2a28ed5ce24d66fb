#include "Utf8Text.h"

#include <stdexcept>

namespace utf8_text {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsScalarValue(char32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

void Append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

template <class OnInvalid>
std::string Convert(const std::wstring& text, OnInvalid onInvalid) {
    static_assert(sizeof(wchar_t) == 4, "wide strings are expected to hold UTF-32");
    std::string out;
    out.reserve(text.size());
    for (const wchar_t wide : text) {
        const auto c = static_cast<char32_t>(wide);
        Append(out, IsScalarValue(c) ? c : onInvalid(c));
    }
    return out;
}

}  // namespace

std::string FromWide(const std::wstring& text) {
    return Convert(text, [](char32_t) -> char32_t {
        throw std::range_error("the text holds a character that has no UTF-8 form");
    });
}

std::string FromWideLenient(const std::wstring& text) {
    return Convert(text, [](char32_t) { return kReplacementCharacter; });
}

}  // namespace utf8_text
