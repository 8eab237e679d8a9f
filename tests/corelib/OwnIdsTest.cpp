// The ids of the calling process and thread, which the platform layer keeps once asked: each
// thread has its own, and a forked child has its own, not the parent's.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "corelib/platform/Process.h"
#include "corelib/platform/Threads.h"

namespace Platform = KelvraCorelib::Platform;

namespace {

uint32_t systemThreadId()
{
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

TEST(OwnIds, EachThreadAndEachForkedChildHasItsOwn)
{
    // Asked twice, so that a kept id is what the second answer gives.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Platform::currentProcessId(), static_cast<uint32_t>(getpid()));
        EXPECT_EQ(Platform::currentThreadId(), systemThreadId());
    }
    uint32_t other = 0;
    uint32_t otherSystem = 0;
    std::thread([&] {
        Platform::currentThreadId();
        other = Platform::currentThreadId();
        otherSystem = systemThreadId();
    }).join();
    EXPECT_EQ(other, otherSystem);
    EXPECT_NE(other, Platform::currentThreadId());

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool own = Platform::currentProcessId() == static_cast<uint32_t>(getpid()) &&
                         Platform::currentThreadId() == systemThreadId();
        _exit(own ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child got its parent's ids";
    EXPECT_EQ(Platform::currentProcessId(), static_cast<uint32_t>(getpid()));
}

}  // namespace
