// Windows code only: the system clock, the tick count and the C runtime's 64-bit time
// functions (the 32-bit ones end in January 2038).
#include "corelib/platform/Clock.h"

#include <ctime>
#include <time.h>

#include "corelib/platform/ClockArithmetic.h"

#include <windows.h>

namespace KelvraCorelib::Platform {

namespace {

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t unixEpochInFileTime = 116444736000000000LL;

}  // namespace

int64_t realTimeMilliseconds()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME fileTime;
    if (!SystemTimeToFileTime(&now, &fileTime)) {
        return int64_t(_time64(nullptr)) * 1000;
    }
    const int64_t ticks = int64_t((uint64_t(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime);
    return (ticks - unixEpochInFileTime) / 10000;
}

int64_t monotonicMilliseconds()
{
    return int64_t(GetTickCount64());
}

int64_t secondsClock()
{
    return int64_t(_time64(nullptr));
}

void reloadLocalTimeZone()
{
    _tzset();
}

bool localTimeOf(int64_t unixSeconds, LocalTimeFields& fields)
{
    const __time64_t instant = __time64_t(unixSeconds);
    struct tm local{};
    if (_localtime64_s(&local, &instant) != 0) {
        return false;
    }
    fields = localTimeFieldsOf(local, unixSeconds);
    return true;
}

bool localTimeToSeconds(const LocalTimeFields& fields, int64_t& unixSeconds)
{
    std::tm local = calendarFieldsOf(fields);
    const __time64_t instant = _mktime64(&local);
    if (instant == __time64_t(-1)) {
        return false;
    }
    unixSeconds = int64_t(instant);
    return true;
}

}  // namespace KelvraCorelib::Platform
