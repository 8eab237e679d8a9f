// bench-trawlex [RUNS [start-up]]: the trawlex program end to end (only figures 1 and 2 with
// "start-up"), each figure against a baseline measured in the same run, alternating with it
// (wall-clock figures are medians, so a busy machine spreads them but moves them little):
//   1. collecting the output of /bin/true into a folder on tmpfs: added wall time over a bare
//      launcher starting /bin/true, the floor that every collector pays (target at most
//      +0.5 ms);
//   2. the same into a folder on disk, against the bare launcher followed by the least a
//      durable new file needs there: write a small file, fsync it, rename it, fsync the folder
//      (target at most +0.5 ms over that);
//      beside both, the minor page faults of each (their children's included), for reference;
//   3. `trawlex --version` against /bin/true, CPU time of the process (target at most 1.5 times);
//   4. collecting 256 MiB from a utility, against the same utility writing to a file followed
//      by md5sum of that file (target at most 1.2 times);
//   5. `trawlex-verify --quiet` over 20,000 small data logs, against md5sum over the same
//      files (target at most 1.5 times).
// Every figure line ends in "met" or "MISSED"; the exit code is 1 when one is missed.
#include <fcntl.h>
#include <sys/resource.h>
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

#include "BenchSupport.h"

namespace fs = std::filesystem;

