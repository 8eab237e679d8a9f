#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "corelib/DateTime.h"
#include "corelib/platform/Clock.h"
#include "support/TestSupport.h"

using KelvraCorelib::DateTime;
using KelvraCorelib::DateTimeDetails;
using KelvraCorelib::TimeZone;
using KelvraCorelib::TransitionRule;
namespace Platform = KelvraCorelib::Platform;

namespace {

constexpr int64_t hour = 3600000;
constexpr int64_t minute = 60000;

const char* const berlinText = "+01:00 (+01:00 3M5W6D2H-10M5W6D3H)";
const char* const sydneyText = "+10:00 (+01:00 10M1W6D2H-4M1W6D3H)";

int64_t utc(int64_t year, int64_t month, int64_t day, int64_t hours = 0, int64_t minutes = 0)
{
    return DateTimeDetails(year, month, day, hours, minutes, 0, 0, false).toCount();
}

bool haveZoneData(const std::string& name)
{
    return std::filesystem::exists("/usr/share/zoneinfo/" + name);
}

#ifdef _WIN32
// The C runtime reads no zone files; where the data is missing, the case cannot run.
#define REQUIRE_ZONE_DATA(name)                                                                          \
    if (!haveZoneData(name))                                                                             \
    GTEST_SKIP() << "no time-zone data for " << (name)
#else
// scripts/setup.sh installs the data, so missing data fails the case.
#define REQUIRE_ZONE_DATA(name)                                                                          \
    ASSERT_TRUE(haveZoneData(name)) << "time-zone data missing: /usr/share/zoneinfo/" << (name)          \
                                    << " not found; install the Debian package \"tzdata\""
#endif

// Each test may set TZ; the local zone is forced afresh and TZ restored afterwards.
class TimeZoneTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { unsetenv("KELVRA_TZ"); }

    void SetUp() override
    {
        const char* current = std::getenv("TZ");
        hadTz = current != nullptr;
        savedTz = hadTz ? current : "";
        useSystemZone("UTC0");
    }

