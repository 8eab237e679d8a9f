// libFuzzer entry for date-time and time-zone texts: the input is read as a date-time text
// and as a zone specification; whatever comes out is normalized, converted and printed. The
// text forms of an instant (1900 to the year 9999) and of a zone with a summer-time rule (whole
// minutes under 100 hours) read back to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "corelib/DateTime.h"

using namespace KelvraCorelib;

namespace {

// Instants to probe a zone with: the epoch of the counts, 2000, 2024 summer and the largest.
const int64_t probes[] = {0, 86400000, 3155760000000LL, 3928521600000LL, INT64_MAX, INT64_MIN};

void exerciseZone(const TimeZone& zone)
{
    zone.toText();
    for (const int64_t count : probes) {
        zone.offsetAt(count);
        zone.isDaylightAt(count);
        zone.offsetText(count, true);
        DateTime(count, zone).toText(true, false, true);
        DateTime(count, zone).toLocalDetails(zone).toText(true, true, true);
        DateTime(count, zone).floorTo(604800000, zone);
        DateTime(count, zone).floorTo(3600000, zone);
    }
    const auto printable = [](int64_t offset) {
        return offset % 60000 == 0 && offset > -100 * 3600000LL && offset < 100 * 3600000LL;
    };
    if (zone.daylightDelta != 0 && printable(zone.standardOffset) && printable(zone.daylightDelta)) {
        const TimeZone again(zone.toText());
        if (again.standardOffset != zone.standardOffset || again.daylightDelta != zone.daylightDelta ||
            again.daylightStart != zone.daylightStart || again.daylightEnd != zone.daylightEnd)
            std::abort();  // the zone's text form does not read back
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text = FuzzSupport::text(data, size);

    DateTimeDetails details(text);
    details.toText();
    details.toText(false, true, true);
    const DateTime instant = details.toDateTime();
    instant.toText(true, false, true);
    const DateTimeDetails utcFields(instant);
    // Counts before 1900-01-01T00:00:00Z all print as that instant.
    if (instant.count >= 86400000 && utcFields.year <= 9999 &&
        DateTimeDetails(instant.toText()).toCount() != instant.count)
        std::abort();  // the instant's text form does not read back
    DateTimeDetails again(instant);
    again.normalize();
    again.toCount();
    exerciseZone(details.zone);

    exerciseZone(TimeZone(text));
    TimeZone::formatOffset(TimeZone::parseOffset(text), true);
    return 0;
}
