// Black-box tests of the built trawlex program: real command lines, configuration files and
// shell-script utilities in temporary folders; standard output byte for byte, standard
// error empty, the exit code and the files written.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/ProgramRuns.h"

namespace fs = std::filesystem;
using namespace TestSupport;
using ProgramRuns::programPath;
using ProgramRuns::verifierPath;

namespace {

using TrawlexProgram = ProgramRuns::ProgramTest;

TEST_F(TrawlexProgram, CollectsTheUtilityOutputIntoOneVerifiedFile)
{
    const fs::path exe = utility("hello.sh", "printf 'hello\\n'; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done");
    // A debug level changes what is logged, never what is printed.
    const Outcome outcome =
        run(settings(exe, {"--debug", "flood", "--args", "-x", "--name", "\"two words\"", "--target", "y"}));
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.exitCode, 0);
    const std::string data = onlyVerifiedData();
    // Everything after --args belongs to the utility, joined with single spaces.
    EXPECT_NE(data.find("source.exeargs=-x --name \"two words\" --target y\n"), std::string::npos) << data;
    EXPECT_NE(data.find("@DATA:\nhello\n[-x]\n[--name]\n[two words]\n[--target]\n[y]\n"), std::string::npos) << data;
    EXPECT_NE(data.find("source.offset=0\n"), std::string::npos) << data;
    EXPECT_NE(data.find("source.application=Trawlex\n"), std::string::npos) << data;
}


// A configuration file giving every setting, for the utility.
std::string configurationText(const fs::path& target, const fs::path& exe, const std::string& timeout = "30S")
{
    return "trawlex (String) = \"\" {\n"
           "  target (String) = \"\" {\n"
           "    dir (DirName) = \"" + target.string() + "\" { }\n"
           "    module (String) = \"conf\" { }\n"
           "    datatype (String) = \"sample\" { }\n"
           "    interval (TimeSpan) = \"15M\" { }\n"
           "    offset (TimeSpan) = \"PT1M\" { }\n"
           "  }\n"
           "  executable (String) = \"\" {\n"
           "    path (FileName) = \"" + exe.string() + "\" { }\n"
           "    args (String) = \"from-file ${trawlex.target.module}\" { }\n"
           "    timeout (TimeSpan) = \"" + timeout + "\" { }\n"
           "  }\n"
           "}\n";
}

TEST_F(TrawlexProgram, StandardOptionsAnswerWithoutRunning)
{
    const std::string help =
        "Usage: " + programPath + " [options]\n"
        "Options:\n"
        "  -?\n"
        "    --help               : Display this help text\n"
        "  --version              : Display version information\n"
        "  --revision             : Display SVN revision information\n"
        "  --debug <arg>          : Set debug level\n"
        "  --testmode             : Run in test mode\n"
        "  -c <arg>               : Configuration file\n"
        "  --target <arg>         : Target dir\n"
        "  --module <arg>         : Module (general type)\n"
        "  --datatype <arg>       : Data type (specific type)\n"
        "  --interval <arg>       : Time between collector runs (P-notation)\n"
        "  --offset <arg>         : Offset from aligned time (optional, P-notation)\n"
        "  --exe <arg>            : Path to executable for utility\n"
        "  --timeout <arg>        : Executable timeout (P-notation)\n"
        "  --infile <arg>         : File name of exe-output / trawlex-input\n"
        "  --skip-onregex <arg>   : Skip polling if output matches regex\n"
        "  --skip-onerror         : Skip polling data on exe error\n"
        "  --args <arg>           : Arguments to executable\n"
        "\n"
        "Everything following --args will be passed on to the executable.\n"
        "The executable timeout value is the longest time the executable is allowed to run. If it has not ended by "
        "this time, it will be killed.\n"
        "If --infile is set the content of this file will be read instead of the executable's stdout; it is then "
        "assumed that the executable will write to this file, i.e. that there is match with executable's command "
        "line. The file will be deleted after reading unless test mode is used.\n"
        "If run in test mode, trawlex will not return error code when the utility fails.\n"
        "If --skip-onerror true is set, no data will be collected if the utility returns a non-zero exit code.\n";
    const fs::path exe = utility("hello.sh", "echo hello");

    Outcome outcome = run({"--help"});
    EXPECT_EQ(outcome.out, help);
    EXPECT_EQ(outcome.exitCode, 0);
    // With every setting given, help still wins and nothing is collected.
    outcome = run(settings(exe, {"-?", "--version", "--args", "x"}));
    EXPECT_EQ(outcome.out, help + "\nVersion=6.3.0.0");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(dataFiles().empty());

    outcome = run({"--version"});
    EXPECT_EQ(outcome.out, "Version=6.3.0.0");
    EXPECT_EQ(outcome.exitCode, 0);
    outcome = run({"--revision", "--version"});
    EXPECT_EQ(outcome.out, "Version=6.3.0.0\nRevision=16501");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.exitCode, 0);
}

