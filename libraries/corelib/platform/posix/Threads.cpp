// POSIX only: threads on pthreads (the portable half is in ThreadCancellation.cpp).
#include "corelib/platform/Threads.h"

#include <cerrno>
#include <functional>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "corelib/platform/ThreadCancellation.h"

namespace KelvraCorelib::Platform {

namespace {

struct SystemThreadRecord : ThreadRecord {
    pthread_t thread{};
};

SystemThreadRecord* recordOf(uint64_t handle)
{
    return static_cast<SystemThreadRecord*>(threadRecordOf(handle));
}

void* runThread(void* raw)
{
    runThreadRecord(static_cast<SystemThreadRecord*>(raw));
    return nullptr;
}

}  // namespace

int startThread(ThreadEntry entry, void* argument, uint64_t& handle, uint32_t& threadId)
{
    handle = 0;
    threadId = 0;
    SystemThreadRecord* record = new SystemThreadRecord;
    record->entry = entry;
    record->argument = argument;
    const int error = pthread_create(&record->thread, nullptr, runThread, record);
    if (error != 0) {
        delete record;
        return error;
    }
    threadId = waitForThreadStart(record);
    handle = handleOfThreadRecord(record);
    return 0;
}

int cancelThread(uint64_t handle, uint32_t waitMilliseconds)
{
    SystemThreadRecord* record = recordOf(handle);
    if (record == nullptr)
        return ESRCH;
    if (record == currentThreadRecord())
        return EDEADLK;
    return requestThreadCancellation(record, waitMilliseconds) ? 0 : ETIMEDOUT;
}

void closeThread(uint64_t handle)
{
    SystemThreadRecord* record = recordOf(handle);
    if (record == nullptr)
        return;
    if (record == currentThreadRecord()) {
        // The record stays with the running thread; it is not reclaimed.
        pthread_detach(record->thread);
        return;
    }
    pthread_join(record->thread, nullptr);
    delete record;
}

namespace {

// The calling thread's id, asked of the system once per thread (the log records and locks ask
// for it all the time). A forked child's only thread forgets the id of the thread it copies.
thread_local uint32_t cachedThreadId = 0;

void forgetThreadIdInChild()
{
    cachedThreadId = 0;
}

}  // namespace

uint32_t currentThreadId()
{
#if defined(SYS_gettid)
    static const bool cacheable = pthread_atfork(nullptr, nullptr, forgetThreadIdInChild) == 0;
    if (cachedThreadId != 0) {
        return cachedThreadId;
    }
    const auto id = static_cast<uint32_t>(syscall(SYS_gettid));
    if (cacheable) {
        cachedThreadId = id;
    }
    return id;
#else
    return static_cast<uint32_t>(std::hash<std::thread::id>()(std::this_thread::get_id()));
#endif
}

}  // namespace KelvraCorelib::Platform
