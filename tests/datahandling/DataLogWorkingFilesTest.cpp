// Which left-behind working files a run finalises, and working files created by name (as on
// file systems without unnamed files) racing with other runs' finalising.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <set>
#include <string>
#include <utility>

#include "corelib/Exception.h"
#include "corelib/platform/DataLogFiles.h"
#include "datahandling/DataLog.h"
#include "support/DataLogSupport.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

using TestSupport::namesIn;
using TestSupport::readFile;
using TestSupport::writeFile;

// A folder of that name in the test's own.
std::string freshDir(const std::string& name)
{
    fs::create_directory(TestSupport::testFolder() + name);
    return TestSupport::testFolder() + name + "/";
}

// Prepares a run of the source with finalising; each planted name holds its own name.
std::set<std::string> finaliseAmong(const std::string& dir, const std::string& module, const std::string& datatype,
                                    const std::set<std::string>& planted)
{
    for (const std::string& name : planted) {
        writeFile(dir + name, name);
    }
    DataLog log;
    TestSupport::describeRawLog(log, "Trawlex", module, datatype);
    EXPECT_TRUE(log.makeReadyToOpenWriteFile(dir, "Trawlex", true, true));
    return namesIn(dir);
}

}  // namespace

TEST(DataLogWorkingFiles, OnlyTheRunsOwnSourceIsFinalised)
{
    const std::string dir = freshDir("own-source");
    const std::set<std::string> names = finaliseAmong(
        dir, "os", "df",
        {"Trawlex-Trawlex.os.df-5.make", "Trawlex-Trawlex.os.df-6.make-42-tampered.make",
         "Trawlex-Trawlex.os.df-7.make-42-00-tampered.make", "Trawlex-Trawlex.os.df-inodes-5.make",
         "Trawlex-Trawlex.os.df-5-8.make", "Trawlex-Trawlex.os.df-.make", "Trawlex-Trawlex.os.dfx-5.make",
         "Trawlex-Trawlex.os.df-5.make-x-tampered.make", "Trawlex-Trawlex.os.df-9.make.make"});
    EXPECT_EQ(names, (std::set<std::string>{
                         "Trawlex-Trawlex.os.df-5.data", "Trawlex-Trawlex.os.df-6.make-42-tampered.data",
                         "Trawlex-Trawlex.os.df-7.make-42-00-tampered.data", "Trawlex-Trawlex.os.df-inodes-5.make",
                         "Trawlex-Trawlex.os.df-5-8.make", "Trawlex-Trawlex.os.df-.make",
                         "Trawlex-Trawlex.os.dfx-5.make", "Trawlex-Trawlex.os.df-5.make-x-tampered.make",
                         "Trawlex-Trawlex.os.df-9.make.make"}));
    EXPECT_EQ(readFile(dir + "Trawlex-Trawlex.os.df-5.data"), "Trawlex-Trawlex.os.df-5.make");

    // Glob characters in the module and data type are only themselves.
    const std::string globDir = freshDir("glob-source");
    EXPECT_EQ(finaliseAmong(globDir, "o?", "d*",
                            {"Trawlex-Trawlex.o?.d*-5.make", "Trawlex-Trawlex.os.df-5.make",
                             "Trawlex-Trawlex.o?.d*x-5.make", "Trawlex-Trawlex.ox.d-5.make"}),
              (std::set<std::string>{"Trawlex-Trawlex.o?.d*-5.data", "Trawlex-Trawlex.os.df-5.make",
                                     "Trawlex-Trawlex.o?.d*x-5.make", "Trawlex-Trawlex.ox.d-5.make"}));
}

// Pairs of runs of one source, started together, each finalising the other's files while
// that one creates its own by name: every run succeeds and its collection is in exactly one
// final file (its own name with the counter), complete and signed.
TEST(DataLogWorkingFiles, NamedCreationNeverHandsALiveFileToAnotherRun)
{
    // Created by name on a name that is taken: the file stays, no private name is left.
    const std::string taken = freshDir("named-taken");
    writeFile(taken + "w-app-5.make", "taken");
    {
        const TestSupport::ErrorModeGuard quiet(false);
        DataLog log;
        log.setFileCreation(Platform::FileCreation::namedOnly);
        TestSupport::describeRawLog(log, "app", "app", "app", 5);
        ASSERT_TRUE(log.makeReadyToOpenWriteFile(taken, "w", true, false));
        EXPECT_FALSE(log.openWriteFile(DataLog::createNew));
        log.setSourceMeta("time", "6");
        EXPECT_TRUE(log.openWriteFile(DataLog::createNew) && log.closeFile(false));
    }
    EXPECT_EQ(namesIn(taken), (std::set<std::string>{"w-app-5.make", "w-app-6-00.data"}));
    EXPECT_EQ(readFile(taken + "w-app-5.make"), "taken");

    const std::string dir = freshDir("named-pairs");
    const std::string helper = std::string(TEST_HELPER_DIR) + "/named_create_run";
    constexpr int pairs = 300;
    constexpr size_t inFlight = 4;
    const long long firstTime = 3850000000000LL;

    std::deque<std::pair<pid_t, long long>> running;
    std::set<long long> failed;
    auto reapOldest = [&] {
        const auto [pid, time] = running.front();
        running.pop_front();
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            failed.insert(time);
        }
    };
    for (int pair = 0; pair < pairs; ++pair) {
        int gate[2];
        ASSERT_EQ(pipe(gate), 0);
        for (int side = 0; side < 2; ++side) {
            const long long time = firstTime + 2 * pair + side;
            const pid_t pid = fork();
            if (pid == 0) {
                dup2(gate[0], 0);
                close(gate[0]);
                close(gate[1]);
                const std::string timeText = std::to_string(time);
                execl(helper.c_str(), helper.c_str(), dir.c_str(), timeText.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            ASSERT_GT(pid, 0);
            running.emplace_back(pid, time);
        }
        close(gate[0]);
        EXPECT_EQ(write(gate[1], "go", 2), 2);
        close(gate[1]);
        while (running.size() > 2 * inFlight) {
            reapOldest();
        }
    }
    while (!running.empty()) {
        reapOldest();
    }
    EXPECT_TRUE(failed.empty()) << failed.size() << " runs failed, the first with time " << *failed.begin();

    std::set<std::string> expected;
    for (long long time = firstTime; time < firstTime + 2 * pairs; ++time) {
        expected.insert("w-app-" + std::to_string(time) + "-00.data");
    }
    const std::set<std::string> names = namesIn(dir);
    std::string unexpected;
    for (const std::string& name : names) {
        if (expected.count(name) == 0) {
            unexpected += " " + name;
        }
    }
    EXPECT_EQ(names.size(), expected.size());
    EXPECT_EQ(unexpected, "");
    int bad = 0;
    for (const std::string& name : expected) {
        const std::string time = name.substr(6, name.size() - 6 - 8);
        std::string reason;
        const std::string text = readFile(dir + name);
        if (DataLog::checkFileSignature(dir + name, reason) != DataLog::Check::valid ||
            text.find("\n@DATA:\nrun " + time + "\n") == std::string::npos) {
            ++bad;
        }
    }
    EXPECT_EQ(bad, 0);
}
