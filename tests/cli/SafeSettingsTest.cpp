// Settings that would let a caller shape the data log: control characters in the argument
// text and the executable path (they would add header lines), and a module or data type that
// makes the file name too long. Each is refused with exit 5 before the utility runs. And an
// "ERROR: " line written into a closed pipe keeps the documented exit code.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/ProgramRuns.h"

namespace {

using namespace ProgramRuns;

class SafeSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TRAWLEX_REGISTRY_DIR", (work / "registry").c_str(), 1);
    }

    // A utility that leaves the marker file behind and prints a line.
    fs::path utility(const std::string& name, const std::string& exitCode = "0")
    {
        const fs::path path = work / name;
        writeFile(path, "#!/bin/sh\necho ran >> '" + marker.string() + "'\necho output\nexit " + exitCode + "\n");
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    std::vector<std::string> settings(const fs::path& exe, const std::string& dataType = "sample") const
    {
        return {"--target", target.string(), "--module",  "os",   "--datatype", dataType,
                "--interval", "PT15M",       "--timeout", "PT20S", "--exe",     exe.string()};
    }

    Outcome runWith(std::vector<std::string> words, const std::vector<std::string>& arguments)
    {
        words.push_back("--args");
        words.insert(words.end(), arguments.begin(), arguments.end());
        return runProgram(work, programPath, words);
    }

    std::string configuration(const fs::path& exe, const std::string& arguments) const
    {
        return "trawlex (String) = \"\" {\n"
               "  target (String) = \"\" {\n"
               "    dir (DirName) = \"" + target.string() + "\" { }\n"
               "    module (String) = \"os\" { }\n"
               "    datatype (String) = \"sample\" { }\n"
               "    interval (TimeSpan) = \"15M\" { }\n"
               "  }\n"
               "  executable (String) = \"\" {\n"
               "    path (FileName) = \"" + exe.string() + "\" { }\n"
               "    args (String) = \"" + arguments + "\" { }\n"
               "    timeout (TimeSpan) = \"20S\" { }\n"
               "  }\n"
               "}\n";
    }

    std::vector<fs::path> stored() const
    {
        std::vector<fs::path> files;
        if (fs::is_directory(target))
            for (const auto& entry : fs::directory_iterator(target))
                files.push_back(entry.path());
        return files;
    }

    // Refused as a setting: exit 5, the one line, the utility not started, nothing stored.
    void expectRefused(const Outcome& outcome, const std::string& line, const std::string& what)
    {
        EXPECT_EQ(outcome.exitCode, 5) << what << ": " << outcome.out;
        EXPECT_EQ(outcome.out, "ERROR: " + line + ". Please see --help.\n") << what;
        EXPECT_FALSE(fs::exists(marker)) << what << ": the utility ran";
        EXPECT_TRUE(stored().empty()) << what;
        fs::remove(marker);
    }

    TestSupport::TempDir folder{"trawlex-safe"};
    fs::path work = folder.path();
    fs::path target = work / "out";
    fs::path marker = work / "utility-ran";
};

const std::string badArguments = "Exe_InvalidArgs: Executable arguments cannot contain control characters other than tab";
const std::string badPath = "Exe_InvalidPath: Executable path cannot contain control characters other than tab";

TEST_F(SafeSettings, ControlCharactersInTheArgumentTextAreRefusedBeforeTheUtilityRuns)
{
    const fs::path exe = utility("tool.sh");
    // A forged host key and an early data section, as the header would have shown them.
    expectRefused(runWith(settings(exe), {"hello\nsource.host=evilhost\n\n@DATA:\nFAKE"}), badArguments, "line feed");
    expectRefused(runWith(settings(exe), {"a", "b\rsource.host=evilhost"}), badArguments, "carriage return");
    expectRefused(runWith(settings(exe), {"\x1b[2J", "x"}), badArguments, "escape");
    expectRefused(runWith(settings(exe), {"x\x7f"}), badArguments, "delete");

    // The same text from the configuration file, where a line break belongs to the value.
    writeFile(work / "args.conf", configuration(exe, "hello\nsource.host=evilhost"));
    expectRefused(runProgram(work, programPath, {"-c", "args.conf"}), badArguments, "configuration value");

    // A tab stays part of the text, and the run goes on.
    const Outcome tab = runWith(settings(exe), {"a\tb"});
    EXPECT_EQ(tab.exitCode, 0) << tab.out;
    ASSERT_EQ(stored().size(), 1u);
    EXPECT_EQ(metaValue(readFile(stored().front()), "source.exeargs"), "a\tb");
    EXPECT_TRUE(fs::exists(marker));
}

