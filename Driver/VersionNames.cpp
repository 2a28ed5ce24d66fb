#include "VersionNames.h"

#include <boost/date_time/c_local_time_adjustor.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include <algorithm>
#include <cwchar>

namespace version_names {
namespace {

constexpr std::size_t kMinimumNumberWidth = 4;

std::wstring Number(tarvo::VersionNumber number, std::size_t width) {
    std::wstring digits = std::to_wstring(number);
    if (digits.size() < width) {
        digits.insert(0, width - digits.size(), L'0');
    }
    return digits;
}

// "2026-12-08 14.05.31": the commit time in the machine's local time, with dots where Windows
// allows no colons. An unknown time gives an empty text.
std::wstring LocalTime(const boost::posix_time::ptime& utc) {
    if (utc.is_special()) {
        return {};
    }
    using Adjustor = boost::date_time::c_local_adjustor<boost::posix_time::ptime>;
    const boost::posix_time::ptime local = Adjustor::utc_to_local(utc);
    const auto date = local.date();
    const auto time = local.time_of_day();
    wchar_t text[32] = {};
    std::swprintf(text, std::size(text), L"%04d-%02d-%02d %02d.%02d.%02d",
                  static_cast<int>(date.year()), static_cast<int>(date.month()),
                  static_cast<int>(date.day()), static_cast<int>(time.hours()),
                  static_cast<int>(time.minutes()), static_cast<int>(time.seconds()));
    return text;
}

// A login as a part of a file name: characters that no file name may hold become "_".
std::wstring NamePart(const std::wstring& text) {
    std::wstring part = text;
    for (wchar_t& character : part) {
        if (character < 0x20 || std::wcschr(L"\\/:*?\"<>|", character) != nullptr) {
            character = L'_';
        }
    }
    return part;
}

// ".odt" of "report.odt"; nothing for "Makefile" or ".profile".
std::wstring Extension(const std::wstring& name) {
    const std::size_t dot = name.rfind(L'.');
    if (dot == std::wstring::npos || dot == 0 || dot + 1 == name.size()) {
        return {};
    }
    return name.substr(dot);
}

}  // namespace

std::size_t NumberWidth(const std::vector<tarvo::VersionInfo>& versions) {
    tarvo::VersionNumber largest = 0;
    for (const auto& version : versions) {
        largest = std::max(largest, version.number);
    }
    return std::max(kMinimumNumberWidth, std::to_wstring(largest).size());
}

std::wstring FileName(const tarvo::VersionInfo& version, const std::wstring& documentName,
                      std::size_t numberWidth) {
    std::wstring stem = Number(version.number, numberWidth);
    const std::wstring time = LocalTime(version.commitTime);
    if (!time.empty()) {
        stem += L' ' + time;
    }
    const std::wstring author = NamePart(version.author);
    const std::wstring extension = Extension(documentName);
    if (!author.empty() && stem.size() + 1 + author.size() + extension.size() <= kMaxNameLength) {
        return stem + L' ' + author + extension;
    }
    if (stem.size() + extension.size() <= kMaxNameLength) {
        return stem + extension;
    }
    return stem;
}

std::optional<tarvo::VersionNumber> NumberOf(const std::wstring& fileName) {
    constexpr std::size_t kMaximumDigits = 18;  // fits a VersionNumber
    std::size_t digits = 0;
    while (digits < fileName.size() && fileName[digits] >= L'0' && fileName[digits] <= L'9') {
        ++digits;
    }
    if (digits == 0 || digits > kMaximumDigits) {
        return std::nullopt;
    }
    return std::stoll(fileName.substr(0, digits));
}

}  // namespace version_names