TEST_F(TrawlexProgram, ParseErrorsAreReportedAndTheRunGoesOn)
{
    const fs::path exe = utility("hello.sh", "echo hello");
    // The last word lacks its value: reported, then the run uses what was recorded.
    Outcome outcome = run(settings(exe, {"--args", "", "--infile"}));
    EXPECT_EQ(outcome.out, "");  // "--infile" after "--args" belongs to the utility
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(dataFiles().size(), 1u);
    fs::remove_all(target);

    outcome = run(settings(exe, {"--skip-onerror", "true", "--unknown", "--offset"}));
    EXPECT_EQ(outcome.out,
              "ERROR: Missing argument to 'offset' option\n"
              "ERROR: Query_NotFound: Configuration entry \"%args%\" was not found. Please see --help.\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.exitCode, 5);

    // Nothing after the failing word is recorded, so the utility's arguments are missing.
    outcome = run(settings(exe, {"-cx", "--args", "a"}));
    EXPECT_EQ(outcome.out,
              "ERROR: Option 'c' requires argument but is located inside an options token\n"
              "ERROR: Query_NotFound: Configuration entry \"%args%\" was not found. Please see --help.\n");
    EXPECT_EQ(outcome.exitCode, 5);
    EXPECT_TRUE(dataFiles().empty());
}

TEST_F(TrawlexProgram, SettingErrorsChooseTheirExitCodes)
{
    const fs::path exe = utility("hello.sh", "echo hello");
    writeFile(work / "plain-file", "x");

    Outcome outcome = run(settings(exe, {"--target", (work / "plain-file" / "sub").string(), "--args", ""}));
    EXPECT_EQ(outcome.out, "ERROR: Invalid target directory: \"" + (work / "plain-file" / "sub").string() + "\"\n");
    EXPECT_EQ(outcome.exitCode, 4);

    outcome = run(settings(exe, {"--interval", "PT0.5S", "--args", ""}));
    EXPECT_EQ(outcome.out,
              "ERROR: Target_TooShortInterval: Interval cannot be less than PT1S. Please see --help.\n");
    EXPECT_EQ(outcome.exitCode, 5);

    outcome = run(settings(exe, {"--timeout", "P", "--args", ""}));
    EXPECT_EQ(outcome.out,
              "ERROR: Exe_TooShortTimeout: Executable timeout cannot be less than PT1S. Please see --help.\n");
    EXPECT_EQ(outcome.exitCode, 5);

    outcome = run(settings(work / "missing-tool", {"--args", ""}));
    EXPECT_EQ(outcome.out, "ERROR: Could not find \"" + (work / "missing-tool").string() + "\"\n");
    EXPECT_EQ(outcome.exitCode, 6);

    // Without a configuration file every missing setting is a keyword nobody registered.
    outcome = run({"--target", target.string()});
    EXPECT_EQ(outcome.out,
              "ERROR: Query_NotFound: Configuration entry \"%interval%\" was not found. Please see --help.\n");
    EXPECT_EQ(outcome.exitCode, 5);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(dataFiles().empty());
}

TEST_F(TrawlexProgram, UtilityOutcomesChooseTheirExitCodes)
{
    const fs::path failing = utility("fail.sh", "echo partial; exit 3");
    Outcome outcome = run(settings(failing, {"--args", "-v"}));
    EXPECT_EQ(outcome.out, "ERROR: \"" + failing.string() + "\" with arguments \"-v\" exited with exit value 3\n");
    EXPECT_EQ(outcome.exitCode, 8);
    EXPECT_NE(onlyVerifiedData().find("\nExit-value=3\n"), std::string::npos);
    fs::remove_all(target);

    // Test mode: the same failure is reported, the file written, and the run counts as done.
    outcome = run(settings(failing, {"--testmode", "--args", "-v"}));
    EXPECT_EQ(outcome.out, "ERROR: \"" + failing.string() + "\" with arguments \"-v\" exited with exit value 3\n");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_NE(onlyVerifiedData().find("\nExit-value=3\n"), std::string::npos);
    fs::remove_all(target);

    const fs::path slow = utility("slow.sh", "exec sleep 30");
    outcome = run(settings(slow, {"--timeout", "PT1S", "--args", ""}));
    EXPECT_EQ(outcome.out, "ERROR: Failed to start \"" + slow.string() + "\" with arguments \"\"\n");
    EXPECT_EQ(outcome.exitCode, 7);
    EXPECT_TRUE(dataFiles().empty());

    // A file that exists but may not be executed cannot be started: never the shell's 126.
    const fs::path notExecutable = work / "plain.sh";
    writeFile(notExecutable, "#!/bin/sh\necho never\n");
    outcome = run(settings(notExecutable, {"--args", "a"}));
    EXPECT_EQ(outcome.out, "ERROR: Failed to start \"" + notExecutable.string() + "\" with arguments \"a\"\n");
    EXPECT_EQ(outcome.exitCode, 7);
    outcome = run(settings(notExecutable, {"--skip-onerror", "--args", "a"}));
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(dataFiles().empty());

    // A malformed skip pattern reaches the top-level guard.
    outcome = run(settings(utility("hello.sh", "echo hello"), {"--skip-onregex", "(", "--args", ""}));
    EXPECT_EQ(outcome.out, "ERROR: Unknown exception");
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_EQ(outcome.err, "");
}

TEST_F(TrawlexProgram, ConfigurationFileGivesEverySettingAndTheCommandLineWins)
{
    const fs::path exe = utility("args.sh", "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done");
    const fs::path fileTarget = work / "from-file";
    writeFile(work / "plain.conf", configurationText(fileTarget, exe));

    Outcome outcome = run({"-c", "plain.conf"});
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.exitCode, 0);
    const auto fromFile = TestSupport::filesEndingIn(fileTarget, ".data");
    ASSERT_EQ(fromFile.size(), 1u);
    const std::string data = readFile(fromFile.front());
    EXPECT_NE(data.find("source.module=conf\n"), std::string::npos) << data;
    EXPECT_NE(data.find("source.collection-interval=900000\n"), std::string::npos) << data;
    EXPECT_NE(data.find("source.offset=60000\n"), std::string::npos) << data;
    EXPECT_NE(data.find("@DATA:\n[from-file]\n[conf]\n"), std::string::npos) << data;

    // Only the target from the command line; a gzip-compressed copy of the same file.
    ASSERT_EQ(runShell(work, "gzip -c plain.conf > packed.conf.gz").exitCode, 0);
    outcome = run({"-c", (work / "packed.conf.gz").string(), "--target", target.string()});
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_NE(onlyVerifiedData().find("source.module=conf\n"), std::string::npos);
    EXPECT_EQ(TestSupport::filesEndingIn(fileTarget, ".data").size(), 1u);
}

