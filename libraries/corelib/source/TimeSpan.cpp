// TimeSpan: P-notation, totals, comparison and adding to a date-time.
#include "corelib/TimeSpan.h"

#include <cstdint>

namespace KelvraCorelib {

namespace {

constexpr int64_t millisecondsPerDay = 86400000;
constexpr int64_t millisecondsPerHour = 3600000;
constexpr int64_t millisecondsPerMinute = 60000;

// Sums wrap around instead of overflowing (absurdly long texts stay defined behaviour).
int64_t wrappingAdd(int64_t left, int64_t right)
{
    return int64_t(uint64_t(left) + uint64_t(right));
}

// Optional "-", then digits up to the first other character, as a 32-bit value (saturating).
int64_t integerValue(const std::string& buffer)
{
    size_t position = 0;
    bool negative = false;
    if (position < buffer.size() && buffer[position] == '-') {
        negative = true;
        ++position;
    }
    int64_t value = 0;
    for (; position < buffer.size() && buffer[position] >= '0' && buffer[position] <= '9'; ++position) {
        value = value * 10 + (buffer[position] - '0');
        if (value > int64_t(INT32_MAX) + 1) {
            value = int64_t(INT32_MAX) + 1;
        }
    }
    if (negative) {
        return -value;
    }
    return value > INT32_MAX ? INT32_MAX : value;
}

// The value in seconds with a fraction part ("1.25"), by the same leading-characters rule,
// as whole milliseconds truncated toward zero. Read as decimal digits, not through binary
// floating point, so that "1.001" gives 1001 and not 1000.
int64_t secondsToMilliseconds(const std::string& buffer)
{
    size_t position = 0;
    const bool negative = !buffer.empty() && buffer[0] == '-';
    if (negative) {
        ++position;
    }
    // Beyond this many seconds the count would not fit; such values read as zero.
    constexpr int64_t largestSeconds = INT64_MAX / 1000 - 1;
    int64_t seconds = 0;
    for (; position < buffer.size() && buffer[position] >= '0' && buffer[position] <= '9'; ++position) {
        seconds = seconds * 10 + (buffer[position] - '0');
        if (seconds > largestSeconds) {
            return 0;
        }
    }
    int64_t fraction = 0;
    if (position < buffer.size() && buffer[position] == '.') {
        ++position;
        for (int64_t scale = 100; position < buffer.size() && buffer[position] >= '0' && buffer[position] <= '9';
             ++position, scale /= 10) {
            fraction += (buffer[position] - '0') * scale;
        }
    }
    const int64_t total = seconds * 1000 + fraction;
    return negative ? -total : total;
}

}  // namespace

TimeSpan::TimeSpan(int64_t years, int64_t months, int64_t days, int64_t hours, int64_t minutes, int64_t seconds,
                   int64_t milliseconds)
    : years(years), months(months),
      milliseconds(((((days * 24) + hours) * 60 + minutes) * 60 + seconds) * 1000 + milliseconds)
{
}

TimeSpan::TimeSpan(int64_t milliseconds) : milliseconds(milliseconds) {}

TimeSpan::TimeSpan(const std::string& text)
{
    setFromText(text);
}

void TimeSpan::setFromText(const std::string& text)
{
    years = 0;
    months = 0;
    milliseconds = 0;
    const size_t start = text.find('P');
    if (start == std::string::npos) {
        return;
    }
    bool timeSection = false;
    std::string buffer;
    for (size_t position = start + 1; position < text.size(); ++position) {
        const char character = text[position];
        switch (character) {
            case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
            case '-': case '.':
                buffer += character;
                break;
            case 'T':
                buffer.clear();
                timeSection = true;
                break;
            case 'Y': case 'y':
                if (!timeSection) {
                    years = integerValue(buffer);
                }
                buffer.clear();
                break;
            case 'M': case 'm':
                if (timeSection) {
                    milliseconds = wrappingAdd(milliseconds, integerValue(buffer) * millisecondsPerMinute);
                } else {
                    months = integerValue(buffer);
                }
                buffer.clear();
                break;
            case 'D': case 'd':
                if (!timeSection) {
                    milliseconds = wrappingAdd(milliseconds, integerValue(buffer) * millisecondsPerDay);
                }
                buffer.clear();
                break;
            case 'H': case 'h':
                if (timeSection) {
                    milliseconds = wrappingAdd(milliseconds, integerValue(buffer) * millisecondsPerHour);
                }
                buffer.clear();
                break;
            case 'S': case 's':
                if (timeSection) {
                    milliseconds = wrappingAdd(milliseconds, secondsToMilliseconds(buffer));
                }
                buffer.clear();
                break;
            default:
                // Skipped; the buffer is kept, so digits on both sides join.
                break;
        }
    }
}

std::string TimeSpan::toText() const
{
    auto number = [](int64_t value) { return std::to_string(value); };
    std::string text = "P";
    if (years != 0) {
        text += number(years) + "Y";
    }
    if (months != 0) {
        text += number(months) + "M";
    }
    const int64_t days = milliseconds / millisecondsPerDay;
    const int64_t hours = milliseconds % millisecondsPerDay / millisecondsPerHour;
    const int64_t minutes = milliseconds % millisecondsPerHour / millisecondsPerMinute;
    const int64_t rest = milliseconds % millisecondsPerMinute;
    if (days != 0) {
        text += number(days) + "D";
    }
    std::string time;
    if (hours != 0) {
        time += number(hours) + "H";
    }
    if (minutes != 0) {
        time += number(minutes) + "M";
    }
    if (rest != 0) {
        const int64_t magnitude = rest < 0 ? -rest : rest;
        if (rest < 0) {
            time += "-";
        }
        time += number(magnitude / 1000);
        if (magnitude % 1000 != 0) {
            const std::string fraction = std::to_string(magnitude % 1000);
            time += '.';
            time.append(3 - fraction.size(), '0');
            time += fraction;
        }
        time += "S";
    }
    if (!time.empty()) {
        text += "T" + time;
    }
    return text;
}

double TimeSpan::totalSeconds() const
{
    return double(years) * double(secondsPerYear) + double(months) * double(secondsPerYear / 12) +
           double(milliseconds) / 1000.0;
}

int64_t TimeSpan::totalMilliseconds(bool includeYearsAndMonths) const
{
    if (!includeYearsAndMonths) {
        return milliseconds;
    }
    // Saturates instead of overflowing, so that huge configured spans still compare sensibly.
    int64_t allMonths = 0;
    int64_t total = 0;
    if (__builtin_mul_overflow(years, int64_t(12), &allMonths) ||
        __builtin_add_overflow(allMonths, months, &allMonths) ||
        __builtin_mul_overflow(allMonths, millisecondsPerMonth, &total) ||
        __builtin_add_overflow(total, milliseconds, &total)) {
        const long double exact =
            ((long double)years * 12 + (long double)months) * millisecondsPerMonth + (long double)milliseconds;
        return exact < 0 ? INT64_MIN : INT64_MAX;
    }
    return total;
}

int TimeSpan::compare(const TimeSpan& other) const
{
    const int64_t mine = totalMilliseconds(true);
    const int64_t theirs = other.totalMilliseconds(true);
    return mine < theirs ? -1 : (mine > theirs ? 1 : 0);
}

DateTime TimeSpan::addTo(const DateTime& dateTime) const
{
    DateTimeDetails fields(dateTime);
    const int64_t rest = milliseconds % millisecondsPerMinute;
    fields.year += years;
    fields.month += months;
    fields.day += milliseconds / millisecondsPerDay;
    fields.hour += milliseconds % millisecondsPerDay / millisecondsPerHour;
    fields.minute += milliseconds % millisecondsPerHour / millisecondsPerMinute;
    fields.second += rest / 1000;
    fields.millisecond += rest % 1000;
    fields.normalize();
    return DateTime(fields.toCount(), dateTime.zone);
}

DateTime operator+(const DateTime& dateTime, const TimeSpan& span)
{
    return span.addTo(dateTime);
}

}  // namespace KelvraCorelib
