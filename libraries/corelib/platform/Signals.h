#pragma once
// Stop signals of the process: abort, interrupt and terminate.

namespace KelvraCorelib::Platform {

// Runs inside the signal handler: it may only do work that is safe there (set a flag).
using StopSignalCallback = void (*)();

// Installs one handler for the abort, interrupt and terminate signals, in that order; on each
// of them it calls onStop and returns. False when any of the three could not be installed.
bool installStopSignals(StopSignalCallback onStop);

}  // namespace KelvraCorelib::Platform
