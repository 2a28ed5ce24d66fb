#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstdint>

namespace tarvo::detail {

// Storage engines keep times as microseconds since 1970-01-01 00:00 UTC.
std::int64_t ToMicroseconds(const boost::posix_time::ptime& time);
boost::posix_time::ptime FromMicroseconds(std::int64_t microseconds);
// The current UTC time, to the microsecond.
boost::posix_time::ptime Now();

}  // namespace tarvo::detail
