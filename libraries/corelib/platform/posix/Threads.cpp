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

SystemThreadRecord* systemRecord(ThreadRecord* record)
{
    return static_cast<SystemThreadRecord*>(record);
}

void* runThread(void* raw)
{
    runThreadRecord(static_cast<ThreadRecord*>(raw));
    return nullptr;
}

}  // namespace

const ThreadRefusals threadRefusals{ESRCH, EDEADLK, ETIMEDOUT};

ThreadRecord* newThreadRecord()
{
    return new SystemThreadRecord;
}

int startSystemThread(ThreadRecord* record)
{
    return pthread_create(&systemRecord(record)->thread, nullptr, runThread, record);
}

void detachSystemThread(ThreadRecord* record)
{
    pthread_detach(systemRecord(record)->thread);
}

void joinSystemThread(ThreadRecord* record)
{
    pthread_join(systemRecord(record)->thread, nullptr);
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
