// POSIX only: threads on pthreads.
#include "corelib/platform/Threads.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cxxabi.h>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace KelvraCorelib::Platform {

namespace {

struct ThreadRecord {
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
    pthread_t thread{};
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool finished = false;
    uint32_t threadId = 0;
};

ThreadRecord* recordOf(uint64_t handle)
{
    return reinterpret_cast<ThreadRecord*>(static_cast<uintptr_t>(handle));
}

// Marks the record finished however the entry function is left (return or cancellation).
struct FinishMark {
    ThreadRecord* record;
    ~FinishMark()
    {
        std::lock_guard<std::mutex> guard(record->mutex);
        record->finished = true;
        record->changed.notify_all();
    }
};

void* runThread(void* raw)
{
    ThreadRecord* record = static_cast<ThreadRecord*>(raw);
    FinishMark mark{record};
    {
        std::lock_guard<std::mutex> guard(record->mutex);
        record->threadId = currentThreadId();
        record->started = true;
        record->changed.notify_all();
    }
    try {
        record->entry(record->argument);
    } catch (abi::__forced_unwind&) {
        throw;  // cancellation: must reach the end of the thread
    } catch (...) {
        // An exception that escapes the thread function ends this thread only.
    }
    return nullptr;
}

thread_local int noCancelDepth = 0;

}  // namespace

int startThread(ThreadEntry entry, void* argument, uint64_t& handle, uint32_t& threadId)
{
    handle = 0;
    threadId = 0;
    ThreadRecord* record = new ThreadRecord;
    record->entry = entry;
    record->argument = argument;
    enterNoCancelRegion();
    const int error = pthread_create(&record->thread, nullptr, runThread, record);
    if (error != 0) {
        leaveNoCancelRegion();
        delete record;
        return error;
    }
    {
        std::unique_lock<std::mutex> guard(record->mutex);
        record->changed.wait(guard, [record] { return record->started; });
        threadId = record->threadId;
    }
    leaveNoCancelRegion();
    handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record));
    return 0;
}

int cancelThread(uint64_t handle, uint32_t waitMilliseconds)
{
    ThreadRecord* record = recordOf(handle);
    if (record == nullptr)
        return ESRCH;
    if (pthread_equal(record->thread, pthread_self()))
        return EDEADLK;
    {
        std::lock_guard<std::mutex> guard(record->mutex);
        if (record->finished)
            return 0;
    }
    const int error = pthread_cancel(record->thread);
    if (error != 0 && error != ESRCH)
        return error;
    enterNoCancelRegion();
    bool finished;
    {
        std::unique_lock<std::mutex> guard(record->mutex);
        finished = record->changed.wait_for(guard, std::chrono::milliseconds(waitMilliseconds),
                                            [record] { return record->finished; });
    }
    leaveNoCancelRegion();
    return finished ? 0 : ETIMEDOUT;
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
    if (pthread_equal(record->thread, pthread_self())) {
        // The record stays with the running thread; it is not reclaimed.
        pthread_detach(record->thread);
        return;
    }
    enterNoCancelRegion();
    pthread_join(record->thread, nullptr);
    leaveNoCancelRegion();
    delete record;
}

uint32_t currentThreadId()
{
#if defined(SYS_gettid)
    return static_cast<uint32_t>(syscall(SYS_gettid));
#else
    return static_cast<uint32_t>(std::hash<std::thread::id>()(std::this_thread::get_id()));
#endif
}

void sleepMilliseconds(uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void enterNoCancelRegion()
{
    if (noCancelDepth++ == 0) {
        int previous;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    }
}

void leaveNoCancelRegion()
{
    if (noCancelDepth == 0)
        return;
    if (--noCancelDepth == 0) {
        int previous;
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
    }
}

}  // namespace KelvraCorelib::Platform
