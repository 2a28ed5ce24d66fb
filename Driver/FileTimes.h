#pragma once

#include <win_compat/wintypes.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace file_times {

// The repository's date-time as a file time of whole seconds (the fraction of the second is
// dropped). A date-time that is not a date, an infinity, or one before 1601 gives 0.
FILETIME FromDateTime(const boost::posix_time::ptime& time);

}  // namespace file_times
