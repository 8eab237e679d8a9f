#pragma once
// Instants, their calendar fields and time zones.
//
// A DateTime is a signed count of milliseconds with a zone attached. Day 1 is 1900-01-01, and
// the count of a UTC instant is (((dayNumber * 24 + hour) * 60 + minute) * 60 + second) * 1000
// + millisecond, so 1900-01-01T00:00:00Z is 86 400 000 and 2000-01-01T00:00:00Z is
// 3 155 760 000 000.
//
//   DateTime t = DateTime::now();
//   t.toText()                  // "2010-05-06T07:08:09.010Z"
//   t.toText(false, true)       // "20100506T070809Z"
//   DateTimeDetails d("2010-05-06T07:08:09+02:00");   // local fields in a +02:00 zone

#include <cstdint>
#include <string>

namespace KelvraCorelib {

class DateTime;
class DateTimeDetails;

// When summer time begins or ends: the week-th weekday of the month at a local hour.
struct TransitionRule {
    uint8_t month = 0;    // 1 to 12; 0 = no rule
    uint8_t week = 0;     // 1 to 4, 5 = the last in the month
    uint8_t weekday = 0;  // 0 = Monday to 6 = Sunday
    uint8_t hour = 0;     // 0 to 23 (24 for a change at the end of the day)

    // "3M5W6D2H"
    std::string toText() const;
    bool operator==(const TransitionRule& other) const = default;
};

// A standard offset and an optional summer-time rule.
//
// The first TimeZone constructed in the process reads "KELVRA_TZ": when it is set and not
// empty, the zone it specifies replaces the local zone everywhere (setLocal copies it).
class TimeZone {
public:
    // Not set.
    TimeZone();
    TimeZone(const TimeZone& other);
    // See setFromSpecification.
    explicit TimeZone(const std::string& specification);
    TimeZone& operator=(const TimeZone& other);
    virtual ~TimeZone();

    // Takes the local zone: the "KELVRA_TZ" zone when there is one; otherwise the process-wide
    // cache when it is younger than an hour and force is false; otherwise the zone determined
    // afresh from the C library's local time (the TZ variable is read again then).
    void setLocal(bool force = false);

    // The full text form "+01:00 (+01:00 3M5W6D2H-10M5W6D3H)"; an offset text ("+0130",
    // "-05:30") meaning the offset in force now, with the local summer-time rule; or a decimal
    // number: minutes with fewer than 7 digits ("60"), milliseconds otherwise ("3600000"), also
    // the offset in force now.
    void setFromSpecification(const std::string& specification);

    // Milliseconds east of UTC at the instant: standardOffset, plus daylightDelta in summer time.
    int64_t offsetAt(int64_t count) const;
    int64_t offsetAt(const DateTime& instant) const;
    bool isDaylightAt(int64_t count) const;
    bool isDaylightAt(const DateTime& instant) const;

    // "+01:00", or with a summer-time rule "+01:00 (+01:00 3M5W6D2H-10M5W6D3H)".
    std::string toText() const;
    // offsetAt(count) as "+hh:mm" ("+hhmm" when compact).
    std::string offsetText(int64_t count, bool compact = false) const;
    std::string offsetText(const DateTime& instant, bool compact = false) const;

    bool isSet() const { return set; }

    // "+hh:mm" or "+hhmm" (or with "-") in milliseconds; any other text gives 0.
    static int64_t parseOffset(const std::string& text);
    // "+hh:mm" / "-hh:mm" ("+hhmm" when compact).
    static std::string formatOffset(int64_t offset, bool compact = false);

    int64_t standardOffset = 0;  // milliseconds east of UTC outside summer time
    int64_t daylightDelta = 0;   // added during summer time; 0 = no summer time
    TransitionRule daylightStart;  // in local standard time
    TransitionRule daylightEnd;    // in local summer time
    bool set = false;

private:
    int64_t ruleInstant(const TransitionRule& rule, int64_t year, bool isEnd) const;
};

// An instant: milliseconds (see the top of this file) and a zone.
class DateTime {
public:
    // Count 0, local zone.
    DateTime();
    // Local zone.
    DateTime(int64_t count);
    DateTime(int64_t count, const TimeZone& zone);
    DateTime(const DateTime& other) = default;
    // The count of the fields, zone copied.
    DateTime(const DateTimeDetails& details);
    DateTime& operator=(const DateTime& other) = default;
    virtual ~DateTime() = default;

