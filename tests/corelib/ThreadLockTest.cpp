#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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

TEST(ThreadLock, KeepsCountingUnderContention)
{
    ThreadLock lock;
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            ThreadLockScope outer(lock);
            ThreadLockScope inner(lock);
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
    EXPECT_EQ(lock.getOwner(), 0u);
}

TEST(ThreadLock, FloodTracesDoNotRecurseThroughTheHub)
{
    // At flood level every lock traces through the hub, whose lock traces in turn.
    const int32_t saved = Logger::maximumLevel;
    Logger::maximumLevel = LogFlood;
    {
        Logger raiser;  // level changes reach every logger, the lock logger too
        ImsMessage toFlood("debug", "level", "8");
        raiser.sendMessage(toFlood);
        ThreadLock lock;
        EXPECT_TRUE(lock.lock(true));
        EXPECT_TRUE(lock.lock(false));
        EXPECT_TRUE(lock.unlock());
        EXPECT_TRUE(lock.unlock());
        ImsMessage back("debug", "level", "7");
        raiser.sendMessage(back);
    }
    Logger::maximumLevel = saved;
}
