// Test helper for the data log.
//   datalog_writer write DIR TAG COUNT
//       writes COUNT signed data logs into DIR, one at a time, with lead "w", application
//       "app" and the source times 3850000000000 + i, finalising old working files before
//       each; a working name that another writer holds is tried again. Each file's data is
//       "TAG i". Prints "done" at the end.
//   datalog_writer limit DIR on|off
//       limits the process's file size to 4096 bytes, writes a data text that does not fit
//       and closes the file, with the error mode on or off; prints one line per step:
//       the result (true/false) or the class names of the exception and its nested ones.
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "datahandling/DataLog.h"

using namespace KelvraCorelib;

namespace {

void describe(DataLog& log, int64_t time)
{
    log.setLogType(DataCommons::logRaw);
    log.setSourceMeta("application", "app");
    log.setSourceMeta("module", "app");
    log.setSourceMeta("datatype", "app");
    log.setSourceMeta("time", std::to_string(time));
}

std::string chain(const Exception& e)
{
    std::string text = e.className;
    for (const Exception& inner : e.nested) {
        text += ">" + chain(inner);
    }
    return text;
}

template <class Step>
void report(const char* name, Step step)
{
    try {
        std::printf("%s %s\n", name, step() ? "true" : "false");
    } catch (const Exception& e) {
        std::printf("%s %s\n", name, chain(e).c_str());
    }
    std::fflush(stdout);
}

int writeMany(const std::string& dir, const std::string& tag, int count)
{
    setErrorModeThrows(false);
    for (int i = 0; i < count; ++i) {
        const int64_t time = 3850000000000LL + i;
        DataLog log;
        describe(log, time);
        int attempts = 0;
        for (;;) {
            if (log.makeReadyToOpenWriteFile(dir, "w", true, true) && log.openWriteFile(DataLog::createNew)) {
                break;
            }
            if (++attempts > 20000) {
                std::printf("cannot open file %d\n", i);
                return 1;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        log.setRawLine(tag + " " + std::to_string(i));
        if (!log.writeRaw() || !log.closeFile(false)) {
            std::printf("cannot write file %d\n", i);
            return 1;
        }
    }
    std::printf("done\n");
    return 0;
}

int writeBeyondLimit(const std::string& dir, bool throws)
{
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {};
    limit.rlim_cur = 4096;
    limit.rlim_max = 4096;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        std::printf("setrlimit failed\n");
        return 1;
    }
    setErrorModeThrows(throws);
    DataLog log;
    describe(log, 3850000000000LL);
    report("open", [&] {
        return log.makeReadyToOpenWriteFile(dir, "w", true, false) && log.openWriteFile(DataLog::createNew);
    });
    report("raw", [&] { return log.setRawLine(std::string(100000, 'x')) && log.writeRaw(); });
    report("close", [&] { return log.closeFile(false); });
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "write") == 0) {
        return writeMany(argv[2], argv[3], std::atoi(argv[4]));
    }
    if (argc == 4 && std::strcmp(argv[1], "limit") == 0) {
        return writeBeyondLimit(argv[2], std::strcmp(argv[3], "on") == 0);
    }
    std::fprintf(stderr, "usage: datalog_writer write DIR TAG COUNT | limit DIR on|off\n");
    return 2;
}
