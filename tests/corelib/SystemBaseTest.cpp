#include "corelib/SystemBase.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>

#include "corelib/WinRegistry.h"
#include "corelib/platform/Environment.h"

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

    // Sends the message; true when it was answered and not passed on to the later tier.
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

template <typename Value>
int32_t query(Client& client, const std::string& path, int32_t type, Value& value, bool perUser = false)
{
    SystemQueryParam param(path, type, &value, perUser);
    param.status = -1;
    EXPECT_TRUE(client.send("query", param)) << path;
    return param.status;
}

template <typename Value>
int32_t set(Client& client, const std::string& path, int32_t type, const Value& value, bool perUser = false)
{
    Value copy = value;
    SystemQueryParam param(path, type, &copy, perUser);
    param.status = -1;
    EXPECT_TRUE(client.send("set", param)) << path;
    return param.status;
}

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

std::string fileContent(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

class SystemBaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::temp_directory_path() / ("sysbase-registry-" + std::string(info->name()) + "-" +
                                            std::to_string(std::hash<std::string>{}(TEST_BINARY_DIR)));
        fs::remove_all(root);
        ASSERT_TRUE(Platform::setEnvironmentVariable("TRAWLEX_REGISTRY_DIR", root.string()));
        ASSERT_TRUE(Platform::unsetEnvironmentVariable("KELVRA_ENV"));
    }

    void TearDown() override
    {
        Platform::unsetEnvironmentVariable("TRAWLEX_REGISTRY_DIR");
        std::error_code ignored;
        fs::permissions(root / "HKEY_LOCAL_MACHINE", fs::perms::owner_all, ignored);
        fs::remove_all(root, ignored);
    }

    // The store folder of the local values of the machine's root.
    fs::path machineValues() const { return root / "HKEY_LOCAL_MACHINE" / "software" / "kelvra"; }

    fs::path root;
    SystemBase agent;
    Client client;
};

TEST_F(SystemBaseTest, SystemKeysAnswerFromCacheAndProbesWithTheirArguments)
{
    std::string value;
    EXPECT_EQ(query(client, "hostname", 16, value), -1);
    EXPECT_EQ(value, systemValue(SystemValueId::hostName));
    value.clear();
    // Everything from the first "." on is the argument, which hostname ignores.
    EXPECT_EQ(query(client, "hostname.some.thing", 16, value), -1);
    EXPECT_EQ(value, systemValue(SystemValueId::hostName));
    EXPECT_EQ(query(client, "osversion", 16, value), -1);
    EXPECT_EQ(value, std::to_string(std::stoul(systemValue(SystemValueId::osVersion))));
    EXPECT_EQ(query(client, "currentuser", 16, value), -1);
    EXPECT_EQ(value, systemValue(SystemValueId::currentUser));

    const std::set<std::string> groups = localGroups();
    ASSERT_GE(groups.size(), 2u) << "a POSIX system has local groups";
    EXPECT_EQ(query(client, "groups", 16, value), -1);
    EXPECT_EQ(value, lines(groups));
    EXPECT_NE(value.back(), '\n');

    // A group with members, found through the probe itself.
    std::string groupWithMembers;
    for (const std::string& group : groups)
        if (!groupMembers(group).empty())
            groupWithMembers = group;
    if (!groupWithMembers.empty()) {
        EXPECT_EQ(query(client, "groupusers." + groupWithMembers, 16, value), -1);
        EXPECT_EQ(value, lines(groupMembers(groupWithMembers)));
        const std::string member = *groupMembers(groupWithMembers).begin();
        EXPECT_EQ(query(client, "usergroups." + member, 16, value), -1);
        EXPECT_EQ(value, lines(userGroups(member)));
        EXPECT_NE(value.find(groupWithMembers), std::string::npos);
    }
    value = "stale";
    EXPECT_EQ(query(client, "groupusers.no-such-group-here", 16, value), -1);
    EXPECT_EQ(value, "");
    EXPECT_EQ(query(client, "ip", 16, value), -1);
    EXPECT_EQ(value, lines(ipAddresses()));
    EXPECT_EQ(query(client, "diskserial./", 16, value), -1);
    EXPECT_EQ(value, diskSerial("/"));
    EXPECT_NE(value, "[unknown]");

    // Unknown keys (case counts) are marked, leave the value alone and pass on to later hooks.
    for (const std::string key : {"nosuchkey", "Hostname", "", ".hostname"}) {
        value = "untouched";
        SystemQueryParam param(key, 16, &value);
        bool passed = false;
        EXPECT_TRUE(client.send("query", param, &passed)) << key;
        EXPECT_EQ(param.status, 3) << key;
        EXPECT_TRUE(passed) << key;
        EXPECT_EQ(value, "untouched");
    }
    // A known key is answered finally.
    SystemQueryParam known("arch", 16, &value);
    bool passed = true;
    EXPECT_TRUE(client.send("query", known, &passed));
    EXPECT_FALSE(passed);
    EXPECT_EQ(known.status, 0);
    EXPECT_EQ(value, systemValue(SystemValueId::architecture));

    // A type the agent does not serve: status 5, passed on. A set of type 16: status 11.
    SystemQueryParam other("hostname", 15, &value);
    EXPECT_TRUE(client.send("query", other, &passed));
    EXPECT_EQ(other.status, 5);
    EXPECT_TRUE(passed);
    EXPECT_EQ(set(client, "hostname", 16, std::string("x")), 11);
    EXPECT_EQ(set(client, "collector\\x", 22, std::string("x")), 11);
    EXPECT_FALSE(fs::exists(root / "HKEY_LOCAL_MACHINE"));

    // Other groups and other general types are not the agent's.
    ImsMessage foreign("system", "delete", "", &known);
    EXPECT_FALSE(client.sendMessage(foreign));
    ImsMessage direct("conf", "query", "", &known);
    EXPECT_EQ(agent.handleMessage(direct), ImsAgent::notHandled);
    EXPECT_EQ(agent.handleHookedMessage(agent.queryHookId + agent.setHookId + 1, foreign), ImsAgent::notHandled);
}

