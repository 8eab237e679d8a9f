#pragma once
// ThreadLock: a recursive lock that records its owner thread and nesting level.
//
//   ThreadLock lock;
//   if (lock.lock(false)) { ...; lock.unlock(); }   // non-blocking attempt
//   { ThreadLockScope scope(lock); ... }             // blocking, released at scope end
//
// A thread that holds any ThreadLock cannot be cancelled (Thread::kill) until it has
// released all of them, so killing a thread never leaves a lock held.

#include <atomic>
#include <cstdint>
#include <mutex>

namespace KelvraCorelib {

class ThreadLock {
public:
    ThreadLock();
    // A lock still held by the destroying thread is released completely.
    virtual ~ThreadLock();

    ThreadLock(const ThreadLock&) = delete;
    ThreadLock& operator=(const ThreadLock&) = delete;

    // True when the calling thread holds the lock afterwards. Non-blocking calls fail at
    // once when another thread holds it. Never throws.
    bool lock(bool blocking = true);
    // True when the calling thread held the lock; the lock is released when the level
    // returns to 0. Never throws.
    bool unlock();

    // Thread id of the holder, 0 when free.
    uint32_t getOwner() const;
    // Nesting level of the holder, 0 when free.
    int32_t getLevel() const;

private:
    std::atomic<bool> initialised;
    std::atomic<uint32_t> owner;  // read by any thread, written only by the holder
    std::atomic<int32_t> level;   // written only by the holder
    std::mutex section;
};

// Holds a ThreadLock (blocking) for the life of the scope.
class ThreadLockScope {
public:
    explicit ThreadLockScope(ThreadLock& lock) : held(lock) { held.lock(true); }
    ~ThreadLockScope() { held.unlock(); }
    ThreadLockScope(const ThreadLockScope&) = delete;
    ThreadLockScope& operator=(const ThreadLockScope&) = delete;

private:
    ThreadLock& held;
};

}  // namespace KelvraCorelib
