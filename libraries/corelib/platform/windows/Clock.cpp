// Windows code only: the system clock, the tick count and the C runtime's 64-bit time
// functions (the 32-bit ones end in January 2038).
#include "corelib/platform/Clock.h"

#include <ctime>
#include <time.h>

#include <windows.h>

namespace KelvraCorelib::Platform {

namespace {

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t unixEpochInFileTime = 116444736000000000LL;

int64_t floorDivide(int64_t value, int64_t divisor)
{
    int64_t quotient = value / divisor;
    if ((value % divisor != 0) && ((value < 0) != (divisor < 0))) {
        --quotient;
    }
    return quotient;
}

// Days from 1970-01-01 to a proleptic Gregorian date.
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = floorDivide(year, 400);
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int64_t secondsAsIfUtc(const struct tm& fields)
{
    const int64_t days = daysFromCivil(int64_t(fields.tm_year) + 1900, fields.tm_mon + 1, fields.tm_mday);
    return ((days * 24 + fields.tm_hour) * 60 + fields.tm_min) * 60 + fields.tm_sec;
}

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
    fields.year = int64_t(local.tm_year) + 1900;
    fields.month = local.tm_mon + 1;
    fields.day = local.tm_mday;
    fields.hour = local.tm_hour;
    fields.minute = local.tm_min;
    fields.second = local.tm_sec;
    fields.weekday = (local.tm_wday + 6) % 7;
    fields.isDaylight = local.tm_isdst > 0;
    fields.utcOffsetSeconds = secondsAsIfUtc(local) - unixSeconds;
    return true;
}

bool localTimeToSeconds(const LocalTimeFields& fields, int64_t& unixSeconds)
{
    struct tm local{};
    local.tm_year = int(fields.year - 1900);
    local.tm_mon = int(fields.month - 1);
    local.tm_mday = int(fields.day);
    local.tm_hour = int(fields.hour);
    local.tm_min = int(fields.minute);
    local.tm_sec = int(fields.second);
    local.tm_isdst = -1;
    const __time64_t instant = _mktime64(&local);
    if (instant == __time64_t(-1)) {
        return false;
    }
    unixSeconds = int64_t(instant);
    return true;
}

}  // namespace KelvraCorelib::Platform