TEST_F(SystemBaseTest, LocalValuesOfEveryTypeRoundTripThroughTheStore)
{
    const int64_t smallest = std::numeric_limits<int64_t>::min();
    const uint64_t largest = std::numeric_limits<uint64_t>::max();
    const std::set<std::string> words = {"zeta", "alpha", "with space"};
    EXPECT_EQ(set(client, "collector\\int", 17, smallest), -1);
    EXPECT_EQ(set(client, "collector\\uint", 18, largest), -1);
    EXPECT_EQ(set(client, "collector\\float", 19, 2.5), -1);
    EXPECT_EQ(set(client, "collector\\huge", 19, 1.25e20), -1);
    EXPECT_EQ(set(client, "collector\\text", 20, std::string("PT5M and more")), -1);
    EXPECT_EQ(set(client, "collector\\words", 21, words), -1);
    EXPECT_EQ(set(client, "collector\\none", 21, std::set<std::string>()), -1);

    // The values are texts and multi-texts under the key of the path's first part.
    const fs::path collector = machineValues() / "collector";
    EXPECT_EQ(fileContent(collector / "@int"), "1\n-9223372036854775808");
    EXPECT_EQ(fileContent(collector / "@uint"), "1\n18446744073709551615");
    EXPECT_EQ(fileContent(collector / "@float"), "1\n2.5");
    EXPECT_EQ(fileContent(collector / "@text"), "1\nPT5M and more");
    EXPECT_EQ(fileContent(collector / "@words"), std::string("7\nalpha\0with space\0zeta\0\0", 25));

    int64_t signedValue = 0;
    uint64_t unsignedValue = 0;
    double real = 0;
    std::string text;
    std::set<std::string> list = {"stale"};
    EXPECT_EQ(query(client, "collector\\int", 17, signedValue), -1);
    EXPECT_EQ(signedValue, smallest);
    EXPECT_EQ(query(client, "collector\\uint", 18, unsignedValue), -1);
    EXPECT_EQ(unsignedValue, largest);
    EXPECT_EQ(query(client, "collector\\float", 19, real), -1);
    EXPECT_EQ(real, 2.5);
    EXPECT_EQ(query(client, "collector\\huge", 19, real), -1);
    EXPECT_DOUBLE_EQ(real, 1.25e20);
    EXPECT_EQ(query(client, "collector\\text", 20, text), -1);
    EXPECT_EQ(text, "PT5M and more");
    EXPECT_EQ(query(client, "collector\\words", 21, list), -1);
    EXPECT_EQ(list, words);
    EXPECT_EQ(query(client, "collector\\none", 21, list), -1);
    EXPECT_TRUE(list.empty());
    // Numbers are read from their text, whoever wrote it.
    EXPECT_EQ(query(client, "collector\\text", 17, signedValue), -1);
    EXPECT_EQ(signedValue, 0);

    // Without a backslash the path is a value of the key itself; with several, the last one splits.
    EXPECT_EQ(set(client, "interval", 20, std::string("top")), -1);
    EXPECT_EQ(set(client, "a\\b\\c", 20, std::string("deep")), -1);
    EXPECT_EQ(fileContent(machineValues() / "@interval"), "1\ntop");
    EXPECT_EQ(fileContent(machineValues() / "a" / "b" / "@c"), "1\ndeep");
    EXPECT_EQ(WinRegistry::getString("HKEY_LOCAL_MACHINE", "SOFTWARE\\Kelvra\\a\\b", "c"), "deep");
    WinRegistry::setString("HKEY_LOCAL_MACHINE", "SOFTWARE\\Kelvra", "c", "shallow");
    EXPECT_EQ(query(client, "c", 20, text), -1);
    EXPECT_EQ(text, "shallow");
    EXPECT_EQ(query(client, "a\\b\\c", 20, text), -1);
    EXPECT_EQ(text, "deep");

    // Per user: the user's own root, unless the process runs as the service account.
    const std::string user = systemValue(SystemValueId::currentUser);
    const bool service = user == "root" || user == "SYSTEM";
    EXPECT_EQ(set(client, "collector\\mine", 20, std::string("own"), true), -1);
    EXPECT_EQ(fs::exists(collector / "@mine"), service);
    EXPECT_EQ(query(client, "collector\\mine", 20, text, true), -1);
    EXPECT_EQ(text, "own");
    text = "untouched";
    EXPECT_EQ(query(client, "collector\\mine", 20, text, false), service ? -1 : 3);
    EXPECT_EQ(text, service ? "own" : "untouched");
}

