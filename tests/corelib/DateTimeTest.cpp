#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "corelib/DateTime.h"
#include "corelib/platform/Clock.h"

using KelvraCorelib::DateTime;
using KelvraCorelib::DateTimeDetails;
using KelvraCorelib::TimeZone;

namespace {

constexpr int64_t day = 86400000;
constexpr int64_t hour = 3600000;
constexpr int64_t count2000 = 3155760000000LL;

// A zone with Central European rules that does not depend on the system.
const char* const berlinText = "+01:00 (+01:00 3M5W6D2H-10M5W6D3H)";

int64_t utc(int64_t year, int64_t month, int64_t dayOfMonth, int64_t hours = 0, int64_t minutes = 0,
            int64_t seconds = 0, int64_t milliseconds = 0)
{
    return DateTimeDetails(year, month, dayOfMonth, hours, minutes, seconds, milliseconds, false).toCount();
}

// The local zone is UTC here, so that zones built from offset texts carry no summer-time rule.
class DateTimeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        unsetenv("KELVRA_TZ");
        setenv("TZ", "UTC0", 1);
        TimeZone().setLocal(true);
    }
};

}  // namespace

TEST_F(DateTimeTest, DayNumbersFollowTheGregorianCalendarFrom1900)
{
    EXPECT_EQ(DateTimeDetails::dayNumber(1900, 1, 1), 1);
    EXPECT_EQ(DateTimeDetails::dayNumber(1900, 1, 2), 2);
    EXPECT_EQ(DateTimeDetails::dayNumber(1901, 1, 1), 366);  // 1900 is not a leap year
    EXPECT_EQ(DateTimeDetails::dayNumber(1900, 3, 1), 60);
    EXPECT_EQ(DateTimeDetails::dayNumber(2001, 1, 1) - DateTimeDetails::dayNumber(2000, 1, 1), 366);
    EXPECT_EQ(DateTimeDetails::dayNumber(2101, 1, 1) - DateTimeDetails::dayNumber(2100, 1, 1), 365);
    EXPECT_EQ(DateTimeDetails::dayNumber(1905, 1, 1) - DateTimeDetails::dayNumber(1904, 1, 1), 366);

    EXPECT_FALSE(DateTimeDetails::isLeapYear(1900));
    EXPECT_TRUE(DateTimeDetails::isLeapYear(2000));
    EXPECT_TRUE(DateTimeDetails::isLeapYear(2024));
    EXPECT_FALSE(DateTimeDetails::isLeapYear(2100));
    EXPECT_EQ(DateTimeDetails::daysInMonth(1900, 2), 28);
    EXPECT_EQ(DateTimeDetails::daysInMonth(2000, 2), 29);
    EXPECT_EQ(DateTimeDetails::daysInMonth(2010, 4), 30);
    EXPECT_EQ(DateTimeDetails::daysInMonth(2010, 12), 31);
}

TEST_F(DateTimeTest, CountsOfKnownInstants)
{
    EXPECT_EQ(utc(1900, 1, 1), 86400000);
    EXPECT_EQ(utc(2000, 1, 1), count2000);
    EXPECT_EQ(utc(2000, 2, 29, 12), count2000 + 59 * day + 43200000);
    EXPECT_EQ(utc(1970, 1, 1), DateTime::unixEpochCount);
    // 2^31 seconds after the Unix epoch: the instant where 32-bit time values wrap.
    EXPECT_EQ(utc(2038, 1, 19, 3, 14, 8), DateTime::unixEpochCount + 2147483648LL * 1000);
    EXPECT_EQ(DateTime(utc(2100, 3, 1)).toText(false), "2100-03-01T00:00:00Z");
}

