// The program killed with SIGKILL at random moments of its collections into one folder: every
// file it leaves is either a complete, verifiable collection or one that fails verification,
// and the next normal run finalises every working file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "cli/ProgramRuns.h"
#include "datahandling/DataLog.h"
#include "helpers/PatternText.h"

namespace {

using namespace ProgramRuns;
using Clock = std::chrono::steady_clock;

const std::string utilityPath = TestSupport::helper("pattern_output");

constexpr int killsWanted = 220;
constexpr int killsNeeded = 200;
constexpr int killsPerPhase = 5;  // at least, in start-up and in writing
// The runs go on until enough were killed or this time has passed, however fast or slow the
// machine is.
constexpr auto timeBudget = std::chrono::seconds(200);

class CrashConsistency : public ProgramTest {
protected:
    std::vector<std::string> arguments(uint64_t size, uint64_t seed) const
    {
        return {"--target", target.string(), "--module",  "crash",     "--datatype", "pattern",
                "--interval", "PT15M",       "--timeout", "PT120S",    "--exe",      utilityPath,
                "--args",   std::to_string(size), std::to_string(seed)};
    }

    std::set<std::string> names() const
    {
        return fs::is_directory(target) ? TestSupport::namesIn(target) : std::set<std::string>{};
    }
};

// Mostly small outputs (some empty), some of a few MiB, a few up to 64 MiB.
uint64_t outputSize(int attempt, std::mt19937_64& random)
{
    if (attempt % 40 == 0)
        return attempt % 80 == 0 ? 64ull << 20 : (16ull << 20) + random() % (32ull << 20);
    if (attempt % 8 == 0)
        return (256ull << 10) + random() % (4ull << 20);
    if (attempt % 9 == 0)
        return 0;
    return random() % (64ull << 10);
}

// Times of one run, from its start: when its working file appeared, when it ended.
struct RunTimes {
    double opened = 0.02;
    double ended = 0.05;
};

TEST_F(CrashConsistency, KilledCollectionsLeaveOnlyCompleteOrUnverifiableFiles)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Hundreds of runs of a sanitized program take far too long; the plain build covers this.
    GTEST_SKIP() << "plain build only";
#endif
    std::mt19937_64 random(20261208);
    // Learnt from the runs that were not killed, per size class (small, some MiB, large), so
    // that the kills spread over start-up, capture, writing and closing on any machine.
    std::map<int, RunTimes> times = {{0, {0.02, 0.05}}, {1, {0.05, 0.2}}, {2, {0.5, 1.5}}};
    // Per size class: how often the working file was seen before the run ended. Where it
    // mostly was not, the kills are timed from the start.
    std::map<int, double> fileSeen = {{0, 1.0}, {1, 1.0}, {2, 1.0}};
    std::map<std::string, int> misses;  // planned kills that came too late, by kind
    auto sizeClass = [](uint64_t size) { return size >= (16ull << 20) ? 2 : size >= (256ull << 10) ? 1 : 0; };
    auto since = [](Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); };

    std::set<uint64_t> completedSeeds;  // runs that exited with 0: their file must be there
    // Where the kills landed, judged by the files left. Start-up and writing get their share of
    // kills on any file system; closing (signing to the rename) and the moment after the rename
    // are as short as the file system is fast, and on tmpfs hardly ever open for a kill, so
    // they are counted only.
    std::map<std::string, int> phases = {{"start-up or capture (no file yet)", 0}, {"writing (working file)", 0}};
    const auto fewestInAPhase = [&] {
        return std::min(phases["start-up or capture (no file yet)"], phases["writing (working file)"]);
    };
    int kills = 0;
    int attempt = 0;
    const auto started = Clock::now();
    for (; (kills < killsWanted || fewestInAPhase() < killsPerPhase) && Clock::now() - started < timeBudget;
         ++attempt) {
        const uint64_t size = outputSize(attempt, random);
        const uint64_t seed = uint64_t(attempt);
        const int sizes = sizeClass(size);
        RunTimes& learnt = times[sizes];
        // Two fifths of the kills by time from the start, the rest by time from the moment
        // the working file appears (the first runs only learn).
        const bool fileUsuallySeen = fileSeen[sizes] >= 0.5;
        const bool fromStart = fileUsuallySeen ? random() % 5 < 2 : random() % 10 != 0;
        // From the working file on, early moments are favoured: writing is short beside the
        // sync that ends closing.
        const double share = std::uniform_real_distribution<double>(0.0, 1.0)(random);
        const double delay = fromStart ? 1.1 * share * learnt.opened
                                       : 1.2 * share * share * std::max(0.001, learnt.ended - learnt.opened);
        const std::set<std::string> before = names();
        const auto begun = Clock::now();
        const pid_t pid = startProgram(work, programPath, arguments(size, seed), work / ".stdout", work / ".stderr");
        ASSERT_GT(pid, 0);
        int status = 0;
        bool ended = false;
        double opened = -1;
        auto poll = [&] {
            if (!ended && waitpid(pid, &status, WNOHANG) == pid)
                ended = true;
            if (opened < 0)
                for (const std::string& name : names())
                    if (name.ends_with(".make") && !before.count(name))
                        opened = since(begun);
        };
        if (fromStart) {
            std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        } else {
            while (!ended && opened < 0) {
                poll();
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
            if (attempt >= 6)
                fileSeen[sizes] = 0.8 * fileSeen[sizes] + 0.2 * (opened >= 0 ? 1.0 : 0.0);
            if (!ended)
                std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        }
        if (!ended && waitpid(pid, &status, WNOHANG) == pid)
            ended = true;
        if (!ended && attempt >= 6) {
            kill(pid, SIGKILL);
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
        } else if (!ended) {
            while (!ended) {  // a learning run
                poll();
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        }
        const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (!killed) {
            ASSERT_TRUE(WIFEXITED(status));
            ASSERT_EQ(WEXITSTATUS(status), 0) << readFile(work / ".stdout");
            completedSeeds.insert(seed);
            if (attempt >= 6) {
                ++misses[fromStart ? "timed from the start" : opened < 0 ? "ended before its working file was seen"
                                                                         : "timed from the working file"];
            }
            const double ended = since(begun);
            learnt.ended = 0.7 * learnt.ended + 0.3 * ended;
            // A working file that was not seen appeared before the run ended, at the latest.
            learnt.opened = std::min(0.7 * learnt.opened + 0.3 * (opened >= 0 ? opened : ended), learnt.ended);
            continue;
        }
        if (opened >= 0)
            learnt.opened = 0.8 * learnt.opened + 0.2 * opened;
        ++kills;
        const std::set<std::string> after = names();
        std::string phase = "start-up or capture (no file yet)";
        size_t newData = 0;
        size_t goneMake = 0;
        for (const std::string& name : after) {
            if (before.count(name))
                continue;
            if (name.ends_with(".make")) {
                std::string reason;
                const bool signedAlready =
                    KelvraCorelib::DataLog::checkFileSignature((target / name).string(), reason) ==
                    KelvraCorelib::DataLog::Check::valid;
                phase = signedAlready ? "closing (signed, not renamed)" : "writing (working file)";
            } else if (name.ends_with(".data")) {
                ++newData;
            }
        }
        for (const std::string& name : before)
            if (name.ends_with(".make") && !after.count(name))
                ++goneMake;
        if (phase.rfind("start-up", 0) == 0 && newData > goneMake)
            phase = "after the final rename";
        ++phases[phase];
    }
    ASSERT_GE(kills, killsNeeded) << "too few runs were still going when killed, in " << attempt << " runs";
    EXPECT_GE(fewestInAPhase(), killsPerPhase) << "too few kills in start-up or writing";

    // One more normal collection finalises what the killed runs left.
    const Outcome last = ProgramRuns::runProgram(work, programPath, arguments(1000, 999999));
    ASSERT_EQ(last.exitCode, 0) << last.out;
    EXPECT_EQ(last.out, "");
    completedSeeds.insert(999999);

    int valid = 0;
    int invalid = 0;
    std::set<uint64_t> validSeeds;
    std::string verdicts;  // what the verifier must print for the files, in name order
    for (const std::string& name : names()) {
        ASSERT_FALSE(name.ends_with(".make")) << name << " was not finalised";
        ASSERT_TRUE(name.ends_with(".data")) << name;
        const fs::path path = target / name;
        std::string reason;
        const auto check = KelvraCorelib::DataLog::checkFileSignature(path.string(), reason);
        ASSERT_NE(check, KelvraCorelib::DataLog::Check::unreadable) << name << ": " << reason;
        verdicts += path.string() + (check == KelvraCorelib::DataLog::Check::valid ? ": OK\n" : ": INVALID\n");
        if (check == KelvraCorelib::DataLog::Check::invalid) {
            ++invalid;
            continue;
        }
        ++valid;
        // A verified file holds exactly the complete output of the run named in its header.
        const std::string bytes = readFile(path);
        const std::string words = metaValue(bytes, "source.exeargs");
        const size_t blank = words.find(' ');
        ASSERT_NE(blank, std::string::npos) << name;
        const uint64_t size = std::stoull(words.substr(0, blank));
        const uint64_t seed = std::stoull(words.substr(blank + 1));
        std::string data;
        ASSERT_TRUE(rawData(bytes, data)) << name;
        ASSERT_EQ(data.size(), size) << name;
        ASSERT_TRUE(data == TestPattern::patternText(size, seed)) << name << " holds other content";
        EXPECT_TRUE(validSeeds.insert(seed).second) << "seed " << seed << " in two files";
    }
    for (const uint64_t seed : completedSeeds)
        EXPECT_TRUE(validSeeds.count(seed)) << "the completed run " << seed << " has no verified file";

    // The verifier program agrees with the check used above on every file.
    std::vector<std::string> all;
    for (const std::string& name : names())
        all.push_back((target / name).string());
    const Outcome verified = ProgramRuns::runProgram(work, verifierPath, all);
    EXPECT_EQ(verified.exitCode, invalid > 0 ? 1 : 0);
    EXPECT_EQ(verified.out,
              verdicts + std::to_string(valid) + " valid, " + std::to_string(invalid) + " invalid, 0 unreadable\n");

    std::cout << "[ report   ] " << attempt << " runs, " << kills << " killed, " << completedSeeds.size() - 1
              << " completed; files: " << valid << " verified, " << invalid << " unsigned; "
              << std::chrono::duration<double>(Clock::now() - started).count() << " s\n";
    for (const auto& [phase, count] : phases)
        std::cout << "[ report   ]   killed in " << phase << ": " << count << "\n";
    for (const auto& [kind, count] : misses)
        std::cout << "[ report   ]   came too late, " << kind << ": " << count << "\n";
}

}  // namespace