TEST_F(SystemBaseTest, ReadAndWriteFailuresAreReportedByStatus)
{
    EXPECT_EQ(set(client, "collector\\text", 20, std::string("some text")), -1);
    EXPECT_EQ(set(client, "collector\\words", 21, std::set<std::string>{"a"}), -1);

    // Missing values and keys leave the caller's variable alone.
    int64_t number = 7;
    std::string text = "untouched";
    std::set<std::string> list = {"untouched"};
    EXPECT_EQ(query(client, "collector\\missing", 17, number), 3);
    EXPECT_EQ(query(client, "nokey\\text", 20, text), 3);
    EXPECT_EQ(query(client, "text", 20, text), 3);
    EXPECT_EQ(number, 7);
    EXPECT_EQ(text, "untouched");

    // A text read as a set and a set read as a text or number.
    EXPECT_EQ(query(client, "collector\\text", 21, list), 4);
    EXPECT_EQ(query(client, "collector\\words", 20, text), 4);
    EXPECT_EQ(query(client, "collector\\words", 17, number), 4);
    EXPECT_EQ(list, std::set<std::string>{"untouched"});
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(number, 7);

    // A key that cannot be reached for another reason (a link to itself): read 6, write 11.
    fs::create_symlink("loop", machineValues() / "loop");
    EXPECT_EQ(query(client, "loop\\value", 20, text), 6);
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(set(client, "loop\\value", 20, std::string("x")), 11);
    // A file where a key should be.
    std::ofstream(machineValues() / "plain") << "not a key";
    EXPECT_EQ(set(client, "plain\\value", 17, int64_t{1}), 11);

    // No variable to read into or write from.
    SystemQueryParam noValue("collector\\text", 20, nullptr);
    EXPECT_TRUE(client.send("query", noValue));
    EXPECT_EQ(noValue.status, 3);
    noValue.status = 0;
    EXPECT_TRUE(client.send("set", noValue));
    EXPECT_EQ(noValue.status, 11);
    SystemQueryParam noString("hostname", 16, nullptr);
    EXPECT_TRUE(client.send("query", noString));
    EXPECT_EQ(noString.status, 3);

    // A key that refuses writing gives 10; a privileged process is not refused.
    fs::create_directories(machineValues() / "locked");
    fs::permissions(machineValues() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const bool refused = !std::ofstream(machineValues() / "locked" / "probe").is_open();
    EXPECT_EQ(set(client, "locked\\value", 20, std::string("x")), refused ? 10 : -1);
    fs::permissions(machineValues() / "locked", fs::perms::owner_all);
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
    EXPECT_EQ(place("c", true, "system"), "HKEY_CURRENT_USER|SOFTWARE\\Kelvra|c");
#ifndef _WIN32
    EXPECT_EQ(place("c", true, "root"), "HKEY_LOCAL_MACHINE|SOFTWARE\\Kelvra|c");
#endif
    EXPECT_EQ(place("\\c", false, "joe"), "HKEY_LOCAL_MACHINE|SOFTWARE\\Kelvra|c");
    EXPECT_EQ(place("a\\", false, "joe"), "HKEY_LOCAL_MACHINE|SOFTWARE\\Kelvra\\a|");
    EXPECT_EQ(place("a/b", false, "joe"), "HKEY_LOCAL_MACHINE|SOFTWARE\\Kelvra|a/b");
}

}  // namespace
