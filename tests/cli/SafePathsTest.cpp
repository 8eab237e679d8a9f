// Black-box runs of trawlex as root among entries that another account (uid 65534) planted:
// the input file and the target folder are taken only where no other account could have
// placed or swapped them, and files and folders never follow a permissive umask.
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "cli/ProgramRuns.h"

using namespace ProgramRuns;
using TestSupport::modeOf;

namespace {

constexpr uid_t nobody = 65534;

class SafePaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to plant entries of another account";
        fs::permissions(work, fs::perms::owner_all);  // as private as a folder of mkdtemp
        target = work / "out";
        drop = work / "drop";  // like /tmp: everyone may add entries, only their owner removes them
        fs::create_directory(drop);
        chmod(drop.c_str(), 01777);
        secretDir = work / "root-only";
        fs::create_directory(secretDir);
        chmod(secretDir.c_str(), 0700);
        secret = secretDir / "secret.txt";
        writeFile(secret, "SECRET");
        chmod(secret.c_str(), 0600);
        utility = work / "noop.sh";
        writeFile(utility, "#!/bin/sh\nexit 0\n");
        chmod(utility.c_str(), 0700);
        setenv("TRAWLEX_REGISTRY_DIR", (work / "registry").c_str(), 1);
    }
    std::vector<std::string> settings(const fs::path& into, const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> words = {"--target",  into.string(), "--module",   "os",     "--datatype",
                                          "sample",    "--interval",  "PT15M",      "--timeout", "PT20S",
                                          "--exe",     utility.string()};
        words.insert(words.end(), extra.begin(), extra.end());
        words.insert(words.end(), {"--args", ""});  // the rest of the line: last
        return words;
    }

    // Runs trawlex in work; a run that has not ended after a minute is killed (exit code -1).
    Outcome runGuarded(const std::vector<std::string>& arguments, mode_t mask = 022)
    {
        const fs::path outPath = work / ".stdout";
        const fs::path errPath = work / ".stderr";
        const pid_t pid = startProgram(work, programPath, arguments, outPath, errPath, {}, [mask] { umask(mask); });
        Outcome outcome;
        int status = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        pid_t ended = 0;
        while (pid > 0 && (ended = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (pid > 0 && ended == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        } else if (ended == pid && WIFEXITED(status)) {
            outcome.exitCode = WEXITSTATUS(status);
        }
        outcome.out = readFile(outPath);
        fs::remove(outPath);
        fs::remove(errPath);
        return outcome;
    }

    std::vector<fs::path> collections(const fs::path& dir)
    {
        std::vector<fs::path> found;
        if (fs::is_directory(dir))
            for (const auto& entry : fs::directory_iterator(dir))
                found.push_back(entry.path());
        return found;
    }

    TestSupport::TempDir folder{"trawlex-safe"};
    fs::path work = folder.path();
    fs::path target, drop, secretDir, secret, utility;
};

TEST_F(SafePaths, InputFileThatAnotherAccountCouldPlaceIsRefusedAndKept)
{
    const fs::path finalLink = drop / "report.txt";
    fs::create_symlink(secret, finalLink);
    lchown(finalLink.c_str(), nobody, nobody);
    const fs::path folderLink = drop / "sub";
    fs::create_directory_symlink(secretDir, folderLink);
    lchown(folderLink.c_str(), nobody, nobody);
    const fs::path fifo = drop / "fifo.txt";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    chown(fifo.c_str(), nobody, nobody);
    const fs::path theirs = drop / "theirs.txt";
    writeFile(theirs, "THEIRS");
    chown(theirs.c_str(), nobody, nobody);
    const fs::path open = work / "open";  // writable by everyone, without the sticky bit
    fs::create_directory(open);
    chmod(open.c_str(), 0777);
    const fs::path inOpen = open / "report.txt";
    writeFile(inOpen, "ROOT'S");
    const fs::path theirFolder = work / "their-folder";
    fs::create_directory(theirFolder);
    chown(theirFolder.c_str(), nobody, nobody);
    const fs::path inTheirFolder = theirFolder / "report.txt";
    writeFile(inTheirFolder, "ROOT'S");

    const struct {
        std::string infile;
        std::string reason;
    } cases[] = {
        {"drop/report.txt", "\"drop/report.txt\" is a symbolic link"},
        {"drop/sub/secret.txt", "\"" + folderLink.string() + "\" is a symbolic link owned by another account"},
        {"drop/fifo.txt", "\"drop/fifo.txt\" is not a regular file"},
        {"drop/theirs.txt", "\"drop/theirs.txt\" is owned by another account"},
        {inOpen.string(), "\"" + open.string() + "\" is writable by group or others without the sticky bit"},
        {"their-folder/report.txt", "\"" + theirFolder.string() + "\" is owned by another account"},
    };
    for (const auto& planted : cases) {
        SCOPED_TRACE(planted.infile);
        const Outcome outcome = runGuarded(settings(target, {"--infile", planted.infile}));
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_EQ(outcome.out, "ERROR: Failed to open data log \"" + planted.infile + "\": " + planted.reason + "\n");
        EXPECT_TRUE(collections(target).empty());
    }
    // Nothing was deleted, nothing replaced.
    EXPECT_EQ(readFile(secret), "SECRET");
    EXPECT_TRUE(fs::is_symlink(finalLink));
    EXPECT_TRUE(fs::is_symlink(folderLink));
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(readFile(theirs), "THEIRS");
    EXPECT_EQ(readFile(inOpen), "ROOT'S");
    EXPECT_EQ(readFile(inTheirFolder), "ROOT'S");

    // A missing file keeps its plain message.
    const Outcome missing = runGuarded(settings(target, {"--infile", "drop/missing.txt"}));
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(missing.out, "ERROR: Failed to open data log \"drop/missing.txt\"\n");
}

TEST_F(SafePaths, OwnInputFileIsStoredNoMoreReadableAndDeletedUnlessTesting)
{
    const fs::path report = drop / "report.txt";
    writeFile(report, "private\r\ntext");
    chmod(report.c_str(), 0600);
    Outcome outcome = runGuarded(settings(target, {"--testmode", "--infile", "drop/report.txt"}), 0);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
    EXPECT_TRUE(fs::exists(report));  // kept in test mode
    auto files = collections(target);
    ASSERT_EQ(files.size(), 1u);
    std::string data;
    ASSERT_TRUE(rawData(readFile(files[0]), data));
    EXPECT_EQ(data, "private\ntext");
    EXPECT_EQ(modeOf(files[0]), 0600u);
    EXPECT_EQ(runProgram(work, verifierPath, {files[0].string()}).exitCode, 0);
    fs::remove(files[0]);

    chmod(report.c_str(), 0640);
    outcome = runGuarded(settings(target, {"--infile", report.string()}), 0);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
    EXPECT_FALSE(fs::exists(report));  // deleted after reading
    files = collections(target);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(modeOf(files[0]), 0640u);
}

TEST_F(SafePaths, FilesAndFoldersIgnoreAPermissiveUmask)
{
    const fs::path deep = drop / "mine" / "data";  // created, under a sticky folder
    const Outcome outcome = runGuarded(settings(deep), 0);
    EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
    EXPECT_EQ(modeOf(drop / "mine"), 0755u);
    EXPECT_EQ(modeOf(deep), 0755u);
    const auto files = collections(deep);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(modeOf(files[0]), 0644u);
}

TEST_F(SafePaths, TargetThatAnotherAccountControlsIsRefused)
{
    const fs::path theirs = work / "theirs";
    fs::create_directory(theirs);
    chown(theirs.c_str(), nobody, nobody);
    const fs::path open = work / "open";
    fs::create_directory(open);
    chmod(open.c_str(), 0777);
    const fs::path mine = work / "mine";
    fs::create_directory(mine);
    const fs::path link = drop / "link";
    fs::create_directory_symlink(mine, link);
    lchown(link.c_str(), nobody, nobody);

    const struct {
        fs::path target;
        std::string reason;
    } cases[] = {
        {theirs, "\"" + theirs.string() + "\" is owned by another account"},
        {theirs / "out", "\"" + theirs.string() + "\" is owned by another account"},
        {open / "out", "\"" + open.string() + "\" is writable by group or others without the sticky bit"},
        {link / "out", "\"" + link.string() + "\" is a symbolic link owned by another account"},
    };
    for (const auto& planted : cases) {
        SCOPED_TRACE(planted.target);
        const Outcome outcome = runGuarded(settings(planted.target));
        EXPECT_EQ(outcome.exitCode, 4);
        EXPECT_EQ(outcome.out, "ERROR: Invalid target directory: \"" + planted.target.string() + "\": " +
                                   planted.reason + "\n");
    }
    EXPECT_TRUE(collections(theirs).empty());
    EXPECT_TRUE(collections(open).empty());
    EXPECT_TRUE(collections(mine).empty());

    // The same folders once root's own, and a sticky folder on the way, are fine.
    chown(theirs.c_str(), 0, 0);
    chmod(open.c_str(), 01777);
    lchown(link.c_str(), 0, 0);
    for (const fs::path& accepted : {theirs, open / "out", link / "out"}) {
        SCOPED_TRACE(accepted);
        const Outcome outcome = runGuarded(settings(accepted));
        EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
        EXPECT_EQ(collections(accepted).size(), 1u);
    }
}

}  // namespace
