// TimeZone and TransitionRule: offsets, summer-time rules, the local zone and "KELVRA_TZ".
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "corelib/DateTime.h"
#include "corelib/MatchGlob.h"
#include "corelib/platform/Clock.h"

namespace KelvraCorelib {

namespace {

constexpr int64_t millisecondsPerDay = 86400000;
constexpr int64_t millisecondsPerHour = 3600000;
constexpr int64_t millisecondsPerMinute = 60000;
constexpr int64_t localCacheSeconds = 3600;
constexpr int64_t scanSkipSeconds = 7776000;  // 90 days

struct ZoneValues {
    int64_t standardOffset = 0;
    int64_t daylightDelta = 0;
    TransitionRule daylightStart;
    TransitionRule daylightEnd;
};

// Set while "KELVRA_TZ" is being evaluated, so that the zones built for it neither wait for
// the override nor copy it.
thread_local bool readingOverride = false;

ZoneValues valuesOf(const TimeZone& zone)
{
    ZoneValues values;
    values.standardOffset = zone.standardOffset;
    values.daylightDelta = zone.daylightDelta;
    values.daylightStart = zone.daylightStart;
    values.daylightEnd = zone.daylightEnd;
    return values;
}

void assign(TimeZone& zone, const ZoneValues& values)
{
    zone.standardOffset = values.standardOffset;
    zone.daylightDelta = values.daylightDelta;
    zone.daylightStart = values.daylightStart;
    zone.daylightEnd = values.daylightEnd;
    zone.set = true;
}

std::optional<ZoneValues> readOverride()
{
    readingOverride = true;
    std::optional<ZoneValues> result;
    const char* text = std::getenv("KELVRA_TZ");
    if (text != nullptr && *text != '\0') {
        result = valuesOf(TimeZone(std::string(text)));
    } else {
        Platform::reloadLocalTimeZone();
    }
    readingOverride = false;
    return result;
}

// The "KELVRA_TZ" zone, read once per process.
const std::optional<ZoneValues>& overrideZone()
{
    static const std::optional<ZoneValues> zone = readOverride();
    return zone;
}

// Optional blanks, optional "-", then decimal digits up to the first other character.
int64_t leadingNumber(const std::string& text, size_t* digitCount = nullptr)
{
    size_t position = 0;
    while (position < text.size() && text[position] == ' ') {
        ++position;
    }
    bool negative = false;
    if (position < text.size() && text[position] == '-') {
        negative = true;
        ++position;
    }
    uint64_t value = 0;
    size_t digits = 0;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position, ++digits) {
        if (value < 100000000000000000ULL) {
            value = value * 10 + uint64_t(text[position] - '0');
        }
    }
    if (digitCount != nullptr) {
        *digitCount = digits;
    }
    return negative ? -int64_t(value) : int64_t(value);
}

uint8_t ruleField(int64_t value)
{
    return uint8_t(value < 0 ? 0 : (value > 255 ? 255 : value));
}

// "3M5W6D2H": digits collect into a number that the next letter assigns.
TransitionRule parseRule(const std::string& text)
{
    TransitionRule rule;
    std::string number;
    for (char character : text) {
        switch (character) {
            case 'M': rule.month = ruleField(leadingNumber(number)); number.clear(); break;
            case 'W': rule.week = ruleField(leadingNumber(number)); number.clear(); break;
            case 'D': rule.weekday = ruleField(leadingNumber(number)); number.clear(); break;
            case 'H': rule.hour = ruleField(leadingNumber(number)); number.clear(); break;
            default: number += character; break;
        }
    }
    return rule;
}

// The rule of a transition that happened right after the local time before it.
TransitionRule ruleBefore(const Platform::LocalTimeFields& before)
{
    TransitionRule rule;
    rule.month = uint8_t(before.month);
    int64_t week = (before.day - 1) / 7 + 1;
    rule.week = uint8_t(week == 4 ? 5 : week);
    rule.weekday = uint8_t(before.weekday);
    rule.hour = uint8_t(before.hour + 1);
    return rule;
}

// Steps through the current year an hour at a time; a step after which the local clock did not
// advance by exactly one hour is a transition. The offset is looked at a week apart, and only
// a week in which it changed is searched for its hour (no zone changes its offset twice in a
// week).
ZoneValues determineLocalZone()
{
    Platform::reloadLocalTimeZone();
    ZoneValues values;
    Platform::LocalTimeFields now;
    if (!Platform::localTimeOf(Platform::secondsClock(), now)) {
        return values;
    }
    values.standardOffset = now.utcOffsetSeconds * 1000;

    Platform::LocalTimeFields first;
    first.year = now.year;
    Platform::LocalTimeFields last;
    last.year = now.year;
    last.month = 12;
    last.day = 31;
    last.hour = 23;
    int64_t time = 0;
    int64_t end = 0;
    Platform::LocalTimeFields previous;
    if (!Platform::localTimeToSeconds(first, time) || !Platform::localTimeToSeconds(last, end) ||
        !Platform::localTimeOf(time, previous)) {
        return values;
    }

    constexpr int64_t hour = 3600;
    constexpr int64_t hoursPerProbe = 7 * 24;
    ZoneValues found;
    bool haveStart = false;
    bool haveEnd = false;
    while (time < end) {
        // The hourly steps left before the end, at most a probe's worth.
        const int64_t steps = std::min(hoursPerProbe, (end - time + hour - 1) / hour);
        Platform::LocalTimeFields current;
        if (!Platform::localTimeOf(time + steps * hour, current)) {
            break;
        }
        if (current.utcOffsetSeconds == previous.utcOffsetSeconds) {
            time += steps * hour;
            previous = current;
            continue;
        }
        // The first hour whose offset differs: after `before` steps the offset is the old one.
        int64_t before = 0;
        int64_t after = steps;
        bool failed = false;
        while (after - before > 1) {
            const int64_t middle = (before + after) / 2;
            Platform::LocalTimeFields probe;
            if (!Platform::localTimeOf(time + middle * hour, probe)) {
                failed = true;
                break;
            }
            if (probe.utcOffsetSeconds == previous.utcOffsetSeconds) {
                before = middle;
                previous = probe;
            } else {
                after = middle;
                current = probe;
            }
        }
        if (failed) {
            break;
        }
        int64_t next = time + after * hour;
        const int64_t jump = current.utcOffsetSeconds - previous.utcOffsetSeconds;
        if (jump > 0) {
            found.daylightStart = ruleBefore(previous);
            found.daylightDelta = jump * 1000;
            found.standardOffset = previous.utcOffsetSeconds * 1000;
            haveStart = true;
        } else {
            found.daylightEnd = ruleBefore(previous);
            haveEnd = true;
        }
        if (previous.month <= 9) {
            next += scanSkipSeconds;
            if (!Platform::localTimeOf(next, current)) {
                break;
            }
        }
        time = next;
        previous = current;
    }
    // Only a pair of transitions is a summer-time rule; a single change of offset is not.
    if (haveStart && haveEnd) {
        return found;
    }
    return values;
}

struct LocalCache {
    std::mutex lock;
    bool valid = false;
    int64_t computedAt = 0;
    ZoneValues values;
};

LocalCache& localCache()
{
    static LocalCache cache;
    return cache;
}

std::string twoDigits(int64_t value)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%02lld", (long long)value);
    return buffer;
}

}  // namespace