TEST_F(TrawlexProgram, ConfigurationFailuresEndWithTheClassAndTemplate)
{
    const fs::path exe = utility("hello.sh", "echo hello");
    Outcome outcome = run({"-c", "missing.conf"});
    EXPECT_EQ(outcome.out,
              "ERROR: Load_FileNotFound\n@conf-old-file.load.file-not-found{Configuration file \"%\" was not found};\n");
    EXPECT_EQ(outcome.exitCode, 2);

    writeFile(work / "broken.conf", "trawlex (String) = \"\" {\n  target (String) = \"\" \n");
    outcome = run({"-c", "broken.conf"});
    EXPECT_EQ(outcome.out, "ERROR: Load_PrematureEndOfFile\n@conf-old-file.load.premature-end-of-file{Premature "
                           "end of file in line % in file \"%\"};\n");
    EXPECT_EQ(outcome.exitCode, 2);

    std::string text = configurationText(target, exe);
    text.replace(text.find("\"conf\""), 6, "\"\"");
    writeFile(work / "no-module.conf", text);
    outcome = run({"-c", "no-module.conf"});
    EXPECT_EQ(outcome.out, "ERROR: Test_ValueNotMatchingGlob\n@conf-agent.test.value-not-matching-blog{Configuration "
                           "entry \"%\" (value=\"%\") does not match the required \"%\"};\n");
    EXPECT_EQ(outcome.exitCode, 2);

    // A zero time-out is inside the verified range, then refused by the collector.
    writeFile(work / "zero-timeout.conf", configurationText(target, exe, "P"));
    outcome = run({"-c", "zero-timeout.conf"});
    EXPECT_EQ(outcome.out,
              "ERROR: Exe_TooShortTimeout: Executable timeout cannot be less than PT1S. Please see --help.\n");
    EXPECT_EQ(outcome.exitCode, 5);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(dataFiles().empty());
}

