// Long runs of the collector: many collections one after another in this process, and two
// long-lived collecting processes into one folder at once. Every collection must land as one
// verified file, no working file may remain, and the descriptors, threads and memory of a
// collecting process must not grow from run to run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "collector/Collector.h"
#include "corelib/Exception.h"
#include "datahandling/DataLog.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using TestSupport::readFile;
using Kelvra::Collector;
using KelvraCorelib::DataLog;

namespace {

// A sanitizer's allocator holds freed memory back for a while; its own leak check stands in.
constexpr bool memoryIsMeasurable = !TestSupport::sanitizedBuild;

constexpr int warmUpRuns = 20;
constexpr int sequentialRuns = 200;
constexpr int concurrentRunsEach = 100;

// Entries of a /proc folder; 0 when it is gone.
long countEntries(const fs::path& folder)
{
    std::error_code error;
    long count = 0;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        ++count;
    return count;
}

long residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// Bytes the allocator has handed out and not got back (0 where it cannot tell).
long heapInUse()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    return static_cast<long>(mallinfo2().uordblks);
#else
    return 0;
#endif
}

struct Usage {
    long descriptors = 0;
    long threads = 0;
    long resident = 0;
    long heap = 0;
};

Usage ownUsage()
{
    return {countEntries("/proc/self/fd"), countEntries("/proc/self/task"), residentBytes(), heapInUse()};
}

// Checks every file in the folder: no working file, each ".data" file verifies, and each
// data text occurs in exactly one file. Returns data text -> number of files holding it.
std::map<std::string, int> checkFolder(const fs::path& folder)
{
    std::map<std::string, int> texts;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const fs::path file = entry.path();
        EXPECT_EQ(file.extension(), ".data") << file;
        std::string reason;
        EXPECT_EQ(DataLog::checkFileSignature(file.string(), reason), DataLog::Check::valid) << file << reason;
        const std::string content = readFile(file);
        const size_t marker = content.find("\n@DATA:\n");
        EXPECT_NE(marker, std::string::npos) << file;
        if (marker == std::string::npos)
            continue;
        const size_t start = marker + 8;
        texts[content.substr(start, content.find('\n', start) - start)]++;
    }
    return texts;
}

class CollectorSoak : public ::testing::Test {
protected:
    void collectOnce(const std::string& args)
    {
        Collector collector;
        collector.setTargetDir(target.string());
        collector.setAppName("trawlex");
        collector.setModule("soak");
        collector.setDataType("sample");
        collector.setInterval("PT1H");
        collector.setTimeout("PT30S");
        collector.setExePath("/bin/echo");
        collector.setExeArgs(args);
        collector.collect();
    }

    // Starts "collector_runner TARGET /bin/echo TAG COUNT" with only the standard descriptors
    // open and its output in a file of the work folder.
    pid_t startRunner(const std::string& tag, int count)
    {
        const std::string program = TestSupport::helper("collector_runner");
        const std::string out = (work / (tag + ".out")).string();
        const std::string countText = std::to_string(count);
        const std::string targetText = target.string();
        const pid_t pid = fork();
        if (pid == 0) {
            const int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (file < 0 || dup2(file, 1) < 0 || dup2(file, 2) < 0)
                _exit(121);
            for (int descriptor = 3; descriptor < 1024; ++descriptor)
                close(descriptor);
            execl(program.c_str(), program.c_str(), targetText.c_str(), "/bin/echo", tag.c_str(), countText.c_str(),
                  static_cast<char*>(nullptr));
            _exit(122);
        }
        return pid;
    }

    TestSupport::ErrorModeGuard quiet{false};
    TestSupport::TempDir folder{"trawlex-soak"};
    fs::path work = folder.path();
    fs::path target = work / "target";
};

