#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/Exception.h"
#include "corelib/ProgramEntry.h"
#include "support/TestSupport.h"

using KelvraCorelib::Exception;
using KelvraCorelib::ParamStream;

namespace {

// What the next test application does; set by each test before it runs the entry.
struct Scenario {
    int32_t runState = 0;
    bool throwInConstructor = false;
    bool throwInDestructor = false;
    std::function<int()> run = [] { return 0; };
};

Scenario scenario;
bool runCalled = false;
bool destroyed = false;
std::vector<std::string> fatalLog;

class Sample {
public:
    KELVRA_ERROR_CLASS(Run_Failed);
};

void recordFatal(const Exception& error)
{
    for (const Exception& inner : error.nested) {
        fatalLog.push_back(inner.className + ": " + inner.getLogText());
    }
    fatalLog.push_back(error.className + ": " + error.getLogText());
}

// An application with a runState accessor, as the entry expects of an application frame.
class TestApplication {
public:
    TestApplication()
    {
        if (scenario.throwInConstructor) {
            throw Sample::Run_Failed("@test.construct{Construction failed};");
        }
    }

    ~TestApplication() noexcept(false)
    {
        destroyed = true;
        if (scenario.throwInDestructor) {
            throw std::runtime_error("destructor");
        }
    }

    int32_t runState() const { return scenario.runState; }

    int runGuarded()
    {
        return KelvraCorelib::runGuarded(
            [] {
                runCalled = true;
                return scenario.run();
            },
            recordFatal);
    }
};

// An application that keeps runState as a plain member.
class MemberStateApplication {
public:
    int32_t runState = 0;

    MemberStateApplication() { runState = scenario.runState; }

    int runGuarded()
    {
        runCalled = true;
        return 9;
    }
};

struct EntryResult {
    int exitCode;
    std::string output;
};

template <class Application>
EntryResult runEntry(const Scenario& next)
{
    scenario = next;
    runCalled = false;
    destroyed = false;
    fatalLog.clear();
    char program[] = "trawlex";
    char* argv[] = {program, nullptr};
    testing::internal::CaptureStdout();
    const int exitCode = KelvraCorelib::runProgram<Application>(1, argv);
    return {exitCode, testing::internal::GetCapturedStdout()};
}

Scenario running(std::function<int()> run)
{
    Scenario next;
    next.run = std::move(run);
    return next;
}

}  // namespace

TEST(ProgramEntry, ReturnsTheRunResultAndDestroysTheApplication)
{
    for (const int code : {0, 4, 5, 6, 7, 8}) {
        const EntryResult result = runEntry<TestApplication>(running([code] { return code; }));
        EXPECT_EQ(result.exitCode, code);
        EXPECT_EQ(result.output, "");
        EXPECT_TRUE(runCalled);
        EXPECT_TRUE(destroyed);
        EXPECT_TRUE(fatalLog.empty());
    }
}

TEST(ProgramEntry, RunStateAnsweredOrFailedRunsNothing)
{
    Scenario answered;
    answered.runState = 2;
    EntryResult result = runEntry<TestApplication>(answered);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_FALSE(runCalled);
    EXPECT_TRUE(destroyed);

    Scenario failed;
    failed.runState = 3;
    result = runEntry<TestApplication>(failed);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_FALSE(runCalled);
    EXPECT_TRUE(destroyed);

    result = runEntry<MemberStateApplication>(answered);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_FALSE(runCalled);
    result = runEntry<MemberStateApplication>(failed);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_FALSE(runCalled);
    result = runEntry<MemberStateApplication>(Scenario());
    EXPECT_EQ(result.exitCode, 9);
    EXPECT_TRUE(runCalled);
}

TEST(ProgramEntry, ExceptionIsWrittenWithoutClassNameOrNewlineAndLogged)
{
    EntryResult result = runEntry<TestApplication>(running([]() -> int {
        throw Sample::Run_Failed("@test.run.failed{Run failed (%)};", " @logsrc{file=\"x.cpp\" line=3};",
                                 ParamStream() << "disk full");
    }));
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, " Run failed (disk full)");
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(fatalLog, std::vector<std::string>(
                            {"Run_Failed: @test.run.failed{Run failed (%)}; @logsrc{file=\"x.cpp\" line=3};"}));

    // The base class renders the same way; nested errors reach the log with it.
    result = runEntry<TestApplication>(running([]() -> int {
        Exception outer("@test.outer{Outer};");
        outer.nested.push_back(Sample::Run_Failed("@test.inner{Inner};"));
        throw outer;
    }));
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, " Outer\nRun_Failed: Inner");
    EXPECT_EQ(fatalLog, std::vector<std::string>({"Run_Failed: @test.inner{Inner};", "Exception: @test.outer{Outer};"}));
}

