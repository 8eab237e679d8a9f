// DateTime and DateTimeDetails: counts, calendar fields, text form and parsing.
#include "corelib/DateTime.h"

#include <cstdint>
#include <cstdio>

#include "corelib/platform/Clock.h"

namespace KelvraCorelib {

namespace {

constexpr int64_t millisecondsPerDay = 86400000;
constexpr int64_t millisecondsPerHour = 3600000;
constexpr int64_t millisecondsPerWeek = 604800000;
// The largest day number whose counts fit in 64 bits, and a year safely before it.
constexpr int64_t maxDayNumber = INT64_MAX / millisecondsPerDay - 1;
constexpr int64_t maxYear = 290000000;

int64_t floorDivide(int64_t value, int64_t divisor)
{
    int64_t quotient = value / divisor;
    if ((value % divisor != 0) && ((value < 0) != (divisor < 0))) {
        --quotient;
    }
    return quotient;
}

// Has the divisor's sign; computed from the remainder, so no count overflows on the way.
int64_t floorModulo(int64_t value, int64_t divisor)
{
    const int64_t remainder = value % divisor;
    return (remainder != 0 && (remainder < 0) != (divisor < 0)) ? remainder + divisor : remainder;
}

// A count moved by an offset, held at the ends of the range instead of wrapping around.
int64_t saturatingAdd(int64_t value, int64_t offset)
{
    int64_t sum = 0;
    if (__builtin_add_overflow(value, offset, &sum))
        return offset < 0 ? INT64_MIN : INT64_MAX;
    return sum;
}

int64_t saturatingSubtract(int64_t value, int64_t offset)
{
    int64_t difference = 0;
    if (__builtin_sub_overflow(value, offset, &difference))
        return offset > 0 ? INT64_MIN : INT64_MAX;
    return difference;
}

// Days of all years before the given one, counted from day 1 = 1900-01-01.
int64_t daysBeforeYear(int64_t year)
{
    const int64_t previous = year - 1;
    return (year - 1900) * 365 + floorDivide(previous, 4) - floorDivide(previous, 100) + floorDivide(previous, 400) -
           460;
}

const int64_t monthLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Optional "-", then decimal digits up to the first other character; empty gives 0.
int64_t leadingNumber(const std::string& text)
{
    size_t position = 0;
    bool negative = false;
    if (position < text.size() && text[position] == '-') {
        negative = true;
        ++position;
    }
    int64_t value = 0;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position) {
        if (value < 100000000000000000LL) {
            value = value * 10 + (text[position] - '0');
        }
    }
    return negative ? -value : value;
}

// The next group of part from position: it ends at the separator (which is consumed) or when
// it has maxLength characters (a separator right after it is consumed as well).
std::string nextGroup(const std::string& part, size_t& position, size_t maxLength, char separator)
{
    std::string group;
    while (position < part.size() && part[position] != separator && group.size() < maxLength) {
        group += part[position++];
    }
    if (position < part.size() && part[position] == separator) {
        ++position;
    }
    return group;
}

}  // namespace

// ---------------------------------------------------------------------------------- DateTime

DateTime::DateTime() : count(0)
{
    zone.setLocal(false);
}

DateTime::DateTime(int64_t count) : count(count)
{
    zone.setLocal(false);
}

DateTime::DateTime(int64_t count, const TimeZone& zone) : count(count), zone(zone) {}

DateTime::DateTime(const DateTimeDetails& details) : count(details.toCount()), zone(details.zone) {}

DateTime DateTime::now()
{
    return DateTime(nowCount());
}

int64_t DateTime::nowCount()
{
    return Platform::realTimeMilliseconds() + unixEpochCount;
}

std::string DateTime::toText(bool withMilliseconds, bool compact, bool withZone) const
{
    return DateTimeDetails(*this).toText(withMilliseconds, compact, withZone);
}

DateTime DateTime::floorTo(int64_t interval, const TimeZone& floorZone) const
{
    if (interval <= 1) {
        return *this;
    }
    if (interval == millisecondsPerWeek) {
        DateTime result = floorTo(millisecondsPerDay, floorZone);
        for (int step = 0; step < 7 && result.count >= INT64_MIN + millisecondsPerDay &&
                           result.toLocalDetails(floorZone).dayOfWeek != 0;
             ++step) {
            result.count -= millisecondsPerDay;
        }
        return result;
    }
    const bool wasDaylight = floorZone.isDaylightAt(count);
    const int64_t offset = floorZone.offsetAt(count);
    int64_t local = 0;
    // At the ends of the count range there may be no interval start to go back to.
    if (__builtin_add_overflow(count, offset, &local) ||
        __builtin_sub_overflow(local, floorModulo(local, interval), &local)) {
        return *this;
    }
    DateTime result(saturatingSubtract(local, offset), zone);
    const bool isDaylight = floorZone.isDaylightAt(result.count);
    if (wasDaylight && !isDaylight) {
        result.count = saturatingAdd(result.count, floorZone.daylightDelta);
    } else if (!wasDaylight && isDaylight) {
        result.count = saturatingSubtract(result.count, floorZone.daylightDelta);
    }
    return result;
}

