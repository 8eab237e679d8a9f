#pragma once
// Stop signals of the process (abort, interrupt and terminate) and the broken-pipe signal.

namespace KelvraCorelib::Platform {

// Runs inside the signal handler: it may only do work that is safe there (set a flag).
using StopSignalCallback = void (*)();

// Installs one handler for the abort, interrupt and terminate signals, in that order; on each
// of them it calls onStop and returns. Each signal's handler serves once: it is reset to the
// default before it runs, so a second signal of the same kind ends the process. False when any of the three could not be installed.
bool installStopSignals(StopSignalCallback onStop);

// A write to a pipe or socket whose reader has gone fails with an error instead of ending the
// process, so the process keeps its own exit code. Children get the default again before
// their program starts. False when that could not be set.
bool ignoreBrokenPipes();

}  // namespace KelvraCorelib::Platform
