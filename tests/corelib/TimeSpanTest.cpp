#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "corelib/TimeSpan.h"

using KelvraCorelib::DateTime;
using KelvraCorelib::DateTimeDetails;
using KelvraCorelib::TimeSpan;
using KelvraCorelib::TimeZone;

namespace {

constexpr int64_t day = 86400000;
constexpr int64_t hour = 3600000;

int64_t utc(int64_t year, int64_t month, int64_t dayOfMonth, int64_t hours = 0, int64_t minutes = 0,
            int64_t seconds = 0, int64_t milliseconds = 0)
{
    return DateTimeDetails(year, month, dayOfMonth, hours, minutes, seconds, milliseconds, false).toCount();
}

void expectSpan(const std::string& text, int64_t years, int64_t months, int64_t milliseconds)
{
    const TimeSpan span(text);
    EXPECT_EQ(span.years, years) << text;
    EXPECT_EQ(span.months, months) << text;
    EXPECT_EQ(span.milliseconds, milliseconds) << text;
}

}  // namespace

TEST(TimeSpan, Construction)
{
    const TimeSpan zero;
    EXPECT_EQ(zero.years, 0);
    EXPECT_EQ(zero.months, 0);
    EXPECT_EQ(zero.milliseconds, 0);
    const TimeSpan parts(1, 2, 3, 4, 5, 6, 7);
    EXPECT_EQ(parts.years, 1);
    EXPECT_EQ(parts.months, 2);
    EXPECT_EQ(parts.milliseconds, 3 * day + 4 * hour + 5 * 60000 + 6007);
    EXPECT_EQ(TimeSpan(0, 0, 0, 25, 0, 0, 0).toText(), "P1DT1H");
    EXPECT_EQ(TimeSpan(int64_t(1500)).milliseconds, 1500);

    TimeSpan copy(parts);
    EXPECT_EQ(copy, parts);
    copy = TimeSpan("PT1S");
    EXPECT_EQ(copy.milliseconds, 1000);
    EXPECT_EQ(copy.years, 0);
    copy.setFromText("P1Y");  // resets everything first
    EXPECT_EQ(copy.milliseconds, 0);
    EXPECT_EQ(copy.years, 1);
}

TEST(TimeSpan, ZeroSpans)
{
    for (const char* text : {"", "P", "PT", "PT0S", "p1d", "P36H", "PT2D", "P2W", "nothing", "T1H"}) {
        expectSpan(text, 0, 0, 0);
    }
    EXPECT_EQ(TimeSpan().toText(), "P");
    EXPECT_EQ(TimeSpan("PT0S").toText(), "P");
}

TEST(TimeSpan, ParsesDesignatorsBySection)
{
    expectSpan("PT1S", 0, 0, 1000);
    expectSpan("P1M", 0, 1, 0);
    expectSpan("PT1M", 0, 0, 60000);
    expectSpan("P1Y2M3DT4H5M6S", 1, 2, 3 * day + 4 * hour + 5 * 60000 + 6000);
    expectSpan("PT36H", 0, 0, 129600000);
    expectSpan("P2W3D", 0, 0, 23 * day);  // the 2 is kept across the W
    expectSpan("P1d", 0, 0, day);
    expectSpan("P1dt2h", 0, 0, day);      // lower-case t is no section mark
    expectSpan("p1y2m", 0, 0, 0);
    expectSpan("PT1h2m3s", 0, 0, hour + 2 * 60000 + 3000);
    expectSpan("xyzP1D", 0, 0, day);
    expectSpan("-P1D", 0, 0, day);
    expectSpan("P-1D", 0, 0, -day);
    expectSpan("P1.5D", 0, 0, day);
    expectSpan("P1Y2Y", 2, 0, 0);
    expectSpan("P1M5M", 0, 5, 0);
    expectSpan("P1D1D", 0, 0, 2 * day);
    expectSpan("PT1M1M", 0, 0, 120000);
    expectSpan("PT1Y", 0, 0, 0);
    expectSpan("P1 0D", 0, 0, 10 * day);  // digits on both sides of a skipped character join
    expectSpan("P+1D", 0, 0, day);
    expectSpan("PTT1H", 0, 0, hour);
    expectSpan("P1DP1D", 0, 0, 2 * day);  // a later "P" is just skipped
    expectSpan("PD", 0, 0, 0);
    expectSpan("P1", 0, 0, 0);  // a number without designator stores nothing
    // Counts are 32-bit: larger numbers saturate.
    expectSpan("P99999999999D", 0, 0, int64_t(INT32_MAX) * day);
    expectSpan("P-99999999999D", 0, 0, -(int64_t(INT32_MAX) + 1) * day);
}

