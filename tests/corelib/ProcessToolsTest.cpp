#include "corelib/ProcessTools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "support/TestSupport.h"

using KelvraCorelib::ProcessTools;
using KelvraCorelib::WideString;

namespace {

using TestSupport::helper;

std::string scratchFile(const std::string& name)
{
    return TestSupport::testFolder() + name;
}

using Args = std::vector<std::string>;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool waitUntilGone(int pid, double seconds)
{
    return TestSupport::goneWithin(pid, std::chrono::milliseconds(int64_t(seconds * 1000)));
}

int readPid(const std::string& file)
{
    return std::atoi(TestSupport::readFile(file).c_str());
}

// Runs a helper with capture.
bool run(const std::string& name, const std::string& arguments, uint64_t timeoutMs, std::string& output,
         int32_t& exitCode, int32_t* state = nullptr)
{
    const auto process = ProcessTools::create(helper(name), arguments, true);
    const bool result = ProcessTools::runAndWait(*process, timeoutMs, &output);
    exitCode = process->exitCode;
    if (state != nullptr) {
        *state = process->state;
    }
    return result;
}

}  // namespace

// ---- Argument texts -------------------------------------------------------------------------

TEST(ProcessToolsArguments, SplitsAtSpacesOutsideQuotes)
{
    EXPECT_EQ(ProcessTools::splitArguments("one \"two words\" three"), (Args{"one", "two words", "three"}));
    EXPECT_EQ(ProcessTools::splitArguments("  a   b  "), (Args{"a", "b"}));
    EXPECT_EQ(ProcessTools::splitArguments("a\tb"), (Args{"a\tb"}));
    EXPECT_EQ(ProcessTools::splitArguments(""), Args{});
    EXPECT_EQ(ProcessTools::splitArguments("   "), Args{});
    // Quotes inside an argument stay; only enclosing ones go.
    EXPECT_EQ(ProcessTools::splitArguments("--name=\"a b\" x"), (Args{"--name=\"a b\"", "x"}));
    // An explicitly empty argument before the end is kept; a lone quote character is no pair.
    EXPECT_EQ(ProcessTools::splitArguments("a \"\" b"), (Args{"a", "", "b"}));
    EXPECT_EQ(ProcessTools::splitArguments("\" x"), (Args{"\" x"}));
}

TEST(ProcessToolsArguments, BackslashInsideQuotesKeepsBothCharacters)
{
    EXPECT_EQ(ProcessTools::splitArguments("\"a\\\"b c\" d"), (Args{"a\\\"b c", "d"}));
    EXPECT_EQ(ProcessTools::splitArguments("\"c:\\dir\\x\""), (Args{"c:\\dir\\x"}));
    // Outside quotes a backslash is an ordinary character and does not protect a space.
    EXPECT_EQ(ProcessTools::splitArguments("a\\ b"), (Args{"a\\", "b"}));
    // A backslash that ends the text is kept.
    EXPECT_EQ(ProcessTools::splitArguments("x \"ab\\"), (Args{"x", "\"ab\\"}));
}

TEST(ProcessToolsArguments, SingleQuotesGoOnlyAroundTheLastArgument)
{
    EXPECT_EQ(ProcessTools::splitArguments("a 'b'"), (Args{"a", "b"}));
    EXPECT_EQ(ProcessTools::splitArguments("'b' a"), (Args{"'b'", "a"}));
    EXPECT_EQ(ProcessTools::splitArguments("a \"last\""), (Args{"a", "last"}));
    EXPECT_EQ(ProcessTools::splitArguments("'"), (Args{"'"}));
}

TEST(ProcessToolsArguments, JoinQuotesArgumentsWithSpaces)
{
    EXPECT_EQ(ProcessTools::joinArguments({u"one", u"two words", u"three"}), u"one \"two words\" three");
    EXPECT_EQ(ProcessTools::joinArguments({u"", u"a", u"", u"b"}), u"a b");
    EXPECT_EQ(ProcessTools::joinArguments({u"\"already quoted\"", u"x"}), u"\"already quoted\" x");
    EXPECT_EQ(ProcessTools::joinArguments({}), u"");

    const auto process = ProcessTools::create("prog", "one \"two words\" three", true);
    EXPECT_EQ(process->wideArguments, (std::vector<WideString>{u"one", u"two words", u"three"}));
    EXPECT_EQ(ProcessTools::joinArguments(process->wideArguments), u"one \"two words\" three");
    EXPECT_EQ(process->widePath, u"prog");
    EXPECT_EQ(process->exitCode, -1);
    EXPECT_EQ(process->state, ProcessTools::stateCreated);
}

