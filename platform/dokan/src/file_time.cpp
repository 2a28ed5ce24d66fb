#include "file_time.h"

#include <cstdint>

namespace kelvo_dokan {
namespace {

constexpr std::int64_t kIntervalsPerSecond = 10'000'000;
constexpr std::int64_t kEpochDifferenceSeconds = 11'644'473'600;  // 1601-01-01 to 1970-01-01

}  // namespace

timespec FileTimeToTimespec(const FILETIME& fileTime) {
    const std::uint64_t intervals =
        (static_cast<std::uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    if (intervals == 0) {
        return timespec{0, 0};  // "no time": shown as the Unix epoch rather than 1601
    }
    const auto seconds = static_cast<std::int64_t>(intervals / kIntervalsPerSecond);
    const auto rest = static_cast<std::int64_t>(intervals % kIntervalsPerSecond);
    timespec time{};
    time.tv_sec = static_cast<time_t>(seconds - kEpochDifferenceSeconds);
    time.tv_nsec = static_cast<long>(rest * 100);
    return time;
}

FILETIME TimespecToFileTime(const timespec& time) {
    std::int64_t intervals =
        (static_cast<std::int64_t>(time.tv_sec) + kEpochDifferenceSeconds) * kIntervalsPerSecond +
        time.tv_nsec / 100;
    if (intervals < 0) {
        intervals = 0;
    }
    const auto value = static_cast<std::uint64_t>(intervals);
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

}  // namespace kelvo_dokan
