#include "corelib/Thread.h"

#include <exception>


#include "corelib/DateTime.h"
#include "corelib/platform/Threads.h"

namespace KelvraCorelib {

namespace {

void runThreadFunction(void* argument)
{
    Thread* thread = static_cast<Thread*>(argument);
    // An error that escapes the thread function ends the thread as failed. The
    // cancellation of a killed thread passes on to the platform layer.
    try {
        thread->function(thread);
    } catch (const Exception&) {
        thread->succeeded = false;
        thread->markEnded();
    } catch (const std::exception&) {
        thread->succeeded = false;
        thread->markEnded();
    }
}

}  // namespace

Thread::Thread(const std::string& name, ThreadFunction function, ParameterList parameters)
    : stopOnDestroy(true),
      threadId(0),
      name(name),
      handle(0),
      function(function),
      parameters(std::move(parameters)),
      state(function != nullptr ? defined : undefined),
      startTime(0),
      lastUpdate(0),
      suspendCount(0),
      succeeded(false)
{
    logger.setModuleName("Thread");
}

Thread::~Thread()
{
    // A cancellation of this thread must not throw out of the waits below.
    Platform::enterNoCancelRegion();
    try {
        if (stopOnDestroy && isActive()) {
            if (state == signalled) {
                kill();
            } else {
                end();
                for (int round = 0; round < 50 && isActive(); ++round)
                    Platform::sleepMilliseconds(10);
                if (isActive())
                    kill();
            }
        }
    } catch (const Exception&) {
        // Discarded: the destructor goes on.
    }
    // Whatever happened above, the thread function uses this object until it returns.
    if (handle != 0) {
        Platform::closeThread(handle);
        handle = 0;
    }
    parameters.clear();
    Platform::leaveNoCancelRegion();
}

void Thread::checkDefined() const
{
    if (state == undefined)
        throw Thread_Undefined("@thread.undefined{Thread is not defined};");
}

void Thread::start()
{
    checkDefined();
    logger.trace("Thread::start: Going to start %", ParamStream() << name);
    if (isActive())
        throw Start_AlreadyStarted("@thread.start.already-started{Trying to start thread \"%\" that is already started};",
                                   KELVRA_HERE, ParamStream() << name);
    if (handle != 0) {
        // An earlier run of this object: its function has returned or is returning.
        Platform::closeThread(handle);
        handle = 0;
        threadId = 0;
    }
    // Running before the function starts, so that a function that finishes at once is
    // not set back to running afterwards.
    const int32_t previous = state.exchange(running);
    startTime = lastUpdate = static_cast<uint64_t>(DateTime::nowCount());
    uint64_t newHandle = 0;
    uint32_t newThreadId = 0;
    const int error = Platform::startThread(runThreadFunction, this, newHandle, newThreadId);
    if (error != 0) {
        state = previous;
        throw Start_FailedToStart("@thread.start.failed-to-start{Failed to start thread \"%\" (error=%)};", KELVRA_HERE,
                                  ParamStream() << name << int32_t(error));
    }
    handle = newHandle;
    threadId = newThreadId;
    logger.trace("Thread::start: Started %", ParamStream() << name);
}

void Thread::resume()
{
    checkDefined();
    logger.trace("Thread::resume: Going to resume %", ParamStream() << name);
    if (state != suspended)
        throw Resume_NotSuspended("@thread.resume.not-suspended{Trying to resume \"%\", but the thread is not suspended};",
                                  KELVRA_HERE, ParamStream() << name);
    --suspendCount;
    if (suspendCount != 0) {
        logger.trace("Thread::resume: Suspend counter reduced to % - cannot do actual resume until it is zero",
                     ParamStream() << suspendCount);
        return;
    }
    const int error = Platform::resumeThread(handle);
    if (error != 0)
        throw Resume_FailedToResume("@thread.resume.failed-to-resume{Failed to resume \"%\" (error=%)};", KELVRA_HERE,
                                    ParamStream() << name << int32_t(error));
    state = running;
    logger.trace("Thread::resume: Thread \"%\" has been resumed", ParamStream() << name);
}

void Thread::end()
{
    checkDefined();
    logger.trace("Thread::end: Going to signal thread % to end", ParamStream() << name);
    if (!isActive())
        throw End_NotStarted("@thread.end.not-started{Trying to end \"%\", but the thread has not been started};",
                             KELVRA_HERE, ParamStream() << name);
    while (state == suspended) {
        try {
            resume();
        } catch (const Exception& caught) {
            throw End_FailedToResume(KELVRA_HERE, caught);
        }
    }
    // Only a running thread is signalled: one that finished meanwhile stays ended.
    int32_t expected = running;
    state.compare_exchange_strong(expected, signalled);
    logger.trace("Thread::end: Thread \"%\" has been signalled to end", ParamStream() << name);
}

void Thread::kill()
{
    checkDefined();
    logger.trace("Thread::kill: Going to kill thread %", ParamStream() << name);
    if (!isActive())
        throw Kill_NotStarted("@thread.kill.not-started{Trying to kill \"%\", but the thread has not been started};",
                              KELVRA_HERE, ParamStream() << name);
    while (state == suspended) {
        try {
            resume();
        } catch (const Exception& caught) {
            throw Kill_FailedToResume(KELVRA_HERE, caught);
        }
    }
    const int error = Platform::cancelThread(handle, killWaitMilliseconds);
    if (error != 0)
        throw Kill_FailedToKill("@thread.kill.failed-to-kill{Failed to kill thread \"%\" (error=%)};", KELVRA_HERE,
                                ParamStream() << name << int32_t(error));
    Platform::closeThread(handle);
    handle = 0;
    threadId = 0;
    state = killed;
    logger.trace("Thread::kill: Thread \"%\"has been killed", ParamStream() << name);
}

void Thread::update()
{
    checkDefined();
    if (state != running)
        throw Update_NotRunning("@thread.update.not-running{Trying to update \"%\", but the thread is not running};",
                                KELVRA_HERE, ParamStream() << name);
    lastUpdate = static_cast<uint64_t>(DateTime::nowCount());
}

Thread::ThreadParam* Thread::getParameter(size_t index) const
{
    checkDefined();
    if (index >= parameters.size())
        throw GetParameter_IndexOutOfBounds(
            "@thread.get-parameter.index-out-of-bounds{Trying to access a parameter %i which does not exist};",
            KELVRA_HERE, ParamStream() << uint64_t(index));
    return parameters[index].get();
}

size_t Thread::parameterCount() const
{
    return parameters.size();
}

bool Thread::isActive() const
{
    const int32_t now = state;
    return now == running || now == suspended || now == signalled;
}

void Thread::markEnded()
{
    int32_t expected = running;
    if (!state.compare_exchange_strong(expected, ended) && expected == signalled)
        state.compare_exchange_strong(expected, ended);
}

}  // namespace KelvraCorelib
