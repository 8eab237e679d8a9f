#include "corelib/ProgramEntry.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "corelib/platform/Signals.h"

namespace KelvraCorelib {

namespace {

int argumentCount = 0;
char** argumentValues = nullptr;
std::atomic<bool> stopFlag{false};

void onStopSignal()
{
    stopFlag.store(true);
}

void writeOutput(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Out of memory may be what is being reported: a fixed text is written without allocating.
void writeOutput(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void logQuietly(const std::function<void(const Exception&)>& logFatal, const Exception& error)
{
    try {
        if (logFatal) {
            logFatal(error);
        }
    } catch (...) {
    }
}

void reportGeneral(const char* output, const char* messageTemplate,
                   const std::function<void(const Exception&)>& logFatal)
{
    writeOutput(output);
    try {
        logQuietly(logFatal, Exception(messageTemplate));
    } catch (...) {
    }
}

}  // namespace

void keepProgramArguments(int argc, char** argv)
{
    argumentCount = argc;
    argumentValues = argv;
}

ProgramArguments programArguments()
{
    ProgramArguments arguments;
    arguments.count = argumentCount;
    arguments.values = argumentValues;
    return arguments;
}

bool stopRequested()
{
    return stopFlag.load();
}

void requestStop()
{
    stopFlag.store(true);
}

bool installStopSignalHandler()
{
    static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");
    // An "ERROR: " line written into a closed pipe must not change the exit code.
    const bool pipesIgnored = Platform::ignoreBrokenPipes();
    return Platform::installStopSignals(onStopSignal) && pipesIgnored;
}

int runGuarded(const std::function<int()>& run, const std::function<void(const Exception&)>& logFatal)
{
    try {
        return run();
    } catch (const Exception& error) {
        try {
            writeOutput(error.getMessage(false));
        } catch (...) {
        }
        logQuietly(logFatal, error);
    } catch (const std::out_of_range&) {
        reportGeneral("ERROR: STD range error", "@std-range-error{STD range error};", logFatal);
    } catch (const std::range_error&) {
        reportGeneral("ERROR: STD range error", "@std-range-error{STD range error};", logFatal);
    } catch (const std::bad_alloc&) {
        reportGeneral("ERROR: STD out of memory", "@std-out-of-memory{STD out of memory};", logFatal);
    } catch (...) {
        reportGeneral("ERROR: Unknown exception", "@unknown-exception{Unknown exception};", logFatal);
    }
    return 2;
}

namespace ProgramEntryDetail {

void flushOutput()
{
    std::fflush(stdout);
}

}  // namespace ProgramEntryDetail

}  // namespace KelvraCorelib
