// Measures the process runner side by side with spawning the same program directly:
//   1. the whole runAndWait of /bin/true (with capture) against posix_spawn + waitpid;
//   2. capturing 256 MiB from head against the same command writing to /dev/null,
//      with the peak memory of the capture.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "corelib/ProcessTools.h"

extern char** environ;

using KelvraCorelib::ProcessTools;

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// posix_spawnp + waitpid; standard output to /dev/null when quiet.
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
    const int error = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
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
    ProcessTools::Process* process = ProcessTools::create(path, arguments, true);
    const bool result = ProcessTools::runAndWait(process, 600000, &output) && process->exitCode == 0;
    ProcessTools::discard(process);  // only when it never started; otherwise the registry's
    ProcessTools::releaseFinished();
    return result;
}

// The command through a pipe into one reused buffer: the cost of the pipe alone, without
// keeping the bytes.
bool pipeDirectly(const std::vector<std::string>& command, size_t& total)
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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    pid_t child = 0;
    const int error = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (error != 0) {
        close(ends[0]);
        return false;
    }
    std::vector<char> buffer(1 << 20);
    total = 0;
    for (;;) {
        const ssize_t count = read(ends[0], buffer.data(), buffer.size());
        if (count <= 0) {
            break;
        }
        total += static_cast<size_t>(count);
    }
    close(ends[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Seconds to fill `size` bytes of memory that the process has never used (the floor of any
// capture that keeps its output).
double freshMemoryFill(size_t size)
{
    const double start = now();
    char* block = static_cast<char*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (block == MAP_FAILED) {
        return 0;
    }
    madvise(block, size, MADV_HUGEPAGE);
    std::memset(block, 1, size);
    const double seconds = now() - start;
    munmap(block, size);
    return seconds;
}

long peakMemoryKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
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

    // 2. Capture throughput and memory.
    {
        const size_t size = 268435456;
        const std::string count = std::to_string(size);
        std::vector<double> direct;
        std::vector<double> runner;
        const long before = peakMemoryKiB();
        for (int round = 0; round < 3; ++round) {
            double start = now();
            if (!spawnDirectly({"head", "-c", count, "/dev/zero"}, true)) {
                std::printf("bench-runner: direct head run failed\n");
                return 1;
            }
            direct.push_back(now() - start);
            std::string output;
            start = now();
            if (!runWithRunner("head", "-c " + count + " /dev/zero", output) || output.size() != size) {
                std::printf("bench-runner: capture failed (%zu bytes)\n", output.size());
                return 1;
            }
            runner.push_back(now() - start);
        }
        const long peak = peakMemoryKiB();
        std::vector<double> piped;
        std::vector<double> fill;
        for (int round = 0; round < 3; ++round) {
            size_t total = 0;
            const double start = now();
            if (!pipeDirectly({"head", "-c", count, "/dev/zero"}, total) || total != size) {
                std::printf("bench-runner: direct pipe run failed\n");
                return 1;
            }
            piped.push_back(now() - start);
            fill.push_back(freshMemoryFill(size));
        }
        const double directSeconds = median(direct);
        const double runnerSeconds = median(runner);
        const double megabytesPerSecond = size / runnerSeconds / 1e6;
        const double ratio = runnerSeconds / directSeconds;
        const double memoryRatio = peak * 1024.0 / size;
        const bool speedMet = megabytesPerSecond >= 500;
        const bool ratioMet = ratio <= 1.5;
        const bool memoryMet = memoryRatio <= 2.1;
        allMet = allMet && speedMet && ratioMet && memoryMet;
        std::printf("bench-runner: 256 MiB   capture %.3f s = %.0f MB/s (target >= 500: %s), "
                    "direct to /dev/null %.3f s, ratio %.2f (target <= 1.5: %s)\n",
                    runnerSeconds, megabytesPerSecond, verdict(speedMet), directSeconds, ratio, verdict(ratioMet));
        std::printf("bench-runner: 256 MiB   for reference: through a pipe into a reused buffer %.3f s "
                    "(ratio %.2f to /dev/null), filling 256 MiB of new memory %.3f s\n",
                    median(piped), median(piped) / directSeconds, median(fill));
        std::printf("bench-runner: 256 MiB   peak memory %.1f MiB (%.1f MiB before) = %.2f x output "
                    "(target <= about 2: %s)\n",
                    peak / 1024.0, before / 1024.0, memoryRatio, verdict(memoryMet));
    }
    return allMet ? 0 : 2;
}