DateTimeDetails DateTime::toLocalDetails(const TimeZone& localZone) const
{
    int64_t local = saturatingAdd(count, localZone.offsetAt(count));
    if (local < 0) {
        local = 0;
    }
    return DateTimeDetails(local, localZone);
}

// --------------------------------------------------------------------------- DateTimeDetails

DateTimeDetails::DateTimeDetails()
{
    computeDerived();
}

DateTimeDetails::DateTimeDetails(const DateTime& instant) : zone(instant.zone)
{
    setFromCount(instant.count);
}

DateTimeDetails::DateTimeDetails(int64_t count)
{
    setFromCount(count);
}

DateTimeDetails::DateTimeDetails(int64_t count, const TimeZone& zone) : isLocal(true), zone(zone)
{
    setFromCount(count);
}

DateTimeDetails::DateTimeDetails(const std::string& text)
{
    parse(text);
}

DateTimeDetails::DateTimeDetails(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                                 int64_t second, int64_t millisecond, bool isLocal)
    : year(year), month(month), day(day), hour(hour), minute(minute), second(second), millisecond(millisecond),
      normalized(false), isLocal(isLocal)
{
    normalize();
}

bool DateTimeDetails::isLeapYear(int64_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t DateTimeDetails::daysInMonth(int64_t year, int64_t month)
{
    if (month < 1 || month > 12) {
        return 0;
    }
    return (month == 2 && isLeapYear(year)) ? 29 : monthLengths[month - 1];
}

int64_t DateTimeDetails::dayNumber(int64_t year, int64_t month, int64_t day)
{
    year += floorDivide(month - 1, 12);
    month = floorModulo(month - 1, 12) + 1;
    int64_t days = daysBeforeYear(year) + day;
    for (int64_t before = 1; before < month; ++before) {
        days += daysInMonth(year, before);
    }
    return days;
}

void DateTimeDetails::setDefaultDate()
{
    year = 1900;
    month = 1;
    day = 1;
    hour = 0;
    minute = 0;
    second = 0;
    millisecond = 0;
}

void DateTimeDetails::setFromCount(int64_t count)
{
    if (count < millisecondsPerDay) {
        // Nothing before 1900-01-01T00:00:00 is represented.
        setDefaultDate();
        computeDerived();
        return;
    }
    const int64_t days = count / millisecondsPerDay;
    int64_t rest = count % millisecondsPerDay;
    hour = rest / millisecondsPerHour;
    rest %= millisecondsPerHour;
    minute = rest / 60000;
    rest %= 60000;
    second = rest / 1000;
    millisecond = rest % 1000;

    // Estimate the year from the mean Gregorian year, then correct it.
    year = 1900 + (days - 1) * 400 / 146097;
    while (daysBeforeYear(year + 1) < days) {
        ++year;
    }
    while (daysBeforeYear(year) >= days) {
        --year;
    }
    int64_t dayInYear = days - daysBeforeYear(year);
    month = 1;
    while (dayInYear > daysInMonth(year, month)) {
        dayInYear -= daysInMonth(year, month);
        ++month;
    }
    day = dayInYear;
    computeDerived();
}

void DateTimeDetails::computeDerived()
{
    const int64_t number = dayNumber(year, month, day);
    dayOfYear = number - daysBeforeYear(year);
    dayOfWeek = floorModulo(number + 6, 7);

    // ISO 8601: week 1 holds the year's first Thursday.
    auto weeksInYear = [](int64_t someYear) {
        const int64_t januaryFirst = floorModulo(dayNumber(someYear, 1, 1) + 6, 7);
        return (januaryFirst == 3 || (januaryFirst == 2 && isLeapYear(someYear))) ? 53 : 52;
    };
    int64_t week = floorDivide(dayOfYear - (dayOfWeek + 1) + 10, 7);
    if (week < 1) {
        week = weeksInYear(year - 1);
    } else if (week > weeksInYear(year)) {
        week = 1;
    }
    weekOfYear = week;
    normalized = true;
}

void DateTimeDetails::normalize()
{
    second += floorDivide(millisecond, 1000);
    millisecond = floorModulo(millisecond, 1000);
    minute += floorDivide(second, 60);
    second = floorModulo(second, 60);
    hour += floorDivide(minute, 60);
    minute = floorModulo(minute, 60);
    day += floorDivide(hour, 24);
    hour = floorModulo(hour, 24);
    year += floorDivide(month - 1, 12);
    month = floorModulo(month - 1, 12) + 1;

    // Days beyond the month's length run into the following months, days below 1 into the
    // preceding ones: the same as counting from the first of the month.
    // Years and days beyond what a count can hold are clamped.
    year = year > maxYear ? maxYear : (year < -maxYear ? -maxYear : year);
    int64_t number = dayNumber(year, month, 1);
    number = day - 1 > maxDayNumber - number ? maxDayNumber : number + day - 1;
    if (number < 1) {
        setDefaultDate();
    } else {
        const int64_t keptHour = hour, keptMinute = minute, keptSecond = second, keptMillisecond = millisecond;
        setFromCount(number * millisecondsPerDay);
        hour = keptHour;
        minute = keptMinute;
        second = keptSecond;
        millisecond = keptMillisecond;
    }
    computeDerived();
}

int64_t DateTimeDetails::toCount() const
{
    if (!normalized) {
        DateTimeDetails copy(*this);
        copy.normalize();
        return copy.toCount();
    }
    const int64_t fields =
        (((dayNumber(year, month, day) * 24 + hour) * 60 + minute) * 60 + second) * 1000 + millisecond;
    if (!isLocal) {
        return fields;
    }
    TimeZone localZone(zone);
    if (!localZone.isSet()) {
        localZone.setLocal(false);
    }
    // A local time is read as summer time when that reading falls into summer time: a time in
    // the hour skipped at the start thus moves forward, and one in the repeated hour at the end
    // is taken as its first (summer-time) occurrence.
    const int64_t standard = saturatingSubtract(fields, localZone.standardOffset);
    const int64_t summer = saturatingSubtract(standard, localZone.daylightDelta);
    if (localZone.daylightDelta != 0 && localZone.isDaylightAt(summer)) {
        return summer;
    }
    return standard;
}

DateTime DateTimeDetails::toDateTime() const
{
    return DateTime(*this);
}

std::string DateTimeDetails::toText(bool withMilliseconds, bool compact, bool withZone) const
{
    if (!normalized) {
        DateTimeDetails copy(*this);
        copy.normalize();
        return copy.toText(withMilliseconds, compact, withZone);
    }
    char buffer[96];
    if (compact) {
        std::snprintf(buffer, sizeof buffer, "%04lld%02lld%02lldT%02lld%02lld%02lld", (long long)year,
                      (long long)month, (long long)day, (long long)hour, (long long)minute, (long long)second);
    } else {
        std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld", (long long)year,
                      (long long)month, (long long)day, (long long)hour, (long long)minute, (long long)second);
    }
    std::string text = buffer;
    if (withMilliseconds) {
        std::snprintf(buffer, sizeof buffer, ".%03lld", (long long)millisecond);
        text += buffer;
    }
    if (!isLocal) {
        text += 'Z';
    }
    if (withZone) {
        text += zone.offsetText(toCount(), compact);
    }
    return text;
}

