// Windows code only: stop signals through the C runtime's signal function, whose
// disposition goes back to the default before the handler runs.
#include "corelib/platform/Signals.h"

#include <atomic>
#include <csignal>
#include <initializer_list>

namespace KelvraCorelib::Platform {

namespace {

std::atomic<StopSignalCallback> stopCallback{nullptr};

// The interrupt arrives on a thread of its own, made by the console; the callback only
// sets the stop flag that the main loop looks at (it takes the place of the quit message).
void onStopSignal(int)
{
    const StopSignalCallback callback = stopCallback.load();
    if (callback != nullptr) {
        callback();
    }
}

}  // namespace

bool installStopSignals(StopSignalCallback onStop)
{
    stopCallback.store(onStop);
    bool installed = true;
    for (const int signalNumber : {SIGABRT, SIGINT, SIGTERM}) {
        if (std::signal(signalNumber, onStopSignal) == SIG_ERR) {
            installed = false;
        }
    }
    return installed;
}

// There is no broken-pipe signal: a write to a pipe without a reader fails with an error.
bool ignoreBrokenPipes()
{
    return true;
}

}  // namespace KelvraCorelib::Platform
