#include "FileTimes.h"

#include <cstdint>

namespace file_times {

FILETIME FromDateTime(const boost::posix_time::ptime& time) {
    FILETIME result{0, 0};
    if (time.is_special()) {
        return result;
    }
    static const boost::posix_time::ptime kEpoch(boost::gregorian::date(1601, 1, 1));
    const std::int64_t microseconds = (time - kEpoch).total_microseconds();
    if (microseconds < 0) {
        return result;
    }
    constexpr std::uint64_t kTicksPerSecond = 10'000'000;
    const std::uint64_t ticks =
        static_cast<std::uint64_t>(microseconds / 1'000'000) * kTicksPerSecond;
    result.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    result.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return result;
}

}  // namespace file_times