TEST_F(TrawlexProgram, RunawayOutputIsStoppedAtTheLimit)
{
    constexpr long long limit = 64LL << 20;
    const Environment capped = {{"TRAWLEX_MAX_OUTPUT", std::to_string(limit)}};
    const fs::path endless = utility("endless.sh", "echo $$ > endless.pid; exec yes");
    long peakKiB = 0;
    Outcome outcome = finishIn(work, startIn(work, programPath, settings(endless, {"--args", ""}), capped), &peakKiB);
    EXPECT_EQ(outcome.out, "ERROR: Output of \"" + endless.string() + "\" with arguments \"\" passed the limit of " +
                               std::to_string(limit) + " bytes\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.exitCode, 7);
    EXPECT_TRUE(dataFiles().empty());
    const int utilityPid = waitForPid(work / "endless.pid", std::chrono::seconds(1));
    ASSERT_GT(utilityPid, 1);
    EXPECT_TRUE(goneWithin(utilityPid, std::chrono::seconds(5)));
    const long long peak = static_cast<long long>(peakKiB) * 1024;
    std::printf("peak resident memory with a limit of %lld MiB: %.1f MiB\n", limit >> 20, peak / 1048576.0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // A sanitizer's allocator holds freed memory back, so the bound holds for plain builds only.
    EXPECT_LE(peak, 2 * limit + (32LL << 20));
#endif

    // Skipping on error makes it a silent skip; a bad limit is a setting error.
    outcome = finishIn(work, startIn(work, programPath, settings(endless, {"--skip-onerror", "--args", ""}), capped));
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(dataFiles().empty());
    for (const std::string bad : {"0", "12k", "-5", "99999999999999999999"}) {
        outcome = finishIn(work, startIn(work, programPath, settings(endless, {"--args", ""}), {{"TRAWLEX_MAX_OUTPUT", bad}}));
        EXPECT_EQ(outcome.out, "ERROR: Exe_InvalidMaxOutput: Maximum output must be a positive number of bytes: \"" +
                                   bad + "\". Please see --help.\n");
        EXPECT_EQ(outcome.exitCode, 5);
    }

    // Exactly the limit is stored; one byte more is not. The input file counts the same way
    // and is deleted all the same.
    const fs::path sized = utility("sized.sh", "head -c \"$1\" /dev/zero | tr '\\0' x");
    const Environment thousand = {{"TRAWLEX_MAX_OUTPUT", "1000"}};
    outcome = finishIn(work, startIn(work, programPath, settings(sized, {"--args", "1000"}), thousand));
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_NE(onlyVerifiedData().find("@DATA:\n" + std::string(1000, 'x')), std::string::npos);
    fs::remove_all(target);
    outcome = finishIn(work, startIn(work, programPath, settings(sized, {"--args", "1001"}), thousand));
    EXPECT_EQ(outcome.out, "ERROR: Output of \"" + sized.string() + "\" with arguments \"1001\" passed the limit of 1000 bytes\n");
    EXPECT_EQ(outcome.exitCode, 7);
    const fs::path echoing = utility("file.sh", "head -c \"$1\" /dev/zero > in.txt");
    outcome = finishIn(work, startIn(work, programPath, settings(echoing, {"--infile", "in.txt", "--args", "1001"}), thousand));
    EXPECT_EQ(outcome.out, "ERROR: \"in.txt\" written by \"" + echoing.string() + "\" is larger than the limit of 1000 bytes\n");
    EXPECT_EQ(outcome.exitCode, 7);
    EXPECT_FALSE(fs::exists(work / "in.txt"));
    EXPECT_TRUE(dataFiles().empty());
}

TEST_F(TrawlexProgram, UtilityEndsWithTheKilledProgram)
{
    const fs::path sleeper = utility("sleeper.sh", "echo $$ > sleeper.pid; exec sleep 60");
    const pid_t program = startIn(work, programPath, settings(sleeper, {"--timeout", "PT2M", "--args", ""}));
    const int utilityPid = waitForPid(work / "sleeper.pid", std::chrono::seconds(10));
    kill(program, SIGKILL);
    const Outcome outcome = finishIn(work, program);
    EXPECT_EQ(outcome.exitCode, -1);  // killed
    ASSERT_GT(utilityPid, 1);
    const bool gone = goneWithin(utilityPid, std::chrono::seconds(5));
    if (!gone)
        kill(utilityPid, SIGKILL);
    EXPECT_TRUE(gone);

    // A stop signal only sets the stop flag: the collection goes on and is stored.
    const fs::path slow = utility("slow.sh", "echo $$ > slow.pid; sleep 1; echo done");
    const pid_t stopped = startIn(work, programPath, settings(slow, {"--args", ""}));
    EXPECT_GT(waitForPid(work / "slow.pid", std::chrono::seconds(10)), 1);
    kill(stopped, SIGTERM);
    const Outcome finished = finishIn(work, stopped);
    EXPECT_EQ(finished.out, "");
    EXPECT_EQ(finished.exitCode, 0);
    EXPECT_NE(onlyVerifiedData().find("@DATA:\ndone\n"), std::string::npos);
}

}  // namespace