TEST_F(SafeSettings, ControlCharactersInTheExecutablePathAreRefusedBeforeTheUtilityRuns)
{
    // The file exists: without the check it would run and its path would become two header lines.
    const fs::path exe = utility("tool\nsource.host=evilhost");
    expectRefused(runWith(settings(exe), {"-k"}), badPath, "line feed on the command line");
    writeFile(work / "path.conf", configuration(exe, "-k"));
    expectRefused(runProgram(work, programPath, {"-c", "path.conf"}), badPath, "line feed in the configuration");

    const fs::path carriage = utility("tool\rx");
    expectRefused(runWith(settings(carriage), {"-k"}), badPath, "carriage return");
    // Refused as a setting even when a missing utility would be skipped.
    std::vector<std::string> skipping = settings(work / "missing\ntool");
    skipping.push_back("--skip-onerror");
    expectRefused(runWith(skipping, {"-k"}), badPath, "missing, with skip-onerror");
}

TEST_F(SafeSettings, ADataTypeTooLongForAFileNameIsRefusedBeforeTheUtilityRuns)
{
    const fs::path exe = utility("tool.sh");
    const Outcome outcome = runWith(settings(exe, std::string(240, 'd')), {"-k"});
    EXPECT_EQ(outcome.exitCode, 5) << outcome.out;
    EXPECT_EQ(outcome.out.rfind("ERROR: Target_NameTooLong: Module and data type make data log file names too long "
                                "for the target directory (",
                                0),
              0u)
        << outcome.out;
    EXPECT_FALSE(fs::exists(marker)) << "the utility ran";
    EXPECT_TRUE(stored().empty());

    // The longest name, "Trawlex-Trawlex.os." + data type + "-" + time (13 digits) + "-" +
    // five-digit counter + ".data", may use up the folder's limit, and not a byte more.
    fs::create_directories(target);
    const long limit = pathconf(target.c_str(), _PC_NAME_MAX);
    ASSERT_GT(limit, 44);
    const size_t longest = size_t(limit) - 44;
    const Outcome over = runWith(settings(exe, std::string(longest + 1, 'd')), {"-k"});
    EXPECT_EQ(over.exitCode, 5) << over.out;
    EXPECT_FALSE(fs::exists(marker)) << "the utility ran";
    const Outcome fits = runWith(settings(exe, std::string(longest, 'd')), {"-k"});
    EXPECT_EQ(fits.exitCode, 0) << fits.out;
    ASSERT_EQ(stored().size(), 1u);
    EXPECT_EQ(stored().front().extension(), ".data");
    EXPECT_EQ(runProgram(work, verifierPath, {stored().front().string()}).exitCode, 0);
}

// Runs the program with standard output a pipe whose reader has gone; the wait status.
int statusWithClosedOutput(const fs::path& folder, const std::vector<std::string>& arguments)
{
    int ends[2];
    if (pipe(ends) != 0)
        return -1;
    close(ends[0]);
    const pid_t pid = startProgram(folder, programPath, arguments, folder / ".stdout", folder / ".stderr", {}, [&ends] {
        signal(SIGPIPE, SIG_DFL);  // as a shell hands it down
        dup2(ends[1], 1);
        close(ends[1]);
    });
    close(ends[1]);
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return status;
}

TEST_F(SafeSettings, AClosedStandardOutputKeepsTheDocumentedExitCode)
{
    const fs::path exe = utility("tool.sh");
    std::vector<std::string> words = settings(exe);
    words[7] = "PT0.5S";  // the interval: a setting error
    words.insert(words.end(), {"--args", "-k"});
    int status = statusWithClosedOutput(work, words);
    ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5);

    // A failing utility: its output is stored, the "ERROR: " line goes nowhere, exit 8.
    words = settings(utility("failing.sh", "3"));
    words.insert(words.end(), {"--args", "-k"});
    status = statusWithClosedOutput(work, words);
    ASSERT_FALSE(WIFSIGNALED(status)) << "ended by signal " << WTERMSIG(status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 8);
    ASSERT_EQ(stored().size(), 1u);
    EXPECT_EQ(runProgram(work, verifierPath, {stored().front().string()}).exitCode, 0);
}

}  // namespace
