// The seal's state: the key store's erasure, the chain per source under concurrent runs, and
// the verifier's witness.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "corelib/DateTime.h"
#include "datahandling/SealChain.h"
#include "datahandling/SealStore.h"
#include "datahandling/SealWitness.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

constexpr int64_t hour = 3600000;

// A 64-digit hash standing for the file with that sequence number ("none" before the first).
std::string hashOf(uint64_t sequence)
{
    const std::string digits = std::to_string(sequence);
    return sequence == 0 ? "none" : std::string(64 - digits.size(), '0') + digits;
}

// The chain of one source with the numbers from to to; the file with number "altered" differs.
SealChainCheck chainOf(uint64_t from, uint64_t to, uint64_t altered = 0, const std::string& source = "Trawlex.os.df")
{
    SealChainCheck chains;
    for (uint64_t sequence = from; sequence <= to; ++sequence) {
        SealCheck::Result link;
        link.valid = true;
        link.host = "web1";
        link.source = source;
        link.keyId = "0123456789abcdef";
        link.sequence = sequence;
        link.previous = hashOf(sequence - 1);
        link.hash = sequence == altered ? hashOf(sequence + 1000) : hashOf(sequence);
        if (altered != 0 && sequence == altered + 1)
            link.previous = hashOf(sequence + 999);
        chains.add(link, "f" + std::to_string(sequence));
    }
    return chains;
}

// Adds the chains of more to chains.
SealChainCheck& operator+=(SealChainCheck& chains, const SealChainCheck& more)
{
    for (const auto& [id, links] : more.chains())
        for (const SealChainCheck::Link& link : links) {
            SealCheck::Result result;
            std::tie(result.host, result.source, result.keyId) = id;
            result.sequence = link.sequence;
            result.previous = link.previous;
            result.hash = link.hash;
            chains.add(result, link.path);
        }
    return chains;
}

// A check against the witness in state as the verifier makes it, which first acknowledges the
// given findings: its findings, one a line, each "[by] text" with the host, key and source cut
// off; "refused: ..." when the witness refused the acknowledgment (and is not saved).
std::string checkWith(const std::string& state, const SealChainCheck& chains,
                      const std::vector<std::string>& acknowledge = {})
{
    SealWitness witness;
    std::string problem;
    EXPECT_TRUE(witness.load(state, problem, !fs::exists(state))) << problem;
    for (const std::string& text : acknowledge)
        EXPECT_TRUE(witness.acknowledge(text, "alice", problem)) << problem;
    std::vector<SealChainCheck::Finding> findings = witness.compare(chains);
    if (!witness.review(findings, problem))
        return "refused: " + problem + "\n";
    std::string found;
    for (const SealChainCheck::Finding& finding : findings) {
        if (!finding.acknowledgedBy.empty())
            found += "[" + finding.acknowledgedBy + "] ";
        found += finding.text.substr(finding.text.find(": ") + 2) + "\n";
    }
    EXPECT_TRUE(witness.save(state, problem)) << problem;
    return found;
}

}  // namespace

TEST(SealStore, ErasingLeavesNoByteOfAnEndedEpochsKey)
{
    const TestSupport::TempDir folder;
    const std::string dir = (folder / "store").string();
    SealStore::Settings settings;
    const int64_t now = DateTime::now().count;
    settings.span = hour;
    settings.now = now - 3 * hour;
    settings.until = now + 2 * hour;
    std::string line;
    std::string problem;
    ASSERT_TRUE(SealStore::create(dir, settings, line, problem)) << problem;
    const std::string before = TestSupport::readFile(folder / "store" / "epochs.secret");
    {
        SealStore store;
        ASSERT_TRUE(store.open(dir, problem)) << problem;
        ASSERT_TRUE(store.eraseBefore(now, problem)) << problem;
    }
    SealStore store;
    ASSERT_TRUE(store.open(dir, problem)) << problem;
    std::string everything;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        everything += TestSupport::readFile(entry.path());
    int ended = 0;
    for (int64_t time = settings.now; time < settings.until; time += hour / 2) {
        const uint64_t number = uint64_t(time / hour);
        const std::string seed = before.substr(size_t(number - store.firstEpoch()) * 32, 32);
        SealStore::Epoch epoch;
        if (int64_t(number + 1) * hour <= now) {
            ++ended;
            EXPECT_FALSE(store.epochAt(time, epoch, problem)) << "epoch " << number;
            EXPECT_NE(problem.find("was erased"), std::string::npos) << problem;
            EXPECT_EQ(everything.find(seed), std::string::npos) << "epoch " << number;
        } else {
            ASSERT_TRUE(store.epochAt(time, epoch, problem)) << problem;
            EXPECT_EQ(epoch.seed, seed) << "epoch " << number;
        }
    }
    EXPECT_GE(ended, 5);  // three or four epochs, each met twice
}

