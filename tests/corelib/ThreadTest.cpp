#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corelib/Thread.h"
#include "corelib/ThreadLock.h"
#include "corelib/platform/Threads.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;

namespace {

struct Counter : Thread::ThreadParam {
    std::atomic<int> rounds{0};
    std::atomic<bool>* destroyed = nullptr;
    ~Counter() override
    {
        if (destroyed != nullptr)
            *destroyed = true;
    }
};

Counter& counterOf(Thread* thread)
{
    return *static_cast<Counter*>(thread->getParameter(0));
}

// Finishes at once.
void quick(Thread* thread)
{
    thread->succeeded = true;
    thread->markEnded();
}

// Runs until it is signalled to end.
void untilSignalled(Thread* thread)
{
    while (thread->state == Thread::running) {
        ++counterOf(thread).rounds;
        Platform::sleepMilliseconds(2);
    }
    thread->succeeded = true;
    thread->markEnded();
}

// Ignores the end signal: only kill stops it.
void stubborn(Thread* thread)
{
    for (;;) {
        ++counterOf(thread).rounds;
        Platform::sleepMilliseconds(2);
    }
}

// Fails with an error of the library.
void failing(Thread*)
{
    throw Exception("@test.failure{Failure};");
}

Thread::ParameterList counterList(std::atomic<bool>* destroyed = nullptr)
{
    Thread::ParameterList list;
    auto counter = std::make_unique<Counter>();
    counter->destroyed = destroyed;
    list.push_back(std::move(counter));
    return list;
}

void waitUntilInactive(Thread& thread)
{
    for (int i = 0; i < 1000 && thread.isActive(); ++i)
        Platform::sleepMilliseconds(5);
}

void waitForRounds(Thread& thread, int rounds)
{
    for (int i = 0; i < 2000 && counterOf(&thread).rounds < rounds; ++i)
        Platform::sleepMilliseconds(1);
}

}  // namespace

TEST(Thread, UndefinedThreadRefusesEveryOperation)
{
    Thread thread("none", nullptr);
    EXPECT_EQ(thread.state, Thread::undefined);
    EXPECT_THROW(thread.start(), Thread::Thread_Undefined);
    EXPECT_THROW(thread.resume(), Thread::Thread_Undefined);
    EXPECT_THROW(thread.end(), Thread::Thread_Undefined);
    EXPECT_THROW(thread.kill(), Thread::Thread_Undefined);
    EXPECT_THROW(thread.update(), Thread::Thread_Undefined);
    EXPECT_THROW(thread.getParameter(0), Thread::Thread_Undefined);
    try {
        thread.start();
    } catch (const Exception& e) {
        EXPECT_EQ(e.getMessage(true), "Thread_Undefined: Thread is not defined");
        EXPECT_TRUE(e.annotations.empty());
    }
}

TEST(Thread, StateErrorsBeforeStartAndAfterTheEnd)
{
    Thread thread("worker", quick);
    EXPECT_EQ(thread.state, Thread::defined);
    EXPECT_FALSE(thread.isActive());
    EXPECT_THROW(thread.end(), Thread::End_NotStarted);
    EXPECT_THROW(thread.kill(), Thread::Kill_NotStarted);
    EXPECT_THROW(thread.update(), Thread::Update_NotRunning);
    EXPECT_THROW(thread.resume(), Thread::Resume_NotSuspended);

    thread.start();
    EXPECT_NE(thread.startTime, 0u);
    waitUntilInactive(thread);
    EXPECT_EQ(thread.state, Thread::ended);
    EXPECT_TRUE(thread.succeeded);
    try {
        thread.update();
        FAIL() << "update of an ended thread";
    } catch (const Thread::Update_NotRunning& e) {
        EXPECT_EQ(e.getMessage(false), " Trying to update \"worker\", but the thread is not running");
        ASSERT_EQ(e.annotations.size(), 1u);
        EXPECT_NE(e.annotations[0].find("file=\"Thread.cpp\""), std::string::npos);
    }
    EXPECT_THROW(thread.kill(), Thread::Kill_NotStarted);
}

TEST(Thread, StartTwiceAndGetParameterOutOfRange)
{
    std::atomic<bool> destroyed{false};
    Thread::ParameterList list = counterList(&destroyed);
    list.push_back(std::make_unique<Counter>());
    {
        Thread thread("twice", untilSignalled, std::move(list));
        thread.start();
        try {
            thread.start();
            FAIL() << "second start";
        } catch (const Thread::Start_AlreadyStarted& e) {
            EXPECT_EQ(e.getMessage(false), " Trying to start thread \"twice\" that is already started");
        }
        thread.update();
        EXPECT_EQ(thread.parameterCount(), 2u);
        EXPECT_NE(thread.getParameter(1), nullptr);
        try {
            thread.getParameter(2);
            FAIL() << "parameter 2 of 2";
        } catch (const Thread::GetParameter_IndexOutOfBounds& e) {
            EXPECT_EQ(e.getMessage(false), " Trying to access a parameter 2i which does not exist");
        }
        thread.end();
        EXPECT_EQ(thread.state.load() == Thread::signalled || thread.state.load() == Thread::ended, true);
        waitUntilInactive(thread);
        EXPECT_EQ(thread.state, Thread::ended);
        EXPECT_FALSE(destroyed);
    }
    EXPECT_TRUE(destroyed);  // parameters go with the thread
}