TEST(ProcessToolsArguments, CommandLineIsSplitAsTheRuntimeDoes)
{
    using P = ProcessTools;
    EXPECT_EQ(P::splitCommandLine(" one \"two words\"\tthree "), (Args{"one", "two words", "three"}));
    EXPECT_EQ(P::splitCommandLine("--name=\"a b\" x\"\"y \"\""), (Args{"--name=a b", "xy", ""}));
    // Backslashes count only before a quote: 2n give n, 2n + 1 give n and the quote itself.
    EXPECT_EQ(P::splitCommandLine("a\\\\b \\\"q \\\\\"c d\""), (Args{"a\\\\b", "\"q", "\\c d"}));
    EXPECT_EQ(P::splitCommandLine("\"say \\\"hi\\\"\" \"x\"\"y\""), (Args{"say \"hi\"", "x\"y"}));
    EXPECT_EQ(P::splitCommandLine("  "), Args{});

    // The joined line keeps what the split text meant, also for quotes inside an argument.
    EXPECT_EQ(P::joinArguments({u"--name=\"a b\"", u"a\tb"}), u"--name=\"a b\" \"a\tb\"");
    const auto passed = [](const std::string& text) {
        std::vector<WideString> wide;
        for (const std::string& argument : P::splitArguments(text)) {
            wide.push_back(WideString(argument.begin(), argument.end()));
        }
        const WideString joined = P::joinArguments(wide);
        return P::splitCommandLine(std::string(joined.begin(), joined.end()));
    };
    EXPECT_EQ(passed("one \"two words\" three"), (Args{"one", "two words", "three"}));
    EXPECT_EQ(passed("--name=\"a b\""), (Args{"--name=a b"}));
    EXPECT_EQ(passed("\"say \\\"hi\\\"\""), (Args{"say \"hi\""}));
    EXPECT_EQ(passed("\"c:\\dir\\x\" 'a' 'b'"), (Args{"c:\\dir\\x", "'a'", "b"}));
}

// ---- Runs that end in time ------------------------------------------------------------------

TEST(ProcessToolsRun, ReportsExitCodeAndAppendsOutput)
{
    std::string output = "kept:";
    int32_t exitCode = 0;
    int32_t state = 0;
    ASSERT_TRUE(run("proc_exit", "7 hello", 30000, output, exitCode, &state));
    EXPECT_EQ(output, "kept:hello");
    EXPECT_EQ(exitCode, 7);
    EXPECT_EQ(state, ProcessTools::stateFinished);

    output.clear();
    ASSERT_TRUE(run("proc_exit", "0", 30000, output, exitCode));
    EXPECT_EQ(output, "");
    EXPECT_EQ(exitCode, 0);
}

TEST(ProcessToolsRun, ProgramEndedBySignalReportsShellStyleCode)
{
    std::string output;
    int32_t exitCode = 0;
    ASSERT_TRUE(run("proc_exit", "signal " + std::to_string(SIGUSR1), 30000, output, exitCode));
    EXPECT_EQ(exitCode, 128 + SIGUSR1);
}

TEST(ProcessToolsRun, WithoutCaptureWaitsForTheExitCode)
{
    const auto process = ProcessTools::create(helper("proc_exit"), "5", true);
    ASSERT_TRUE(ProcessTools::runAndWait(*process, 30000, nullptr));
    EXPECT_EQ(process->exitCode, 5);
    EXPECT_FALSE(process->capturing);
}

namespace {

// Byte i of proc_write's output is i % 251; the offset of the first byte that is not, or size.
size_t firstWrongByte(const std::string& output)
{
    for (size_t i = 0; i < output.size(); ++i) {
        if (static_cast<unsigned char>(output[i]) != i % 251) {
            return i;
        }
    }
    return output.size();
}

}  // namespace

TEST(ProcessToolsRun, CapturesLargeOutputByteForByte)
{
    const size_t total = 12 * 1024 * 1024 + 12345;
    std::string output;
    int32_t exitCode = -1;
    ASSERT_TRUE(run("proc_write", std::to_string(total), 120000, output, exitCode));
    EXPECT_EQ(exitCode, 0);
    ASSERT_EQ(output.size(), total);
    EXPECT_EQ(firstWrongByte(output), total);
    EXPECT_LE(output.capacity(), 2 * total);
}