    void TearDown() override
    {
        if (hadTz) {
            setenv("TZ", savedTz.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        TimeZone().setLocal(true);
    }

    static TimeZone useSystemZone(const std::string& tz)
    {
        setenv("TZ", tz.c_str(), 1);
        TimeZone zone;
        zone.setLocal(true);
        return zone;
    }

    // The zone's offset agrees with the C library's at every hour of the given years.
    static void expectOffsetsMatchTheSystem(const TimeZone& zone, int64_t firstYear, int64_t lastYear)
    {
        const int64_t end = utc(lastYear + 1, 1, 1);
        int mismatches = 0;
        for (int64_t count = utc(firstYear, 1, 1); count < end && mismatches < 5; count += hour) {
            Platform::LocalTimeFields fields;
            ASSERT_TRUE(Platform::localTimeOf((count - DateTime::unixEpochCount) / 1000, fields));
            if (zone.offsetAt(count) != fields.utcOffsetSeconds * 1000) {
                ++mismatches;
                ADD_FAILURE() << "at " << DateTime(count).toText() << ": " << zone.offsetAt(count)
                              << " != " << fields.utcOffsetSeconds * 1000;
            }
        }
    }

    bool hadTz = false;
    std::string savedTz;
};

}  // namespace

TEST_F(TimeZoneTest, OffsetTexts)
{
    EXPECT_EQ(TimeZone::parseOffset("+0130"), 5400000);
    EXPECT_EQ(TimeZone::parseOffset("+01:30"), 5400000);
    EXPECT_EQ(TimeZone::parseOffset("-01:30"), -5400000);
    EXPECT_EQ(TimeZone::parseOffset("-0530"), -(5 * hour + 30 * minute));
    EXPECT_EQ(TimeZone::parseOffset("+14:00"), 14 * hour);
    EXPECT_EQ(TimeZone::parseOffset("1:30"), 0);
    EXPECT_EQ(TimeZone::parseOffset("+1:30"), 5400000);  // read as the compact form: "1:" and "30"
    EXPECT_EQ(TimeZone::parseOffset("+01:000"), 0);
    EXPECT_EQ(TimeZone::parseOffset("01:30"), 0);
    EXPECT_EQ(TimeZone::parseOffset(""), 0);

    EXPECT_EQ(TimeZone::formatOffset(hour), "+01:00");
    EXPECT_EQ(TimeZone::formatOffset(-(5 * hour + 30 * minute)), "-05:30");
    EXPECT_EQ(TimeZone::formatOffset(0), "+00:00");
    EXPECT_EQ(TimeZone::formatOffset(5 * hour + 45 * minute, true), "+0545");
    EXPECT_EQ(TimeZone::formatOffset(-hour, true), "-0100");

    const TimeZone berlin(berlinText);
    EXPECT_EQ(berlin.offsetText(utc(2024, 7, 1)), "+02:00");
    EXPECT_EQ(berlin.offsetText(utc(2024, 1, 1), true), "+0100");
}

TEST_F(TimeZoneTest, SpecificationTexts)
{
    // The local zone (UTC here) has no summer time, so offsets in force now are standard offsets.
    EXPECT_EQ(TimeZone("60").standardOffset, hour);
    EXPECT_EQ(TimeZone("60").toText(), "+01:00");
    EXPECT_EQ(TimeZone("3600000").standardOffset, hour);
    EXPECT_EQ(TimeZone("-90").standardOffset, -90 * minute);
    EXPECT_EQ(TimeZone("999999").standardOffset, 999999 * minute);  // six digits: still minutes
    EXPECT_EQ(TimeZone("0").toText(), "+00:00");
    EXPECT_EQ(TimeZone("+05:30").standardOffset, 5 * hour + 30 * minute);
    EXPECT_EQ(TimeZone("-0800").standardOffset, -8 * hour);
    EXPECT_EQ(TimeZone("UTC").standardOffset, 0);
    EXPECT_TRUE(TimeZone("UTC").isSet());
    EXPECT_FALSE(TimeZone().isSet());

    const TimeZone berlin(berlinText);
    EXPECT_TRUE(berlin.isSet());
    EXPECT_EQ(berlin.standardOffset, hour);
    EXPECT_EQ(berlin.daylightDelta, hour);
    EXPECT_EQ(berlin.daylightStart, (TransitionRule{3, 5, 6, 2}));
    EXPECT_EQ(berlin.daylightEnd, (TransitionRule{10, 5, 6, 3}));
    EXPECT_EQ(berlin.toText(), berlinText);
    EXPECT_EQ(TimeZone(sydneyText).toText(), sydneyText);

    const TimeZone west("-05:00 (+01:00 3M2W6D2H-11M1W6D2H)");
    EXPECT_EQ(west.standardOffset, -5 * hour);
    EXPECT_EQ(west.daylightStart, (TransitionRule{3, 2, 6, 2}));
    EXPECT_EQ(west.daylightEnd, (TransitionRule{11, 1, 6, 2}));

    TimeZone copy;
    copy = berlin;
    EXPECT_EQ(copy.toText(), berlinText);
    EXPECT_EQ(TimeZone(copy).toText(), berlinText);
    EXPECT_EQ(TimeZone().toText(), "+00:00");
}

TEST_F(TimeZoneTest, SummerTimeRulesNorthAndSouth)
{
    const TimeZone berlin(berlinText);
    // 2024: from 31 March 01:00Z to 27 October 01:00Z.
    EXPECT_FALSE(berlin.isDaylightAt(utc(2024, 3, 31, 1) - 1));
    EXPECT_TRUE(berlin.isDaylightAt(utc(2024, 3, 31, 1)));
    EXPECT_TRUE(berlin.isDaylightAt(utc(2024, 10, 27, 1) - 1));
    EXPECT_FALSE(berlin.isDaylightAt(utc(2024, 10, 27, 1)));
    EXPECT_FALSE(berlin.isDaylightAt(utc(2024, 1, 15)));
    EXPECT_FALSE(berlin.isDaylightAt(utc(2024, 12, 15)));
    EXPECT_EQ(berlin.offsetAt(utc(2024, 7, 1)), 2 * hour);
    EXPECT_EQ(berlin.offsetAt(DateTime(utc(2024, 1, 1))), hour);
    // 2025 has its last Sundays on 30 March and 26 October; 2026 on 29 March and 25 October.
    EXPECT_TRUE(berlin.isDaylightAt(utc(2025, 3, 30, 1)));
    EXPECT_FALSE(berlin.isDaylightAt(utc(2025, 10, 26, 1)));
    EXPECT_FALSE(berlin.isDaylightAt(utc(2026, 3, 29, 0, 59)));
    EXPECT_TRUE(berlin.isDaylightAt(utc(2026, 10, 25, 0, 59)));

    const TimeZone sydney(sydneyText);
    // 2024: summer time ends 7 April 03:00 local (16:00Z the day before) and starts 6 October
    // 02:00 local (5 October 16:00Z): summer time on both ends of the year.
    EXPECT_TRUE(sydney.isDaylightAt(utc(2024, 1, 15)));
    EXPECT_TRUE(sydney.isDaylightAt(utc(2024, 4, 6, 16) - 1));
    EXPECT_FALSE(sydney.isDaylightAt(utc(2024, 4, 6, 16)));
    EXPECT_FALSE(sydney.isDaylightAt(utc(2024, 7, 1)));
    EXPECT_FALSE(sydney.isDaylightAt(utc(2024, 10, 5, 16) - 1));
    EXPECT_TRUE(sydney.isDaylightAt(utc(2024, 10, 5, 16)));
    EXPECT_TRUE(sydney.isDaylightAt(utc(2024, 12, 31, 23)));
    EXPECT_EQ(sydney.offsetAt(utc(2024, 1, 15)), 11 * hour);
    EXPECT_EQ(sydney.offsetAt(utc(2024, 7, 1)), 10 * hour);

    // No rule, equal rules, a zero delta and invalid months all mean: never summer time.
    EXPECT_FALSE(TimeZone("+01:00").isDaylightAt(utc(2024, 7, 1)));
    EXPECT_FALSE(TimeZone("+01:00 (+01:00 3M5W6D2H-3M5W6D3H)").isDaylightAt(utc(2024, 3, 31, 1)));
    TimeZone broken(berlinText);
    broken.daylightDelta = 0;
    EXPECT_FALSE(broken.isDaylightAt(utc(2024, 7, 1)));
    EXPECT_EQ(broken.toText(), "+01:00");
    broken = TimeZone("+01:00 (+01:00 13M5W6D2H-0M5W6D3H)");
    EXPECT_FALSE(broken.isDaylightAt(utc(2024, 7, 1)));
    // Out-of-range weeks and weekdays are clamped rather than read past the month.
    EXPECT_TRUE(TimeZone("+01:00 (+01:00 3M9W9D2H-10M0W6D3H)").isDaylightAt(utc(2024, 7, 1)));

    // The last count falls in August of its year: the October transition lies beyond the
    // range and must not wrap around to a time before it.
    EXPECT_TRUE(berlin.isDaylightAt(INT64_MAX - 24 * hour));
    EXPECT_EQ(berlin.offsetAt(INT64_MAX - 24 * hour), 2 * hour);
    EXPECT_FALSE(sydney.isDaylightAt(INT64_MAX - 24 * hour));
    EXPECT_EQ(berlin.offsetAt(INT64_MIN), hour);
}

TEST_F(TimeZoneTest, OffsetInForceNowTakesTheLocalRule)
{
    REQUIRE_ZONE_DATA("Europe/Berlin");
    const TimeZone local = useSystemZone("Europe/Berlin");
    const bool summerNow = local.isDaylightAt(DateTime::now());

    const TimeZone plusTwo("+02:00");
    EXPECT_EQ(plusTwo.offsetAt(DateTime::now()), 2 * hour);
    EXPECT_EQ(plusTwo.standardOffset, summerNow ? hour : 2 * hour);
    EXPECT_EQ(plusTwo.daylightStart, local.daylightStart);
    EXPECT_EQ(plusTwo.daylightEnd, local.daylightEnd);
    EXPECT_EQ(TimeZone("120").offsetAt(DateTime::now()), 2 * hour);

    const DateTimeDetails parsed("2010-05-06T07:08:09+02:00");
    EXPECT_TRUE(parsed.isLocal);
    EXPECT_EQ(parsed.zone.offsetAt(DateTime::now()), 2 * hour);
}

TEST_F(TimeZoneTest, LocalZoneOfBerlin)
{
    REQUIRE_ZONE_DATA("Europe/Berlin");
    const TimeZone berlin = useSystemZone("Europe/Berlin");
    EXPECT_EQ(berlin.toText(), berlinText);
    expectOffsetsMatchTheSystem(berlin, 2024, 2027);

    // Local fields without a zone are read in the local zone, as the C library does.
    for (int64_t month = 1; month <= 12; ++month) {
        const DateTimeDetails fields(2025, month, 15, 12, 30, 0, 0, true);
        Platform::LocalTimeFields local;
        local.year = 2025;
        local.month = month;
        local.day = 15;
        local.hour = 12;
        local.minute = 30;
        int64_t seconds = 0;
        ASSERT_TRUE(Platform::localTimeToSeconds(local, seconds));
        EXPECT_EQ(fields.toCount(), seconds * 1000 + DateTime::unixEpochCount) << month;
    }
}

TEST_F(TimeZoneTest, LocalZoneOfSydneyStartsAfterItEnds)
{
    REQUIRE_ZONE_DATA("Australia/Sydney");
    const TimeZone sydney = useSystemZone("Australia/Sydney");
    EXPECT_EQ(sydney.toText(), sydneyText);
    EXPECT_GT(sydney.daylightStart.month, sydney.daylightEnd.month);
    EXPECT_TRUE(sydney.isDaylightAt(utc(2025, 1, 15)));
    EXPECT_FALSE(sydney.isDaylightAt(utc(2025, 7, 15)));
    EXPECT_TRUE(sydney.isDaylightAt(utc(2025, 12, 15)));
    expectOffsetsMatchTheSystem(sydney, 2024, 2027);
}

TEST_F(TimeZoneTest, LocalZonesWithoutSummerTimeAndInTheWest)
{
    REQUIRE_ZONE_DATA("Asia/Kolkata");
    REQUIRE_ZONE_DATA("America/New_York");
    const TimeZone kolkata = useSystemZone("Asia/Kolkata");
    EXPECT_EQ(kolkata.toText(), "+05:30");
    EXPECT_FALSE(kolkata.isDaylightAt(utc(2025, 7, 1)));

    const TimeZone newYork = useSystemZone("America/New_York");
    EXPECT_EQ(newYork.toText(), "-05:00 (+01:00 3M2W6D2H-11M1W6D2H)");
    expectOffsetsMatchTheSystem(newYork, 2024, 2027);

    EXPECT_EQ(useSystemZone("UTC0").toText(), "+00:00");
}

TEST_F(TimeZoneTest, LocalZoneIsCachedUnlessForced)
{
    REQUIRE_ZONE_DATA("Europe/Berlin");
    useSystemZone("Europe/Berlin");
    setenv("TZ", "UTC0", 1);
    TimeZone cached;
    cached.setLocal(false);
    EXPECT_EQ(cached.toText(), berlinText);
    EXPECT_EQ(DateTime().zone.toText(), berlinText);
    TimeZone fresh;
    fresh.setLocal(true);
    EXPECT_EQ(fresh.toText(), "+00:00");
    cached.setLocal(false);
    EXPECT_EQ(cached.toText(), "+00:00");
}

TEST_F(TimeZoneTest, ClockCountsPast2038)
{
    REQUIRE_ZONE_DATA("Europe/Berlin");
    useSystemZone("Europe/Berlin");
    Platform::LocalTimeFields fields;
    ASSERT_TRUE(Platform::localTimeOf(4102444800LL, fields));  // 2100-01-01T00:00:00Z
    EXPECT_EQ(fields.year, 2100);
    EXPECT_EQ(fields.hour, 1);
    EXPECT_EQ(fields.utcOffsetSeconds, 3600);
    EXPECT_EQ(fields.weekday, 4);  // a Friday
    ASSERT_TRUE(Platform::localTimeOf(2147483648LL + 180 * 86400, fields));  // July 2038
    EXPECT_TRUE(fields.isDaylight);
    EXPECT_EQ(fields.utcOffsetSeconds, 7200);
    int64_t seconds = 0;
    ASSERT_TRUE(Platform::localTimeToSeconds(fields, seconds));
    EXPECT_EQ(seconds, 2147483648LL + 180 * 86400);

    const int64_t first = Platform::monotonicMilliseconds();
    EXPECT_GE(Platform::monotonicMilliseconds(), first);
    EXPECT_GT(Platform::secondsClock(), 1700000000);
}

#ifndef _WIN32
// "KELVRA_TZ" is read once per process, so it is tried in a process of its own.
namespace {

std::string runProbe(const std::string& environment)
{
    const TestSupport::TempDir folder("trawlex-tz");
    const TestSupport::Outcome outcome =
        TestSupport::runShell(folder.path(), environment + " " + TestSupport::helper("time_zone_probe") + " 2>&1");
    EXPECT_EQ(outcome.exitCode, 0) << environment;
    return outcome.out;
}

}  // namespace

TEST_F(TimeZoneTest, KelvraTzOverridesTheLocalZoneForTheWholeProcess)
{
    // The probe prints the local zone, then sets KELVRA_TZ to "+09:00" and TZ to UTC, forces the
    // local zone and prints it again, and finally prints the zone of a new DateTime.
    EXPECT_EQ(runProbe(std::string("TZ=UTC0 KELVRA_TZ='") + sydneyText + "'"),
              std::string(sydneyText) + "\n" + sydneyText + "\n" + sydneyText + "\n");
    EXPECT_EQ(runProbe("TZ=UTC0 KELVRA_TZ=90"), "+01:30\n+01:30\n+01:30\n");
    EXPECT_EQ(runProbe("TZ=UTC0 KELVRA_TZ=-0300"), "-03:00\n-03:00\n-03:00\n");
    REQUIRE_ZONE_DATA("Europe/Berlin");
    EXPECT_EQ(runProbe("TZ=Europe/Berlin KELVRA_TZ="), std::string(berlinText) + "\n+00:00\n+00:00\n");
    EXPECT_EQ(runProbe("TZ=Europe/Berlin"), std::string(berlinText) + "\n+00:00\n+00:00\n");
}
#endif
