#pragma once
// Operating-system threads of this program: start, cancel, wait, identity and sleeping.
//
// Cancellation is deferred: a cancelled thread stops only when it next reaches a blocking
// call of the system (read, poll, sleep, wait ...), and never while it is inside a
// no-cancel region. The class library keeps a thread inside such a region for as long as
// it holds a ThreadLock, so a cancelled thread never leaves a lock held. A cancelled
// thread unwinds its stack: destructors run, and a catch (...) on that thread must
// rethrow what it caught.

#include <cstdint>

namespace KelvraCorelib::Platform {

using ThreadEntry = void (*)(void* argument);

// Starts a thread that runs entry(argument). Returns 0 and sets handle (never 0) and the
// thread's id, or returns the error number (handle 0).
int startThread(ThreadEntry entry, void* argument, uint64_t& handle, uint32_t& threadId);

// Asks the thread to stop at its next cancellation point and waits up to waitMilliseconds
// for it to finish. Returns 0 when it has finished, otherwise an error number (the thread
// may still stop later; the request stays). Cancelling the calling thread is refused.
int cancelThread(uint64_t handle, uint32_t waitMilliseconds);

// True when the thread's entry function has returned or the thread was cancelled.
bool threadFinished(uint64_t handle);

// Threads are never created suspended here: resuming always succeeds (0).
int resumeThread(uint64_t handle);

// Waits, as long as it takes, for the thread to finish and releases the handle. Called by
// the thread itself, the handle is released and the thread runs on detached.
void closeThread(uint64_t handle);

uint32_t currentThreadId();
void sleepMilliseconds(uint32_t milliseconds);

// Regions of the calling thread in which a cancellation request waits; they nest.
void enterNoCancelRegion();
void leaveNoCancelRegion();

}  // namespace KelvraCorelib::Platform
