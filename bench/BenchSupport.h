#pragma once
// Clock, statistics and child runs shared by the benchmark programs.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// Seconds of the steady clock.
inline double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The largest value less the smallest.
inline double spread(const std::vector<double>& values)
{
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return *high - *low;
}

// One run of a program with standard output to /dev/null (in folder when given).
struct ChildRun {
    bool succeeded = false;  // exited with 0
    double wallSeconds = 0;
    double cpuSeconds = 0;   // user + system time of the child
    double minorFaults = 0;  // of the child (its copy of this program before exec included) and
                             // of the children it waited for
};

inline ChildRun runChild(const std::vector<std::string>& command, const std::string& folder = {})
{
    std::fflush(stdout);  // the child must not write this program's buffered output again
    const double start = now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout) || (!folder.empty() && chdir(folder.c_str()) != 0)) {
            _exit(126);
        }
        std::vector<char*> argv;
        for (const std::string& part : command) {
            argv.push_back(const_cast<char*>(part.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    const bool waited = pid > 0 && wait4(pid, &status, 0, &usage) == pid;
    ChildRun result;
    result.wallSeconds = now() - start;
    result.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.minorFaults = double(usage.ru_minflt);
    result.succeeded = waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

}  // namespace bench
