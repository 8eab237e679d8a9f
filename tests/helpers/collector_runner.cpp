// Test helper: "collector_runner TARGET EXE TAG COUNT" runs COUNT collections one after the
// other, as the application does them, of the utility EXE with the argument text "TAG i" into
// TARGET (application "trawlex", module "test", data type "sample"). Prints "done", or the
// first error and the collection it ended.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "collector/Collector.h"
#include "corelib/Exception.h"

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: collector_runner TARGET EXE TAG COUNT\n");
        return 2;
    }
    KelvraCorelib::setErrorModeThrows(false);
    const int count = std::atoi(argv[4]);
    for (int i = 0; i < count; ++i) {
        try {
            Kelvra::Collector collector;
            collector.setTargetDir(argv[1]);
            collector.setAppName("trawlex");
            collector.setModule("test");
            collector.setDataType("sample");
            collector.setInterval("PT1H");
            collector.setTimeout("PT30S");
            collector.setExePath(argv[2]);
            collector.setExeArgs(std::string(argv[3]) + " " + std::to_string(i));
            collector.collect();
        } catch (const KelvraCorelib::Exception& e) {
            std::printf("collection %d: %s\n", i, e.getMessage(true).c_str());
            return 1;
        }
    }
    std::printf("done\n");
    return 0;
}