TEST_F(DateTimeTest, CountsBreakDownIntoFieldsAndBack)
{
    const int64_t counts[] = {86400000,
                              86400000 + day - 1,
                              count2000 - 1,
                              count2000,
                              count2000 + 59 * day + 43200000,
                              utc(1900, 12, 31, 23, 59, 59, 999),
                              utc(1904, 2, 29, 1, 2, 3, 4),
                              utc(2100, 2, 28, 23),
                              utc(2400, 12, 31, 12),
                              utc(9999, 12, 31, 23, 59, 59, 999)};
    for (int64_t count : counts) {
        const DateTimeDetails fields(count);
        EXPECT_EQ(fields.toCount(), count) << fields.toText();
        EXPECT_FALSE(fields.isLocal);
        EXPECT_TRUE(fields.normalized);
    }

    const DateTimeDetails leapDay(count2000 + 59 * day + 43200000 + 61001);
    EXPECT_EQ(leapDay.year, 2000);
    EXPECT_EQ(leapDay.month, 2);
    EXPECT_EQ(leapDay.day, 29);
    EXPECT_EQ(leapDay.hour, 12);
    EXPECT_EQ(leapDay.minute, 1);
    EXPECT_EQ(leapDay.second, 1);
    EXPECT_EQ(leapDay.millisecond, 1);
    EXPECT_EQ(leapDay.dayOfYear, 60);

    const DateTimeDetails endOf1999(count2000 - 1);
    EXPECT_EQ(endOf1999.toText(), "1999-12-31T23:59:59.999Z");
    EXPECT_EQ(endOf1999.dayOfYear, 365);
    EXPECT_EQ(DateTimeDetails(utc(2000, 12, 31)).dayOfYear, 366);
}

TEST_F(DateTimeTest, CountsBefore1900GiveTheDefaultFields)
{
    for (int64_t count : {int64_t(0), int64_t(1), int64_t(86399999), int64_t(-5)}) {
        const DateTimeDetails fields(count);
        EXPECT_EQ(fields.toText(), "1900-01-01T00:00:00.000Z") << count;
        EXPECT_EQ(fields.toCount(), 86400000);
    }
    EXPECT_EQ(DateTime(0).toText(), "1900-01-01T00:00:00.000Z");
    EXPECT_EQ(DateTime(86400000).toText(), "1900-01-01T00:00:00.000Z");
}

TEST_F(DateTimeTest, DerivedFields)
{
    EXPECT_EQ(DateTimeDetails(86400000).dayOfWeek, 0);  // 1900-01-01 was a Monday
    EXPECT_EQ(DateTimeDetails(count2000).dayOfWeek, 5); // 2000-01-01 was a Saturday
    EXPECT_EQ(DateTimeDetails(utc(2010, 5, 9)).dayOfWeek, 6);

    EXPECT_EQ(DateTimeDetails(utc(2021, 1, 3)).weekOfYear, 53);  // still the last week of 2020
    EXPECT_EQ(DateTimeDetails(utc(2021, 1, 4)).weekOfYear, 1);
    EXPECT_EQ(DateTimeDetails(utc(2024, 12, 30)).weekOfYear, 1);  // already the first week of 2025
    EXPECT_EQ(DateTimeDetails(utc(2010, 5, 6)).weekOfYear, 18);
}

TEST_F(DateTimeTest, NowReadsTheRealTimeClock)
{
    const int64_t before = KelvraCorelib::Platform::realTimeMilliseconds() + DateTime::unixEpochCount;
    const DateTime now = DateTime::now();
    const int64_t after = KelvraCorelib::Platform::realTimeMilliseconds() + DateTime::unixEpochCount;
    EXPECT_LE(before, now.count);
    EXPECT_LE(now.count, after);
    EXPECT_GE(DateTimeDetails(now).year, 2024);
    EXPECT_TRUE(now.zone.isSet());
    EXPECT_TRUE(DateTime().zone.isSet());
}