TEST_F(CollectorSoak, SequentialCollectionsLandAndLeaveNoDescriptorThreadOrMemoryBehind)
{
    for (int i = 0; i < warmUpRuns; ++i)
        collectOnce("warm " + std::to_string(i));
    const Usage before = ownUsage();
    Usage most = before;
    for (int i = 0; i < sequentialRuns; ++i) {
        collectOnce("run " + std::to_string(i));
        const Usage now = ownUsage();
        most.descriptors = std::max(most.descriptors, now.descriptors);
        most.threads = std::max(most.threads, now.threads);
    }
    const Usage after = ownUsage();

    // A descriptor or thread kept per run would show as one more per run.
    EXPECT_LE(most.descriptors, before.descriptors + 2);
    EXPECT_LE(most.threads, before.threads + 2);
    if (memoryIsMeasurable) {
        EXPECT_LE(after.resident, before.resident + 4 * 1024 * 1024)
            << "resident bytes " << before.resident << " -> " << after.resident;
        // A few hundred bytes kept per run would pass the allowance.
        EXPECT_LE(after.heap, before.heap + 64 * 1024) << "heap bytes " << before.heap << " -> " << after.heap;
    }

    const auto texts = checkFolder(target);
    EXPECT_EQ(texts.size(), size_t(warmUpRuns + sequentialRuns));
    for (int i = 0; i < sequentialRuns; ++i)
        EXPECT_EQ(texts.count("run " + std::to_string(i)), 1u) << i;
    for (const auto& [text, files] : texts)
        EXPECT_EQ(files, 1) << text;
}

TEST_F(CollectorSoak, TwoLongLivedStreamsIntoOneFolderKeepTheirDescriptorsAndThreadsFlat)
{
    ASSERT_TRUE(fs::create_directory(target));
    const std::vector<std::string> tags = {"A", "B"};
    std::vector<pid_t> pids;
    for (const std::string& tag : tags)
        pids.push_back(startRunner(tag, concurrentRunsEach));

    // Samples each runner's descriptors and threads while it collects; a finished runner is
    // reaped before it is sampled again, so a sample never reads a process that is leaving.
    std::vector<long> mostDescriptors(pids.size(), 0);
    std::vector<long> mostThreads(pids.size(), 0);
    std::vector<int> samples(pids.size(), 0);
    std::vector<int> status(pids.size(), -1);
    for (size_t running = pids.size(); running > 0;) {
        for (size_t i = 0; i < pids.size(); ++i) {
            if (status[i] != -1)
                continue;
            const fs::path proc = "/proc/" + std::to_string(pids[i]);
            const long descriptors = countEntries(proc / "fd");
            const long threads = countEntries(proc / "task");
            int ended = 0;
            if (waitpid(pids[i], &ended, WNOHANG) == pids[i]) {
                status[i] = ended;
                --running;
                continue;  // the process may have been closing its descriptors
            }
            mostDescriptors[i] = std::max(mostDescriptors[i], descriptors);
            mostThreads[i] = std::max(mostThreads[i], threads);
            ++samples[i];
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }

    for (size_t i = 0; i < pids.size(); ++i) {
        ASSERT_TRUE(WIFEXITED(status[i]) && WEXITSTATUS(status[i]) == 0) << tags[i];
        EXPECT_EQ(readFile(work / (tags[i] + ".out")), "done\n");
        EXPECT_GT(samples[i], 0) << tags[i];
        // Three standard descriptors, and during a collection the output pipe, the working
        // file and the folder; one kept per run would add up to a hundred.
        EXPECT_LE(mostDescriptors[i], 10) << tags[i];
        EXPECT_LE(mostThreads[i], 3) << tags[i];  // the main thread and one output reader
    }

    const auto texts = checkFolder(target);
    EXPECT_EQ(texts.size(), size_t(2 * concurrentRunsEach));
    for (int i = 0; i < concurrentRunsEach; ++i)
        for (const std::string& tag : tags)
            EXPECT_EQ(texts.count(tag + " " + std::to_string(i)), 1u) << tag << i;
    for (const auto& [text, files] : texts)
        EXPECT_EQ(files, 1) << text;
}

}  // namespace
