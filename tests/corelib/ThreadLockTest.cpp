#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "corelib/Logger.h"
#include "corelib/ThreadLock.h"
#include "corelib/platform/Threads.h"
#include "support/TestSupport.h"

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

namespace {

// The lock loggers' texts while the body runs with every logger at flood.
template <typename Body>
std::vector<std::string> floodTexts(ThreadLock& lock, Body body)
{
    Logger::maximumLevel = LogFlood;
    lock.lock(true);  // the lock logger exists from here on
    lock.unlock();
    TestSupport::setLogLevels("8");
    std::vector<std::string> texts;
    {
        TestSupport::LogSink sink("threadlock", "8");
        body(sink);
        texts = sink.texts();
    }
    TestSupport::setLogLevels("7");
    Logger::maximumLevel = LogTrace;
    return texts;
}

std::string address(const ThreadLock& lock)
{
    return std::to_string(reinterpret_cast<uintptr_t>(&lock));
}

// Where the text occurs for the nth time (from 1); the size when it does not.
size_t nth(const std::vector<std::string>& texts, const std::string& text, int n)
{
    for (size_t i = 0; i < texts.size(); ++i)
        if (texts[i] == text && --n == 0)
            return i;
    return texts.size();
}

}  // namespace

TEST(ThreadLock, BlockingLockWaitsForTheHolder)
{
    ThreadLock lock;
    std::atomic<bool> locked{false};
    const std::string attempt = "ThreadLock::lock: Going to lock " + address(lock) + " (blocking)";
    const auto texts = floodTexts(lock, [&](TestSupport::LogSink& sink) {
        ASSERT_TRUE(lock.lock(true));
        std::thread waiter([&] {
            locked = lock.lock(true);  // waits until the main thread lets go
            lock.unlock();
        });
        // The holder lets go once the waiter's attempt has begun.
        for (auto seen = sink.texts(); nth(seen, attempt, 2) == seen.size(); seen = sink.texts())
            std::this_thread::yield();
        EXPECT_FALSE(locked.load());
        lock.unlock();
        waiter.join();
    });
    EXPECT_TRUE(locked.load());
    // The waiter's attempt began before the holder's unlock and succeeded only after it.
    const size_t waiting = nth(texts, attempt, 2);
    const size_t released = nth(texts, "ThreadLock::unlock: Going to unlock " + address(lock), 1);
    const size_t acquired = nth(texts, "ThreadLock::lock: Locked", 2);
    EXPECT_LT(waiting, released);
    EXPECT_LT(released, acquired);
    EXPECT_LT(acquired, texts.size());
}

TEST(ThreadLock, DestroyingAHeldLockReleasesItCompletely)
{
    ThreadLock holder;
    std::string held;
    const auto texts = floodTexts(holder, [&](TestSupport::LogSink&) {
        auto* lock = new ThreadLock;
        held = address(*lock);
        lock->lock(true);
        lock->lock(true);
        lock->lock(true);
        delete lock;
    });
    // One actual unlock, whatever the level.
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ((std::vector<std::string>(texts.end() - 2, texts.end())),
              (std::vector<std::string>{"ThreadLock::unlock: Going to unlock " + held, "ThreadLock::unlock: Unlocked"}));
}

TEST(ThreadLock, FloodTracesGoThroughTheHubWithoutTracingThemselves)
{
    // At flood every lock traces through the hub, which takes a lock of its own.
    ThreadLock lock;
    const auto texts = floodTexts(lock, [&](TestSupport::LogSink& sink) {
        sink.clear();
        EXPECT_TRUE(lock.lock(true));
        EXPECT_TRUE(lock.lock(false));
        EXPECT_TRUE(lock.unlock());
        EXPECT_TRUE(lock.unlock());
    });
    const std::vector<std::string> expected = {
        "ThreadLock::lock: Going to lock " + address(lock) + " (blocking)",
        "ThreadLock::lock: Locked",
        "ThreadLock::lock: Going to lock " + address(lock) + " (non-blocking)",
        "ThreadLock::lock: Already locked",
        "ThreadLock::unlock: Going to unlock " + address(lock),
        "ThreadLock::unlock: Nested locking (now at level 1 - actual unlock at zero)",
        "ThreadLock::unlock: Going to unlock " + address(lock),
        "ThreadLock::unlock: Unlocked",
    };
    // The hub's lock, taken while these records are dispatched, writes no lines of its own.
    EXPECT_EQ(texts, expected);
}
