#pragma once
// Within the platform layer only: conversions between the C library's broken-down time
// and LocalTimeFields, the same on every platform.

#include <cstdint>
#include <ctime>

#include "corelib/platform/Clock.h"

namespace KelvraCorelib::Platform {

// The fields of local, the local time of the instant unixSeconds; the UTC offset is their
// difference.
LocalTimeFields localTimeFieldsOf(const std::tm& local, int64_t unixSeconds);

// The calendar fields of a local time for mktime; summer time is left to the C library.
std::tm calendarFieldsOf(const LocalTimeFields& fields);

}  // namespace KelvraCorelib::Platform
