// One collection run, as the scheduler's run of the collector does it:
//   demo-collection TARGET_DIR UTILITY [ARGUMENTS]
#include <cstdio>
#include <string>

#include "collector/Collector.h"
#include "corelib/Exception.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("Usage: demo-collection TARGET_DIR UTILITY [ARGUMENTS]\n", stdout);
        return 2;
    }
    KelvraCorelib::setErrorModeThrows(false);
    try {
        Kelvra::Collector collector;
        collector.setTargetDir(argv[1]);
        collector.setAppName("trawlex");
        collector.setModule("demo");
        collector.setDataType("system");
        collector.setInterval("PT1H");
        collector.setTimeout("PT30S");
        collector.setExePath(argv[2]);
        collector.setExeArgs(argc > 3 ? argv[3] : "");
        collector.collect();
    } catch (const KelvraCorelib::Exception& error) {
        std::printf("ERROR:%s\n", error.getMessage(false).c_str());
        return 2;
    }
    return 0;
}