TEST(ProcessToolsRun, CapturesAStreamThatPausesByteForByte)
{
    // Writes of up to 200 KB with pauses: the capture reads such a stream after pauses of its
    // own; nothing may be lost, doubled or held back past the program's end.
    const size_t total = 3 * 1024 * 1024 + 777;
    std::string output;
    int32_t exitCode = -1;
    ASSERT_TRUE(run("proc_write", std::to_string(total) + " 300", 120000, output, exitCode));
    EXPECT_EQ(exitCode, 0);
    ASSERT_EQ(output.size(), total);
    EXPECT_EQ(firstWrongByte(output), total);
}

TEST(ProcessToolsRun, PassesSplitArgumentsWithoutShell)
{
    std::string output;
    int32_t exitCode = -1;
    ASSERT_TRUE(run("proc_args", "one \"two words\" $HOME;* \"a\\\"b\" --name=\"a b\" \"say \\\"hi\\\"\"", 30000,
                    output, exitCode));
    EXPECT_EQ(output, "[one]\n[two words]\n[$HOME;*]\n[a\"b]\n[--name=a b]\n[say \"hi\"]\n");
}

TEST(ProcessToolsRun, ChildStartsCleanInItsOwnGroup)
{
    // Dispositions and the mask of this program must not leak into the child.
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTERM, &ignore, &previous);
    sigset_t block;
    sigset_t previousMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &previousMask);

    std::string output;
    int32_t exitCode = -1;
    const bool result = run("proc_descriptors", "", 30000, output, exitCode);

    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    sigaction(SIGTERM, &previous, nullptr);
    ASSERT_TRUE(result);
    EXPECT_EQ(output, "group=own\nreadend=closed\nsigterm=default\nmask=empty\n");
}

TEST(ProcessToolsRun, InheritedIgnoredChildSignalDoesNotLoseTheExitCode)
{
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);
    std::string output;
    int32_t exitCode = -1;
    const bool result = run("proc_exit", "3 done", 30000, output, exitCode);
    sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_TRUE(result);
    EXPECT_EQ(exitCode, 3);
    EXPECT_EQ(output, "done");
}

TEST(ProcessToolsRun, PathIsRunAsGivenWithoutSearch)
{
    // "date" exists on the PATH as well; the file in the working directory must run.
    const TestSupport::TempDir folder("trawlex-path");
    for (const std::string name : {"date", "mytool"})
        TestSupport::writeScript(folder / name, "echo local-" + name + " \"$1\"");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    std::string outputs[3];
    bool results[3];
    const char* paths[3] = {"date", "mytool", "sh"};
    for (int i = 0; i < 3; ++i) {
        int32_t exitCode = -1;
        results[i] = ProcessTools::runAndWait(*ProcessTools::create(paths[i], "\"x y\"", true), 30000, &outputs[i]);
        (void)exitCode;
    }
    std::filesystem::current_path(previous);
    EXPECT_TRUE(results[0]);
    EXPECT_EQ(outputs[0], "local-date x y\n");
    EXPECT_TRUE(results[1]);
    EXPECT_EQ(outputs[1], "local-mytool x y\n");
    EXPECT_FALSE(results[2]) << "found on the PATH";
}

TEST(ProcessToolsRun, GrandchildHoldingThePipeDoesNotHoldTheRun)
{
    const std::string pidFile = scratchFile("holder");
    std::string output;
    int32_t exitCode = -1;
    const auto start = std::chrono::steady_clock::now();
    const bool result = run("proc_grandchild", "exit " + pidFile + " 30 3", 60000, output, exitCode);
    const double elapsed = secondsSince(start);
    const int grandchild = readPid(pidFile);
    // The process object is gone; what the ended program left behind is not its to end.
    const bool alive = grandchild > 1 && kill(grandchild, 0) == 0;
    if (grandchild > 1) {
        kill(grandchild, SIGKILL);
    }
    std::remove(pidFile.c_str());

    EXPECT_TRUE(result);
    EXPECT_EQ(exitCode, 3);
    EXPECT_EQ(output, "child\n");
    EXPECT_TRUE(alive);
    EXPECT_LT(elapsed, 20.0) << "the run waited for the grandchild";
}

