#include "corelib/ThreadLock.h"

#include "corelib/Logger.h"
#include "corelib/ParamStream.h"
#include "corelib/platform/Threads.h"

namespace KelvraCorelib {

namespace {

// The process-wide lock logger, created by the first trace that is wanted. Building it
// takes the hub's own lock, whose traces are then skipped (see LockTrace).
std::atomic<int> lockLoggerState{0};  // 0 none, 1 being built, 2 ready
Logger* lockLoggerObject = nullptr;

Logger* lockLogger()
{
    int expected = 0;
    if (lockLoggerState.load(std::memory_order_acquire) == 2)
        return lockLoggerObject;
    if (!lockLoggerState.compare_exchange_strong(expected, 1))
        return nullptr;  // another thread is building it: skip this trace
    Logger* logger = nullptr;
    try {
        logger = new Logger();  // never destroyed: locks are used until the process ends
        logger->setModuleName("threadlock");
    } catch (...) {
        delete logger;
        lockLoggerState.store(0, std::memory_order_release);
        return nullptr;
    }
    lockLoggerObject = logger;
    lockLoggerState.store(2, std::memory_order_release);
    return logger;
}

// Lock traces publish through the hub, which takes a ThreadLock itself; the flag keeps a
// trace from tracing its own locking (which would recurse without end).
thread_local bool tracing = false;

class LockTrace {
public:
    LockTrace()
    {
        if (tracing || Logger::maximumLevel < LogFlood)
            return;
        tracing = true;
        logger = lockLogger();
        if (logger == nullptr || logger->level < LogFlood) {
            logger = nullptr;
            tracing = false;
        }
    }
    ~LockTrace()
    {
        if (logger != nullptr)
            tracing = false;
    }
    explicit operator bool() const { return logger != nullptr; }

    void write(const char* text, const ParamStream& values = ParamStream())
    {
        try {
            logger->flood(text, values);
        } catch (...) {
            // A lock answers by result only. Traces run with cancellation held off,
            // so no cancellation unwinding passes through here.
        }
    }

private:
    Logger* logger = nullptr;
};

uint64_t addressOf(const ThreadLock* lock)
{
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(lock));
}

}  // namespace

ThreadLock::ThreadLock() : initialised(false), owner(0), level(0)
{
}

ThreadLock::~ThreadLock()
{
    if (level > 1)
        level = 1;
    if (level != 0)
        unlock();
}

bool ThreadLock::lock(bool blocking)
{
    // Held off for the whole attempt and, on success, until the final unlock.
    Platform::enterNoCancelRegion();
    {
        LockTrace trace;
        if (trace)
            trace.write("ThreadLock::lock: Going to lock % (%)",
                        ParamStream() << addressOf(this) << (blocking ? "blocking" : "non-blocking"));
    }
    initialised.store(true);
    const uint32_t self = Platform::currentThreadId();
    const uint32_t holder = owner.load();
    if (holder == self) {
        ++level;
        Platform::leaveNoCancelRegion();  // the first acquisition keeps the region
        LockTrace trace;
        if (trace)
            trace.write("ThreadLock::lock: Already locked");
        return true;
    }
    if (holder != 0 && !blocking) {
        {
            LockTrace trace;
            if (trace)
                trace.write("ThreadLock::lock: Failed to lock - lock belongs to thread %", ParamStream() << holder);
        }
        Platform::leaveNoCancelRegion();
        return false;
    }
    bool locked = true;
    if (blocking)
        section.lock();
    else
        locked = section.try_lock();
    if (!locked) {
        {
            LockTrace trace;
            if (trace)
                trace.write("ThreadLock::lock: Failed to lock - lock belongs to thread %", ParamStream() << owner.load());
        }
        Platform::leaveNoCancelRegion();
        return false;
    }
    level = 1;
    owner.store(self);
    LockTrace trace;
    if (trace)
        trace.write("ThreadLock::lock: Locked");
    return true;
}

bool ThreadLock::unlock()
{
    {
        LockTrace trace;
        if (trace)
            trace.write("ThreadLock::unlock: Going to unlock %", ParamStream() << addressOf(this));
    }
    if (!initialised.load())
        return false;
    const uint32_t holder = owner.load();
    if (holder != Platform::currentThreadId()) {
        LockTrace trace;
        if (trace)
            trace.write("ThreadLock::unlock: Cannot unlock - locked by other thread %", ParamStream() << holder);
        return false;
    }
    --level;
    if (level != 0) {
        LockTrace trace;
        if (trace)
            trace.write("ThreadLock::unlock: Nested locking (now at level % - actual unlock at zero)",
                        ParamStream() << level);
        return true;
    }
    owner.store(0);
    section.unlock();
    {
        LockTrace trace;
        if (trace)
            trace.write("ThreadLock::unlock: Unlocked");
    }
    Platform::leaveNoCancelRegion();
    return true;
}

uint32_t ThreadLock::getOwner() const
{
    return owner.load();
}

int32_t ThreadLock::getLevel() const
{
    return owner.load() == 0 ? 0 : level.load();
}

}  // namespace KelvraCorelib
