#pragma once

#include <win_compat/wintypes.h>

namespace kelvo_dokan {

// The user-mode creation disposition (CREATE_NEW ... TRUNCATE_EXISTING) of a kernel one
// (FILE_SUPERSEDE ... FILE_OVERWRITE_IF); 0 for a value that is neither.
DWORD KernelDispositionToUser(ULONG kernelDisposition);

}  // namespace kelvo_dokan