TEST(Thread, AnErrorThatEscapesTheFunctionEndsTheThreadAsFailed)
{
    Thread thread("failing", failing);
    thread.succeeded = true;
    thread.start();
    waitUntilInactive(thread);
    EXPECT_EQ(thread.state, Thread::ended);
    EXPECT_FALSE(thread.succeeded);
}

// The records of the "Thread" loggers at trace level.
using ThreadRecordSink = TestSupport::LogSink;

TEST(Thread, OperationsWriteTraceLines)
{
    ThreadRecordSink sink("Thread", "7");
    {
        Thread thread("traced", stubborn, counterList());
        thread.start();
        waitForRounds(thread, 1);
        thread.end();
        thread.kill();
    }
    const std::vector<std::string> expected = {
        "Thread::start: Going to start traced",
        "Thread::start: Started traced",
        "Thread::end: Going to signal thread traced to end",
        "Thread::end: Thread \"traced\" has been signalled to end",
        "Thread::kill: Going to kill thread traced",
        "Thread::kill: Thread \"traced\"has been killed",
    };
    EXPECT_EQ(sink.texts(), expected);
}

TEST(Thread, KillStopsAThreadThatIgnoresTheEndSignal)
{
    Thread thread("stubborn", stubborn, counterList());
    thread.start();
    waitForRounds(thread, 3);
    thread.end();
    EXPECT_EQ(thread.state, Thread::signalled);
    thread.kill();
    EXPECT_EQ(thread.state, Thread::killed);
    EXPECT_EQ(thread.handle, 0u);
    EXPECT_EQ(thread.threadId, 0u);
    const int rounds = counterOf(&thread).rounds;
    Platform::sleepMilliseconds(30);
    EXPECT_EQ(counterOf(&thread).rounds, rounds);  // it is gone, not just asked
    EXPECT_THROW(thread.kill(), Thread::Kill_NotStarted);
    EXPECT_THROW(thread.update(), Thread::Update_NotRunning);
}

namespace {

struct LockUser : Thread::ThreadParam {
    ThreadLock* lock = nullptr;
    std::atomic<bool> holding{false};
    std::atomic<bool> mayRelease{false};
    std::atomic<bool> unwound{false};
};

struct UnwindMark {
    std::atomic<bool>& flag;
    ~UnwindMark() { flag = true; }
};

// Holds the lock across blocking sleeps until allowed to let go, then loops forever.
void holdThenLoop(Thread* thread)
{
    auto& user = *static_cast<LockUser*>(thread->getParameter(0));
    UnwindMark mark{user.unwound};
    user.lock->lock(true);
    user.holding = true;
    while (!user.mayRelease)
        Platform::sleepMilliseconds(2);
    user.lock->unlock();
    user.holding = false;
    for (;;)
        Platform::sleepMilliseconds(2);
}

}  // namespace

TEST(Thread, KillNeverLeavesALockHeldAndUnwindsTheStack)
{
    ThreadLock lock;
    Thread::ParameterList list;
    list.push_back(std::make_unique<LockUser>());
    Thread thread("holder", holdThenLoop, std::move(list));
    auto& user = *static_cast<LockUser*>(thread.getParameter(0));
    user.lock = &lock;
    thread.start();
    for (int i = 0; i < 2000 && !user.holding; ++i)
        Platform::sleepMilliseconds(1);
    ASSERT_TRUE(user.holding);

    // The kill waits while the lock is held; the lock goes once the kill has begun.
    ThreadRecordSink sink("Thread", "7");
    std::thread releaser([&] {
        const std::string killing = "Thread::kill: Going to kill thread holder";
        for (auto texts = sink.texts(); std::find(texts.begin(), texts.end(), killing) == texts.end();
             texts = sink.texts())
            std::this_thread::yield();
        user.mayRelease = true;
    });
    thread.kill();
    releaser.join();
    EXPECT_EQ(thread.state, Thread::killed);
    EXPECT_TRUE(user.unwound);
    EXPECT_FALSE(user.holding);
    EXPECT_EQ(lock.getOwner(), 0u);
    EXPECT_TRUE(lock.lock(false));
    lock.unlock();
}

TEST(Thread, DestructorStopsActiveThreads)
{
    std::atomic<bool> destroyed{false};
    {
        Thread polite("polite", untilSignalled, counterList(&destroyed));
        polite.start();
        waitForRounds(polite, 2);
    }  // ends it: the function sees the signal and finishes
    EXPECT_TRUE(destroyed);

    destroyed = false;
    {
        Thread deaf("deaf", stubborn, counterList(&destroyed));
        deaf.start();
        waitForRounds(deaf, 2);
    }  // ends it, waits up to 500 ms, then kills it
    EXPECT_TRUE(destroyed);

    destroyed = false;
    {
        Thread signalled("signalled", stubborn, counterList(&destroyed));
        signalled.start();
        waitForRounds(signalled, 2);
        signalled.end();
    }  // already signalled: killed at once
    EXPECT_TRUE(destroyed);
}
