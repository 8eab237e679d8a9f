#pragma once
// Within the platform layer only: the portable half of Threads.h. Each platform's
// Threads.cpp starts, detaches and joins the system's thread; the thread record, the start
// and end of a thread and cooperative cancellation are the same everywhere.

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "corelib/platform/Threads.h"

namespace KelvraCorelib::Platform {

// A thread made by startThread. Each platform derives its record, adding the system's
// handle of the thread; the handle given out is the address of this base.
struct ThreadRecord {
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
    std::mutex mutex;
    std::condition_variable changed;  // started, finished or cancellation requested
    bool started = false;
    bool finished = false;
    bool cancelRequested = false;
    uint32_t threadId = 0;
};

ThreadRecord* threadRecordOf(uint64_t handle);
uint64_t handleOfThreadRecord(ThreadRecord* record);

// The record of the calling thread when startThread made it; null for other threads.
ThreadRecord* currentThreadRecord();

// What a started thread runs: makes the record the thread's own, reports the start, calls
// the entry function and marks the record finished however it is left (a ThreadCancelled
// ends the thread quietly).
void runThreadRecord(ThreadRecord* record);

// Waits until the thread of the record has started; its id.
uint32_t waitForThreadStart(ThreadRecord* record);

// Asks the thread of the record to stop and waits up to waitMilliseconds for its entry
// function to be left; true when it was.
bool requestThreadCancellation(ThreadRecord* record, uint32_t waitMilliseconds);

}  // namespace KelvraCorelib::Platform
