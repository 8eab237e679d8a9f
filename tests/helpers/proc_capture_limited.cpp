// Test helper: captures endless output under a lowered address-space limit.
//   proc_capture_limited EXTRA_MIB TIMEOUT_MS PIDFILE
// Limits this process's address space to its current size plus EXTRA_MIB, captures
// `sh -c 'echo $$ > PIDFILE; exec cat /dev/zero'` with the runner and writes
// "result=R size=S left=gone|alive" ("threw" when the runner threw; "unsupported" under the
// address or thread sanitizer, which cannot live with the limit). SIGALRM ends it after 60 s.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

#include "corelib/ProcessTools.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HELPER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define HELPER_ASAN 1
#endif
// The thread sanitizer's allocator, too, ends the process instead of failing an allocation.
#if defined(__SANITIZE_THREAD__)
#define HELPER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HELPER_ASAN 1
#endif
#endif

namespace {

unsigned long long addressSpaceBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) {
            return std::strtoull(line.c_str() + 7, nullptr, 10) * 1024;
        }
    }
    return 0;
}

// Gone: no process is left in the program's group (its leader's id names the group).
bool groupGone(int pid)
{
    for (int round = 0; round < 250; ++round) {
        if (kill(-pid, 0) != 0 && errno == ESRCH) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
#if defined(HELPER_ASAN)
    std::printf("unsupported");
    return 0;
#endif
    if (argc < 4) {
        return 100;
    }
    alarm(60);
    const unsigned long long limit = addressSpaceBytes() + std::strtoull(argv[1], nullptr, 10) * 1024 * 1024;
    const rlimit lowered{limit, limit};
    if (setrlimit(RLIMIT_AS, &lowered) != 0) {
        return 101;
    }
    const std::string pidFile = argv[3];
    const auto process = KelvraCorelib::ProcessTools::create(
        "/bin/sh", "-c \"echo $$ > " + pidFile + "; exec cat /dev/zero\"", true);
    std::string output;
    bool result = false;
    try {
        result = KelvraCorelib::ProcessTools::runAndWait(*process, std::strtoull(argv[2], nullptr, 10), &output);
    } catch (...) {
        std::printf("threw");
        return 0;
    }
    int pid = 0;
    std::ifstream(pidFile) >> pid;
    std::printf("result=%d size=%zu left=%s", result ? 1 : 0, output.size(),
                pid > 1 && groupGone(pid) ? "gone" : "alive");
    return 0;
}
