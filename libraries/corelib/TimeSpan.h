#pragma once
// Durations: years, months and milliseconds, with the ISO 8601 "P-notation" text form.
//
//   TimeSpan("PT1S").milliseconds       // 1000
//   TimeSpan("PT36H").toText()          // "P1DT12H"
//   TimeSpan("PT1.0019S").milliseconds  // 1001 (decimal digits, cut after the milliseconds)
//   TimeSpan("P1Y2M3DT4H5M6S")          // years 1, months 2, milliseconds 273 906 000
//   dateTime + TimeSpan("P1M")          // one calendar month later (31 January -> 3 March)
//
// Days and shorter units are folded into milliseconds (a day is always 86 400 000 ms); years
// and months stay apart because their length depends on the date they are added to.

#include <cstdint>
#include <string>

#include "corelib/DateTime.h"

namespace KelvraCorelib {

class TimeSpan {
public:
    TimeSpan() = default;
    TimeSpan(int64_t years, int64_t months, int64_t days, int64_t hours, int64_t minutes, int64_t seconds,
             int64_t milliseconds);
    explicit TimeSpan(int64_t milliseconds);
    explicit TimeSpan(const std::string& text);
    TimeSpan(const TimeSpan& other) = default;
    TimeSpan& operator=(const TimeSpan& other) = default;
    virtual ~TimeSpan() = default;

    // Resets to zero, then reads P-notation. Never fails: text outside the grammar yields what
    // could be collected, down to the zero span. Text before the first "P" is ignored.
    void setFromText(const std::string& text);

    // "P1Y2M3DT4H5M6.500S"; the zero span is "P". Every count is printed in full (64 bits).
    std::string toText() const;

    // A year counts 31 556 952 s (365.2425 days), a month a twelfth of that. Wherever a span
    // becomes a deadline or an interval in milliseconds, it is totalMilliseconds(true).
    double totalSeconds() const;
    int64_t totalMilliseconds(bool includeYearsAndMonths) const;

    // -1, 0 or 1 by the total in milliseconds (years and months included).
    int compare(const TimeSpan& other) const;

    // The date-time's UTC fields plus the span's, normalized (zone kept).
    DateTime addTo(const DateTime& dateTime) const;

    bool operator==(const TimeSpan& other) const = default;

    int64_t years = 0;
    int64_t months = 0;
    int64_t milliseconds = 0;

    static constexpr int64_t secondsPerYear = 31556952;
    static constexpr int64_t millisecondsPerMonth = 2629746000;
};

DateTime operator+(const DateTime& dateTime, const TimeSpan& span);

}  // namespace KelvraCorelib
