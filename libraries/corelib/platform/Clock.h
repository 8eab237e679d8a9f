#pragma once
// Clocks and the C library's local-time conversion.
//
// Seconds and milliseconds here count from the Unix epoch (1970-01-01T00:00:00Z) in 64 bits.

#include <cstdint>

namespace KelvraCorelib::Platform {

// The real-time clock in milliseconds since the Unix epoch.
int64_t realTimeMilliseconds();

// A clock that never goes back, in milliseconds from an unspecified start (for time-outs).
int64_t monotonicMilliseconds();

// The C library's seconds clock (time()).
int64_t secondsClock();

// Local calendar fields of an instant.
struct LocalTimeFields {
    int64_t year = 1970;
    int64_t month = 1;      // 1 to 12
    int64_t day = 1;        // 1 to 31
    int64_t hour = 0;
    int64_t minute = 0;
    int64_t second = 0;
    int64_t weekday = 0;    // 0 = Monday to 6 = Sunday
    bool isDaylight = false;
    int64_t utcOffsetSeconds = 0;  // local time minus UTC
};

// Makes the next conversions follow the current TZ variable (tzset).
void reloadLocalTimeZone();

// The local fields of unixSeconds; false when the C library cannot convert it.
bool localTimeOf(int64_t unixSeconds, LocalTimeFields& fields);

// The instant of local fields (year, month, day, hour, minute, second; summer time decided by
// the C library); false when they cannot be converted.
bool localTimeToSeconds(const LocalTimeFields& fields, int64_t& unixSeconds);

}  // namespace KelvraCorelib::Platform
