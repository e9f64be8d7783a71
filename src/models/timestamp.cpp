#include "models/timestamp.hpp"

#include <ctime>

namespace revuradova {
namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
void civil_from_days(std::int64_t days, std::int32_t& year, std::uint8_t& month,
                     std::uint8_t& day) {
    days += 719'468;
    const std::int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
    const auto doe = static_cast<std::uint32_t>(days - era * 146'097);
    const std::uint32_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
    const std::uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::uint32_t mp = (5 * doy + 2) / 153;
    const std::uint32_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::uint32_t m = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<std::int32_t>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
    month = static_cast<std::uint8_t>(m);
    day = static_cast<std::uint8_t>(d);
}

std::int64_t days_from_civil(std::int64_t y, std::uint32_t m, std::uint32_t d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<std::uint32_t>(y - era * 400);
    const std::uint32_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::uint32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146'097 + static_cast<std::int64_t>(doe) - 719'468;
}

}  // namespace

UtcTimestamp UtcTimestamp::from_unix(std::int64_t seconds, std::uint32_t nanoseconds) {
    if (seconds < 0) throw ClockBeforeEpochError();
    UtcTimestamp t;
    civil_from_days(seconds / kSecondsPerDay, t.year, t.month, t.day);
    t.seconds_of_day = static_cast<std::uint32_t>(seconds % kSecondsPerDay);
    t.nanoseconds = nanoseconds;
    return t;
}

UtcTimestamp UtcTimestamp::now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return from_unix(static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec));
}

std::int64_t UtcTimestamp::unix_seconds() const {
    return days_from_civil(year, month, day) * kSecondsPerDay + seconds_of_day;
}

}  // namespace revuradova
