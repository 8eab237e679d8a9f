// POSIX code only: clock_gettime, time, tzset, localtime_r, gmtime_r and mktime (the
// calendar arithmetic is shared, in ClockArithmetic.cpp).
#include "corelib/platform/Clock.h"

#include <ctime>
#include <time.h>

#include "corelib/platform/ClockArithmetic.h"

static_assert(sizeof(time_t) >= 8, "time_t must be 64 bits wide (build with _TIME_BITS=64)");

namespace KelvraCorelib::Platform {

int64_t realTimeMilliseconds()
{
    struct timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        return int64_t(time(nullptr)) * 1000;
    }
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t monotonicMilliseconds()
{
    struct timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int64_t secondsClock()
{
    return int64_t(time(nullptr));
}

void reloadLocalTimeZone()
{
    tzset();
}

bool localTimeOf(int64_t unixSeconds, LocalTimeFields& fields)
{
    const time_t instant = time_t(unixSeconds);
    struct tm local{};
    if (localtime_r(&instant, &local) == nullptr) {
        return false;
    }
    fields = localTimeFieldsOf(local, unixSeconds);
    return true;
}

bool localTimeToSeconds(const LocalTimeFields& fields, int64_t& unixSeconds)
{
    std::tm local = calendarFieldsOf(fields);
    local.tm_wday = -1;  // mktime sets it on success, so -1 marks a failure (the result -1 is valid)
    const time_t instant = mktime(&local);
    if (instant == time_t(-1) && local.tm_wday == -1) {
        return false;
    }
    unixSeconds = int64_t(instant);
    return true;
}

}  // namespace KelvraCorelib::Platform
