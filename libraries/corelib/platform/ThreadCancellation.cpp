// The portable half of the threads: thread records, their start and end, and cooperative
// cancellation on a mutex and condition variable per thread.
#include "corelib/platform/ThreadCancellation.h"

#include <chrono>
#include <thread>

namespace KelvraCorelib::Platform {

namespace {

thread_local ThreadRecord* currentRecord = nullptr;
thread_local int noCancelDepth = 0;

// Marks the record finished however the entry function is left.
struct FinishMark {
    ThreadRecord* record;
    ~FinishMark()
    {
        std::lock_guard<std::mutex> guard(record->mutex);
        record->finished = true;
        record->changed.notify_all();
    }
};

}  // namespace

ThreadRecord* threadRecordOf(uint64_t handle)
{
    return reinterpret_cast<ThreadRecord*>(static_cast<uintptr_t>(handle));
}

uint64_t handleOfThreadRecord(ThreadRecord* record)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record));
}

ThreadRecord* currentThreadRecord()
{
    return currentRecord;
}

void runThreadRecord(ThreadRecord* record)
{
    currentRecord = record;
    FinishMark mark{record};
    {
        std::lock_guard<std::mutex> guard(record->mutex);
        record->threadId = currentThreadId();
        record->started = true;
        record->changed.notify_all();
    }
    try {
        record->entry(record->argument);
    } catch (const ThreadCancelled&) {
        // The ordinary end of a cancelled thread.
    }
}

uint32_t waitForThreadStart(ThreadRecord* record)
{
    std::unique_lock<std::mutex> guard(record->mutex);
    record->changed.wait(guard, [record] { return record->started; });
    return record->threadId;
}

bool requestThreadCancellation(ThreadRecord* record, uint32_t waitMilliseconds)
{
    std::unique_lock<std::mutex> guard(record->mutex);
    record->cancelRequested = true;
    record->changed.notify_all();
    return record->changed.wait_for(guard, std::chrono::milliseconds(waitMilliseconds),
                                    [record] { return record->finished; });
}

bool threadFinished(uint64_t handle)
{
    ThreadRecord* record = threadRecordOf(handle);
    if (record == nullptr)
        return true;
    std::lock_guard<std::mutex> guard(record->mutex);
    return record->finished;
}

int resumeThread(uint64_t)
{
    return 0;
}

bool sleepMilliseconds(uint32_t milliseconds)
{
    ThreadRecord* record = currentRecord;
    if (record == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return true;
    }
    bool cancelled;
    {
        std::unique_lock<std::mutex> guard(record->mutex);
        cancelled = record->changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                             [record] { return record->cancelRequested; });
    }
    if (!cancelled)
        return true;
    cancellationPoint();
    return false;
}

void cancellationPoint()
{
    if (noCancelDepth == 0 && cancellationRequested())
        throw ThreadCancelled();
}

bool cancellationRequested()
{
    ThreadRecord* record = currentRecord;
    if (record == nullptr)
        return false;
    std::lock_guard<std::mutex> guard(record->mutex);
    return record->cancelRequested;
}

void enterNoCancelRegion()
{
    ++noCancelDepth;
}

void leaveNoCancelRegion()
{
    if (noCancelDepth > 0)
        --noCancelDepth;
}

}  // namespace KelvraCorelib::Platform
