// Black-box test: entries of the target folder that are named like left-behind working files
// of the run's source but are no regular files of the running account are left as they are,
// and never hold the run up.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli/ProgramRuns.h"

namespace fs = std::filesystem;
using namespace ProgramRuns;

namespace {

// Waits for the process to end, killing it after the guard time; the exit code, or -1 when it
// did not exit by itself.
int waitGuarded(pid_t pid, std::chrono::seconds guard)
{
    const auto end = std::chrono::steady_clock::now() + guard;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0)
            return -1;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

struct Planted {
    std::string name;
    struct stat before {};
};

}  // namespace

TEST(WorkingFileEntries, ForeignEntriesNamedLikeWorkingFilesAreLeftAlone)
{
    const TestSupport::TempDir folder("trawlex-entries");
    const fs::path work = folder.path();
    const fs::path target = work / "out";
    fs::create_directories(target);
    setenv("TRAWLEX_REGISTRY_DIR", (work / "registry").c_str(), 1);
    writeFile(work / "utility.sh", "#!/bin/sh\necho collected\n");
    fs::permissions(work / "utility.sh", fs::perms::owner_all);
    ASSERT_EQ(mkfifo((work / "fifo").c_str(), 0600), 0);
    writeFile(work / "outside.txt", "outside\n");

    const std::string stem = "Trawlex-Trawlex.os.df-";
    ASSERT_EQ(mkfifo((target / (stem + "1.make")).c_str(), 0600), 0);
    fs::create_symlink(work / "fifo", target / (stem + "2.make"));
    fs::create_symlink(work / "outside.txt", target / (stem + "3.make"));
    fs::create_directory(target / (stem + "4.make"));
    writeFile(target / (stem + "4.make") / "inside", "inside\n");
    std::vector<Planted> planted = {{stem + "1.make"}, {stem + "2.make"}, {stem + "3.make"}, {stem + "4.make"}};
    if (geteuid() == 0) {
        writeFile(target / (stem + "5.make"), "foreign\n");
        ASSERT_EQ(chown((target / (stem + "5.make")).c_str(), 65534, 65534), 0);
        planted.push_back({stem + "5.make"});
    }
    for (Planted& entry : planted)
        ASSERT_EQ(lstat((target / entry.name).c_str(), &entry.before), 0) << entry.name;

    const pid_t pid = startProgram(work, programPath,
                                   {"--target", target.string(), "--module", "os", "--datatype", "df", "--interval",
                                    "PT15M", "--timeout", "PT20S", "--exe", (work / "utility.sh").string(), "--args", ""},
                                   work / ".stdout", work / ".stderr");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(waitGuarded(pid, std::chrono::seconds(60)), 0) << readFile(work / ".stdout");

    // Every planted entry keeps its name, kind, owner, target and content.
    for (const Planted& entry : planted) {
        struct stat after {};
        ASSERT_EQ(lstat((target / entry.name).c_str(), &after), 0) << entry.name;
        EXPECT_EQ(after.st_ino, entry.before.st_ino) << entry.name;
        EXPECT_EQ(after.st_mode, entry.before.st_mode) << entry.name;
        EXPECT_EQ(after.st_uid, entry.before.st_uid) << entry.name;
        EXPECT_EQ(after.st_size, entry.before.st_size) << entry.name;
    }
    EXPECT_EQ(fs::read_symlink(target / (stem + "2.make")), work / "fifo");
    EXPECT_EQ(fs::read_symlink(target / (stem + "3.make")), work / "outside.txt");
    EXPECT_EQ(readFile(work / "outside.txt"), "outside\n");
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(work / "fifo")));
    EXPECT_EQ(readFile(target / (stem + "4.make") / "inside"), "inside\n");
    if (geteuid() == 0) {
        EXPECT_EQ(readFile(target / (stem + "5.make")), "foreign\n");
    }

    // Besides them only the new collection, which verifies.
    std::vector<fs::path> added;
    for (const auto& item : fs::directory_iterator(target)) {
        const std::string name = item.path().filename().string();
        bool isPlanted = false;
        for (const Planted& entry : planted)
            isPlanted = isPlanted || entry.name == name;
        if (!isPlanted)
            added.push_back(item.path());
    }
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added.front().extension(), ".data");
    EXPECT_NE(readFile(added.front()).find("\n@DATA:\ncollected\n"), std::string::npos);
    EXPECT_EQ(runProgram(work, verifierPath, {added.front().string()}).exitCode, 0);
}
