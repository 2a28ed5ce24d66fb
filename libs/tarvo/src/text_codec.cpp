#include "text_codec.h"

namespace tarvo::detail {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsValidCodePoint(char32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

void AppendUtf8(std::string& out, char32_t c) {
    if (!IsValidCodePoint(c)) {
        c = kReplacement;
    }
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

// Length of the sequence that starts with `lead`, 0 when `lead` cannot start one.
std::size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 4;
    }
    return 0;
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
    std::string result;
    result.reserve(text.size());
    for (wchar_t wide : text) {
        AppendUtf8(result, static_cast<char32_t>(wide));
    }
    return result;
}

std::wstring FromUtf8(const std::string& text) {
    std::wstring result;
    result.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        const auto lead = static_cast<unsigned char>(text[position]);
        const std::size_t length = SequenceLength(lead);
        if (length == 0 || position + length > text.size()) {
            result += static_cast<wchar_t>(kReplacement);
            ++position;
            continue;
        }
        char32_t c = length == 1 ? lead : (lead & (0xFF >> (length + 1)));
        bool valid = true;
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[position + i]);
            if ((next & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            c = (c << 6) | (next & 0x3F);
        }
        if (!valid || !IsValidCodePoint(c)) {
            result += static_cast<wchar_t>(kReplacement);
            ++position;
            continue;
        }
        result += static_cast<wchar_t>(c);
        position += length;
    }
    return result;
}

}  // namespace tarvo::detail
