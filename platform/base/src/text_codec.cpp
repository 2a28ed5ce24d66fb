#include <platform_base/text_codec.h>

namespace kelvo_platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalarValue(char32_t codePoint) {
    return codePoint <= 0x10FFFF && (codePoint < 0xD800 || codePoint > 0xDFFF);
}

// Decodes one character at `position`; nullopt for a malformed sequence (position then moves by
// one byte so that the lossy decoder can go on).
std::optional<char32_t> DecodeOne(std::string_view text, std::size_t& position) {
    const auto lead = static_cast<unsigned char>(text[position]);
    if (lead < 0x80) {
        ++position;
        return lead;
    }
    std::size_t length = 0;
    char32_t codePoint = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        ++position;
        return std::nullopt;
    }
    if (position + length > text.size()) {
        ++position;
        return std::nullopt;
    }
    for (std::size_t index = 1; index < length; ++index) {
        const auto continuation = static_cast<unsigned char>(text[position + index]);
        if ((continuation & 0xC0) != 0x80) {
            ++position;
            return std::nullopt;
        }
        codePoint = (codePoint << 6) | (continuation & 0x3F);
    }
    if (codePoint < minimum || !IsScalarValue(codePoint)) {
        ++position;
        return std::nullopt;
    }
    position += length;
    return codePoint;
}

void EncodeOne(char32_t codePoint, std::string& out) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

}  // namespace

std::optional<std::wstring> Utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        // Plain ASCII runs are by far the most common case in file names.
        const auto byte = static_cast<unsigned char>(text[position]);
        if (byte < 0x80) {
            out.push_back(static_cast<wchar_t>(byte));
            ++position;
            continue;
        }
        const std::optional<char32_t> codePoint = DecodeOne(text, position);
        if (!codePoint) {
            return std::nullopt;
        }
        out.push_back(static_cast<wchar_t>(*codePoint));
    }
    return out;
}

std::optional<std::string> WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t character : text) {
        const auto codePoint = static_cast<char32_t>(character);
        if (!IsScalarValue(codePoint)) {
            return std::nullopt;
        }
        EncodeOne(codePoint, out);
    }
    return out;
}

std::wstring Utf8ToWideLossy(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        const std::optional<char32_t> codePoint = DecodeOne(text, position);
        out.push_back(static_cast<wchar_t>(codePoint.value_or(kReplacement)));
    }
    return out;
}

std::string WideToUtf8Lossy(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t character : text) {
        const auto codePoint = static_cast<char32_t>(character);
        EncodeOne(IsScalarValue(codePoint) ? codePoint : kReplacement, out);
    }
    return out;
}

}  // namespace kelvo_platform
