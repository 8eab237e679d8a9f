#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "corelib/Ims.h"
#include "corelib/Logger.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;

namespace {

// An agent whose handler answers a set result and records every call in a shared journal.
class Probe : public ImsAgent {
public:
    Probe(const std::string& name, std::vector<std::string>& journal, int32_t answer = handled)
        : ImsAgent(name), journal(journal), answer(answer)
    {
    }
    int32_t handleHookedMessage(uint64_t hookId, const ImsMessage& message) override
    {
        journal.push_back(name + "#" + std::to_string(hookId));
        lastSender = message.sender;
        if (onCall)
            onCall(hookId);
        return answer;
    }
    int32_t handleMessage(const ImsMessage& message) override
    {
        journal.push_back(name + " direct " + message.generalType);
        lastSender = message.sender;
        return answer;
    }

    std::vector<std::string>& journal;
    int32_t answer;
    ImsAgent* lastSender = nullptr;
    std::function<void(uint64_t)> onCall;
};

ImsMessage message(const std::string& general, const std::string& group, const std::string& type)
{
    return ImsMessage(general, group, type);
}

}  // namespace

TEST(Ims, PatternMatchingOfTheThreeLevels)
{
    Ims hub;
    std::vector<std::string> journal;
    Probe all("all", journal), empty("empty", journal), star("star", journal), some("some", journal);
    hub.setMessageHook(&all, false, "", "", "", nullptr, 1);
    hub.setMessageHook(&empty, false, "conf", "keyword", "", nullptr, 1);
    hub.setMessageHook(&star, false, "conf", "keyword", "*", nullptr, 1);
    hub.setMessageHook(&some, false, "conf", "keyword", "?*", nullptr, 1);

    ImsMessage withoutType = message("conf", "keyword", "");
    EXPECT_TRUE(hub.sendMessage(withoutType));
    EXPECT_EQ(journal, (std::vector<std::string>{"all#1", "empty#2", "star#3"}));

    journal.clear();
    ImsMessage withType = message("conf", "keyword", "x");
    hub.sendMessage(withType);
    EXPECT_EQ(journal, (std::vector<std::string>{"all#1", "empty#2", "star#3", "some#4"}));

    journal.clear();
    ImsMessage other = message("Conf", "keyword", "x");  // globs are case-sensitive
    hub.sendMessage(other);
    EXPECT_EQ(journal, (std::vector<std::string>{"all#1"}));
}

TEST(Ims, NoHookMeansNotHandled)
{
    Ims hub;
    std::vector<std::string> journal;
    Probe declining("declining", journal, ImsAgent::notHandled);
    ImsMessage m = message("conf", "query", "");
    EXPECT_FALSE(hub.sendMessage(m));
    hub.setMessageHook(&declining, false, "conf", "", "", nullptr, 1);
    EXPECT_FALSE(hub.sendMessage(m));  // called, but nobody handled it
    EXPECT_EQ(journal.size(), 1u);
}

TEST(Ims, DispatchOrderFollowsTiersThenPatternBytesThenIds)
{
    Ims hub;
    std::vector<std::string> journal;
    Probe a("a", journal), b("b", journal), c("c", journal), d("d", journal);
    hub.setMessageHook(&a, false, "conf", "query", "", nullptr, 1);  // 1
    hub.setMessageHook(&b, false, "conf", "*", "", nullptr, 1);      // 2: "*" sorts before "q"
    hub.setMessageHook(&c, false, "conf", "query", "", nullptr, 1);  // 3: same entry as 1
    hub.setMessageHook(&d, false, "conf", "query", "", nullptr, 7);  // 4: any other tier is tier 2
    hub.setMessageHook(&d, false, "zzz", "", "", nullptr, 2);        // 5
    hub.setMessageHook(&d, false, "", "", "", nullptr, 0);           // 6: tier 0 comes first

    ImsMessage m = message("conf", "query", "");
    EXPECT_TRUE(hub.sendMessage(m));
    EXPECT_EQ(journal, (std::vector<std::string>{"d#6", "b#2", "a#1", "c#3", "d#4"}));
}

