// Measures what sealing adds to a collection: trawlex runs with a seal store (TRAWLEX_SEAL_DIR
// naming a fresh store) interleaved with the same runs without one, in the same process:
//   1. collecting /bin/true: the median added wall time per run (target at most 1 ms), and
//      the median added processor time (user and system) of the run, which a loaded machine
//      disturbs less;
//   2. collecting 256 MiB: the median wall time ratio (target at most 1.10).
// Also prints the store's size and the seal line's length.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace fs = std::filesystem;

namespace {

using bench::median;
using bench::now;

struct Cost {
    double wall = 0;
    double processor = 0;
};

Cost timed(const std::vector<std::string>& command, const std::string& sealDir)
{
    std::fflush(stdout);
    const double start = now();
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout))
            _exit(126);
        setenv("TRAWLEX_SEAL_DIR", sealDir.c_str(), 1);
        std::vector<char*> argv;
        for (const std::string& part : command)
            argv.push_back(const_cast<char*>(part.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid <= 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "command failed: %s\n", command.front().c_str());
        std::exit(1);
    }
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {now() - start, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

std::vector<std::string> collection(const fs::path& target, const std::string& exe)
{
    return {TRAWLEX_PROGRAM, "--target", target.string(), "--module", "bench", "--datatype", "seal",
            "--interval", "PT15M", "--timeout", "PT10M", "--exe", exe, "--args", ""};
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    const int bigRuns = 3;
    const fs::path root = (fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                          ("bench-seal-" + std::to_string(getpid()));
    const fs::path disk = fs::current_path() / ("bench-seal-" + std::to_string(getpid()));
    fs::create_directories(root);
    const std::string store = (disk / "store").string();
    const std::string noStore = (root / "no-store").string();
    fs::create_directories(disk);
    char until[32];
    const std::time_t tomorrow = std::time(nullptr) + 2 * 86400;
    std::strftime(until, sizeof until, "%Y-%m-%d", std::gmtime(&tomorrow));
    if (std::system(("TRAWLEX_SEAL_DIR=" + store + " " + TRAWLEX_SEAL_PROGRAM + " init --until " + until +
                     " > /dev/null").c_str()) != 0) {
        std::fprintf(stderr, "trawlex-seal init failed\n");
        return 1;
    }
    // The same store on tmpfs: what sealing costs without the store's syncs.
    const std::string tmpfsStore = (root / "store").string();
    fs::copy(store, tmpfsStore, fs::copy_options::recursive);
    bool met = true;
    struct Case {
        fs::path place;
        std::string store;
        const char* what;
    };
    for (const Case& one : {Case{root, tmpfsStore, "target and store on tmpfs"},
                            Case{root, store, "target on tmpfs, store on disk"},
                            Case{disk, store, "target and store on disk"}}) {
        const fs::path& place = one.place;
        std::vector<double> plain;
        std::vector<double> sealed;
        std::vector<double> plainProcessor;
        std::vector<double> sealedProcessor;
        for (int i = 0; i < runs; ++i) {
            const Cost without = timed(collection(place / "plain", "/bin/true"), noStore);
            const Cost with = timed(collection(place / "sealed", "/bin/true"), one.store);
            plain.push_back(without.wall);
            sealed.push_back(with.wall);
            plainProcessor.push_back(without.processor);
            sealedProcessor.push_back(with.processor);
        }
        const double added = (median(sealed) - median(plain)) * 1000.0;
        std::printf("sealing a collection of /bin/true, %s: %+.3f ms wall per run (median of %d, %.2f ms "
                    "unsealed; target at most 1 ms), %+.3f ms processor time\n",
                    one.what, added, runs, median(plain) * 1000.0,
                    (median(sealedProcessor) - median(plainProcessor)) * 1000.0);
        if (one.store == tmpfsStore) {
            met = met && added <= 1.0;
            for (const auto& entry : fs::directory_iterator(place / "sealed")) {
                std::ifstream in(entry.path(), std::ios::binary);
                const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                std::printf("seal line: %zu bytes with its line feed\n", text.size() - text.rfind("@SEAL: "));
                break;
            }
        }
        fs::remove_all(place / "plain");
        fs::remove_all(place / "sealed");
    }
    uintmax_t storeBytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(store))
        if (entry.is_regular_file())
            storeBytes += entry.file_size();
    std::printf("store with epochs for two days: %ju bytes (two years of hourly epochs: 17521 x 205 bytes)\n",
                storeBytes);

    const fs::path producer = root / "produce.sh";
    std::ofstream(producer) << "#!/bin/sh\nexec head -c 268435456 /dev/zero | tr '\\0' 'x' | fold -w 99\n";
    fs::permissions(producer, fs::perms::owner_all);
    std::vector<double> plain;
    std::vector<double> sealed;
    std::vector<double> plainProcessor;
    std::vector<double> sealedProcessor;
    for (int i = 0; i < bigRuns; ++i) {
        const Cost without = timed(collection(root / "big", producer.string()), noStore);
        fs::remove_all(root / "big");
        const Cost with = timed(collection(root / "big", producer.string()), store);
        fs::remove_all(root / "big");
        plain.push_back(without.wall);
        sealed.push_back(with.wall);
        plainProcessor.push_back(without.processor);
        sealedProcessor.push_back(with.processor);
    }
    const double ratio = median(sealed) / median(plain);
    std::printf("sealing a collection of 256 MiB: %.3f s against %.3f s unsealed: %.3f times (target at most "
                "1.10); processor time of trawlex and the utility %.3f s against %.3f s\n",
                median(sealed), median(plain), ratio, median(sealedProcessor), median(plainProcessor));
    met = met && ratio <= 1.10;
    fs::remove_all(root);
    fs::remove_all(disk);
    return met ? 0 : 1;
}
