// Test helper: "named_create_run DIR TIME" makes one collection as the collector does (lead
// "w", application "app", source time TIME, data "run TIME", old working files finalised
// first) with the unnamed creation of working files turned off, as on file systems without
// it. It starts when a byte (or the end) arrives on standard input, so that a test can start
// several runs together. Exits 0 when the file was written and finalised, 1 otherwise.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "corelib/Exception.h"
#include "corelib/platform/DataLogFiles.h"
#include "datahandling/DataLog.h"

using namespace KelvraCorelib;

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: named_create_run DIR TIME\n");
        return 2;
    }
    setErrorModeThrows(false);
    char gate = 0;
    if (read(0, &gate, 1) < 0) {
        return 2;
    }
    const std::string time = argv[2];
    DataLog log;
    log.setFileCreation(Platform::FileCreation::namedOnly);
    log.setLogType(DataCommons::logRaw);
    log.setSourceMeta("application", "app");
    log.setSourceMeta("module", "app");
    log.setSourceMeta("datatype", "app");
    log.setSourceMeta("time", time);
    log.setRotationMode(DataLog::rotateBySize);
    const bool ok = log.makeReadyToOpenWriteFile(argv[1], "w", true, true) && log.openWriteFile(DataLog::createNew) &&
                    log.setRawLine("run " + time) && log.writeRaw() && log.closeFile(false);
    if (!ok) {
        std::printf("run %s failed: %s\n", time.c_str(), log.failureReason().c_str());
    }
    return ok ? 0 : 1;
}
