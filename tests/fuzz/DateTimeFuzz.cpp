// libFuzzer entry for date-time and time-zone texts: the input is read as a date-time text
// and as a zone specification; whatever comes out is normalized, converted and printed.
#include <cstddef>
#include <cstdint>
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
    TimeZone(zone.toText());
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
    DateTimeDetails again(instant);
    again.normalize();
    again.toCount();
    exerciseZone(details.zone);

    exerciseZone(TimeZone(text));
    TimeZone::formatOffset(TimeZone::parseOffset(text), true);
    return 0;
}
