#pragma once
// Program entry: the process-wide arguments, the stop-requested flag, the top-level error
// guard around an application's run, and the entry steps that build and run an application.
//
//   int main(int argc, char** argv) { return KelvraCorelib::runProgram<Kelvra::Trawlex>(argc, argv); }

#include <cstdint>
#include <functional>

#include "corelib/Exception.h"

namespace KelvraCorelib {

// argc/argv of the entry point, kept for the life of the process.
struct ProgramArguments {
    int count = 0;
    char** values = nullptr;
};

void keepProgramArguments(int argc, char** argv);
ProgramArguments programArguments();

// Set by the stop signal handler; false at start. Nothing waits on it.
bool stopRequested();
void requestStop();

// Installs the stop handler for SIGABRT, SIGINT and SIGTERM (in that order); it only sets
// the stop-requested flag, once: a second signal of the same kind ends the process. Broken
// pipes are ignored, so that output to a closed pipe cannot change the exit code. False when
// a signal could not be hooked.
bool installStopSignalHandler();

// Calls run and returns its result. When it throws, writes the report to standard output
// (no newline added), passes the error to logFatal (failures there are swallowed) and
// returns 2:
//   Exception          its message without class name (begins with a space); logged itself
//   std::out_of_range, std::range_error
//                      "ERROR: STD range error";   logged as "@std-range-error{STD range error};"
//   std::bad_alloc     "ERROR: STD out of memory"; logged as "@std-out-of-memory{STD out of memory};"
//   anything else      "ERROR: Unknown exception"; logged as "@unknown-exception{Unknown exception};"
// logFatal may be empty. Never throws.
int runGuarded(const std::function<int()>& run, const std::function<void(const Exception&)>& logFatal);

namespace ProgramEntryDetail {

template <class Application>
int32_t readRunState(const Application& application)
{
    if constexpr (requires { application.runState(); }) {
        return static_cast<int32_t>(application.runState());
    } else {
        return static_cast<int32_t>(application.runState);
    }
}

void flushOutput();

}  // namespace ProgramEntryDetail

// The entry steps: install the stop handler, keep argc/argv, construct the application as a
// local object, then by its run state: 2 -> 0 (nothing run), 3 -> 2 (set-up failed), otherwise
// its runGuarded() result. Anything escaping construction, the run or destruction gives 2.
// Application needs a constructor without arguments, runState (a member or an accessor) and
// runGuarded(); a destructor that may throw must be declared noexcept(false).
template <class Application>
int runProgram(int argc, char** argv)
{
    installStopSignalHandler();
    keepProgramArguments(argc, argv);
    int exitCode = 2;
    try {
        Application application;
        const int32_t state = ProgramEntryDetail::readRunState(application);
        if (state == 2) {
            exitCode = 0;
        } else if (state == 3) {
            exitCode = 2;
        } else {
            exitCode = application.runGuarded();
        }
    } catch (...) {
        exitCode = 2;
    }
    ProgramEntryDetail::flushOutput();
    return exitCode;
}

}  // namespace KelvraCorelib
