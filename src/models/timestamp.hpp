#pragma once

#include <compare>
#include <cstdint>
#include <stdexcept>

namespace revuradova {

/// Thrown when the real-time clock reads an instant before 1970-01-01, which no
/// timestamp of this system can represent.
class ClockBeforeEpochError : public std::runtime_error {
public:
    ClockBeforeEpochError()
        : std::runtime_error("the system clock reads a time before 1970-01-01") {}
};

/// A UTC wall-clock instant: calendar date, seconds since midnight, nanoseconds.
/// Member order makes the defaulted comparison chronological (date, then time of day).
struct UtcTimestamp {
    std::int32_t year = 1970;
    std::uint8_t month = 1;            // 1..12
    std::uint8_t day = 1;              // 1..31
    std::uint32_t seconds_of_day = 0;  // 0..86399
    std::uint32_t nanoseconds = 0;     // 0..999'999'999

    /// Reads the real-time clock. Throws ClockBeforeEpochError for an instant before 1970.
    static UtcTimestamp now();

    /// Builds the instant `seconds` + `nanoseconds` after the Unix epoch.
    /// Throws ClockBeforeEpochError for negative seconds; nanoseconds must be below 10^9.
    static UtcTimestamp from_unix(std::int64_t seconds, std::uint32_t nanoseconds);

    /// Seconds since the Unix epoch (the inverse of from_unix, without the nanoseconds).
    std::int64_t unix_seconds() const;

    friend auto operator<=>(const UtcTimestamp&, const UtcTimestamp&) = default;
    friend bool operator==(const UtcTimestamp&, const UtcTimestamp&) = default;
};

}  // namespace revuradova