TEST(ProcessToolsRun, HugeTimeLimitDoesNotOverflow)
{
    std::string output;
    int32_t exitCode = -1;
    EXPECT_TRUE(run("proc_exit", "0 x", UINT64_MAX, output, exitCode));
    EXPECT_EQ(output, "x");
}

// ---- Time-outs ------------------------------------------------------------------------------

TEST(ProcessToolsTimeout, ProgramThatQuitsOnRequest)
{
    std::string output = "old";
    int32_t exitCode = -1;
    int32_t state = -1;
    EXPECT_FALSE(run("proc_hang", "120", 500, output, exitCode, &state));
    EXPECT_EQ(output, "");
    EXPECT_EQ(state, ProcessTools::stateFinished);
    EXPECT_EQ(exitCode, 128 + SIGTERM);
}

TEST(ProcessToolsTimeout, ProgramIgnoringTheRequestIsKilledAfterTheGrace)
{
    const std::string pidFile = scratchFile("stubborn");
    const auto process = ProcessTools::create(helper("proc_ignore_term"), pidFile, true);
    std::string output;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ProcessTools::runAndWait(*process, 3000, &output));
    const double elapsed = secondsSince(start);
    const int pid = readPid(pidFile);
    std::remove(pidFile.c_str());

    EXPECT_EQ(output, "");
    EXPECT_EQ(process->state, ProcessTools::stateTerminated);
    EXPECT_EQ(process->processId, 0u);
    EXPECT_FALSE(process->isRunning());
    ASSERT_GT(pid, 1);
    EXPECT_TRUE(waitUntilGone(pid, 10.0));
    EXPECT_GE(elapsed, 3.4) << "killed before the grace had passed";
}

TEST(ProcessToolsTimeout, GrandchildrenGoWithTheProgram)
{
    // "mixed": the program ends on the request within the grace, its child ignores it.
    for (const std::string mode : {"hang", "stubborn", "mixed"}) {
        SCOPED_TRACE(mode);
        const std::string pidFile = scratchFile("grandchild-" + mode);
        std::string output;
        int32_t exitCode = -1;
        EXPECT_FALSE(run("proc_grandchild", mode + " " + pidFile + " 120", 3000, output, exitCode));
        const int grandchild = readPid(pidFile);
        std::remove(pidFile.c_str());
        ASSERT_GT(grandchild, 1);
        const bool gone = waitUntilGone(grandchild, 10.0);
        if (!gone) {
            kill(grandchild, SIGKILL);
        }
        EXPECT_TRUE(gone);
        EXPECT_EQ(output, "");
    }
}

TEST(ProcessToolsTimeout, MemoryPressureEndsTheRunWithoutLeftovers)
{
    // The capture may use 700 MiB more address space: the output grows to 256 MiB, then larger
    // steps are refused. Either way the run fails soon, by result, and leaves no process.
    for (const std::string timeout : {"60000", "2000"}) {
        SCOPED_TRACE(timeout);
        const std::string pidFile = scratchFile("limited-" + timeout);
        const std::string command = "'" + helper("proc_capture_limited") + "' 700 " + timeout + " '" + pidFile + "'";
        const auto start = std::chrono::steady_clock::now();
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char buffer[256] = {};
        const size_t length = std::fread(buffer, 1, sizeof buffer - 1, pipe);
        const int status = pclose(pipe);
        const double elapsed = secondsSince(start);
        std::remove(pidFile.c_str());
        const std::string report(buffer, length);
        if (report == "unsupported") {
            GTEST_SKIP() << "address-space limits do not work under the address sanitizer";
        }
        EXPECT_EQ(status, 0);
        EXPECT_EQ(report, "result=0 size=0 left=gone");
        EXPECT_LT(elapsed, 30.0);
    }
}

