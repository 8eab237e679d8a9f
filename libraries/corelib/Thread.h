#pragma once
// Thread: one operating-system thread running a named thread function, with owned
// parameter objects and an explicit state.
//
//   static void work(Thread* thread)
//   {
//       auto* job = static_cast<MyParam*>(thread->getParameter(0));
//       while (thread->state == Thread::running) { ...; Platform::sleepMilliseconds(10); }
//       thread->succeeded = true;
//       thread->markEnded();
//   }
//   Thread::ParameterList parameters;
//   parameters.push_back(std::make_unique<MyParam>());
//   Thread worker("worker", work, std::move(parameters));
//   worker.start();
//
// Killing is cooperative cancellation at defined points, never termination at an
// arbitrary instruction (which could leave a lock held or memory half-written): kill marks
// the thread, and its next Platform::sleepMilliseconds or Platform::cancellationPoint,
// outside any held ThreadLock, throws Platform::ThreadCancelled. That unwinds the thread
// function like any exception (destructors run, locks held by scope objects are
// released) and ends the thread. kill waits up to killWaitMilliseconds for this; a thread
// function must therefore reach such a point now and then, and a catch (...) in it must
// rethrow. An Exception or std::exception that escapes the thread function ends the
// thread with succeeded false; any other escaping exception ends the program.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corelib/Exception.h"
#include "corelib/Logger.h"

namespace KelvraCorelib {

class Thread : public Throws {
public:
    KELVRA_ERROR_CLASS(Thread_Undefined);
    KELVRA_ERROR_CLASS(GetParameter_IndexOutOfBounds);
    KELVRA_ERROR_CLASS(Start_AlreadyStarted);
    KELVRA_ERROR_CLASS(Start_FailedToStart);
    KELVRA_ERROR_CLASS(Resume_NotSuspended);
    KELVRA_ERROR_CLASS(Resume_FailedToResume);
    KELVRA_ERROR_CLASS(End_NotStarted);
    KELVRA_ERROR_CLASS(End_FailedToResume);
    KELVRA_ERROR_CLASS(Kill_NotStarted);
    KELVRA_ERROR_CLASS(Kill_FailedToResume);
    KELVRA_ERROR_CLASS(Kill_FailedToKill);
    KELVRA_ERROR_CLASS(Update_NotRunning);

    // Base of the parameter objects a thread owns.
    class ThreadParam {
    public:
        virtual ~ThreadParam() = default;
    };
    using ParameterList = std::vector<std::unique_ptr<ThreadParam>>;
    using ThreadFunction = void (*)(Thread* thread);

    enum State : int32_t {
        undefined = 0,  // no thread function
        defined = 1,    // not started
        running = 2,
        suspended = 3,
        signalled = 4,  // asked to end
        ended = 5,      // set by the thread function
        killed = 6,
    };

    // How long kill waits for a cancelled thread to be gone.
    static constexpr uint32_t killWaitMilliseconds = 5000;

    // State 1 with a function, 0 without.
    Thread(const std::string& name, ThreadFunction function, ParameterList parameters = ParameterList());
    // When stopOnDestroy is set and the thread is active: signalled threads are killed,
    // others are asked to end, given 50 x 10 ms, then killed. The destructor returns only
    // when the thread function is no longer running, then deletes the parameters.
    ~Thread() override;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void start();
    void resume();
    // Sets state 4; the thread function is expected to see it and finish.
    void end();
    void kill();
    // Liveness probe: lastUpdate = now; Update_NotRunning unless state is 2.
    void update();

    ThreadParam* getParameter(size_t index) const;
    size_t parameterCount() const;
    bool isActive() const;
    // For the thread function when it finishes: state 2 or 4 becomes 5.
    void markEnded();

    bool stopOnDestroy;
    uint32_t threadId;
    std::string name;
    Logger logger;
    uint64_t handle;  // platform thread handle; 0 when none
    ThreadFunction function;
    ParameterList parameters;
    std::atomic<int32_t> state;  // written by the creator's operations and by the thread function
    uint64_t startTime;          // date-time counts
    uint64_t lastUpdate;
    int32_t suspendCount;
    std::atomic<bool> succeeded;  // set by the thread function when it ends

private:
    void checkDefined() const;
};

}  // namespace KelvraCorelib