namespace {

using bench::median;
using bench::now;
using bench::spread;

using Run = bench::ChildRun;

// Runs the command (in folder when given) with standard output to /dev/null; exits the
// benchmark when it does not exit with 0.
Run run(const std::vector<std::string>& command, const fs::path& folder = {})
{
    const Run result = bench::runChild(command, folder.string());
    if (!result.succeeded) {
        std::fprintf(stderr, "bench-trawlex: command failed: %s\n", command.front().c_str());
        std::exit(1);
    }
    return result;
}

std::vector<std::string> collection(const fs::path& target, const std::string& exe)
{
    return {TRAWLEX_PROGRAM, "--target",  target.string(), "--module", "bench", "--datatype", "sample",
            "--interval",    "PT15M",     "--timeout",     "PT10M",    "--exe",  exe,          "--args", ""};
}

// The least a durable new file of `size` bytes needs in folder: written, synced, renamed into
// its name, the folder synced.
void durableNewFile(const fs::path& folder, int number, size_t size)
{
    const std::string name = (folder / ("file-" + std::to_string(number))).string();
    const std::string working = name + ".make";
    const int file = open(working.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    const std::string bytes(size, 'x');
    bool ok = file >= 0 && write(file, bytes.data(), bytes.size()) == ssize_t(bytes.size()) && fsync(file) == 0;
    ok = file >= 0 && close(file) == 0 && ok;
    ok = ok && rename(working.c_str(), (name + ".data").c_str()) == 0;
    const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = ok && directory >= 0 && fsync(directory) == 0;
    if (directory >= 0) {
        close(directory);
    }
    if (!ok) {
        std::fprintf(stderr, "bench-trawlex: the durable new file in %s failed\n", folder.c_str());
        std::exit(1);
    }
}

size_t firstFileSize(const fs::path& folder)
{
    for (const auto& entry : fs::directory_iterator(folder)) {
        return fs::file_size(entry.path());
    }
    return 0;
}

bool report(const char* figure, const char* how, double value, double target, bool isRatio)
{
    const bool met = value <= target;
    if (isRatio) {
        std::printf("%s: %s: %.2f times (target at most %.1f times): %s\n", figure, how, value, target,
                    met ? "met" : "MISSED");
    } else {
        std::printf("%s: %s: %+.2f ms (target at most +%.1f ms): %s\n", figure, how, value, target,
                    met ? "met" : "MISSED");
    }
    return met;
}

// Median added milliseconds of trawlex collecting /bin/true into folder over a bare launcher
// starting /bin/true (followed by a durable new file in a folder beside it when durable): the
// start of a second process, which every collector pays. Beside it, /bin/true alone and the
// minor page faults of each, for reference.
bool startUp(const char* figure, const fs::path& root, int runs, bool durable)
{
    const fs::path target = root / "target";
    const fs::path plain = root / "plain";
    fs::create_directories(plain);
    run(collection(target, "/bin/true"));  // warms the caches and gives the size of a data log
    const size_t size = std::max<size_t>(firstFileSize(target), 1);
    std::vector<double> alone;
    std::vector<double> baseline;
    std::vector<double> collected;
    std::vector<double> launcherFaults;
    std::vector<double> collectionFaults;
    for (int i = 0; i < runs; ++i) {
        alone.push_back(run({"/bin/true"}).wallSeconds);
        const double start = now();
        launcherFaults.push_back(run({BARE_LAUNCHER_PROGRAM, "/bin/true"}).minorFaults);
        if (durable) {
            durableNewFile(plain, i, size);
        }
        baseline.push_back(now() - start);
        const Run collecting = run(collection(target, "/bin/true"));
        collected.push_back(collecting.wallSeconds);
        collectionFaults.push_back(collecting.minorFaults);
    }
    fs::remove_all(root);
    const double added = (median(collected) - median(baseline)) * 1000.0;
    std::printf("%s: /bin/true alone %.2f ms; minor page faults (with /bin/true's): trawlex %.0f, bare launcher %.0f "
                "(for reference)\n",
                durable ? "disk" : "tmpfs", median(alone) * 1000, median(collectionFaults), median(launcherFaults));
    char how[400];
    std::snprintf(how, sizeof how, "%.2f ms against %.2f ms for a bare launcher of /bin/true%s (%s), median of %d",
                  median(collected) * 1000, median(baseline) * 1000, durable ? " and a durable new file" : "",
                  root.parent_path().c_str(), runs);
    return report(figure, how, added, 0.5, false);
}

bool versionCpuTime(int runs)
{
    std::vector<double> plain;
    std::vector<double> version;
    for (int i = 0; i < runs; ++i) {
        plain.push_back(run({"/bin/true"}).cpuSeconds);
        version.push_back(run({TRAWLEX_PROGRAM, "--version"}).cpuSeconds);
    }
    char how[200];
    std::snprintf(how, sizeof how, "%.3f ms against %.3f ms for /bin/true, median of %d", median(version) * 1000,
                  median(plain) * 1000, runs);
    return report("trawlex --version, CPU time", how, median(version) / std::max(median(plain), 1e-6), 1.5, true);
}

bool largeCollection(const fs::path& tmpfsRoot, const std::string& stamp, int runs)
{
    // 256 MiB of text lines from head, against the same written to a file and digested.
    const fs::path work = tmpfsRoot / ("bench-trawlex-big-" + stamp);
    fs::create_directories(work);
    const fs::path producer = work / "produce.sh";
    std::ofstream(producer) << "#!/bin/sh\nexec head -c 268435456 /dev/zero | tr '\\0' 'x' | fold -w 99\n";
    fs::permissions(producer, fs::perms::owner_all);
    const fs::path written = work / "written.txt";
    const fs::path writer = work / "write-and-digest.sh";
    std::ofstream(writer) << "#!/bin/sh\n"
                          << producer.string() << " > " << written.string() << " && md5sum " << written.string()
                          << "\n";
    fs::permissions(writer, fs::perms::owner_all);

    std::vector<double> baseline;
    std::vector<double> collected;
    std::vector<double> ratios;
    for (int i = 0; i < runs; ++i) {
        baseline.push_back(run({writer.string()}).wallSeconds);
        fs::remove(written);
        collected.push_back(run(collection(work / "target", producer.string())).wallSeconds);
        fs::remove_all(work / "target");
        ratios.push_back(collected.back() / baseline.back());
    }
    fs::remove_all(work);
    char how[300];
    std::snprintf(how, sizeof how, "%.2f s against %.2f s writing a file and md5sum (%s), median of %d, ratios spread %.2f",
                  median(collected), median(baseline), tmpfsRoot.c_str(), runs, spread(ratios));
    return report("trawlex collecting 256 MiB", how, median(collected) / median(baseline), 1.2, true);
}

bool verifier(const fs::path& tmpfsRoot, const std::string& stamp, int runs)
{
    constexpr int files = 20000;
    const fs::path work = tmpfsRoot / ("bench-trawlex-verify-" + stamp);
    const fs::path logs = work / "logs";
    fs::create_directories(logs);
    run(collection(work / "one", "/bin/true"));
    const fs::path one = fs::directory_iterator(work / "one")->path();
    std::vector<std::string> names;
    for (int i = 0; i < files; ++i) {
        names.push_back(std::to_string(100000 + i) + ".data");
        fs::copy_file(one, logs / names.back());
    }
    std::vector<std::string> verify = {TRAWLEX_VERIFY_PROGRAM, "--quiet", "--"};
    std::vector<std::string> digest = {"/usr/bin/md5sum", "--"};
    verify.insert(verify.end(), names.begin(), names.end());
    digest.insert(digest.end(), names.begin(), names.end());
    run(verify, logs);  // every copy must check valid (the exit code), and the caches are warm
    std::vector<double> baseline;
    std::vector<double> verified;
    for (int i = 0; i < runs; ++i) {
        baseline.push_back(run(digest, logs).wallSeconds);
        verified.push_back(run(verify, logs).wallSeconds);
    }
    fs::remove_all(work);
    char how[300];
    std::snprintf(how, sizeof how, "%.3f s against %.3f s for md5sum over the same %d files (%s), median of %d",
                  median(verified), median(baseline), files, tmpfsRoot.c_str(), runs);
    return report("trawlex-verify --quiet over 20,000 small data logs", how, median(verified) / median(baseline), 1.5,
                  true);
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const fs::path tmpfsRoot = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path diskRoot = fs::current_path();
    const std::string stamp = std::to_string(getpid());
    bool met = true;
    setenv("TRAWLEX_SEAL_DIR", "/nonexistent/trawlex-bench-no-seal", 1);  // unsealed runs (see bench-seal)

    met = startUp("trawlex collecting /bin/true, tmpfs, added wall time over a bare launcher",
                  tmpfsRoot / ("bench-trawlex-" + stamp), runs, false) && met;
    met = startUp("trawlex collecting /bin/true, disk, added wall time over a bare launcher and a durable new file",
                  diskRoot / ("bench-trawlex-" + stamp), runs, true) && met;
    if (argc > 2 && std::string(argv[2]) == "start-up") {
        return met ? 0 : 1;
    }
    met = versionCpuTime(runs) && met;
    met = largeCollection(tmpfsRoot, stamp, 5) && met;
    met = verifier(tmpfsRoot, stamp, 7) && met;
    return met ? 0 : 1;
}