// ---------------------------------------------------------------------------- TransitionRule

std::string TransitionRule::toText() const
{
    return std::to_string(month) + "M" + std::to_string(week) + "W" + std::to_string(weekday) + "D" +
           std::to_string(hour) + "H";
}

// ---------------------------------------------------------------------------------- TimeZone

TimeZone::TimeZone()
{
    if (!readingOverride) {
        overrideZone();
    }
}

TimeZone::TimeZone(const TimeZone& other) = default;

TimeZone::TimeZone(const std::string& specification) : TimeZone()
{
    setFromSpecification(specification);
}

TimeZone& TimeZone::operator=(const TimeZone& other) = default;

TimeZone::~TimeZone() = default;

void TimeZone::setLocal(bool force)
{
    if (!readingOverride) {
        const std::optional<ZoneValues>& override = overrideZone();
        if (override) {
            assign(*this, *override);
            return;
        }
    }
    LocalCache& cache = localCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    const int64_t now = Platform::secondsClock();
    const int64_t age = now - cache.computedAt;
    if (force || !cache.valid || age < 0 || age >= localCacheSeconds) {
        cache.values = determineLocalZone();
        cache.computedAt = now;
        cache.valid = true;
    }
    assign(*this, cache.values);
}

void TimeZone::setFromSpecification(const std::string& specification)
{
    if (matchGlob(specification, "???:?? (???:?? *M*W*D*H-*M*W*D*H)")) {
        const size_t blank = specification.find(' ');
        const size_t open = specification.find('(', blank);
        const size_t deltaEnd = specification.find(' ', open);
        const size_t dash = specification.find('-', deltaEnd);
        const size_t close = specification.find(')', dash);
        standardOffset = parseOffset(specification.substr(0, blank));
        daylightDelta = parseOffset(specification.substr(open + 1, deltaEnd - open - 1));
        daylightStart = parseRule(specification.substr(deltaEnd + 1, dash - deltaEnd - 1));
        daylightEnd = parseRule(specification.substr(dash + 1, close - dash - 1));
        set = true;
        return;
    }

    int64_t offsetNow = 0;
    if (matchGlob(specification, "+????*") || matchGlob(specification, "-????*")) {
        offsetNow = parseOffset(specification);
    } else {
        size_t digits = 0;
        const int64_t number = leadingNumber(specification, &digits);
        offsetNow = digits < 7 ? number * millisecondsPerMinute : number;
    }
    // The offset is the one in force now: with the local rule, outside summer time it is one
    // daylight delta smaller while summer time is in effect.
    TimeZone local;
    local.setLocal(false);
    const int64_t now = Platform::realTimeMilliseconds() + DateTime::unixEpochCount;
    daylightDelta = local.daylightDelta;
    daylightStart = local.daylightStart;
    daylightEnd = local.daylightEnd;
    standardOffset = offsetNow;
    if (local.isDaylightAt(now)) {
        standardOffset -= daylightDelta;
    }
    set = true;
}

