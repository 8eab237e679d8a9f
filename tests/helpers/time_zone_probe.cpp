// Prints the local zone, then changes KELVRA_TZ and TZ, forces the local zone and prints it
// again, and prints the zone of a new DateTime: one line each.
#include <cstdio>
#include <cstdlib>

#include "corelib/DateTime.h"

using KelvraCorelib::DateTime;
using KelvraCorelib::TimeZone;

int main()
{
    TimeZone zone;
    zone.setLocal(false);
    std::printf("%s\n", zone.toText().c_str());

    setenv("KELVRA_TZ", "+09:00", 1);
    setenv("TZ", "UTC0", 1);
    TimeZone again;
    again.setLocal(true);
    std::printf("%s\n", again.toText().c_str());
    std::printf("%s\n", DateTime().zone.toText().c_str());
    return 0;
}
