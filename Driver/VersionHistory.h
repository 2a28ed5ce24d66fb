#pragma once

// The version history of a drive: a read-only folder ".versions" in the root, reachable by its
// name but left out of the root's listing. Below it the drive's tree is mirrored; each document
// is a folder of its name holding one file per stored version (named by version_names), with the
// version's size and commit time, read from the version's chunks. Every change below it fails as
// on a write-protected medium (EROFS on Linux).
//
// A repository whose root holds an item named ".versions" keeps it as it is: the history then
// answers to ".kelvo_versions" only (it answers to that name on every drive whose root holds no
// item of that name).
//
// The history serves its own handles: the drive's operations table is wrapped (Around) so that
// each operation on a history path or handle goes here and every other one to the drive's own
// operation, which never sees a history handle.

#include <dokan/dokan.h>

namespace drive::history {

inline constexpr wchar_t kFolderName[] = L".versions";
inline constexpr wchar_t kSpareFolderName[] = L".kelvo_versions";

// What every change below the history gets (EROFS on Linux).
inline constexpr NTSTATUS kReadOnly = STATUS_MEDIA_WRITE_PROTECTED;

// The drive's operations with the history in front of them. `operations` must be the same table
// on every call (the drive's own).
DOKAN_OPERATIONS Around(const DOKAN_OPERATIONS& operations);

}  // namespace drive::history
