#pragma once

#include <win_compat/wintypes.h>

#include <string_view>

namespace kelvo_dokan {

// The errno a Linux program expects for a status a file-system operation answered with; 0 for
// every success status. `path` (the wide path the operation was given) tells an over-long name
// (ENAMETOOLONG) from an otherwise invalid one (EINVAL). Unknown failures give EIO and are logged
// with `operation`.
int NtStatusToErrno(NTSTATUS status, std::wstring_view path, const char* operation);

// Whether the user-mode disposition turns a name collision into "opened an existing item".
bool CollisionMeansOpened(DWORD creationDisposition);

}  // namespace kelvo_dokan