TEST(TimeSpan, ParsesFractionsOfSecondsAsDecimalDigits)
{
    expectSpan("PT1.5S", 0, 0, 1500);
    expectSpan("PT0.0005S", 0, 0, 0);
    expectSpan("PT1.9999S", 0, 0, 1999);
    expectSpan("PT1.001S", 0, 0, 1001);
    expectSpan("PT-2.017S", 0, 0, -2017);
    // Every millisecond count prints and reads back unchanged.
    int64_t changed = 0;
    for (int64_t value = 0; value < 200000; value += 7) {
        changed += TimeSpan(TimeSpan(value).toText()).milliseconds != value;
    }
    EXPECT_EQ(changed, 0);
    expectSpan("PT-0.5S", 0, 0, -500);
    expectSpan("PT1.2.3S", 0, 0, 1200);
    expectSpan("PT.5S", 0, 0, 500);
    expectSpan("PT-S", 0, 0, 0);
    expectSpan("PT1.5M", 0, 0, 60000);  // minutes take the integer rule
}

TEST(TimeSpan, PrintsNormalizedTimeParts)
{
    EXPECT_EQ(TimeSpan("PT1S").toText(), "PT1S");
    EXPECT_EQ(TimeSpan("PT1.5S").toText(), "PT1.500S");
    EXPECT_EQ(TimeSpan("PT36H").toText(), "P1DT12H");
    EXPECT_EQ(TimeSpan("PT90M").toText(), "PT1H30M");
    EXPECT_EQ(TimeSpan("PT90S").toText(), "PT1M30S");
    EXPECT_EQ(TimeSpan("P1D").toText(), "P1D");
    EXPECT_EQ(TimeSpan("P2W3D").toText(), "P23D");
    EXPECT_EQ(TimeSpan("P-1D").toText(), "P-1D");
    EXPECT_EQ(TimeSpan(int64_t(-500)).toText(), "PT-0.500S");
    EXPECT_EQ(TimeSpan(int64_t(-90061500)).toText(), "P-1DT-1H-1M-1.500S");
    EXPECT_EQ(TimeSpan(int64_t(5)).toText(), "PT0.005S");
    EXPECT_EQ(TimeSpan(int64_t(60001)).toText(), "PT1M0.001S");
    EXPECT_EQ(TimeSpan(int64_t(day + 1000)).toText(), "P1DT1S");
    EXPECT_EQ(TimeSpan(1, 0, 0, 0, 0, 0, 0).toText(), "P1Y");
    EXPECT_EQ(TimeSpan(0, 13, 0, 0, 0, 0, 0).toText(), "P13M");  // months are not carried into years
    EXPECT_EQ(TimeSpan(-1, -2, 0, 0, 0, 0, 0).toText(), "P-1Y-2M");

    for (const char* text : {"P1Y2M3DT4H5M6S", "P1DT12H", "PT1H30M", "PT1.500S", "P-1D", "PT-0.500S",
                             "P-1DT-1H-1M-1.500S", "P99Y", "PT0.001S", "P1Y-2M"}) {
        EXPECT_EQ(TimeSpan(text).toText(), text);
    }
    EXPECT_EQ(TimeSpan("PT-0.500S").milliseconds, -500);
    EXPECT_EQ(TimeSpan("P-1DT-1H-1M-1.500S").milliseconds, -90061500);

    // Counts beyond 32 bits print in full.
    EXPECT_EQ(TimeSpan(int64_t(3000000000) * day + 1).toText(), "P3000000000DT0.001S");
    EXPECT_EQ(TimeSpan(5000000000, -5000000000, 0, 0, 0, 0, 0).toText(), "P5000000000Y-5000000000M");
}