TEST_F(DateTimeTest, TextForms)
{
    const int64_t count = utc(2010, 5, 6, 7, 8, 9, 10);
    const DateTime instant(count);
    EXPECT_EQ(instant.toText(), "2010-05-06T07:08:09.010Z");
    EXPECT_EQ(instant.toText(false), "2010-05-06T07:08:09Z");
    EXPECT_EQ(instant.toText(false, true), "20100506T070809Z");
    EXPECT_EQ(instant.toText(true, true), "20100506T070809.010Z");

    const TimeZone plusOne("+01:00");
    const DateTimeDetails local = instant.toLocalDetails(plusOne);
    EXPECT_TRUE(local.isLocal);
    EXPECT_EQ(local.toText(true, false, true), "2010-05-06T08:08:09.010+01:00");
    EXPECT_EQ(local.toText(false, true, true), "20100506T080809+0100");
    EXPECT_EQ(local.toText(false, false, false), "2010-05-06T08:08:09");

    const DateTimeDetails fields(2010, 5, 6, 7, 8, 9, 10, true);
    DateTimeDetails withZone(fields);
    withZone.zone = TimeZone("+01:00");
    EXPECT_EQ(withZone.toText(true, false, true), "2010-05-06T07:08:09.010+01:00");
    withZone.zone = TimeZone("-05:30");
    EXPECT_EQ(withZone.toText(false, true, true), "20100506T070809-0530");

    // A UTC value keeps its "Z" and shows its zone after it; parsing reads both back.
    const DateTime inZone(count, TimeZone("+02:00"));
    EXPECT_EQ(inZone.toText(true, false, true), "2010-05-06T07:08:09.010Z+02:00");
    const DateTimeDetails reread(inZone.toText(true, false, true));
    EXPECT_FALSE(reread.isLocal);
    EXPECT_EQ(reread.toCount(), count);
    EXPECT_EQ(reread.zone.standardOffset, 2 * hour);

    // An unnormalized value is printed normalized, without changing it.
    DateTimeDetails raw;
    raw.year = 2010;
    raw.month = 14;
    raw.day = 1;
    raw.normalized = false;
    EXPECT_EQ(raw.toText(false), "2011-02-01T00:00:00Z");
    EXPECT_EQ(raw.month, 14);
}

TEST_F(DateTimeTest, ParsesBothDateFormsAndZoneParts)
{
    const DateTimeDetails separated("2010-05-06T07:08:09.010Z");
    const DateTimeDetails compact("20100506T070809.010Z");
    for (const DateTimeDetails* fields : {&separated, &compact}) {
        EXPECT_EQ(fields->year, 2010);
        EXPECT_EQ(fields->month, 5);
        EXPECT_EQ(fields->day, 6);
        EXPECT_EQ(fields->hour, 7);
        EXPECT_EQ(fields->minute, 8);
        EXPECT_EQ(fields->second, 9);
        EXPECT_EQ(fields->millisecond, 10);
        EXPECT_FALSE(fields->isLocal);
        EXPECT_TRUE(fields->zone.isSet());
        EXPECT_EQ(fields->toCount(), utc(2010, 5, 6, 7, 8, 9, 10));
    }

    const DateTimeDetails plusTwo("2010-05-06T07:08:09+02:00");
    EXPECT_TRUE(plusTwo.isLocal);
    EXPECT_EQ(plusTwo.hour, 7);
    EXPECT_EQ(plusTwo.zone.offsetAt(DateTime::now()), 2 * hour);
    EXPECT_EQ(plusTwo.toCount(), utc(2010, 5, 6, 5, 8, 9));

    EXPECT_EQ(DateTimeDetails("20100506T070809-0130").toCount(), utc(2010, 5, 6, 8, 38, 9));

    // A blank before the zone is dropped; the zone may be given in its full text form.
    const DateTimeDetails fullZone(std::string("2010-07-01T12:00:00 ") + berlinText);
    EXPECT_EQ(fullZone.zone.toText(), berlinText);
    EXPECT_EQ(fullZone.toCount(), utc(2010, 7, 1, 10));

    // Without a zone part, local time in the local zone (UTC in this test).
    const DateTimeDetails noZone("2010-05-06T07:08:09");
    EXPECT_TRUE(noZone.isLocal);
    EXPECT_TRUE(noZone.zone.isSet());
    EXPECT_EQ(noZone.toCount(), utc(2010, 5, 6, 7, 8, 9));

    // "." separates like ":"; missing time groups are 0; absent month and day are 1.
    EXPECT_EQ(DateTimeDetails("2010-05-06T07.08.09.5Z").toText(), "2010-05-06T07:08:09.005Z");
    EXPECT_EQ(DateTimeDetails("2010-05-06T07Z").toText(), "2010-05-06T07:00:00.000Z");
    EXPECT_EQ(DateTimeDetails("2010-05-06").toText(false, false, false), "2010-05-06T00:00:00");
    EXPECT_EQ(DateTimeDetails("2010").toText(false, false, false), "2010-01-01T00:00:00");
    EXPECT_EQ(DateTimeDetails("2010-5-6T7:8:9Z").toText(false), "2010-05-06T07:08:09Z");
    EXPECT_EQ(DateTimeDetails("2000-01-01T07:30:00Z").toText(false).substr(11, 8), "07:30:00");

    // Out-of-range groups are carried; nonsense falls back to the defaults.
    EXPECT_EQ(DateTimeDetails("2010-02-31T24:00:00Z").toText(false), "2010-03-04T00:00:00Z");
    EXPECT_EQ(DateTimeDetails("").toText(false, false, false), "1900-01-01T00:00:00");
    EXPECT_EQ(DateTimeDetails("garbage").toText(false, false, false), "1900-01-01T00:00:00");
}

