#include "corelib/SystemBase.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "corelib/WinRegistry.h"
#include "corelib/platform/Environment.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

// Sends the "system" messages and sees, at a later tier, those that were not answered finally.
class Client : public ImsAgent {
public:
    Client() : ImsAgent("sysclient") { hookId = setMessageHook(false, "system", "*", "", 2); }
    ~Client() override { removeMessageHook(hookId); }
    int32_t handleHookedMessage(uint64_t id, const ImsMessage&) override
    {
        if (id == hookId)
            ++passedOn;
        return notHandled;
    }

    // Sends the message; true when some hook handled it. passed: a later hook saw it too.
    bool send(const std::string& group, SystemQueryParam& param, bool* passed = nullptr)
    {
        const int before = passedOn;
        ImsMessage message("system", group, "", &param);
        const bool answered = sendMessage(message);
        if (passed != nullptr)
            *passed = passedOn != before;
        return answered;
    }

    uint64_t hookId = 0;
    int passedOn = 0;
};

template <typename Items>
std::string lines(const Items& items)
{
    std::string text;
    for (const std::string& item : items)
        text += item + "\n";
    if (!text.empty())
        text.pop_back();
    return text;
}

class SystemBaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Platform::setEnvironmentVariable("TRAWLEX_REGISTRY_DIR", root.string()));
        ASSERT_TRUE(Platform::unsetEnvironmentVariable("KELVRA_ENV"));
    }

    void TearDown() override
    {
        Platform::unsetEnvironmentVariable("TRAWLEX_REGISTRY_DIR");
    }

    // The store folder of the local values of the machine's root.
    fs::path machineValues() const { return root / "HKEY_LOCAL_MACHINE" / "software" / "kelvra"; }

    // Sends a "query" or "set" of the value; the status, -1 when it was left alone.
    template <typename Value>
    int32_t ask(const std::string& group, const std::string& path, int32_t type, Value&& value, bool perUser = false)
    {
        SystemQueryParam param(path, type, &value, perUser);
        param.status = -1;
        EXPECT_TRUE(client.send(group, param)) << path;
        return param.status;
    }

    TestSupport::TempDir folder{"trawlex-registry"};
    fs::path root = folder / "store";
    SystemBase agent;
    Client client;
};

TEST_F(SystemBaseTest, SystemKeysAnswerFinallyAndUnknownKeysPassOn)
{
    std::string value;
    bool passed = true;
    // Everything from the first "." on is the argument, which hostname ignores.
    for (const std::string key : {"hostname", "hostname.some.thing"}) {
        value.clear();
        SystemQueryParam param(key, 16, &value);
        EXPECT_TRUE(client.send("query", param, &passed));
        EXPECT_EQ(param.status, 0);
        EXPECT_FALSE(passed);
        EXPECT_EQ(value, systemValue(SystemValueId::hostName));
    }
    const std::set<std::string> groups = localGroups();
    ASSERT_GE(groups.size(), 2u) << "a POSIX system has local groups";
    EXPECT_EQ(ask("query", "groups", 16, value), -1);
    EXPECT_EQ(value, lines(groups));
    for (const std::string& group : groups) {
        if (groupMembers(group).empty())
            continue;
        EXPECT_EQ(ask("query", "groupusers." + group, 16, value), -1);
        EXPECT_EQ(value, lines(groupMembers(group)));
        break;
    }
    value = "stale";
    EXPECT_EQ(ask("query", "groupusers.no-such-group-here", 16, value), -1);
    EXPECT_EQ(value, "");
    EXPECT_EQ(ask("query", "diskserial./", 16, value), -1);
    EXPECT_EQ(value, diskSerial("/"));
    EXPECT_NE(value, "[unknown]");

    // Unknown keys (case counts): status 3, value untouched, later hooks still see the message.
    for (const std::string key : {"nosuchkey", "Hostname", ".hostname"}) {
        value = "untouched";
        SystemQueryParam param(key, 16, &value);
        EXPECT_TRUE(client.send("query", param, &passed)) << key;
        EXPECT_EQ(param.status, 3) << key;
        EXPECT_TRUE(passed) << key;
        EXPECT_EQ(value, "untouched");
    }
    // A query of a type not served: status 5, passed on. A set of type 16 or 22: status 11.
    SystemQueryParam other("hostname", 15, &value);
    EXPECT_TRUE(client.send("query", other, &passed));
    EXPECT_EQ(other.status, 5);
    EXPECT_TRUE(passed);
    EXPECT_EQ(ask("set", "hostname", 16, std::string("x")), 11);
    EXPECT_EQ(ask("set", "collector\\x", 22, std::string("x")), 11);
    EXPECT_FALSE(fs::exists(root / "HKEY_LOCAL_MACHINE"));

    // Other groups are not the agent's.
    ImsMessage foreign("system", "delete", "", &other);
    EXPECT_FALSE(client.sendMessage(foreign));
}