TEST(TimeSpan, TotalsAndCompare)
{
    EXPECT_DOUBLE_EQ(TimeSpan("P1Y").totalSeconds(), 31556952.0);
    EXPECT_DOUBLE_EQ(TimeSpan("P1M").totalSeconds(), 2629746.0);
    EXPECT_DOUBLE_EQ(TimeSpan("PT1S").totalSeconds(), 1.0);
    EXPECT_DOUBLE_EQ(TimeSpan("PT0.5S").totalSeconds(), 0.5);
    EXPECT_LT(TimeSpan("PT0.5S").totalSeconds(), 1.0);
    EXPECT_DOUBLE_EQ(TimeSpan("P1Y1MT1S").totalSeconds(), 31556952.0 + 2629746.0 + 1.0);

    const TimeSpan mixed("P1Y1MT1S");
    EXPECT_EQ(mixed.totalMilliseconds(false), 1000);
    EXPECT_EQ(mixed.totalMilliseconds(true), 13 * 2629746000LL + 1000);
    EXPECT_EQ(TimeSpan("P99Y").totalMilliseconds(true), 99 * 12 * 2629746000LL);

    EXPECT_EQ(TimeSpan("P1Y").compare(TimeSpan("P12M")), 0);
    EXPECT_EQ(TimeSpan("P1M").compare(TimeSpan("P30D")), 1);
    EXPECT_EQ(TimeSpan("P1M").compare(TimeSpan("P31D")), -1);
    EXPECT_EQ(TimeSpan("PT1S").compare(TimeSpan("PT1S")), 0);
    EXPECT_EQ(TimeSpan().compare(TimeSpan("PT1S")), -1);
    EXPECT_EQ(TimeSpan("P-1D").compare(TimeSpan()), -1);
    EXPECT_EQ(TimeSpan("P99Y").compare(TimeSpan("P1188M")), 0);

    // Spans too long for a 64-bit total saturate rather than wrap.
    const TimeSpan huge("P2147483647Y");
    EXPECT_EQ(huge.totalMilliseconds(true), INT64_MAX);
    EXPECT_EQ(huge.compare(TimeSpan("P99Y")), 1);
    EXPECT_EQ(TimeSpan("P-2147483647Y").compare(TimeSpan("P-99Y")), -1);
}

TEST(TimeSpan, AddsToDateTimesByCalendarFields)
{
    const DateTime january31(utc(2010, 1, 31, 12));
    EXPECT_EQ((january31 + TimeSpan("P1M")).toText(false), "2010-03-03T12:00:00Z");
    EXPECT_EQ((DateTime(utc(2012, 1, 31)) + TimeSpan("P1M")).toText(false), "2012-03-02T00:00:00Z");
    EXPECT_EQ((DateTime(utc(2012, 2, 29)) + TimeSpan("P1Y")).toText(false), "2013-03-01T00:00:00Z");
    EXPECT_EQ((DateTime(utc(2010, 12, 31, 23, 59, 59, 999)) + TimeSpan("PT0.001S")).toText(),
              "2011-01-01T00:00:00.000Z");
    EXPECT_EQ((DateTime(utc(2010, 5, 6)) + TimeSpan("P1Y2M3DT4H5M6.007S")).toText(), "2011-07-09T04:05:06.007Z");
    EXPECT_EQ((DateTime(utc(2010, 3, 1)) + TimeSpan("P-1D")).toText(false), "2010-02-28T00:00:00Z");
    EXPECT_EQ((DateTime(utc(2010, 3, 1)) + TimeSpan("PT-0.500S")).toText(), "2010-02-28T23:59:59.500Z");
    EXPECT_EQ((DateTime(utc(2010, 3, 1)) + TimeSpan("P-1M")).toText(false), "2010-02-01T00:00:00Z");
    EXPECT_EQ((DateTime(utc(2010, 3, 1)) + TimeSpan()).count, utc(2010, 3, 1));
    EXPECT_EQ((DateTime(utc(2010, 3, 1)) + TimeSpan("P400D")).count, utc(2010, 3, 1) + 400 * day);
    EXPECT_EQ((DateTime(utc(1900, 1, 1)) + TimeSpan("P-1D")).toText(), "1900-01-01T00:00:00.000Z");

    const TimeZone zone("+05:30");
    const DateTime inZone(utc(2010, 1, 31), zone);
    EXPECT_EQ(TimeSpan("PT1H").addTo(inZone).zone.standardOffset, zone.standardOffset);
}