TEST(ProgramEntry, StandardAndUnknownErrorsGetTheGeneralTexts)
{
    struct Case {
        std::function<int()> run;
        std::string output;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {[]() -> int { return std::vector<int>().at(3); }, "ERROR: STD range error",
         "Exception: @std-range-error{STD range error};"},
        {[]() -> int { throw std::bad_alloc(); }, "ERROR: STD out of memory",
         "Exception: @std-out-of-memory{STD out of memory};"},
        {[]() -> int { throw std::bad_array_new_length(); }, "ERROR: STD out of memory",
         "Exception: @std-out-of-memory{STD out of memory};"},
        {[]() -> int { throw 17; }, "ERROR: Unknown exception", "Exception: @unknown-exception{Unknown exception};"},
        {[]() -> int { throw std::runtime_error("x"); }, "ERROR: Unknown exception",
         "Exception: @unknown-exception{Unknown exception};"},
        {[]() -> int { throw std::range_error("x"); }, "ERROR: STD range error",
         "Exception: @std-range-error{STD range error};"},
    };
    for (const Case& item : cases) {
        const EntryResult result = runEntry<TestApplication>(running(item.run));
        EXPECT_EQ(result.exitCode, 2) << item.output;
        EXPECT_EQ(result.output, item.output);
        EXPECT_EQ(fatalLog, std::vector<std::string>({item.logged}));
    }
}

TEST(ProgramEntry, FailuresWhileLoggingAreSwallowed)
{
    const std::vector<std::function<int()>> runs = {
        []() -> int { throw Exception("@test.failed{Failed};"); },
        []() -> int { throw std::bad_alloc(); },
        []() -> int { throw 1; },
    };
    const std::vector<std::function<void(const Exception&)>> loggers = {
        [](const Exception&) { throw Exception("@test.log{Log failed};"); },
        [](const Exception&) { throw std::bad_alloc(); },
        [](const Exception&) { throw 3; },
        {},
    };
    const std::vector<std::string> outputs = {" Failed", "ERROR: STD out of memory", "ERROR: Unknown exception"};
    for (size_t r = 0; r < runs.size(); ++r) {
        for (const auto& logger : loggers) {
            testing::internal::CaptureStdout();
            const int result = KelvraCorelib::runGuarded(runs[r], logger);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), outputs[r]);
            EXPECT_EQ(result, 2);
        }
    }
}

TEST(ProgramEntry, ErrorsOfConstructionAndDestructionGiveTwo)
{
    Scenario failing;
    failing.throwInConstructor = true;
    EntryResult result = runEntry<TestApplication>(failing);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, "");
    EXPECT_FALSE(runCalled);
    EXPECT_FALSE(destroyed);

    Scenario throwingEnd = running([] { return 7; });
    throwingEnd.throwInDestructor = true;
    result = runEntry<TestApplication>(throwingEnd);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(runCalled);
    EXPECT_TRUE(destroyed);

    throwingEnd.runState = 2;
    result = runEntry<TestApplication>(throwingEnd);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_FALSE(runCalled);
}

#ifndef _WIN32
// The real process: exit code, exact bytes on standard output, and signals that only set the flag.
namespace {

TestSupport::Outcome runHelper(const std::vector<std::string>& arguments)
{
    const TestSupport::TempDir folder("trawlex-entry");
    return TestSupport::runProgram(folder.path(), TestSupport::helper("entry_app"), arguments);
}

}  // namespace

TEST(ProgramEntryProcess, ExitCodesAndOutputOfTheProcess)
{
    TestSupport::Outcome result = runHelper({"code", "8"});
    EXPECT_EQ(result.exitCode, 8);
    EXPECT_EQ(result.out, "[destroyed]");

    result = runHelper({"exception"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, " Run failed (disk full)[fatal @helper.run.failed{Run failed (%)};][destroyed]");

    result = runHelper({"constructor"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "");

    result = runHelper({"destructor"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.out, "[destroyed]");

    result = runHelper({"args", "one", "two words"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "(program)\nargs\none\ntwo words\n[destroyed]");
}

TEST(ProgramEntryProcess, StopSignalsOnlySetTheFlag)
{
    TestSupport::Outcome result = runHelper({"signals"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "before=0 after=1[destroyed]");

    // The handler serves once: the same signal again ends the process.
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        result = runHelper({"twice", std::to_string(signalNumber)});
        EXPECT_EQ(result.signal, signalNumber);
        EXPECT_EQ(result.out, "after=1");
    }
}
#endif
