// The program writing into a file system that fills up: a small tmpfs mounted for the test
// (in user and mount namespaces of its own where mounting is refused), and a file-size limit
// on the program's process. The run ends with one "ERROR: " line and exit code 2, leaves no
// file that verifies with a part of the data, and the files already there stay as they were.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <fstream>
#include <map>

#include "cli/ProgramRuns.h"
#include "datahandling/DataLog.h"
#include "helpers/PatternText.h"

namespace {

using namespace ProgramRuns;

const std::string utilityPath = TestSupport::helper("pattern_output");

class FullDisk : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        fs::create_directories(disk);
        target = disk / "out";
    }
    void TearDown() override
    {
        if (mounted)
            umount2(disk.c_str(), MNT_DETACH);
    }

    // A tmpfs of the given size on the disk folder (mounted tells). Where mounting is not
    // allowed, the test runs once more in a user and mount namespace of its own, and its
    // outcome there is this test's.
    void mountSmallDisk(uint64_t bytes)
    {
        const std::string options = "size=" + std::to_string(bytes);
        mounted = mount("tmpfs", disk.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (mounted || std::getenv("TRAWLEX_TEST_UNSHARED") != nullptr)
            return;
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const Outcome inner = TestSupport::runProgram(
            work, "/usr/bin/unshare",
            {"-Urm", fs::read_symlink("/proc/self/exe").string(),
             "--gtest_filter=" + std::string(test->test_suite_name()) + "." + test->name()},
            {{"TRAWLEX_TEST_UNSHARED", "1"}});
        if (inner.out.find("[ RUN      ]") == std::string::npos)
            GTEST_SKIP() << "neither mounting a tmpfs nor a user namespace is allowed here: " << inner.err;
        if (inner.out.find("[  SKIPPED ]") != std::string::npos)
            GTEST_SKIP() << "mounting a tmpfs is not allowed in a user namespace either";
        EXPECT_EQ(inner.exitCode, 0) << inner.out;
    }

    std::vector<std::string> arguments(uint64_t size, uint64_t seed) const
    {
        return {"--target", target.string(), "--module",  "disk",  "--datatype", "pattern",
                "--interval", "PT15M",       "--timeout", "PT60S", "--exe",      utilityPath,
                "--args",   std::to_string(size), std::to_string(seed)};
    }

    // Runs a collection; fileSizeLimit (when not 0) limits the program's files.
    Outcome collect(uint64_t size, uint64_t seed, uint64_t fileSizeLimit = 0)
    {
        return ProgramRuns::runProgram(work, programPath, arguments(size, seed), {}, [fileSizeLimit] {
            if (fileSizeLimit != 0) {
                signal(SIGXFSZ, SIG_IGN);  // kept across exec: a write past the limit fails
                const rlimit limit = {fileSizeLimit, fileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
        });
    }

    std::map<std::string, std::string> filesInTarget() const
    {
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::directory_iterator(target))
            files[entry.path().filename().string()] = readFile(entry.path());
        return files;
    }

    // Three good collections; gives the files with their bytes.
    std::map<std::string, std::string> collectSomeFirst()
    {
        for (uint64_t seed = 1; seed <= 3; ++seed) {
            const Outcome outcome = collect(20000 * seed, seed);
            EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
        }
        const auto files = filesInTarget();
        EXPECT_EQ(files.size(), 3u);
        return files;
    }

    // After a failed run: the earlier files unchanged and valid; any other file fails
    // verification.
    void expectOnlyEarlierFilesVerify(const std::map<std::string, std::string>& earlier)
    {
        for (const auto& [name, bytes] : filesInTarget()) {
            std::string reason;
            const auto check = KelvraCorelib::DataLog::checkFileSignature((target / name).string(), reason);
            const auto before = earlier.find(name);
            if (before != earlier.end()) {
                EXPECT_EQ(check, KelvraCorelib::DataLog::Check::valid) << name;
                EXPECT_TRUE(bytes == before->second) << name << " changed";
            } else {
                EXPECT_EQ(check, KelvraCorelib::DataLog::Check::invalid) << name << " verifies with a part of the data";
            }
        }
        for (const auto& [name, bytes] : earlier)
            EXPECT_TRUE(fs::exists(target / name)) << name << " was lost";
    }

    void expectWriteError(const Outcome& outcome, const std::string& reason)
    {
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.out, "ERROR: Failed to write to data log file for target dir \"" + target.string() +
                                   "\": " + reason + "\n");
    }

    fs::path disk = work / "disk";
    bool mounted = false;
};

TEST_F(FullDisk, ADiskThatFillsUpMidWriteFailsTheRunAndKeepsEarlierFiles)
{
    mountSmallDisk(4 << 20);
    if (!mounted)
        return;
    const auto earlier = collectSomeFirst();
    const Outcome outcome = collect(16 << 20, 4);
    expectWriteError(outcome, "No space left on device");
    expectOnlyEarlierFilesVerify(earlier);
}

TEST_F(FullDisk, AFullDiskBeforeTheRunLeavesNoNewFile)
{
    mountSmallDisk(1 << 20);
    if (!mounted)
        return;
    const auto earlier = collectSomeFirst();
    {
        // Fill the disk to its last block.
        std::ofstream filler(disk / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    const Outcome outcome = collect(1000, 5);
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_EQ(outcome.out, "ERROR: Failed to open data log file for target dir \"" + target.string() +
                               "\": No space left on device\n");
    EXPECT_EQ(filesInTarget(), earlier);

    // With space again the next run collects as usual.
    fs::remove(disk / "filler");
    EXPECT_EQ(collect(1000, 6).exitCode, 0);
    EXPECT_EQ(filesInTarget().size(), earlier.size() + 1);
}

TEST_F(FullDisk, AFileSizeLimitMidWriteFailsTheRunAndKeepsEarlierFiles)
{
    const auto earlier = collectSomeFirst();
    const Outcome outcome = collect(4 << 20, 4, 1 << 20);
    expectWriteError(outcome, "File too large");
    expectOnlyEarlierFilesVerify(earlier);
}

}  // namespace
