#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "corelib/Logger.h"
#include "corelib/ThreadLock.h"
#include "corelib/platform/Threads.h"

using namespace KelvraCorelib;

namespace {

// Runs body on a second thread and waits for it.
template <typename Body>
void onOtherThread(Body body)
{
    std::thread other(body);
    other.join();
}

}  // namespace

TEST(ThreadLock, IsRecursiveForItsOwnerAndReleasesAtLevelZero)
{
    ThreadLock lock;
    EXPECT_FALSE(lock.unlock());  // never used
    ASSERT_TRUE(lock.lock(true));
    ASSERT_TRUE(lock.lock(false));
    ASSERT_TRUE(lock.lock(true));
    EXPECT_EQ(lock.getLevel(), 3);
    EXPECT_EQ(lock.getOwner(), Platform::currentThreadId());

    EXPECT_TRUE(lock.unlock());
    EXPECT_TRUE(lock.unlock());
    bool otherGotIt = true;
    onOtherThread([&] { otherGotIt = lock.lock(false); });
    EXPECT_FALSE(otherGotIt);  // still held at level 1

    EXPECT_TRUE(lock.unlock());
    EXPECT_EQ(lock.getOwner(), 0u);
    EXPECT_EQ(lock.getLevel(), 0);
    EXPECT_FALSE(lock.unlock());  // not held any more

    onOtherThread([&] {
        otherGotIt = lock.lock(false);
        if (otherGotIt)
            lock.unlock();
    });
    EXPECT_TRUE(otherGotIt);
}

TEST(ThreadLock, ForeignUnlockAnswersFalseAndChangesNothing)
{
    ThreadLock lock;
    ASSERT_TRUE(lock.lock(true));
    ASSERT_TRUE(lock.lock(true));
    bool unlocked = true;
    onOtherThread([&] { unlocked = lock.unlock(); });
    EXPECT_FALSE(unlocked);
    EXPECT_EQ(lock.getLevel(), 2);
    EXPECT_EQ(lock.getOwner(), Platform::currentThreadId());
    lock.unlock();
    lock.unlock();
}

TEST(ThreadLock, BlockingLockWaitsForTheHolder)
{
    ThreadLock lock;
    std::atomic<int> phase{0};
    std::atomic<bool> locked{false};
    ASSERT_TRUE(lock.lock(true));
    std::thread waiter([&] {
        phase = 1;
        locked = lock.lock(true);  // waits until the main thread lets go
        phase = 2;
        lock.unlock();
    });
    while (phase.load() == 0)
        std::this_thread::yield();
    Platform::sleepMilliseconds(30);
    EXPECT_EQ(phase.load(), 1);
    lock.unlock();
    waiter.join();
    EXPECT_TRUE(locked.load());
    EXPECT_EQ(phase.load(), 2);
}

TEST(ThreadLock, DestroyingAHeldLockReleasesItCompletely)
{
    auto* lock = new ThreadLock;
    lock->lock(true);
    lock->lock(true);
    lock->lock(true);
    delete lock;  // must not leave the mutex locked (the sanitizers would see it)
    SUCCEED();
}

namespace {

// Collects the texts of the lock logger's records.
class LockRecordSink : public ImsAgent {
public:
    LockRecordSink() : ImsAgent("sink") { hookId = setMessageHook(false, "debug", "debug", "8", 1); }
    ~LockRecordSink() override { removeMessageHook(hookId); }
    int32_t handleHookedMessage(uint64_t id, const ImsMessage& message) override
    {
        auto* record = static_cast<Logger::LogMessageParameter*>(message.parameter);
        if (id != hookId || record == nullptr || record->moduleName != "threadlock")
            return notHandled;
        ParamStream values = record->parameters;
        texts.push_back(values.format(record->text));
        return handled;
    }
    uint64_t hookId = 0;
    std::vector<std::string> texts;
};

bool setAllLevels(const std::string& level)
{
    ImsAgent sender("level-sender");
    ImsMessage change("debug", "level", level);
    return sender.sendMessage(change);
}

}  // namespace

TEST(ThreadLock, FloodTracesGoThroughTheHubWithoutTracingThemselves)
{
    // At flood every lock traces through the hub, which takes a lock of its own.
    Logger::maximumLevel = LogFlood;
    ThreadLock lock;
    lock.lock(true);  // the lock logger exists from here on
    lock.unlock();
    setAllLevels("8");
    std::vector<std::string> texts;
    {
        LockRecordSink sink;
        sink.texts.clear();
        EXPECT_TRUE(lock.lock(true));
        EXPECT_TRUE(lock.lock(false));
        EXPECT_TRUE(lock.unlock());
        EXPECT_TRUE(lock.unlock());
        texts = sink.texts;
    }
    setAllLevels("7");
    Logger::maximumLevel = LogTrace;

    const std::string address = std::to_string(reinterpret_cast<uintptr_t>(&lock));
    const std::vector<std::string> expected = {
        "ThreadLock::lock: Going to lock " + address + " (blocking)",
        "ThreadLock::lock: Locked",
        "ThreadLock::lock: Going to lock " + address + " (non-blocking)",
        "ThreadLock::lock: Already locked",
        "ThreadLock::unlock: Going to unlock " + address,
        "ThreadLock::unlock: Nested locking (now at level 1 - actual unlock at zero)",
        "ThreadLock::unlock: Going to unlock " + address,
        "ThreadLock::unlock: Unlocked",
    };
    // The hub's lock, taken while these records are dispatched, writes no lines of its own.
    EXPECT_EQ(texts, expected);
}
