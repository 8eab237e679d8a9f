// POSIX code only: stop signals and the broken-pipe signal through sigaction.
#include "corelib/platform/Signals.h"

#include <atomic>
#include <cerrno>
#include <initializer_list>

#include <signal.h>

namespace KelvraCorelib::Platform {

namespace {

std::atomic<StopSignalCallback> stopCallback{nullptr};

// There is no thread message queue to post a quit message to on POSIX: the handler only
// reports the signal through the callback (which sets the stop-requested flag).
void onStopSignal(int)
{
    const int savedErrno = errno;
    const StopSignalCallback callback = stopCallback.load();
    if (callback != nullptr) {
        callback();
    }
    errno = savedErrno;
}

}  // namespace

bool installStopSignals(StopSignalCallback onStop)
{
    stopCallback.store(onStop);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // As the signal function of the system's C runtime does: the disposition goes back to the
    // default before the handler runs, so the same signal a second time ends the process.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    bool installed = true;
    for (const int signalNumber : {SIGABRT, SIGINT, SIGTERM}) {
        if (sigaction(signalNumber, &action, nullptr) != 0) {
            installed = false;
        }
    }
    return installed;
}

bool ignoreBrokenPipes()
{
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGPIPE, &action, nullptr) == 0;
}

}  // namespace KelvraCorelib::Platform