TEST(Ims, HandledFinalStopsTheWholeDispatch)
{
    Ims hub;
    std::vector<std::string> journal;
    Probe first("first", journal), final("final", journal, ImsAgent::handledFinal), later("later", journal);
    hub.setMessageHook(&first, false, "conf", "*", "", nullptr, 1);
    hub.setMessageHook(&final, false, "conf", "query", "", nullptr, 1);
    hub.setMessageHook(&later, false, "conf", "query", "", nullptr, 1);  // later id, same entry
    hub.setMessageHook(&later, false, "conf", "query", "*", nullptr, 1);  // later entry
    hub.setMessageHook(&later, false, "", "", "", nullptr, 2);            // later tier

    ImsMessage m = message("conf", "query", "");
    EXPECT_TRUE(hub.sendMessage(m));
    EXPECT_EQ(journal, (std::vector<std::string>{"first#1", "final#2"}));

    // An answer outside the three results leaves the status as it was.
    std::vector<std::string> other;
    Ims second;
    Probe odd("odd", other, 17);
    second.setMessageHook(&odd, false, "", "", "", nullptr, 1);
    EXPECT_FALSE(second.sendMessage(m));
}

TEST(Ims, OnceHooksGoAfterTheFirstHandledDispatch)
{
    Ims hub;
    std::vector<std::string> journal;
    Probe declining("declining", journal, ImsAgent::notHandled), taking("taking", journal);
    const uint64_t decliningId = hub.setMessageHook(&declining, true, "a", "", "", nullptr, 1);
    ImsMessage m = message("a", "b", "c");
    EXPECT_FALSE(hub.sendMessage(m));
    EXPECT_FALSE(hub.sendMessage(m));
    EXPECT_EQ(journal.size(), 2u);  // nothing handled: it stays

    // Status accumulates: a once hook after a handling hook goes even though it declined.
    hub.setMessageHook(&taking, true, "", "", "", nullptr, 0);
    journal.clear();
    EXPECT_TRUE(hub.sendMessage(m));
    EXPECT_EQ(journal, (std::vector<std::string>{"taking#2", "declining#1"}));
    EXPECT_EQ(hub.hookCount(), 0u);
    EXPECT_FALSE(hub.removeMessageHook(decliningId));
    journal.clear();
    EXPECT_FALSE(hub.sendMessage(m));
    EXPECT_TRUE(journal.empty());
}

TEST(Ims, DuplicatesAreRefusedPerAgentInTheFirstTierHoldingTheGlobs)
{
    std::vector<std::string> journal;
    Probe mine("mine", journal), other("other", journal);
    const uint64_t first = mine.setMessageHook(false, "conf", "query", "x", 1);
    try {
        mine.setMessageHook(true, "conf", "query", "x", 2);  // once flag and tier play no part
        FAIL() << "duplicate accepted";
    } catch (const ImsAgent::Hook_Duplicate& e) {
        EXPECT_EQ(e.className, "Hook_Duplicate");
        EXPECT_TRUE(e.messageTemplate.empty());
        ASSERT_EQ(e.nested.size(), 1u);
        EXPECT_EQ(e.nested[0].getMessage(false), " Trying to set a hook identical to a hook already set");
        EXPECT_FALSE(e.nested[0].annotations.empty());
    }
    const uint64_t others = other.setMessageHook(false, "conf", "query", "x", 1);
    EXPECT_TRUE(mine.removeMessageHook(others));
    EXPECT_TRUE(mine.removeMessageHook(first));
    EXPECT_FALSE(mine.removeMessageHook(first));

    // Another agent holds the globs in tier 0: only that tier is searched.
    Ims hub;
    hub.setMessageHook(&other, false, "g", "h", "i", nullptr, 0);
    hub.setMessageHook(&mine, false, "g", "h", "i", nullptr, 1);
    EXPECT_NO_THROW(hub.setMessageHook(&mine, false, "g", "h", "i", nullptr, 1));
    EXPECT_THROW(hub.setMessageHook(&other, false, "g", "h", "i", nullptr, 2), Ims::Hook_Duplicate);
    EXPECT_EQ(hub.hookCount(), 3u);
}