TEST_F(SystemBaseTest, LocalValuesOfEveryTypeRoundTripThroughTheStore)
{
    int64_t smallest = std::numeric_limits<int64_t>::min();
    uint64_t largest = std::numeric_limits<uint64_t>::max();
    std::set<std::string> words = {"zeta", "alpha", "with space"};
    EXPECT_EQ(ask("set", "collector\\int", 17, smallest), -1);
    EXPECT_EQ(ask("set", "collector\\uint", 18, largest), -1);
    EXPECT_EQ(ask("set", "collector\\float", 19, 1.25e20), -1);
    EXPECT_EQ(ask("set", "collector\\text", 20, std::string("PT5M and more")), -1);
    EXPECT_EQ(ask("set", "collector\\words", 21, words), -1);
    EXPECT_EQ(ask("set", "collector\\none", 21, std::set<std::string>()), -1);

    // Texts and a multi-text under the key named by the path's first part.
    const std::string key = "SOFTWARE\\Kelvra\\collector";
    EXPECT_EQ(WinRegistry::getString("HKEY_LOCAL_MACHINE", key, "int"), "-9223372036854775808");
    EXPECT_EQ(WinRegistry::getString("HKEY_LOCAL_MACHINE", key, "uint"), "18446744073709551615");
    EXPECT_EQ(WinRegistry::getMultiString("HKEY_LOCAL_MACHINE", key, "words"),
              (std::vector<std::string>{"alpha", "with space", "zeta"}));

    int64_t signedValue = 0;
    uint64_t unsignedValue = 0;
    double real = 0;
    std::string text;
    std::set<std::string> list = {"stale"};
    EXPECT_EQ(ask("query", "collector\\int", 17, signedValue), -1);
    EXPECT_EQ(signedValue, smallest);
    EXPECT_EQ(ask("query", "collector\\uint", 18, unsignedValue), -1);
    EXPECT_EQ(unsignedValue, largest);
    EXPECT_EQ(ask("query", "collector\\float", 19, real), -1);
    EXPECT_DOUBLE_EQ(real, 1.25e20);
    EXPECT_EQ(ask("query", "collector\\text", 20, text), -1);
    EXPECT_EQ(text, "PT5M and more");
    EXPECT_EQ(ask("query", "collector\\words", 21, list), -1);
    EXPECT_EQ(list, words);
    EXPECT_EQ(ask("query", "collector\\none", 21, list), -1);
    EXPECT_TRUE(list.empty());

    // Without a backslash the path names a value of the key itself; the last backslash splits.
    EXPECT_EQ(ask("set", "a\\b\\c", 20, std::string("deep")), -1);
    EXPECT_EQ(WinRegistry::getString("HKEY_LOCAL_MACHINE", "SOFTWARE\\Kelvra\\a\\b", "c"), "deep");
    WinRegistry::setString("HKEY_LOCAL_MACHINE", "SOFTWARE\\Kelvra", "c", "shallow");
    EXPECT_EQ(ask("query", "c", 20, text), -1);
    EXPECT_EQ(text, "shallow");

    // Per user: the user's own root, unless the process runs as the service account.
    const std::string user = systemValue(SystemValueId::currentUser);
    const bool service = user == "root" || user == "SYSTEM";
    EXPECT_EQ(ask("set", "collector\\mine", 20, std::string("own"), true), -1);
    EXPECT_EQ(fs::exists(machineValues() / "collector" / "@mine"), service);
    EXPECT_EQ(ask("query", "collector\\mine", 20, text, true), -1);
    EXPECT_EQ(text, "own");
}

TEST_F(SystemBaseTest, ReadAndWriteFailuresAreReportedByStatus)
{
    EXPECT_EQ(ask("set", "collector\\text", 20, std::string("some text")), -1);
    EXPECT_EQ(ask("set", "collector\\words", 21, std::set<std::string>{"a"}), -1);

    // Missing values and keys (3) and values of the other kind (4) leave the variable alone.
    int64_t number = 7;
    std::string text = "untouched";
    std::set<std::string> list = {"untouched"};
    EXPECT_EQ(ask("query", "collector\\missing", 17, number), 3);
    EXPECT_EQ(ask("query", "nokey\\text", 20, text), 3);
    EXPECT_EQ(ask("query", "collector\\text", 21, list), 4);
    EXPECT_EQ(ask("query", "collector\\words", 20, text), 4);
    EXPECT_EQ(ask("query", "collector\\words", 17, number), 4);
    EXPECT_EQ(list, std::set<std::string>{"untouched"});
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(number, 7);

    // A key that cannot be reached for another reason (a link to itself): read 6, write 11.
    fs::create_symlink("loop", machineValues() / "loop");
    EXPECT_EQ(ask("query", "loop\\value", 20, text), 6);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(ask("set", "loop\\value", 20, std::string("x")), 11);

    // No variable to read into or write from.
    SystemQueryParam noValue("collector\\text", 20, nullptr);
    EXPECT_TRUE(client.send("query", noValue));
    EXPECT_EQ(noValue.status, 3);
    EXPECT_TRUE(client.send("set", noValue));
    EXPECT_EQ(noValue.status, 11);
}

TEST(SystemBasePlaceTest, RootAndKeyFollowUserAndBackslashes)
{
    const auto place = [](const std::string& path, bool perUser, const std::string& user) {
        const SystemBase::RegistryPlace found = SystemBase::registryPlace(path, perUser, user);
        return found.root + "|" + found.key + "|" + found.valueName;
    };
    EXPECT_EQ(place("collector\\interval", false, "joe"), "HKEY_LOCAL_MACHINE|SOFTWARE\\Kelvra\\collector|interval");
    EXPECT_EQ(place("collector\\interval", true, "joe"), "HKEY_CURRENT_USER|SOFTWARE\\Kelvra\\collector|interval");
    EXPECT_EQ(place("a\\b\\c", true, "SYSTEM"), "HKEY_LOCAL_MACHINE|SOFTWARE\\Kelvra\\a\\b|c");
#ifndef _WIN32
    EXPECT_EQ(place("c", true, "root"), "HKEY_LOCAL_MACHINE|SOFTWARE\\Kelvra|c");
#endif
    EXPECT_EQ(place("\\c", false, "joe"), "HKEY_LOCAL_MACHINE|SOFTWARE\\Kelvra|c");
}

}  // namespace