// Two processes take numbers of one source at once: each number once, each file's previous
// the hash the run before recorded, and the last number readable per source.
TEST(SealChain, ConcurrentRunsTakeEveryNumberOnceInOrder)
{
    const TestSupport::TempDir folder;
    const std::string source = "app.mod/type x";
    constexpr int perProcess = 150;
    for (int child = 0; child < 2; ++child) {
        if (fork() == 0) {
            std::ofstream taken(folder / std::to_string(child));
            for (int i = 0; i < perProcess; ++i) {
                SealChain chain;
                std::string problem;
                if (!chain.begin(folder.path().string(), source, problem))
                    _exit(1);
                taken << chain.sequence() << ' ' << chain.previous() << '\n' << std::flush;
                if (!chain.complete(hashOf(chain.sequence()), problem))
                    _exit(2);
            }
            _exit(0);
        }
    }
    for (int child = 0; child < 2; ++child) {
        int status = 0;
        ASSERT_GT(wait(&status), 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::map<uint64_t, std::string> previous;
    for (const char* child : {"0", "1"}) {
        std::istringstream lines(TestSupport::readFile(folder / child));
        uint64_t sequence = 0;
        std::string head;
        while (lines >> sequence >> head)
            EXPECT_TRUE(previous.emplace(sequence, head).second) << "sequence " << sequence << " taken twice";
    }
    ASSERT_EQ(previous.size(), 2u * perProcess);
    EXPECT_EQ(previous.rbegin()->first, 2u * perProcess);
    for (const auto& [sequence, head] : previous)
        EXPECT_EQ(head, hashOf(sequence - 1)) << "sequence " << sequence;
    EXPECT_EQ(SealChain::lastSequences(folder.path().string()),
              (std::map<std::string, uint64_t>{{source, 2u * perProcess}}));
}

TEST(SealChain, ANumberGivenBackIsTakenAgainAfterTheSameHead)
{
    const TestSupport::TempDir folder;
    const std::string dir = folder.path().string();
    std::string problem;
    // The first number given back leaves no state at all; a later one the head before it.
    for (uint64_t last = 0; last < 2; ++last) {
        {
            SealChain chain;
            ASSERT_TRUE(chain.begin(dir, "app.mod", problem)) << problem;
            ASSERT_EQ(chain.sequence(), last + 1);
            ASSERT_TRUE(chain.complete(hashOf(last + 1), problem)) << problem;
            ASSERT_TRUE(chain.giveBack(problem)) << problem;
        }
        if (last == 0) {
            EXPECT_TRUE(SealChain::lastSequences(dir).empty());
        } else {
            EXPECT_EQ(SealChain::lastSequences(dir), (std::map<std::string, uint64_t>{{"app.mod", last}}));
        }
        SealChain chain;
        ASSERT_TRUE(chain.begin(dir, "app.mod", problem)) << problem;
        EXPECT_EQ(chain.sequence(), last + 1);
        EXPECT_EQ(chain.previous(), hashOf(last));
        ASSERT_TRUE(chain.complete(hashOf(last + 1), problem)) << problem;
    }
}

TEST(SealWitness, ReportsALowerHeadAnotherHeadFileAndABreakButNotRetention)
{
    const TestSupport::TempDir folder;
    const std::string state = (folder / "witness").string();
    EXPECT_EQ(checkWith(state, chainOf(1, 5)), "");
    EXPECT_EQ(checkWith(state, chainOf(3, 5)), "");  // the oldest files gone
    const std::string lower = "the newest file has sequence 3, but the witness saw sequence 5\n";
    EXPECT_EQ(checkWith(state, chainOf(1, 3)), lower);
    EXPECT_EQ(checkWith(state, chainOf(1, 6, 5)), "f5 is another file for sequence 5 than the witness saw\n"
                                                  "f6 (sequence 6) does not extend the head the witness saw\n" +
                                                      lower);  // kept until acknowledged
    const std::string kept = checkWith(state, chainOf(4, 7));  // the head moved on to 6 with the altered chain
    EXPECT_EQ(kept, "f5 is another file for sequence 5 than the witness saw\n"
                    "f6 (sequence 6) does not extend the head the witness saw\n" + lower);

    TestSupport::writeFile(state, "trawlex-seal-witness-1\nweb1\tTrawlex.os.df\tkey\tx\th\n");
    SealWitness damaged;
    std::string problem;
    EXPECT_FALSE(damaged.load(state, problem));
    EXPECT_NE(problem.find("is damaged"), std::string::npos) << problem;
}

// Files that begin well above the head and a chain that is gone are findings; an acknowledged
// finding is still reported, marked, and the acknowledgment survives the file.
TEST(SealWitness, GapsBehindTheHeadAndAbsentChainsStayUntilAcknowledged)
{
    const TestSupport::TempDir folder;
    const std::string state = (folder / "witness").string();
    std::string problem;
    EXPECT_FALSE(SealWitness().load(state, problem));
    EXPECT_NE(problem.find("\"" + state + "\" does not exist"), std::string::npos) << problem;

    SealChainCheck both = chainOf(1, 4);
    both += chainOf(1, 2, 0, "Trawlex.os.ps");
    EXPECT_EQ(checkWith(state, both), "");
    EXPECT_FALSE(SealWitness().load(state, problem, true)) << "a new witness over an existing one";
    EXPECT_NE(problem.find("exists already"), std::string::npos) << problem;

    const std::string gone = "no file in this check, the witness saw sequence 2\n";
    const std::string gap = "3 missing after witnessed sequence 4\n";
    EXPECT_EQ(checkWith(state, chainOf(8, 10)), gone + gap);
    EXPECT_EQ(checkWith(state, chainOf(9, 11)), gone + gap);  // the head is 10 now, the gap kept
    const std::string gapText = "host web1, source Trawlex.os.df, key 0123456789abcdef: " + gap.substr(0, gap.size() - 1);
    EXPECT_EQ(checkWith(state, chainOf(9, 11), {gapText + "x"}),
              "refused: no finding of this check reads \"" + gapText + "x\", nothing was acknowledged\n");
    EXPECT_EQ(checkWith(state, chainOf(9, 11), {gapText}), gone + "[alice] " + gap);
    EXPECT_EQ(checkWith(state, chainOf(9, 12), {gapText}), gone);  // no longer open nor made; given again

    // Retiring the absent chain: it is reported at every check, acknowledged.
    const std::string goneText = "host web1, source Trawlex.os.ps, key 0123456789abcdef: " + gone.substr(0, gone.size() - 1);
    EXPECT_EQ(checkWith(state, chainOf(9, 12), {goneText}), "[alice] " + gone);
    EXPECT_EQ(checkWith(state, chainOf(12, 13)), "[alice] " + gone);

    SealWitness witness;
    ASSERT_TRUE(witness.load(state, problem)) << problem;
    ASSERT_EQ(witness.acknowledged().size(), 2u);
    const SealWitness::Acknowledgment& first = witness.acknowledged().at(gapText);
    EXPECT_EQ(first.by, "alice");
    EXPECT_EQ(first.on.size(), 20u) << first.on;  // 2026-05-06T07:08:09Z
    EXPECT_EQ(first.on.back(), 'Z') << first.on;
    EXPECT_FALSE(witness.acknowledge("text\tof a finding", "alice", problem));
    EXPECT_FALSE(witness.acknowledge("text", "", problem));
}

// A witness of the first form keeps its heads and is saved in the new one.
TEST(SealWitness, ReadsTheFirstFormAndSavesTheNewOne)
{
    const TestSupport::TempDir folder;
    const std::string state = (folder / "witness").string();
    TestSupport::writeFile(state, "trawlex-seal-witness-1\nweb1\tTrawlex.os.df\t0123456789abcdef\t4\t" + hashOf(4) +
                                      "\nweb1\tTrawlex.os.ps\t0123456789abcdef\t0007\t" + hashOf(7) + "\n");
    EXPECT_EQ(checkWith(state, chainOf(3, 6, 5)), "no file in this check, the witness saw sequence 7\n");
    EXPECT_EQ(TestSupport::readFile(state),
              "trawlex-seal-witness-2\n"
              "head\tweb1\tTrawlex.os.df\t0123456789abcdef\t6\t" + hashOf(6) + "\n"
              "head\tweb1\tTrawlex.os.ps\t0123456789abcdef\t7\t" + hashOf(7) + "\n"
              "open\tweb1\tTrawlex.os.ps\t0123456789abcdef\thost web1, source Trawlex.os.ps, key 0123456789abcdef: "
              "no file in this check, the witness saw sequence 7\n");
    EXPECT_EQ(checkWith(state, chainOf(2, 4)), "no file in this check, the witness saw sequence 7\n"
                                                "the newest file has sequence 4, but the witness saw sequence 6\n");
}