TEST(Ims, IdsStartAtOneAndTheLargestIsIssuedAgain)
{
    Ims hub;
    std::vector<std::string> journal;
    Probe p("p", journal);
    EXPECT_EQ(hub.setMessageHook(&p, false, "a", "", "", nullptr, 1), 1u);
    EXPECT_EQ(hub.setMessageHook(&p, false, "b", "", "", nullptr, 1), 2u);
    EXPECT_EQ(hub.setMessageHook(&p, false, "c", "", "", nullptr, 1), 3u);
    EXPECT_TRUE(hub.removeMessageHook(3));
    EXPECT_EQ(hub.setMessageHook(&p, false, "d", "", "", nullptr, 1), 3u);
    EXPECT_TRUE(hub.removeMessageHook(1));
    EXPECT_EQ(hub.setMessageHook(&p, false, "e", "", "", nullptr, 1), 4u);  // gaps are not refilled
    EXPECT_TRUE(hub.removeMessageHook(2));
    EXPECT_TRUE(hub.removeMessageHook(3));
    EXPECT_TRUE(hub.removeMessageHook(4));
    EXPECT_EQ(hub.setMessageHook(&p, false, "f", "", "", nullptr, 1), 1u);

    // A removed hook's entry is gone: the same globs can be set again by the same agent.
    EXPECT_TRUE(hub.removeMessageHook(1));
    EXPECT_EQ(hub.setMessageHook(&p, false, "f", "", "", nullptr, 1), 1u);
}

TEST(Ims, HooksChangedDuringDispatch)
{
    Ims hub;
    std::vector<std::string> journal;
    Probe remover("remover", journal), victim("victim", journal), setter("setter", journal), late("late", journal);
    hub.setMessageHook(&remover, false, "m", "", "", nullptr, 1);          // 1
    const uint64_t victimId = hub.setMessageHook(&victim, false, "m", "", "", nullptr, 1);  // 2
    hub.setMessageHook(&setter, false, "m", "*", "", nullptr, 1);          // 3: entry sorts after ("m","","")
    uint64_t sameTier = 0, laterTier = 0;
    remover.onCall = [&](uint64_t) { hub.removeMessageHook(victimId); };
    setter.onCall = [&](uint64_t) {
        if (sameTier == 0) {
            sameTier = hub.setMessageHook(&late, false, "m", "~", "", nullptr, 1);  // walked copy: not seen
            laterTier = hub.setMessageHook(&late, false, "m", "", "", nullptr, 2);  // copied later: seen
        }
    };
    ImsMessage m = message("m", "x", "");
    EXPECT_TRUE(hub.sendMessage(m));
    EXPECT_EQ(journal, (std::vector<std::string>{"remover#1", "setter#3", "late#" + std::to_string(laterTier)}));

    // A handler may remove its own hook, and send further messages.
    journal.clear();
    Ims quiet;
    Probe selfRemover("self", journal);
    const uint64_t own = quiet.setMessageHook(&selfRemover, false, "", "", "", nullptr, 1);
    selfRemover.onCall = [&](uint64_t id) {
        EXPECT_TRUE(quiet.removeMessageHook(id));
        ImsMessage inner = message("inner", "", "");
        EXPECT_FALSE(quiet.sendMessage(inner));
    };
    EXPECT_TRUE(quiet.sendMessage(m));
    EXPECT_EQ(journal, (std::vector<std::string>{"self#" + std::to_string(own)}));
    EXPECT_EQ(quiet.hookCount(), 0u);
}

// Threads that share one hub set, use and remove their hooks at once: each sees exactly its
// own messages, and a hook common to all sees every one.
TEST(Ims, ThreadsSharingOneHubEachSeeTheirOwnMessages)
{
    class Counter : public ImsAgent {
    public:
        explicit Counter(const std::string& name) : ImsAgent(name) {}
        int32_t handleHookedMessage(uint64_t, const ImsMessage&) override
        {
            ++calls;
            return handled;
        }
        std::atomic<int> calls{0};
    };
    constexpr int threads = 4;
    constexpr int rounds = 200;
    Ims hub;
    Counter common("common");
    hub.setMessageHook(&common, false, "shared", "", "", nullptr, 2);
    std::vector<int> seen(threads, 0);  // each slot written by its own thread
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&hub, &seen, t] {
            Counter own("own" + std::to_string(t));
            for (int round = 0; round < rounds; ++round) {
                const uint64_t id = hub.setMessageHook(&own, false, "shared", std::to_string(t), "", nullptr, 1);
                ImsMessage m("shared", std::to_string(t), "");
                hub.sendMessage(m);
                hub.removeMessageHook(id);
            }
            seen[t] = own.calls;
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(seen[t], rounds) << t;
    EXPECT_EQ(common.calls, threads * rounds);
    EXPECT_EQ(hub.hookCount(), 1u);
}

