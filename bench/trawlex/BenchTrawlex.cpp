// Measures the trawlex program end to end, side by side with a baseline in the same run:
//   1. trawlex collecting the output of /bin/true, against /bin/true started alone
//      (median added wall time per run; target at most 5 ms), into a folder on tmpfs and
//      into a folder on disk, where the fsyncs of the data log count too;
//   2. trawlex collecting 256 MiB from a utility, against the same utility writing to a file
//      followed by md5sum of that file (target at most 1.5 times).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

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

// Runs the command with standard output to /dev/null; true when it exited with 0.
bool runQuietly(const std::vector<std::string>& command)
{
    std::fflush(stdout);  // the child must not write this program's buffered output again
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout))
            _exit(126);
        std::vector<char*> argv;
        for (const std::string& part : command)
            argv.push_back(const_cast<char*>(part.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double timed(const std::vector<std::string>& command)
{
    const double start = now();
    if (!runQuietly(command)) {
        std::fprintf(stderr, "command failed: %s\n", command.front().c_str());
        std::exit(1);
    }
    return now() - start;
}

std::vector<std::string> collection(const fs::path& target, const std::string& exe, const std::string& args)
{
    return {TRAWLEX_PROGRAM, "--target",  target.string(), "--module", "bench", "--datatype", "sample",
            "--interval",    "PT15M",     "--timeout",     "PT10M",    "--exe",  exe,          "--args", args};
}

// Median added milliseconds of a trawlex run of /bin/true over /bin/true alone.
double addedMilliseconds(const fs::path& target, int runs)
{
    std::vector<double> alone;
    std::vector<double> collected;
    for (int i = 0; i < runs; ++i) {
        alone.push_back(timed({"/bin/true"}));
        collected.push_back(timed(collection(target, "/bin/true", "")));
    }
    fs::remove_all(target);
    return (median(collected) - median(alone)) * 1000.0;
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    const int bigRuns = 3;
    const fs::path tmpfsRoot = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path diskRoot = fs::current_path();
    const std::string stamp = std::to_string(getpid());
    bool met = true;
    setenv("TRAWLEX_SEAL_DIR", "/nonexistent/trawlex-bench-no-seal", 1);  // unsealed runs (see bench-seal)

    const double onTmpfs = addedMilliseconds(tmpfsRoot / ("bench-trawlex-" + stamp), runs);
    const double onDisk = addedMilliseconds(diskRoot / ("bench-trawlex-" + stamp), runs);
    std::printf("trawlex of /bin/true over /bin/true alone, median of %d runs:\n", runs);
    std::printf("  tmpfs (%s): +%.2f ms per run (target at most 5 ms)\n", tmpfsRoot.c_str(), onTmpfs);
    std::printf("  disk  (%s): +%.2f ms per run\n", diskRoot.c_str(), onDisk);
    met = met && onTmpfs <= 5.0;

    // 256 MiB of text lines from head, against the same written to a file and digested.
    const fs::path work = tmpfsRoot / ("bench-trawlex-big-" + stamp);
    fs::create_directories(work);
    const fs::path producer = work / "produce.sh";
    std::ofstream(producer) << "#!/bin/sh\nexec head -c 268435456 /dev/zero | tr '\\0' 'x' | fold -w 99\n";
    fs::permissions(producer, fs::perms::owner_all);
    const fs::path written = work / "written.txt";
    const fs::path writer = work / "write-and-digest.sh";
    std::ofstream(writer) << "#!/bin/sh\n" << producer.string() << " > " << written.string() << " && md5sum "
                          << written.string() << "\n";
    fs::permissions(writer, fs::perms::owner_all);

    std::vector<double> baseline;
    std::vector<double> collected;
    for (int i = 0; i < bigRuns; ++i) {
        baseline.push_back(timed({writer.string()}));
        fs::remove(written);
        collected.push_back(timed(collection(work / "target", producer.string(), "")));
        fs::remove_all(work / "target");
    }
    const double ratio = median(collected) / median(baseline);
    std::printf("trawlex collecting 256 MiB: %.2f s against %.2f s writing a file and md5sum: %.2f times "
                "(target at most 1.5)\n",
                median(collected), median(baseline), ratio);
    met = met && ratio <= 1.5;
    fs::remove_all(work);
    return met ? 0 : 1;
}
