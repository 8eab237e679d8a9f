#include "corelib/SystemValues.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "support/TestSupport.h"

using namespace KelvraCorelib;

namespace {

// Answers fixed in the test; an empty text (or list) stands for "not known".
class FakeFacts : public MachineFactsProvider {
public:
    std::string host;
    std::string nisDomain;
    std::string dnsDomain;
    mutable std::string dnsQuestion;
    bool kernelKnown = true;
    Platform::KernelFacts kernel{"Linux", "6.1.0-18-amd64", "x86_64"};
    bool releaseKnown = true;
    std::map<std::string, std::string> release{{"ID", "debian"}, {"VERSION_ID", "12"}};
    int32_t bits = 64;
    bool little = true;
    std::string locale;
    bool keyboardKnown = false;
    Platform::KeyboardSettings keyboard;
    std::string user;
    bool groupsKnown = true;
    std::vector<std::string> groups;
    std::map<std::string, std::vector<std::string>> members;
    bool addressesKnown = true;
    std::vector<std::array<uint8_t, 4>> addresses;
    bool serialKnown = true;
    uint64_t serial = 0;
    mutable std::string serialQuestion;

    bool hostName(std::string& name) const override { return answer(host, name); }
    bool nisDomainName(std::string& name) const override { return answer(nisDomain, name); }
    bool dnsDomainName(const std::string& question, std::string& domain) const override
    {
        dnsQuestion = question;
        return answer(dnsDomain, domain);
    }
    bool kernelFacts(Platform::KernelFacts& facts) const override
    {
        facts = kernel;
        return kernelKnown;
    }
    bool osReleaseSettings(std::map<std::string, std::string>& settings) const override
    {
        settings = release;
        return releaseKnown;
    }
    int32_t wordSize() const override { return bits; }
    bool littleEndian() const override { return little; }
    bool systemLocale(std::string& text) const override { return answer(locale, text); }
    bool keyboardSettings(Platform::KeyboardSettings& settings) const override
    {
        settings = keyboard;
        return keyboardKnown;
    }
    bool userName(std::string& name) const override { return answer(user, name); }
    bool groupNames(std::vector<std::string>& names) const override
    {
        names = groups;
        return groupsKnown;
    }
    bool groupMemberNames(const std::string& group, std::vector<std::string>& names) const override
    {
        const auto found = members.find(group);
        if (found == members.end())
            return false;
        names = found->second;
        return true;
    }
    bool ipv4Addresses(std::vector<std::array<uint8_t, 4>>& list) const override
    {
        list = addresses;
        return addressesKnown;
    }
    bool fileSystemId(const std::string& rootPath, uint64_t& id) const override
    {
        serialQuestion = rootPath;
        id = serial;
        return serialKnown;
    }

private:
    static bool answer(const std::string& known, std::string& out)
    {
        if (known.empty())
            return false;
        out = known;
        return true;
    }
};

TEST(MachineName, OnlyAWholeDottedDomainSuffixIsRemoved)
{
    EXPECT_EQ(machineNameOf("PC1.CORP", "CORP"), "PC1");
    EXPECT_EQ(machineNameOf("PC1", "WORKGROUP"), "PC1");
    EXPECT_EQ(machineNameOf("web1.corp.example", "corp.example"), "web1");
    EXPECT_EQ(machineNameOf("SALESCORP", "CORP"), "SALESCORP");
    EXPECT_EQ(machineNameOf("CORP", "CORP"), "CORP");
    EXPECT_EQ(machineNameOf(".CORP", "CORP"), ".CORP");
    EXPECT_EQ(machineNameOf("pc1.CORP", "corp"), "pc1.CORP");  // case counts
    EXPECT_EQ(machineNameOf("pc1.", ""), "pc1.");
}

TEST(ProbeAll, BuildsEveryTextFromTheAnswers)
{
    FakeFacts facts;
    facts.host = "web1.corp.example";
    facts.dnsDomain = "corp.example";
    facts.locale = "en_US.UTF-8";
    facts.keyboardKnown = true;
    facts.keyboard = {"pc105", "de,us", "nodeadkeys,"};
    facts.user = "collector";

    const SystemValues values = probeAll(facts);
    EXPECT_EQ(values.size(), 13u);
    EXPECT_EQ(values.at(SystemValueId::hostName), "web1.corp.example");
    EXPECT_EQ(values.at(SystemValueId::domain), "corp.example");
    EXPECT_EQ(facts.dnsQuestion, "web1.corp.example");
    EXPECT_EQ(values.at(SystemValueId::machineName), "web1");
    EXPECT_EQ(values.at(SystemValueId::platform), "linux-64");
    EXPECT_EQ(values.at(SystemValueId::osName), "linux_debian_12");
    EXPECT_EQ(values.at(SystemValueId::osVersion), "601");
    EXPECT_EQ(values.at(SystemValueId::osLanguage), "en_US:en");
    EXPECT_EQ(values.at(SystemValueId::keyboardLanguage), "de(nodeadkeys):de");
    EXPECT_EQ(values.at(SystemValueId::keyboardType), "4(0,12)");
    EXPECT_EQ(values.at(SystemValueId::architecture), "amd64");
    EXPECT_EQ(values.at(SystemValueId::currentUser), "collector");
    EXPECT_EQ(values.at(SystemValueId::osBits), "64");
    EXPECT_EQ(values.at(SystemValueId::byteOrder), "little");
}

TEST(ProbeAll, FailureTexts)
{
    FakeFacts facts;
    facts.kernelKnown = false;
    facts.releaseKnown = false;
    facts.bits = 0;
    facts.little = false;

    const SystemValues values = probeAll(facts);
    EXPECT_EQ(values.size(), 13u);
    EXPECT_EQ(values.at(SystemValueId::hostName), "[unknown]");
    EXPECT_EQ(facts.dnsQuestion, "");  // no host, no lookup
    EXPECT_EQ(values.at(SystemValueId::domain), "[undef]");
    EXPECT_EQ(values.at(SystemValueId::machineName), "[unknown]");
    EXPECT_EQ(values.at(SystemValueId::platform), "unknown");
    EXPECT_EQ(values.at(SystemValueId::osName), "unknown_unknown");
    EXPECT_EQ(values.at(SystemValueId::osVersion), "0");
    EXPECT_EQ(values.at(SystemValueId::osLanguage), "[unknown]");
    EXPECT_EQ(values.at(SystemValueId::keyboardLanguage), "[unknown]");
    EXPECT_EQ(values.at(SystemValueId::keyboardType), "0(0,0)");
    EXPECT_EQ(values.at(SystemValueId::architecture), "unknown");
    EXPECT_EQ(values.at(SystemValueId::currentUser), "[unknown]");
    EXPECT_EQ(values.at(SystemValueId::osBits), "0");
    EXPECT_EQ(values.at(SystemValueId::byteOrder), "big");
}

TEST(ProbeAll, DomainPrefersNisThenDns)
{
    FakeFacts facts;
    facts.host = "PC1.CORP";
    facts.nisDomain = "CORP";
    facts.dnsDomain = "elsewhere.example";
    SystemValues values = probeAll(facts);
    EXPECT_EQ(values.at(SystemValueId::domain), "CORP");
    EXPECT_EQ(values.at(SystemValueId::machineName), "PC1");

    facts.host = "PC1";
    facts.nisDomain = "WORKGROUP";
    values = probeAll(facts);
    EXPECT_EQ(values.at(SystemValueId::machineName), "PC1");

    facts.nisDomain.clear();
    facts.dnsDomain.clear();
    values = probeAll(facts);
    EXPECT_EQ(facts.dnsQuestion, "PC1");
    EXPECT_EQ(values.at(SystemValueId::domain), "[undef]");
    EXPECT_EQ(values.at(SystemValueId::machineName), "PC1");
}

TEST(ProbeAll, OperatingSystemNamesAndVersions)
{
    struct Case {
        std::map<std::string, std::string> release;
        std::string kernelRelease;
        std::string name;
        std::string version;
    };
    const std::vector<Case> cases = {
        {{{"ID", "debian"}, {"VERSION_ID", "12"}}, "6.1.0-18-amd64", "linux_debian_12", "601"},
        {{{"ID", "ubuntu"}, {"VERSION_ID", "22.04"}}, "5.15.0-91-generic", "linux_ubuntu_22.04", "515"},
        {{{"ID", "arch"}}, "6.7.4-arch1-1", "linux_arch", "607"},
        {{{"ID", "Odd Name"}, {"VERSION_ID", "1/2"}}, "4.19", "linux_odd-name_1-2", "419"},
        {{{"NAME", "no id"}}, "2.6.32", "linux_unknown", "206"},
        {{{"ID", "x"}}, "6", "linux_x", "0"},
        {{{"ID", "x"}}, "6.", "linux_x", "0"},
        {{{"ID", "x"}}, "release", "linux_x", "0"},
    };
    for (const Case& c : cases) {
        FakeFacts facts;
        facts.release = c.release;
        facts.kernel.release = c.kernelRelease;
        const SystemValues values = probeAll(facts);
        EXPECT_EQ(values.at(SystemValueId::osName), c.name) << c.kernelRelease;
        EXPECT_EQ(values.at(SystemValueId::osVersion), c.version) << c.kernelRelease;
    }
}

TEST(ProbeAll, ArchitecturesAndPlatform)
{
    const std::vector<std::pair<std::string, std::string>> machines = {
        {"x86_64", "amd64"},   {"aarch64", "arm64"},   {"arm64", "arm64"}, {"i686", "i686"},
        {"i386", "i386"},      {"armv7l", "arm"},       {"ppc64le", "powerpc64"}, {"ppc", "powerpc"},
        {"mips64", "mips"},    {"alpha", "alpha"},      {"riscv64", "riscv64"}, {"S390X", "s390x"},
        {"", "unknown"},
    };
    for (const auto& [machine, architecture] : machines) {
        FakeFacts facts;
        facts.kernel.machine = machine;
        EXPECT_EQ(probeAll(facts).at(SystemValueId::architecture), architecture) << machine;
    }
    FakeFacts facts;
    facts.kernel.systemName = "FreeBSD";
    facts.bits = 32;
    EXPECT_EQ(probeAll(facts).at(SystemValueId::platform), "freebsd-32");
    EXPECT_EQ(probeAll(facts).at(SystemValueId::osName), "freebsd_debian_12");
}

TEST(ProbeAll, LanguagesAndKeyboards)
{
    const std::vector<std::pair<std::string, std::string>> locales = {
        {"en_US.UTF-8", "en_US:en"}, {"de_DE@euro", "de_DE:de"}, {"fr", "fr:fr"},
        {"C.UTF-8", "C:[unknown]"},   {"POSIX", "POSIX:[unknown]"}, {".UTF-8", "[unknown]"},
    };
    for (const auto& [locale, text] : locales) {
        FakeFacts facts;
        facts.locale = locale;
        EXPECT_EQ(probeAll(facts).at(SystemValueId::osLanguage), text) << locale;
    }

    struct Keyboard {
        Platform::KeyboardSettings settings;
        std::string language;
        std::string type;
    };
    const std::vector<Keyboard> keyboards = {
        {{"pc105", "us", ""}, "us:us", "4(0,12)"},
        {{"PC104", "gb", "extd"}, "gb(extd):gb", "4(0,12)"},
        {{"macintosh", "fr", ""}, "fr:fr", "0(0,0)"},
        {{"pc105", "", ""}, "[unknown]", "4(0,12)"},
        {{"", ",us", ""}, "[unknown]", "0(0,0)"},
    };
    for (const Keyboard& k : keyboards) {
        FakeFacts facts;
        facts.keyboardKnown = true;
        facts.keyboard = k.settings;
        const SystemValues values = probeAll(facts);
        EXPECT_EQ(values.at(SystemValueId::keyboardLanguage), k.language) << k.settings.layout;
        EXPECT_EQ(values.at(SystemValueId::keyboardType), k.type) << k.settings.model;
    }
}

TEST(ListProbes, GroupsAreSortedSetsWithoutDomainPrefixes)
{
    FakeFacts facts;
    facts.groups = {"users", "adm", "Users", "adm", "wheel"};
    facts.members = {{"users", {"CORP\\zoe", "anna", "bob", "anna"}},
                     {"adm", {"root", "anna"}},
                     {"Users", {"Anna"}},
                     {"wheel", {"A\\B\\anna2", "\\", "DOMAIN\\"}}};
    EXPECT_EQ(localGroups(facts), (std::set<std::string>{"Users", "adm", "users", "wheel"}));
    EXPECT_EQ(groupMembers("users", facts), (std::set<std::string>{"anna", "bob", "zoe"}));
    EXPECT_EQ(groupMembers("wheel", facts), (std::set<std::string>{"B\\anna2"}));
    EXPECT_TRUE(groupMembers("nogroup", facts).empty());
    EXPECT_EQ(userGroups("anna", facts), (std::set<std::string>{"adm", "users"}));
    EXPECT_EQ(userGroups("Anna", facts), (std::set<std::string>{"Users"}));
    EXPECT_TRUE(userGroups("nobody", facts).empty());

    facts.groupsKnown = false;
    EXPECT_TRUE(localGroups(facts).empty());
    EXPECT_TRUE(userGroups("anna", facts).empty());
}

TEST(ListProbes, AddressesLeaveOutOnly127001)
{
    FakeFacts facts;
    facts.addresses = {{10, 0, 0, 7}, {127, 0, 0, 1}, {127, 0, 1, 1}, {192, 168, 0, 10}, {255, 255, 255, 255}};
    EXPECT_EQ(ipAddresses(facts),
              (std::vector<std::string>{"10.0.0.7", "127.0.1.1", "192.168.0.10", "255.255.255.255"}));
    facts.addresses = {{127, 0, 0, 1}};
    EXPECT_TRUE(ipAddresses(facts).empty());
    facts.addressesKnown = false;
    facts.addresses = {{10, 0, 0, 7}};
    EXPECT_TRUE(ipAddresses(facts).empty());
}

TEST(ListProbes, DiskSerialIsUnsignedDecimal)
{
    FakeFacts facts;
    facts.serial = 18446744073709551615ull;
    EXPECT_EQ(diskSerial("C:\\", facts), "18446744073709551615");
    EXPECT_EQ(facts.serialQuestion, "C:\\");
    facts.serialKnown = false;
    EXPECT_EQ(diskSerial("/", facts), "[unknown]");
}

TEST(SettingsFiles, ShellAssignments)
{
    const auto settings = Platform::parseAssignments(
        "# comment\nNAME=\"Debian GNU/Linux\"\n  ID=debian # trailing\nexport LANG='de_DE.UTF-8'\n"
        "QUOTED=\"a \\\"b\\\" \\n\"\nPLAIN=x\\ y\nno assignment\n=value\nID=later\nEMPTY=\n");
    EXPECT_EQ(settings, (std::map<std::string, std::string>{{"NAME", "Debian GNU/Linux"},
                                                            {"ID", "later"},
                                                            {"LANG", "de_DE.UTF-8"},
                                                            {"QUOTED", "a \"b\" \\n"},
                                                            {"PLAIN", "x y"},
                                                            {"EMPTY", ""}}));
}

TEST(SettingsFiles, HostsAndResolverLines)
{
    const std::string hosts = "# 10.0.0.9 pc1.commented\n127.0.0.1\tlocalhost\n\n"
                              "10.0.0.5 \t pc1.corp.example\tpc1  # pc2\n"
                              "10.0.0.6 pc1.later.example pc1\n10.0.0.7\n10.0.0.8 last.example";
    EXPECT_EQ(Platform::canonicalNameInHosts(hosts, "pc1"), "pc1.corp.example");
    EXPECT_EQ(Platform::canonicalNameInHosts(hosts, "pc1.corp.example"), "pc1.corp.example");
    EXPECT_EQ(Platform::canonicalNameInHosts(hosts, "last.example"), "last.example");
    EXPECT_EQ(Platform::canonicalNameInHosts(hosts, "pc2"), "");
    EXPECT_EQ(Platform::canonicalNameInHosts(hosts, "10.0.0.5"), "");
    EXPECT_EQ(Platform::resolverDomain("nameserver 10.0.0.1\n  domain\tcorp.example  \nsearch other\n"),
              "corp.example");
    EXPECT_EQ(Platform::resolverDomain("domain\nsearch corp.example"), "");
}

// The real probes of this machine.
TEST(PlatformProbes, AnswerOnThisMachine)
{
    const std::vector<SystemValueId> ids = {
        SystemValueId::hostName,    SystemValueId::machineName,  SystemValueId::platform,
        SystemValueId::osName,      SystemValueId::osVersion,    SystemValueId::osLanguage,
        SystemValueId::keyboardLanguage, SystemValueId::keyboardType, SystemValueId::architecture,
        SystemValueId::domain,      SystemValueId::currentUser,  SystemValueId::osBits,
        SystemValueId::byteOrder,
    };
    // Each value is probed with its group on its first use: the same text as a whole probe.
    const SystemValues whole = probeAll();
    for (SystemValueId id : ids) {
        EXPECT_FALSE(systemValue(id).empty()) << static_cast<int>(id);
        EXPECT_EQ(systemValue(id), whole.at(id)) << static_cast<int>(id);
    }
    EXPECT_NE(systemValue(SystemValueId::hostName), "[unknown]");
    EXPECT_NE(systemValue(SystemValueId::currentUser), "[unknown]");
    EXPECT_NE(systemValue(SystemValueId::osVersion), "0");
    EXPECT_EQ(systemValue(SystemValueId::osBits), std::to_string(sizeof(void*) * 8));
    const std::string platform = systemValue(SystemValueId::platform);
    const std::string suffix = "-" + systemValue(SystemValueId::osBits);
    ASSERT_GT(platform.size(), suffix.size());
    EXPECT_EQ(platform.substr(platform.size() - suffix.size()), suffix);
    // The cache answers the same as a fresh probe of the stable values.
    const SystemValues fresh = probeAll();
    EXPECT_EQ(fresh.at(SystemValueId::hostName), systemValue(SystemValueId::hostName));
    EXPECT_EQ(fresh.at(SystemValueId::osName), systemValue(SystemValueId::osName));

    const std::set<std::string> groups = localGroups();
    EXPECT_FALSE(groups.empty());
#ifndef _WIN32
    // Each group that "id" names for the user, the primary one too, has the user as a member.
    const TestSupport::TempDir folder("trawlex-groups");
    std::istringstream names(TestSupport::runShell(folder.path(), "id -Gn").out);
    for (std::string group; names >> group;)
        EXPECT_EQ(groupMembers(group).count(systemValue(SystemValueId::currentUser)), 1u) << group;
#endif
    EXPECT_FALSE(userGroups(systemValue(SystemValueId::currentUser)).empty());
    for (const std::string& address : ipAddresses())
        EXPECT_NE(address, "127.0.0.1");
    EXPECT_NE(diskSerial("/"), "[unknown]");
    EXPECT_NE(diskSerial(""), "[unknown]");
    EXPECT_EQ(diskSerial("/no/such/folder/anywhere"), "[unknown]");
}

}  // namespace