TEST_F(DateTimeTest, NormalizeCarriesAndBorrows)
{
    const DateTimeDetails pastFebruary(2010, 2, 31, 0, 0, 0, 0, false);  // 31 January plus one month
    EXPECT_EQ(pastFebruary.toText(false), "2010-03-03T00:00:00Z");
    EXPECT_EQ(DateTimeDetails(2012, 2, 31, 0, 0, 0, 0, false).toText(false), "2012-03-02T00:00:00Z");
    EXPECT_EQ(DateTimeDetails(2010, 13, 1, 0, 0, 0, 0, false).toText(false), "2011-01-01T00:00:00Z");
    EXPECT_EQ(DateTimeDetails(2010, 0, 1, 0, 0, 0, 0, false).toText(false), "2009-12-01T00:00:00Z");
    EXPECT_EQ(DateTimeDetails(2010, -11, 1, 0, 0, 0, 0, false).toText(false), "2009-01-01T00:00:00Z");
    EXPECT_EQ(DateTimeDetails(2010, 3, 0, 0, 0, 0, 0, false).toText(false), "2010-02-28T00:00:00Z");
    EXPECT_EQ(DateTimeDetails(2012, 3, 0, 0, 0, 0, 0, false).toText(false), "2012-02-29T00:00:00Z");
    EXPECT_EQ(DateTimeDetails(2010, 1, 1, 0, 0, 0, -1, false).toText(), "2009-12-31T23:59:59.999Z");
    EXPECT_EQ(DateTimeDetails(2010, 12, 31, 23, 59, 59, 1000, false).toText(), "2011-01-01T00:00:00.000Z");
    EXPECT_EQ(DateTimeDetails(2010, 1, 1, 49, 61, 61, 0, false).toText(false), "2010-01-03T02:02:01Z");
    EXPECT_EQ(DateTimeDetails(2010, 1, 366, 0, 0, 0, 0, false).toText(false), "2011-01-01T00:00:00Z");
    EXPECT_EQ(DateTimeDetails(2000, 1, 1, 0, 0, 0, 0, false).toCount() + 100000 * day,
              DateTimeDetails(2000, 1, 100001, 0, 0, 0, 0, false).toCount());

    // Far beyond what a count can hold: clamped, not overflowed.
    EXPECT_GT(DateTimeDetails(INT32_MAX, 1, INT64_MAX / 2, 0, 0, 0, 0, false).toCount(), utc(9999, 1, 1));
    EXPECT_EQ(DateTimeDetails(INT64_MAX).toCount(), INT64_MAX);

    // Before 1900: the default fields.
    EXPECT_EQ(DateTimeDetails(1899, 12, 31, 23, 0, 0, 0, false).toText(), "1900-01-01T00:00:00.000Z");
    EXPECT_EQ(DateTimeDetails(1900, 1, 0, 0, 0, 0, 0, false).toText(), "1900-01-01T00:00:00.000Z");
    EXPECT_EQ(DateTimeDetails(1899, 12, 32, 0, 0, 0, 0, false).toText(), "1900-01-01T00:00:00.000Z");

    DateTimeDetails fields(2010, 5, 6, 0, 0, 0, 0, false);
    fields.day += 30;
    fields.normalized = false;
    EXPECT_EQ(fields.toCount(), utc(2010, 6, 5));
    fields.normalize();
    EXPECT_EQ(fields.month, 6);
    EXPECT_EQ(fields.day, 5);
    EXPECT_EQ(fields.dayOfYear, 156);
    EXPECT_TRUE(fields.normalized);
}

