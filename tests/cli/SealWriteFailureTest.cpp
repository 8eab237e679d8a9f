// Sealed collections in which one write fails (ENOSPC, injected by strace): each write of a run
// in turn, until a run makes fewer writes than the one to fail. A run either exits 0 with a
// new file, or fails and leaves no working file, no new file and no number taken from the
// chain; at the end every file verifies under the store's key, as one chain without a gap.
#include <gtest/gtest.h>

#include <unistd.h>

#include <set>

#include "cli/ProgramRuns.h"
#include "corelib/DateTime.h"

namespace {

using namespace ProgramRuns;

const std::string stracePath = "/usr/bin/strace";
const std::string sealPath = std::string(TEST_BINARY_DIR) + "/tools/trawlex-seal/trawlex-seal";

class SealWriteFailure : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        fs::create_directory(target);
        setenv("TRAWLEX_SEAL_DIR", store.c_str(), 1);
    }

    // Why strace cannot stand in for a full disk here, or "".
    std::string straceProblem() const
    {
        if (TestSupport::sanitizedBuild)
            return "a sanitizer's run-time does not survive faults injected by strace (the plain build runs it)";
        if (access(stracePath.c_str(), X_OK) != 0)
            return "strace is not installed";
        const Outcome probe = runProgram(
            work, stracePath, {"-o", "/dev/null", "-e", "trace=write", "-e", "inject=write:error=ENOSPC:when=1", "/bin/echo", "x"});
        if (probe.err.find("No space left on device") == std::string::npos)
            return "strace cannot trace or inject faults here: " + probe.err;
        return "";
    }

    // A collection whose n-th write (of trawlex itself, not of its utility) fails; true when
    // it made that many writes.
    bool collectFailingWrite(int n, Outcome& outcome) const
    {
        const fs::path trace = work / "trace";
        outcome = runProgram(work, stracePath,
                             {"-o", trace.string(), "-e", "trace=write", "-e",
                              "inject=write:error=ENOSPC:when=" + std::to_string(n), programPath,
                              "--target", target.string(), "--module", "os", "--datatype", "seq", "--interval", "PT1M",
                              "--timeout", "PT30S", "--exe", "/usr/bin/seq", "--args", "1 30000"});
        return readFile(trace).find("(INJECTED)") != std::string::npos;
    }

    std::set<fs::path> finalFiles() const
    {
        const auto files = TestSupport::filesEndingIn(target, ".data");
        return {files.begin(), files.end()};
    }

    fs::path store = work / "store";
};

TEST_F(SealWriteFailure, ARunWithAFailedWriteLeavesAFileThatVerifiesOrNothing)
{
    const std::string problem = straceProblem();
    if (!problem.empty())
        GTEST_SKIP() << problem;
    // Epochs until tomorrow only: a store of two years takes seconds to make.
    const int64_t dayAndMore = 26 * 3600000LL;
    const std::string tomorrow = KelvraCorelib::DateTime(KelvraCorelib::DateTime::now().count + dayAndMore).toText(false);
    ASSERT_EQ(runProgram(work, sealPath, {"init", "--until", tomorrow}).exitCode, 0);
    size_t kept = 0;
    bool injected = true;
    for (int n = 1; injected; ++n) {
        ASSERT_LT(n, 200) << "a run keeps writing";
        const std::set<fs::path> before = finalFiles();
        Outcome run;
        injected = collectFailingWrite(n, run);
        EXPECT_TRUE(TestSupport::filesEndingIn(target, ".make").empty()) << "write " << n << ": " << run.out;
        const std::set<fs::path> after = finalFiles();
        if (run.exitCode == 0) {
            EXPECT_EQ(after.size(), before.size() + 1) << "write " << n;
            kept = after.size();
        } else {
            EXPECT_EQ(after, before) << "write " << n << ": " << run.out;
        }
        if (!injected) {
            EXPECT_EQ(run.exitCode, 0) << run.out;
        }
    }
    const Outcome check = runProgram(work, verifierPath,
                                     {"--seal-key", (store / "verification.key").string(), "--state",
                                      (work / "witness").string(), "--new-state", target.string()});
    EXPECT_EQ(check.exitCode, 0) << check.out;
    EXPECT_NE(check.out.find(std::to_string(kept) + " valid, 0 invalid"), std::string::npos) << check.out;
}

}  // namespace
