// bench-datalog [DIR [MIB]]: writes and closes one signed data log whose raw text is MIB MiB
// (256 by default) in DIR (the current directory by default), and times md5sum over a file
// of the same size in the same directory. Each figure is the median of three runs; the target
// is a data log at most 1.5 times as slow as md5sum.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "corelib/platform/FileSystem.h"
#include "datahandling/DataLog.h"

using namespace KelvraCorelib;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// Printable text with a line feed now and then, cheap to make.
std::string makeText(size_t size)
{
    std::string text(size, ' ');
    uint32_t state = 12345;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        text[i] = (i % 97 == 96) ? '\n' : char('!' + (state >> 16) % 94);
    }
    return text;
}

using bench::median;

}  // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : ".";
    const size_t mib = argc > 2 ? size_t(std::atoi(argv[2])) : 256;
    if (mib == 0) {
        std::fprintf(stderr, "usage: bench-datalog [DIR [MIB]]\n");
        return 2;
    }
    const std::string work = (std::filesystem::path(dir) / "bench-datalog.tmp").string();
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    const std::string text = makeText(mib << 20);

    std::vector<double> writes;
    std::vector<double> closes;
    std::vector<double> totals;
    std::vector<double> md5s;
    std::vector<double> plains;
    for (int run = 0; run < 3; ++run) {
        DataLog log;
        log.setLogType(DataCommons::logRaw);
        log.setSourceMeta("application", "bench");
        log.setSourceMeta("module", "bench");
        log.setSourceMeta("datatype", "bench");
        log.setSourceMeta("time", std::to_string(3850000000000LL + run));
        std::string raw = text;  // the copy the collector would hand over, made outside the timing
        const Clock::time_point start = Clock::now();
        if (!log.makeReadyToOpenWriteFile(work, "bench", true, false) || !log.openWriteFile(DataLog::createNew) ||
            !log.setRawLine(std::move(raw)) || !log.writeRaw()) {
            std::fprintf(stderr, "writing the data log failed\n");
            return 1;
        }
        const Clock::time_point written = Clock::now();
        if (!log.closeFile()) {
            std::fprintf(stderr, "closing the data log failed\n");
            return 1;
        }
        const Clock::time_point closed = Clock::now();
        writes.push_back(seconds(start, written));
        closes.push_back(seconds(written, closed));
        totals.push_back(seconds(start, closed));
        std::filesystem::remove_all(work);
        std::filesystem::create_directories(work);

        // The same bytes written plainly and forced to the device: what the storage allows.
        const std::string plain = work + "/plain";
        const Clock::time_point plainStart = Clock::now();
        int handle = -1;
        if (Platform::openFile(plain, Platform::OpenWrite | Platform::OpenCreate | Platform::OpenTruncate, handle) != 0 ||
            Platform::writeFile(handle, text.data(), text.size()) != 0 || Platform::syncFile(handle) != 0) {
            std::fprintf(stderr, "writing the plain file failed\n");
            return 1;
        }
        Platform::closeFile(handle);
        plains.push_back(seconds(plainStart, Clock::now()));
        const std::string command = "md5sum '" + plain + "' > /dev/null";
        const Clock::time_point md5Start = Clock::now();
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "md5sum failed\n");
            return 1;
        }
        md5s.push_back(seconds(md5Start, Clock::now()));
        std::filesystem::remove(plain);
    }
    std::filesystem::remove_all(work);

    const double total = median(totals);
    const double md5 = median(md5s);
    const double ratio = total / md5;
    std::printf("data log, %zu MiB raw text, median of 3 (in %s):\n", mib, dir.c_str());
    std::printf("  open + write + digest   %.3f s\n", median(writes));
    std::printf("  close (sign, fsync, rename)  %.3f s\n", median(closes));
    std::printf("  total                   %.3f s\n", total);
    std::printf("plain write + fsync        %.3f s (no digest: the storage's own pace)\n", median(plains));
    std::printf("md5sum over %zu MiB        %.3f s\n", mib, md5);
    std::printf("data log against md5sum: ratio %.2f (target at most 1.5 times): %s\n", ratio,
                ratio <= 1.5 ? "met" : "MISSED");
    return 0;
}