    // The real-time clock, millisecond precision, local zone.
    static DateTime now();
    // The count of now() alone: no local zone is needed for it.
    static int64_t nowCount();

    // The text form of the UTC fields: "2010-05-06T07:08:09.010Z" by default; without
    // milliseconds, compact ("20100506T070809Z") and with the zone's offset appended on request.
    std::string toText(bool withMilliseconds = true, bool compact = false, bool withZone = false) const;

    // The start of the interval (milliseconds) that holds this instant, aligned in the local
    // time of zone; one week (604 800 000) aligns to Monday 00:00 local. An interval of 1 or
    // less returns the value unchanged.
    DateTime floorTo(int64_t interval, const TimeZone& zone) const;

    // The fields of this instant in local time of zone (isLocal true).
    DateTimeDetails toLocalDetails(const TimeZone& zone) const;

    bool operator==(const DateTime& other) const { return count == other.count; }
    auto operator<=>(const DateTime& other) const { return count <=> other.count; }

    int64_t count = 0;
    TimeZone zone;

    // Milliseconds between the Unix epoch and day 1 (1970-01-01T00:00:00Z has this count).
    static constexpr int64_t unixEpochCount = 2209075200000LL;
};

// An instant broken down into calendar fields; does calendar arithmetic, text and parsing.
class DateTimeDetails {
public:
    // 1900-01-01T00:00:00.000, UTC, zone not set.
    DateTimeDetails();
    // UTC fields of the instant, zone copied.
    explicit DateTimeDetails(const DateTime& instant);
    // UTC fields, zone not set. Counts below 86 400 000 (before 1900) give the default fields.
    explicit DateTimeDetails(int64_t count);
    // The count is taken as local time in zone and broken down without an offset; isLocal true.
    DateTimeDetails(int64_t count, const TimeZone& zone);
    // See parse.
    explicit DateTimeDetails(const std::string& text);
    // Normalized at once.
    DateTimeDetails(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute, int64_t second,
                    int64_t millisecond, bool isLocal);
    DateTimeDetails(const DateTimeDetails& other) = default;
    DateTimeDetails& operator=(const DateTimeDetails& other) = default;
    virtual ~DateTimeDetails() = default;

    // "2010-05-06T07:08:09.010Z", "20100506T070809Z", "2010-05-06T07:08:09+02:00" ... :
    // date up to "T"; time up to a blank, "+", "-" or "Z" ("Z" means UTC); then the zone
    // (a specification text, see TimeZone). Without a zone part the local zone is used.
    void parse(const std::string& text);

    // Carries out-of-range fields into the next unit (31 February becomes 3 March) and
    // recomputes dayOfYear, dayOfWeek and weekOfYear. A result before 1900 gives the defaults.
    void normalize();

    // The count (for local fields: minus the zone's offset in force then).
    int64_t toCount() const;
    DateTime toDateTime() const;

    // See DateTime::toText; local fields have no "Z".
    std::string toText(bool withMilliseconds = true, bool compact = false, bool withZone = false) const;

    // Calendar helpers (Gregorian throughout).
    static bool isLeapYear(int64_t year);
    static int64_t daysInMonth(int64_t year, int64_t month);  // month 1 to 12
    // Day number of a date with month 1 to 12 (1900-01-01 is 1); any day, year from 1 on.
    static int64_t dayNumber(int64_t year, int64_t month, int64_t day);

    int64_t year = 1900;
    int64_t month = 1;
    int64_t day = 1;
    int64_t hour = 0;
    int64_t minute = 0;
    int64_t second = 0;
    int64_t millisecond = 0;
    int64_t dayOfYear = 1;
    int64_t dayOfWeek = 0;  // 0 = Monday
    int64_t weekOfYear = 1; // ISO 8601 week number
    bool normalized = true;
    bool isLocal = false;
    TimeZone zone;

private:
    void setFromCount(int64_t count);
    void setDefaultDate();
    void computeDerived();
};

}  // namespace KelvraCorelib
