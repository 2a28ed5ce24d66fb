#pragma once

#include <win_compat/wintypes.h>

#include <ctime>

namespace kelvo_dokan {

// FILETIME counts 100-nanosecond intervals since 1601-01-01 UTC.
timespec FileTimeToTimespec(const FILETIME& fileTime);
FILETIME TimespecToFileTime(const timespec& time);

}  // namespace kelvo_dokan