int64_t TimeZone::offsetAt(int64_t count) const
{
    return isDaylightAt(count) ? standardOffset + daylightDelta : standardOffset;
}

int64_t TimeZone::offsetAt(const DateTime& instant) const
{
    return offsetAt(instant.count);
}

int64_t TimeZone::ruleInstant(const TransitionRule& rule, int64_t year, bool isEnd) const
{
    const int64_t week = rule.week < 1 ? 1 : (rule.week > 5 ? 5 : rule.week);
    const int64_t weekday = rule.weekday % 7;
    const int64_t firstDay = DateTimeDetails::dayNumber(year, rule.month, 1);
    const int64_t firstWeekday = (firstDay + 6) % 7;
    int64_t day = 1 + (weekday - firstWeekday + 7) % 7 + (week - 1) * 7;
    const int64_t length = DateTimeDetails::daysInMonth(year, rule.month);
    while (day > length) {
        day -= 7;
    }
    // In the last and first years of the count range the instant may lie beyond it: held at the
    // ends of the range then.
    __int128 instant = __int128(firstDay + day - 1) * millisecondsPerDay + rule.hour * millisecondsPerHour -
                       standardOffset;
    if (isEnd) {
        instant -= daylightDelta;
    }
    return instant > INT64_MAX ? INT64_MAX : (instant < INT64_MIN ? INT64_MIN : int64_t(instant));
}

bool TimeZone::isDaylightAt(int64_t count) const
{
    if (daylightDelta == 0 || daylightStart.month < 1 || daylightStart.month > 12 || daylightEnd.month < 1 ||
        daylightEnd.month > 12) {
        return false;
    }
    const int64_t year = DateTimeDetails(count).year;
    const int64_t start = ruleInstant(daylightStart, year, false);
    const int64_t end = ruleInstant(daylightEnd, year, true);
    if (start == end) {
        return false;
    }
    if (start < end) {
        return start <= count && count < end;
    }
    return count >= start || count < end;
}

bool TimeZone::isDaylightAt(const DateTime& instant) const
{
    return isDaylightAt(instant.count);
}

std::string TimeZone::toText() const
{
    std::string text = formatOffset(standardOffset);
    if (daylightDelta != 0) {
        text += " (" + formatOffset(daylightDelta) + " " + daylightStart.toText() + "-" + daylightEnd.toText() + ")";
    }
    return text;
}

std::string TimeZone::offsetText(int64_t count, bool compact) const
{
    return formatOffset(offsetAt(count), compact);
}

std::string TimeZone::offsetText(const DateTime& instant, bool compact) const
{
    return offsetText(instant.count, compact);
}

int64_t TimeZone::parseOffset(const std::string& text)
{
    size_t minutesAt = 0;
    if (matchGlob(text, "+??:??") || matchGlob(text, "-??:??")) {
        minutesAt = 4;
    } else if (matchGlob(text, "+????") || matchGlob(text, "-????")) {
        minutesAt = 3;
    } else {
        return 0;
    }
    const int64_t hours = leadingNumber(text.substr(1, 2));
    const int64_t minutes = leadingNumber(text.substr(minutesAt, 2));
    const int64_t offset = hours * millisecondsPerHour + minutes * millisecondsPerMinute;
    return text[0] == '-' ? -offset : offset;
}

std::string TimeZone::formatOffset(int64_t offset, bool compact)
{
    const uint64_t magnitude = offset < 0 ? 0 - uint64_t(offset) : uint64_t(offset);
    const int64_t hours = int64_t(magnitude / millisecondsPerHour);
    const int64_t minutes = int64_t(magnitude % millisecondsPerHour / millisecondsPerMinute);
    return std::string(offset < 0 ? "-" : "+") + twoDigits(hours) + (compact ? "" : ":") + twoDigits(minutes);
}

}  // namespace KelvraCorelib
