#pragma once

#include <tarvo/core.h>

#include <optional>
#include <string>
#include <vector>

// How the version history names the files of a document's versions: they sort by version and keep
// the document's extension, e.g. "0003 2026-12-08 14.05.31 ivanov.odt" (number, commit time in
// local time, who saved it when the repository knows).
namespace version_names {

// The longest name a version file gets, in characters.
inline constexpr std::size_t kMaxNameLength = 255;

// Digits of the version numbers in one document's history: at least four, more when its largest
// number needs them, so that the names of one history always sort by number.
std::size_t NumberWidth(const std::vector<tarvo::VersionInfo>& versions);

// The file name of `version` of the document named `documentName`. When the name would be too
// long, the author is left out, then the extension.
std::wstring FileName(const tarvo::VersionInfo& version, const std::wstring& documentName,
                      std::size_t numberWidth);

// The version number a file name starts with (its leading digits up to the first space); none
// when the name does not start that way.
std::optional<tarvo::VersionNumber> NumberOf(const std::wstring& fileName);

}  // namespace version_names