TEST_F(DateTimeTest, LocalFieldsInAZoneWithSummerTime)
{
    const TimeZone berlin(berlinText);
    const DateTimeDetails summer = DateTime(utc(2024, 7, 1, 10)).toLocalDetails(berlin);
    EXPECT_EQ(summer.toText(false, false, true), "2024-07-01T12:00:00+02:00");
    EXPECT_EQ(summer.toCount(), utc(2024, 7, 1, 10));
    const DateTimeDetails winter = DateTime(utc(2024, 1, 1, 10)).toLocalDetails(berlin);
    EXPECT_EQ(winter.toText(false, false, true), "2024-01-01T11:00:00+01:00");
    EXPECT_EQ(winter.toCount(), utc(2024, 1, 1, 10));

    // Every instant around both changes comes back from its local fields, except that the
    // repeated hour at the end is read as its first (summer-time) occurrence.
    for (int64_t count = utc(2024, 3, 30); count < utc(2024, 4, 2); count += 15 * 60000) {
        EXPECT_EQ(DateTime(count).toLocalDetails(berlin).toCount(), count) << DateTime(count).toText();
    }
    for (int64_t count = utc(2024, 10, 26); count < utc(2024, 10, 29); count += 15 * 60000) {
        const int64_t expected = (count >= utc(2024, 10, 27, 1) && count < utc(2024, 10, 27, 2)) ? count - hour : count;
        EXPECT_EQ(DateTime(count).toLocalDetails(berlin).toCount(), expected) << DateTime(count).toText();
    }

    // A time in the hour skipped at the start moves forward by the delta.
    DateTimeDetails skipped(2024, 3, 31, 2, 30, 0, 0, true);
    skipped.zone = berlin;
    EXPECT_EQ(skipped.toCount(), utc(2024, 3, 31, 1, 30));

    // Local fields come out of a local count as they are.
    const DateTimeDetails asIs(utc(2024, 7, 1, 10), berlin);
    EXPECT_TRUE(asIs.isLocal);
    EXPECT_EQ(asIs.hour, 10);

    // A local count that would be negative is 0.
    EXPECT_EQ(DateTime(1000).toLocalDetails(TimeZone("-05:00")).toText(false, false, false),
              "1900-01-01T00:00:00");
}

