// The portable half of the threads: thread records, starting, closing and cancelling them,
// and cooperative cancellation on a mutex and condition variable per thread.
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

ThreadRecord* threadRecordOf(uint64_t handle)
{
    return reinterpret_cast<ThreadRecord*>(static_cast<uintptr_t>(handle));
}

uint64_t handleOfThreadRecord(ThreadRecord* record)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record));
}

}  // namespace

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

int startThread(ThreadEntry entry, void* argument, uint64_t& handle, uint32_t& threadId)
{
    handle = 0;
    threadId = 0;
    ThreadRecord* record = newThreadRecord();
    record->entry = entry;
    record->argument = argument;
    if (const int error = startSystemThread(record); error != 0) {
        delete record;
        return error;
    }
    {
        std::unique_lock<std::mutex> guard(record->mutex);
        record->changed.wait(guard, [record] { return record->started; });
        threadId = record->threadId;
    }
    handle = handleOfThreadRecord(record);
    return 0;
}

int cancelThread(uint64_t handle, uint32_t waitMilliseconds)
{
    ThreadRecord* record = threadRecordOf(handle);
    if (record == nullptr)
        return threadRefusals.noSuchThread;
    if (record == currentRecord)
        return threadRefusals.callingThread;
    std::unique_lock<std::mutex> guard(record->mutex);
    record->cancelRequested = true;
    record->changed.notify_all();
    const bool finished = record->changed.wait_for(guard, std::chrono::milliseconds(waitMilliseconds),
                                                   [record] { return record->finished; });
    return finished ? 0 : threadRefusals.timedOut;
}

void closeThread(uint64_t handle)
{
    ThreadRecord* record = threadRecordOf(handle);
    if (record == nullptr)
        return;
    if (record == currentRecord) {
        // The record stays with the running thread; it is not reclaimed.
        detachSystemThread(record);
        return;
    }
    joinSystemThread(record);
    delete record;
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
