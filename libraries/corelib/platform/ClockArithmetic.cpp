// Calendar arithmetic for the clocks: broken-down times to and from LocalTimeFields.
#include "corelib/platform/ClockArithmetic.h"

namespace KelvraCorelib::Platform {

namespace {

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

int64_t secondsAsIfUtc(const std::tm& fields)
{
    const int64_t days = daysFromCivil(int64_t(fields.tm_year) + 1900, fields.tm_mon + 1, fields.tm_mday);
    return ((days * 24 + fields.tm_hour) * 60 + fields.tm_min) * 60 + fields.tm_sec;
}

}  // namespace

LocalTimeFields localTimeFieldsOf(const std::tm& local, int64_t unixSeconds)
{
    LocalTimeFields fields;
    fields.year = int64_t(local.tm_year) + 1900;
    fields.month = local.tm_mon + 1;
    fields.day = local.tm_mday;
    fields.hour = local.tm_hour;
    fields.minute = local.tm_min;
    fields.second = local.tm_sec;
    fields.weekday = (local.tm_wday + 6) % 7;
    fields.isDaylight = local.tm_isdst > 0;
    fields.utcOffsetSeconds = secondsAsIfUtc(local) - unixSeconds;
    return fields;
}

std::tm calendarFieldsOf(const LocalTimeFields& fields)
{
    std::tm local{};
    local.tm_year = int(fields.year - 1900);
    local.tm_mon = int(fields.month - 1);
    local.tm_mday = int(fields.day);
    local.tm_hour = int(fields.hour);
    local.tm_min = int(fields.minute);
    local.tm_sec = int(fields.second);
    local.tm_isdst = -1;
    return local;
}

}  // namespace KelvraCorelib::Platform