TEST_F(DateTimeTest, FloorToAlignsInLocalTime)
{
    const TimeZone india("+05:30");
    const DateTime instant(utc(2010, 5, 6, 7, 8, 9, 10));  // a Thursday
    EXPECT_EQ(instant.floorTo(hour, india).count, utc(2010, 5, 6, 6, 30));
    EXPECT_EQ(instant.floorTo(day, india).count, utc(2010, 5, 5, 18, 30));
    const DateTime monday = instant.floorTo(7 * day, india);
    EXPECT_EQ(monday.count, utc(2010, 5, 2, 18, 30));
    const DateTimeDetails mondayLocal = monday.toLocalDetails(india);
    EXPECT_EQ(mondayLocal.dayOfWeek, 0);
    EXPECT_EQ(mondayLocal.toText(false, false, false), "2010-05-03T00:00:00");

    const TimeZone utcZone("+00:00");
    EXPECT_EQ(instant.floorTo(hour, utcZone).count, utc(2010, 5, 6, 7));
    EXPECT_EQ(instant.floorTo(7 * day, utcZone).count, utc(2010, 5, 3));
    EXPECT_EQ(DateTime(utc(2010, 5, 3, 0, 0, 1)).floorTo(7 * day, utcZone).count, utc(2010, 5, 3));

    // At the ends of the count range nothing wraps around: what cannot be aligned stays.
    const TimeZone east("+05:00");
    const TimeZone west("-05:00");
    EXPECT_EQ(DateTime(INT64_MIN, utcZone).floorTo(hour, west).count, INT64_MIN);
    EXPECT_EQ(DateTime(INT64_MIN, utcZone).floorTo(7 * day, utcZone).count, INT64_MIN);
    EXPECT_EQ(DateTime(INT64_MAX, utcZone).floorTo(hour, east).count, INT64_MAX);
    EXPECT_EQ(DateTime(INT64_MAX, utcZone).floorTo(hour, utcZone).count, INT64_MAX - INT64_MAX % hour);
    EXPECT_EQ(DateTime(INT64_MIN, utcZone).toLocalDetails(west).toText(false, false, false), "1900-01-01T00:00:00");
    EXPECT_GT(DateTime(INT64_MAX, utcZone).toLocalDetails(east).year, 9999);
    // Local fields at the ends read back to a count without wrapping, in a zone whose summer
    // time lies behind its standard time.
    const TimeZone backwards("+00:00 (-01:00 11M9W9D99H-0M0W0D0H)");
    EXPECT_GT(DateTime(INT64_MAX, backwards).toLocalDetails(backwards).toCount(), 0);
    EXPECT_LT(DateTime(INT64_MIN, backwards).toLocalDetails(backwards).toCount(), INT64_MAX);
    // A zone text with stray bytes that the fuzzer found: summer time an hour behind.
    const TimeZone stray(std::string("+\x12" "1:00 (+-1:00 3M1W6D2H-10M5W\xc9" "D3H)"));
    for (const int64_t count : {INT64_MAX, INT64_MIN}) {
        EXPECT_EQ(DateTime(count, stray).floorTo(hour, stray).count > 0, count > 0) << count;
        EXPECT_EQ(DateTime(count, backwards).floorTo(hour, backwards).count > 0, count > 0) << count;
    }
    EXPECT_EQ(DateTime(utc(2010, 5, 9, 23, 59)).floorTo(7 * day, utcZone).count, utc(2010, 5, 3));
    EXPECT_EQ(instant.floorTo(15 * 60000, utcZone).count, utc(2010, 5, 6, 7));
    EXPECT_EQ(instant.floorTo(1, india).count, instant.count);
    EXPECT_EQ(instant.floorTo(0, india).count, instant.count);
    EXPECT_EQ(instant.floorTo(-hour, india).count, instant.count);

    // Across a change of summer time the local midnight keeps its own offset.
    const TimeZone berlin(berlinText);
    EXPECT_EQ(DateTime(utc(2024, 3, 31, 12)).floorTo(day, berlin).count, utc(2024, 3, 30, 23));
    EXPECT_EQ(DateTime(utc(2024, 10, 27, 12)).floorTo(day, berlin).count, utc(2024, 10, 26, 22));
    EXPECT_EQ(DateTime(utc(2024, 7, 3, 12)).floorTo(7 * day, berlin).count, utc(2024, 6, 30, 22));
    EXPECT_EQ(DateTime(utc(2024, 7, 3, 12, 45)).floorTo(hour, berlin).count, utc(2024, 7, 3, 12));
}
