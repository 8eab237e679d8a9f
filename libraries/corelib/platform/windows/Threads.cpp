// Windows code only: threads made with CreateThread.
#include "corelib/platform/Threads.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <windows.h>
#include <thread>

namespace KelvraCorelib::Platform {

namespace {

struct ThreadRecord {
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
    HANDLE thread = nullptr;
    std::mutex mutex;
    std::condition_variable changed;  // started, finished or cancellation requested
    bool started = false;
    bool finished = false;
    bool cancelRequested = false;
    uint32_t threadId = 0;
};

ThreadRecord* recordOf(uint64_t handle)
{
    return reinterpret_cast<ThreadRecord*>(static_cast<uintptr_t>(handle));
}

// The record of the calling thread when startThread made it; null for other threads.
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

DWORD WINAPI runThread(void* raw)
{
    ThreadRecord* record = static_cast<ThreadRecord*>(raw);
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
    return 0;
}

}  // namespace

int startThread(ThreadEntry entry, void* argument, uint64_t& handle, uint32_t& threadId)
{
    handle = 0;
    threadId = 0;
    ThreadRecord* record = new ThreadRecord;
    record->entry = entry;
    record->argument = argument;
    DWORD systemId = 0;
    record->thread = CreateThread(nullptr, 0, runThread, record, 0, &systemId);
    if (record->thread == nullptr) {
        const int error = static_cast<int>(GetLastError());
        delete record;
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    {
        std::unique_lock<std::mutex> guard(record->mutex);
        record->changed.wait(guard, [record] { return record->started; });
        threadId = record->threadId;
    }
    handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record));
    return 0;
}

int cancelThread(uint64_t handle, uint32_t waitMilliseconds)
{
    ThreadRecord* record = recordOf(handle);
    if (record == nullptr)
        return ERROR_INVALID_HANDLE;
    if (record == currentRecord)
        return ERROR_POSSIBLE_DEADLOCK;
    std::unique_lock<std::mutex> guard(record->mutex);
    record->cancelRequested = true;
    record->changed.notify_all();
    const bool finished = record->changed.wait_for(guard, std::chrono::milliseconds(waitMilliseconds),
                                                   [record] { return record->finished; });
    return finished ? 0 : WAIT_TIMEOUT;
}

bool threadFinished(uint64_t handle)
{
    ThreadRecord* record = recordOf(handle);
    if (record == nullptr)
        return true;
    std::lock_guard<std::mutex> guard(record->mutex);
    return record->finished;
}

int resumeThread(uint64_t)
{
    return 0;
}

void closeThread(uint64_t handle)
{
    ThreadRecord* record = recordOf(handle);
    if (record == nullptr)
        return;
    if (record == currentRecord) {
        // The record stays with the running thread; it is not reclaimed.
        CloseHandle(record->thread);
        record->thread = nullptr;
        return;
    }
    WaitForSingleObject(record->thread, INFINITE);
    CloseHandle(record->thread);
    delete record;
}

uint32_t currentThreadId()
{
    return static_cast<uint32_t>(GetCurrentThreadId());
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