TEST(Ims, SenderFilterAndDirectSending)
{
    Ims hub;
    std::vector<std::string> journal;
    Probe receiver("receiver", journal), wanted("wanted", journal), stranger("stranger", journal);
    hub.setMessageHook(&receiver, false, "", "", "", &wanted, 1);
    ImsMessage m = message("a", "b", "c");
    m.sender = &stranger;
    EXPECT_FALSE(hub.sendMessage(m));
    m.sender = &wanted;
    EXPECT_TRUE(hub.sendMessage(m));
    EXPECT_EQ(journal, (std::vector<std::string>{"receiver#1"}));

    // Direct: the target's handleMessage, no hook involved, sender set.
    journal.clear();
    Probe declining("declining", journal, ImsAgent::notHandled);
    ImsMessage direct = message("conf", "", "");
    EXPECT_TRUE(stranger.sendMessage(&receiver, direct));
    EXPECT_EQ(receiver.lastSender, &stranger);
    EXPECT_FALSE(stranger.sendMessage(&declining, direct));
    EXPECT_EQ(journal, (std::vector<std::string>{"receiver direct conf", "declining direct conf"}));
}

TEST(Ims, AHandlerErrorAbandonsTheDispatchAndItsRemovals)
{
    Ims hub;
    std::vector<std::string> journal;
    Probe once("once", journal), failing("failing", journal), after("after", journal);
    hub.setMessageHook(&once, true, "", "", "", nullptr, 0);
    hub.setMessageHook(&failing, false, "", "", "", nullptr, 1);
    hub.setMessageHook(&after, false, "", "", "", nullptr, 2);
    failing.onCall = [](uint64_t) { throw Exception("@test.failure{Failure};"); };
    ImsMessage m = message("a", "", "");
    EXPECT_THROW(hub.sendMessage(m), Exception);
    EXPECT_EQ(journal, (std::vector<std::string>{"once#1", "failing#2"}));
    EXPECT_EQ(hub.hookCount(), 3u);  // the once hook was not removed
}

TEST(Ims, AgentsTraceTheirTrafficButNeverDebugMessages)
{
    TestSupport::LogSink sink("imsagent");
    std::vector<std::string> journal;
    Probe agent("agent", journal);
    sink.clear();

    ImsMessage conf = message("conf", "query", "");
    agent.sendMessage(conf);
    EXPECT_EQ(conf.sender, &agent);
    EXPECT_EQ(sink.all().size(), 1u);
    EXPECT_EQ(sink.all().at(0).text, "ImsAgent::sendMessage:\n%");

    sink.clear();
    ImsMessage debug = message("debug", "anything", "");
    agent.sendMessage(debug);
    agent.sendMessage(&agent, debug);
    EXPECT_TRUE(sink.all().empty());

    // Hooks are traced at verbose, which the default levels (7) let through.
    const uint64_t id = agent.setMessageHook(false, "x", "y", "z", 1);
    agent.removeMessageHook(id);
    agent.removeMessageHook(Ims::instance(), id);
    const auto records = sink.all();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text.rfind("ImsAgent::setMessageHook: Setting hook:\n\tHook only once   : %", 0), 0u);
    EXPECT_EQ(records[1].text, "ImsAgent::removeMessageHook: Removing hook %");
    EXPECT_EQ(records[2].text, "ImsAgent::removeMessageHook: Removing hook % from specific IMS system");
}

TEST(ImsMessage, DescriptionCopiesAndOwnership)
{
    ImsMessage m("conf", "query", "");
    EXPECT_EQ(m.describe(), "\tGeneral type: conf\n\tGroup type  : query\n\tMessage type: ");
    EXPECT_EQ(m.parameter, nullptr);
    EXPECT_FALSE(m.ownsParameter);
    EXPECT_EQ(m.sender, nullptr);

    // An owning message deletes its parameter once, however it is copied; a message that
    // does not own its parameter never deletes it.
    struct Counted : ImsMessageParameter {
        explicit Counted(int& deletions) : deletions(deletions) {}
        ~Counted() override { ++deletions; }
        int& deletions;
    };
    int deletions = 0;
    {
        ImsMessage owner("a", "b", "c", new Counted(deletions));
        owner.ownsParameter = true;
        ImsMessage copy(owner);
        EXPECT_FALSE(copy.ownsParameter);
        ImsMessage moved(std::move(owner));
        EXPECT_TRUE(moved.ownsParameter);
        EXPECT_EQ(deletions, 0);
    }
    EXPECT_EQ(deletions, 1);
    Counted kept(deletions);
    { ImsMessage borrower("a", "b", "c", &kept); }
    EXPECT_EQ(deletions, 1);
}
