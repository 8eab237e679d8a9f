#pragma once
// Within the platform layer only: the portable half of Threads.h. Each platform's
// Threads.cpp starts, detaches and joins the system's thread; the thread record, starting,
// closing and cancelling a thread are the same everywhere.

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "corelib/platform/Threads.h"

namespace KelvraCorelib::Platform {

// A thread made by startThread. Each platform derives its record, adding the system's
// handle of the thread; the handle given out is the address of this base.
struct ThreadRecord {
    virtual ~ThreadRecord() = default;
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
    std::mutex mutex;
    std::condition_variable changed;  // started, finished or cancellation requested
    bool started = false;
    bool finished = false;
    bool cancelRequested = false;
    uint32_t threadId = 0;
};

// What a started thread runs: makes the record the thread's own, reports the start, calls
// the entry function and marks the record finished however it is left (a ThreadCancelled
// ends the thread quietly).
void runThreadRecord(ThreadRecord* record);

// ---- Each platform's Threads.cpp ----------------------------------------------------------

// A new record of the platform's kind, its thread not started.
ThreadRecord* newThreadRecord();
// Starts the system's thread, which runs runThreadRecord(record); 0 or the error number.
int startSystemThread(ThreadRecord* record);
// Releases the system's handle of the thread; the thread runs on.
void detachSystemThread(ThreadRecord* record);
// Waits for the thread to end and releases the system's handle.
void joinSystemThread(ThreadRecord* record);

// The platform's error numbers of cancelThread's refusals.
struct ThreadRefusals {
    int noSuchThread;
    int callingThread;
    int timedOut;
};
extern const ThreadRefusals threadRefusals;

}  // namespace KelvraCorelib::Platform
