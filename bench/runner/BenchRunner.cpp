// Measures the process runner side by side with spawning the same program directly:
//   1. the whole runAndWait of /bin/true (with capture) against posix_spawn + waitpid;
//   2. capturing 1, 16, 65 and 256 MiB from head against a plain reader that drains the same
//      command through a pipe of the runner's size into fresh memory it keeps (the floor of
//      any capture), with the capture's peak memory over its output at each size.
// Each figure is the median of alternating rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "corelib/ProcessTools.h"

extern char** environ;

using KelvraCorelib::ProcessTools;

namespace {

using bench::median;
using bench::now;

// posix_spawn (no PATH search, as the runner) + waitpid; standard output to /dev/null when quiet.
bool spawnDirectly(const std::vector<std::string>& command, bool quiet)
{
    std::vector<char*> argv;
    for (const std::string& part : command) {
        argv.push_back(const_cast<char*>(part.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t child = 0;
    const int error = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runWithRunner(const std::string& path, const std::string& arguments, std::string& output)
{
    const auto process = ProcessTools::create(path, arguments, true);
    process->outputLimit = ProcessTools::defaultOutputLimit();  // as the collector sets it
    return ProcessTools::runAndWait(*process, 600000, &output) && process->exitCode == 0;
}

// The runner's pipe size (it enlarges its capture pipe to this where the system allows).
constexpr int runnerPipeSize = 1 << 20;

// The command through a pipe of the runner's size, read into fresh memory that is kept until
// the end: what any capture that keeps its output costs at least. `expected` sizes the memory
// (a plain reader may know it; the runner does not).
bool pipeIntoKeptMemory(const std::vector<std::string>& command, size_t expected, size_t& total)
{
    std::vector<char*> argv;
    for (const std::string& part : command) {
        argv.push_back(const_cast<char*>(part.c_str()));
    }
    argv.push_back(nullptr);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    (void)fcntl(ends[1], F_SETPIPE_SZ, runnerPipeSize);
    const size_t room = expected + 4096;
    char* block = static_cast<char*>(mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (block == MAP_FAILED) {
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    madvise(block, room, MADV_HUGEPAGE);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    pid_t child = 0;
    const int error = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (error != 0) {
        close(ends[0]);
        munmap(block, room);
        return false;
    }
    total = 0;
    while (total < room) {
        const ssize_t count = read(ends[0], block + total, std::min<size_t>(room - total, runnerPipeSize));
        if (count <= 0) {
            break;
        }
        total += static_cast<size_t>(count);
    }
    close(ends[0]);
    munmap(block, room);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A value in KiB from /proc/self/status ("VmRSS", "VmHWM"); 0 when not found.
long statusKiB(const std::string& key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::atol(line.c_str() + key.size() + 1);
        }
    }
    return 0;
}

// Starts a new peak of the resident memory (VmHWM) at the present size.
void resetPeakMemory()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

}  // namespace

int main(int argc, char** argv)
{
    const int spawnRounds = argc > 1 ? std::atoi(argv[1]) : 300;
    bool allMet = true;

    // 1. Start-up and wait overhead, in alternating batches so that both see the same machine.
    {
        std::vector<double> direct;
        std::vector<double> runner;
        std::string output;
        for (int batch = 0; batch < 10; ++batch) {
            const int count = std::max(1, spawnRounds / 10);
            double start = now();
            for (int i = 0; i < count; ++i) {
                if (!spawnDirectly({"/bin/true"}, false)) {
                    std::printf("bench-runner: direct spawn of /bin/true failed\n");
                    return 1;
                }
            }
            direct.push_back((now() - start) / count);
            start = now();
            for (int i = 0; i < count; ++i) {
                output.clear();
                if (!runWithRunner("/bin/true", "", output)) {
                    std::printf("bench-runner: runAndWait of /bin/true failed\n");
                    return 1;
                }
            }
            runner.push_back((now() - start) / count);
        }
        const double directMs = median(direct) * 1000;
        const double runnerMs = median(runner) * 1000;
        const double overheadMs = runnerMs - directMs;
        const bool met = overheadMs < 2.0;
        allMet = allMet && met;
        std::printf("bench-runner: /bin/true  runAndWait %.3f ms/run, direct spawn+wait %.3f ms/run, "
                    "overhead %.3f ms (target < 2 ms: %s), ratio %.2f\n",
                    runnerMs, directMs, overheadMs, verdict(met), runnerMs / directMs);
    }

    // 2. Capture time against the plain reader, and the capture's peak memory, by size.
    const std::string head = "/usr/bin/head";
    for (const size_t mib : {size_t(1), size_t(16), size_t(65), size_t(256)}) {
        const size_t size = mib << 20;
        const std::string count = std::to_string(size);
        const int rounds = mib >= 256 ? 5 : 9;
        std::vector<double> floor;
        std::vector<double> runner;
        double memoryRatio = 0;
        for (int round = 0; round < rounds; ++round) {
            size_t total = 0;
            double start = now();
            if (!pipeIntoKeptMemory({head, "-c", count, "/dev/zero"}, size, total) || total != size) {
                std::printf("bench-runner: plain reader failed (%zu bytes)\n", total);
                return 1;
            }
            floor.push_back(now() - start);

            const long before = statusKiB("VmRSS");
            resetPeakMemory();
            std::string output;
            start = now();
            if (!runWithRunner(head, "-c " + count + " /dev/zero", output) || output.size() != size) {
                std::printf("bench-runner: capture failed (%zu bytes)\n", output.size());
                return 1;
            }
            runner.push_back(now() - start);
            memoryRatio = std::max(memoryRatio, (statusKiB("VmHWM") - before) * 1024.0 / size);
        }
        const double floorSeconds = median(floor);
        const double runnerSeconds = median(runner);
        const double ratio = runnerSeconds / floorSeconds;
        const bool ratioMet = ratio <= 1.2;
        const bool memoryMet = memoryRatio <= 2.0;
        allMet = allMet && ratioMet && memoryMet;
        std::printf("bench-runner: %3zu MiB   capture %.4f s = %.0f MB/s, plain reader into kept memory %.4f s, "
                    "ratio %.2f (target at most 1.2 times: %s); peak memory %.2f times the output (target at most 2 times: %s)\n",
                    mib, runnerSeconds, size / runnerSeconds / 1e6, floorSeconds, ratio, verdict(ratioMet),
                    memoryRatio, verdict(memoryMet));
    }
    return allMet ? 0 : 2;
}