TEST(ProcessToolsTimeout, OutputPastTheLimitStopsTheGroupLikeATimeOut)
{
    // Endless output: the run fails soon, keeps nothing, and the program and the child it
    // started (which holds the pipe too) are gone; the output's room stayed near the limit.
    const std::string pidFile = scratchFile("endless");
    const auto process = ProcessTools::create(
        "/bin/sh", "-c \"cat /dev/zero & echo $! > " + pidFile + "; exec cat /dev/zero\"", true);
    process->outputLimit = 3 * 1024 * 1024 + 5;
    std::string output;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ProcessTools::runAndWait(*process, 60000, &output));
    EXPECT_LT(secondsSince(start), 30.0);
    EXPECT_TRUE(process->outputLimitPassed);
    EXPECT_FALSE(process->isRunning());
    EXPECT_EQ(output, "");
    const int child = readPid(pidFile);
    std::remove(pidFile.c_str());
    ASSERT_GT(child, 1);
    EXPECT_TRUE(waitUntilGone(child, 10.0));

    // Exactly the limit is kept; one byte more is too much. The flag belongs to the last run.
    constexpr uint64_t minimumCapture = 64 * 1024;
    for (const uint64_t size : {uint64_t(0), uint64_t(1), uint64_t(200000), uint64_t(3000000)}) {
        for (const size_t limit : {size_t(size), size_t(size + 1)}) {
            if (limit == 0) {
                continue;
            }
            SCOPED_TRACE(std::to_string(size) + " bytes, limit " + std::to_string(limit));
            const auto sized = ProcessTools::create("/bin/sh", "-c \"head -c " + std::to_string(size) + " /dev/zero\"", true);
            sized->outputLimitPassed = true;
            sized->outputLimit = limit;
            std::string sizedOutput;
            EXPECT_TRUE(ProcessTools::runAndWait(*sized, 30000, &sizedOutput));
            EXPECT_FALSE(sized->outputLimitPassed);
            EXPECT_EQ(sizedOutput, std::string(size, '\0'));
            if (size > minimumCapture) {
                EXPECT_LE(sizedOutput.capacity(), limit + 1);
            }
        }
        if (size > 0) {
            const auto over = ProcessTools::create("/bin/sh", "-c \"head -c " + std::to_string(size) + " /dev/zero\"", true);
            over->outputLimit = size - 1;
            std::string overOutput = "";
            EXPECT_FALSE(ProcessTools::runAndWait(*over, 30000, &overOutput));
            EXPECT_TRUE(over->outputLimitPassed);
            EXPECT_EQ(overOutput, "");
        }
    }
    // A quarter of the physical memory, at most 1 GiB.
    const uint64_t physical = uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE));
    EXPECT_EQ(ProcessTools::defaultOutputLimit(), std::min(uint64_t(1) << 30, physical / 4));
}

// ---- Start failures and ownership ----------------------------------------------------------

TEST(ProcessToolsStart, ProgramThatCannotBeStarted)
{
    for (const std::string& path : {std::string("/nonexistent/program"), std::string(TEST_SOURCE_DIR) + "/CMakeLists.txt",
                                   std::string("")}) {
        SCOPED_TRACE(path);
        const auto process = ProcessTools::create(path, "a b", true);
        std::string output;
        EXPECT_FALSE(ProcessTools::runAndWait(*process, 5000, &output));
        EXPECT_EQ(process->state, ProcessTools::stateCreated);
        EXPECT_EQ(process->pipeRead, -1);
        EXPECT_FALSE(process->capturing);
    }
}

TEST(ProcessToolsOwner, DroppingARunningProgramEndsItsGroup)
{
    const std::string pidFile = scratchFile("owned");
    auto running = ProcessTools::create(helper("proc_grandchild"), "stubborn " + pidFile + " 120", true);
    ASSERT_TRUE(running->start());
    EXPECT_FALSE(running->start());
    EXPECT_FALSE(running->setUpCapture());
    const int child = static_cast<int>(running->processId);
    const int grandchild = TestSupport::waitForPid(pidFile, std::chrono::seconds(10));
    std::remove(pidFile.c_str());
    ASSERT_GT(grandchild, 1);
    EXPECT_TRUE(running->isRunning());
    running.reset();
    EXPECT_TRUE(waitUntilGone(child, 10.0));
    const bool gone = waitUntilGone(grandchild, 10.0);
    if (!gone) {
        kill(grandchild, SIGKILL);
    }
    EXPECT_TRUE(gone);

    // The same object runs again; once ended it answers no more requests.
    const auto finished = ProcessTools::create(helper("proc_exit"), "0", true);
    ASSERT_TRUE(ProcessTools::runAndWait(*finished, 30000, nullptr));
    ASSERT_TRUE(ProcessTools::runAndWait(*finished, 30000, nullptr));
    EXPECT_FALSE(finished->isRunning());
    EXPECT_FALSE(finished->askToQuit());
    EXPECT_FALSE(finished->terminate());
}
