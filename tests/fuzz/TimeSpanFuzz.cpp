// libFuzzer entry for P-notation: any text gives a span; its text form reads back as the same
// span (when each printed count fits the 32 bits that the reader takes), and totals and
// calendar addition stay defined.
#include <cstddef>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "corelib/DateTime.h"
#include "corelib/TimeSpan.h"

using namespace KelvraCorelib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const TimeSpan span(FuzzSupport::text(data, size));
    const std::string text = span.toText();
    const auto fits = [](int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; };
    const bool readable = fits(span.years) && fits(span.months) && fits(span.milliseconds / 86400000);
    if (readable && TimeSpan(text) != span)
        std::abort();  // the text form does not read back
    span.totalSeconds();
    span.totalMilliseconds(true);
    span.totalMilliseconds(false);
    span.compare(TimeSpan("PT1S"));
    const TimeZone utc("+00:00");
    (DateTime(int64_t(3155760000000), utc) + span).toText();
    span.addTo(DateTime(int64_t(86400000), utc)).toText(true, true, true);
    return 0;
}
