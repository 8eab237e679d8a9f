#pragma once
// Operating-system threads of this program: start, cancel, wait, identity and sleeping.
//
// Cancellation is cooperative and happens at defined points only. cancelThread marks the
// thread; its next cancellation point (sleepMilliseconds or cancellationPoint, both wake
// at once when the mark is set) throws ThreadCancelled, which unwinds the thread's stack
// to its end: destructors run as for any exception. Inside a no-cancel region the
// points do not throw (sleepMilliseconds returns false early instead); the class library
// keeps a thread in such a region for as long as it holds a ThreadLock, so a cancelled
// thread never leaves a lock held. A catch (...) on a thread that may be cancelled must
// rethrow what it caught, or the thread goes on running.

#include <cstdint>

namespace KelvraCorelib::Platform {

// Thrown at a cancellation point of a thread that was asked to stop. Deliberately not
// derived from any error class, so that ordinary error handlers let it pass.
struct ThreadCancelled {};

using ThreadEntry = void (*)(void* argument);

// Starts a thread that runs entry(argument). Returns 0 and sets handle (never 0) and the
// thread's id, or returns the error number (handle 0).
int startThread(ThreadEntry entry, void* argument, uint64_t& handle, uint32_t& threadId);

// Asks the thread to stop at its next cancellation point and waits up to waitMilliseconds
// for its entry function to be left. Returns 0 when that happened, otherwise an error
// number (the request stays; the thread may still stop later). Cancelling the calling
// thread is refused.
int cancelThread(uint64_t handle, uint32_t waitMilliseconds);

// True when the thread's entry function has been left.
bool threadFinished(uint64_t handle);

// Threads are never created suspended here: resuming always succeeds (0).
int resumeThread(uint64_t handle);

// Waits, as long as it takes, for the thread to finish and releases the handle. Called by
// the thread itself, the handle is released and the thread runs on detached.
void closeThread(uint64_t handle);

uint32_t currentThreadId();

// Sleeps; a cancellation point. True when the whole time was slept, false when a
// cancellation request inside a no-cancel region cut it short.
bool sleepMilliseconds(uint32_t milliseconds);
// Throws ThreadCancelled when the calling thread was asked to stop and is not inside a
// no-cancel region.
void cancellationPoint();
// True when the calling thread was asked to stop.
bool cancellationRequested();

// Regions of the calling thread in which cancellation points do not throw; they nest.
void enterNoCancelRegion();
void leaveNoCancelRegion();

}  // namespace KelvraCorelib::Platform