void DateTimeDetails::parse(const std::string& text)
{
    setDefaultDate();
    isLocal = true;

    const size_t timeMark = text.find('T');
    const std::string datePart = text.substr(0, timeMark);
    std::string timePart;
    std::string zonePart;
    if (timeMark != std::string::npos) {
        const std::string rest = text.substr(timeMark + 1);
        const size_t timeEnd = rest.find_first_of(" +-Z");
        timePart = rest.substr(0, timeEnd);
        if (timeEnd != std::string::npos) {
            const char mark = rest[timeEnd];
            if (mark == 'Z') {
                isLocal = false;
            }
            zonePart = (mark == '+' || mark == '-') ? rest.substr(timeEnd) : rest.substr(timeEnd + 1);
        }
    }

    size_t position = 0;
    year = leadingNumber(nextGroup(datePart, position, 4, '-'));
    // An absent month or day keeps its default (1): "2010" is 2010-01-01, not 2009-11-30.
    const std::string monthGroup = nextGroup(datePart, position, 2, '-');
    month = monthGroup.empty() ? 1 : leadingNumber(monthGroup);
    const std::string dayGroup = nextGroup(datePart, position, 2, '-');
    day = dayGroup.empty() ? 1 : leadingNumber(dayGroup);

    for (char& character : timePart) {
        if (character == '.') {
            character = ':';
        }
    }
    position = 0;
    hour = leadingNumber(nextGroup(timePart, position, 2, ':'));
    minute = leadingNumber(nextGroup(timePart, position, 2, ':'));
    second = leadingNumber(nextGroup(timePart, position, 2, ':'));
    millisecond = leadingNumber(nextGroup(timePart, position, 3, ':'));

    if (!zonePart.empty()) {
        zone.setFromSpecification(zonePart);
    } else if (!zone.isSet()) {
        zone.setLocal(false);
    }
    normalize();
}

}  // namespace KelvraCorelib
