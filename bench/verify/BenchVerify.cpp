// bench-verify [HOSTS]: what checking a day of a fleet costs. Writes, in this process, a day of
// data logs for HOSTS hosts (BENCH_VERIFY_HOSTS, 5 by default) of 50 sources each, collected
// every 15 minutes (96 files a source), once unsealed and once sealed, each host sealing with
// a store of its own bound to its host name (as on a real fleet: a chain per source, the
// store opened and its chain state written for every file, as a run does). The files go to
// tmpfs (/dev/shm where there is one), so the figures are the verifier's own work on files in
// memory, not the disk's pace. Then times the built trawlex-verify --quiet over
//   1. the unsealed files,
//   2. the sealed files without --seal-key (signatures only),
//   3. the sealed files with --seal-key (signatures, seals and chains),
// and prints files per second and the time a day of a thousand hosts would take. Figures
// only, no target.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "corelib/DateTime.h"
#include "corelib/TimeSpan.h"
#include "datahandling/DataLog.h"
#include "datahandling/SealStore.h"
#include "datahandling/SealWriter.h"

namespace fs = std::filesystem;
using namespace KelvraCorelib;

namespace {

constexpr int sourcesPerHost = 50;
constexpr int filesPerSource = 96;  // a day every 15 minutes
constexpr int64_t interval = 15 * 60 * 1000;
constexpr int64_t day = 86400000;

fs::path workFolder;  // removed also when the benchmark fails

[[noreturn]] void fail(const std::string& text)
{
    std::fprintf(stderr, "bench-verify: %s\n", text.c_str());
    std::error_code ignored;
    fs::remove_all(workFolder, ignored);
    std::exit(1);
}

std::string hostName(int host)
{
    char name[32];
    std::snprintf(name, sizeof name, "web%04d", host + 1);
    return name;
}

// A df listing of the size a small utility writes, different in each file.
std::string outputText(int64_t time, int source)
{
    std::string text = "Filesystem     1K-blocks     Used Available Use% Mounted on\n";
    for (int line = 0; line < 8; ++line) {
        const int64_t used = 1000000 + (time / 1000 + source * 7919 + line * 104729) % 9000000;
        text += "/dev/vda" + std::to_string(line) + "      10485760 " + std::to_string(used) + " " +
                std::to_string(10485760 - used) + "  " + std::to_string(used * 100 / 10485760) + "% /srv/d" +
                std::to_string(line) + "\n";
    }
    return text;
}

void writeFile(const fs::path& target, const std::string& host, int source, int64_t time, bool sealed)
{
    DataLog log;
    log.setLogType(DataCommons::logRaw);
    const DataCommons::SourceInfo info{"Trawlex", "os", "source" + std::to_string(source), TimeSpan(interval), {}, 1};
    log.setSource(info);
    log.setSourceMeta("host", host);
    log.setSourceMeta("time", std::to_string(time));
    log.setSourceMeta("exe", "/bin/df");
    log.setSourceMeta("exeargs", "-k");
    log.setSourceMeta("offset", "0");
    if (!log.makeReadyToOpenWriteFile(target.string(), "Trawlex", true, false)) {
        fail("cannot prepare " + target.string());
    }
    SealWriter seal;
    if (sealed && (!seal.begin(log) || !seal.active())) {
        fail("cannot seal: " + seal.problem());
    }
    if (!log.openWriteFile(DataLog::createNew) || !log.setRawLine(outputText(time, source)) || !log.writeRaw() ||
        !log.closeFile(false) || !seal.problem().empty()) {
        fail("cannot write a data log in " + target.string() + " " + seal.problem());
    }
}

// A day of every source of one host into target, in the order the runs would make them.
void writeHost(const fs::path& target, const std::string& host, int64_t dayStart, bool sealed)
{
    for (int slot = 0; slot < filesPerSource; ++slot) {
        for (int source = 1; source <= sourcesPerHost; ++source) {
            writeFile(target, host, source, dayStart + slot * interval + source * 1000, sealed);
        }
    }
}

struct Cost {
    double wall = 0;
    double processor = 0;
};

Cost verify(const std::vector<std::string>& arguments)
{
    std::vector<std::string> command{TRAWLEX_VERIFY_PROGRAM, "--quiet"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const bench::ChildRun result = bench::runChild(command);
    if (!result.succeeded) {
        fail("trawlex-verify did not find every file valid");
    }
    return {result.wallSeconds, result.cpuSeconds};
}

void report(const char* what, const Cost& cost, long files)
{
    const double rate = double(files) / cost.wall;
    const double thousandHosts = 1000.0 * sourcesPerHost * filesPerSource / rate;
    std::printf("%s: %ld files in %.1f s (%.1f s processor time): %.0f files/s; a day of 1000 hosts "
                "(%d files) about %.0f s (%.1f min)\n",
                what, files, cost.wall, cost.processor, rate, 1000 * sourcesPerHost * filesPerSource,
                thousandHosts, thousandHosts / 60);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* fromEnvironment = std::getenv("BENCH_VERIFY_HOSTS");
    const int hosts = argc > 1 ? std::atoi(argv[1]) : fromEnvironment ? std::atoi(fromEnvironment) : 5;
    if (hosts <= 0) {
        std::fprintf(stderr, "usage: bench-verify [HOSTS]\n");
        return 2;
    }
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path root = base / ("bench-verify-" + std::to_string(getpid()));
    workFolder = root;
    fs::create_directories(root / "keys");
    fs::permissions(root, fs::perms::owner_all);

    // Tomorrow (UTC), so that no epoch key of the day has ended yet while it is sealed.
    const int64_t dayStart = (DateTime::now().count / day + 1) * day;
    const long files = long(hosts) * sourcesPerHost * filesPerSource;

    double started = bench::now();
    for (int host = 0; host < hosts; ++host) {
        writeHost(root / "plain" / hostName(host), hostName(host), dayStart, false);
    }
    const double plainWriting = bench::now() - started;

    started = bench::now();
    for (int host = 0; host < hosts; ++host) {
        const std::string name = hostName(host);
        const std::string store = (root / "stores" / name).string();
        fs::create_directories(root / "stores");
        SealStore::Settings settings;
        settings.now = DateTime::now().count;
        settings.until = dayStart + 2 * day;
        settings.host = name;
        std::string key;
        std::string problem;
        if (!SealStore::create(store, settings, key, problem)) {
            fail("cannot make the seal store of " + name + ": " + problem);
        }
        std::ofstream(root / "keys" / (name + ".key")) << key << "\n";
        setenv("TRAWLEX_SEAL_DIR", store.c_str(), 1);
        writeHost(root / "sealed" / name, name, dayStart, true);
    }
    unsetenv("TRAWLEX_SEAL_DIR");
    const double sealedWriting = bench::now() - started;
    std::printf("a day of %d hosts, %d sources each, every 15 minutes: %ld files, written in this process in "
                "%.1f s unsealed, %.1f s sealed (a store per host), on %s\n",
                hosts, sourcesPerHost, files, plainWriting, sealedWriting, base.c_str());

    report("trawlex-verify, unsealed", verify({(root / "plain").string()}), files);
    report("trawlex-verify, sealed, without --seal-key", verify({(root / "sealed").string()}), files);
    report("trawlex-verify, sealed, with --seal-key",
           verify({"--seal-key", (root / "keys").string(), (root / "sealed").string()}), files);
    fs::remove_all(root);
    return 0;
}
