#include "corelib/SystemValues.h"

#include <bit>
#include <mutex>

namespace KelvraCorelib {

namespace {

const char* const unknownText = "[unknown]";
const char* const undefinedText = "[undef]";

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowerAscii(const std::string& text)
{
    std::string lowered = text;
    for (char& c : lowered)
        c = lowerAscii(c);
    return lowered;
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Lower case; anything but letters, digits, ".", "-" and "_" becomes "-".
std::string nameToken(const std::string& text)
{
    std::string token = lowerAscii(text);
    for (char& c : token)
        if (!isLetter(c) && !isDigit(c) && c != '.' && c != '-' && c != '_')
            c = '-';
    return token;
}

std::string firstListItem(const std::string& list)
{
    const size_t comma = list.find(',');
    return comma == std::string::npos ? list : list.substr(0, comma);
}

std::string systemFamily(bool known, const Platform::KernelFacts& kernel)
{
    return known && !kernel.systemName.empty() ? nameToken(kernel.systemName) : std::string("unknown");
}

std::string architectureOf(bool known, const Platform::KernelFacts& kernel)
{
    if (!known || kernel.machine.empty())
        return "unknown";
    const std::string machine = nameToken(kernel.machine);
    if (machine == "x86_64" || machine == "amd64" || machine == "x64")
        return "amd64";
    if (machine == "aarch64" || machine == "arm64")
        return "arm64";
    if (machine.size() == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' &&
        machine.compare(2, 2, "86") == 0)
        return machine;
    if (machine == "x86")
        return "i386";
    if (machine.compare(0, 3, "arm") == 0)
        return "arm";
    if (machine == "ppc64" || machine == "ppc64le" || machine == "powerpc64" || machine == "powerpc64le")
        return "powerpc64";
    if (machine == "ppc" || machine == "powerpc")
        return "powerpc";
    if (machine.compare(0, 4, "mips") == 0)
        return "mips";
    if (machine.compare(0, 5, "alpha") == 0)
        return "alpha";
    return machine;
}

std::string osNameOf(const std::string& family, bool known, const std::map<std::string, std::string>& settings)
{
    const auto id = settings.find("ID");
    if (!known || id == settings.end() || id->second.empty())
        return family + "_unknown";
    std::string name = family + "_" + nameToken(id->second);
    const auto version = settings.find("VERSION_ID");
    if (version != settings.end() && !version->second.empty())
        name += "_" + nameToken(version->second);
    return name;
}

// "6.1.0-18-amd64" => 601; "0" when the release does not begin with major.minor.
std::string osVersionOf(bool known, const Platform::KernelFacts& kernel)
{
    if (!known)
        return "0";
    const std::string& release = kernel.release;
    size_t position = 0;
    uint64_t major = 0;
    uint64_t minor = 0;
    while (position < release.size() && isDigit(release[position]) && major < 1000000)
        major = major * 10 + static_cast<uint64_t>(release[position++] - '0');
    if (position == 0 || position >= release.size() || release[position] != '.')
        return "0";
    const size_t minorStart = ++position;
    while (position < release.size() && isDigit(release[position]) && minor < 1000000)
        minor = minor * 10 + static_cast<uint64_t>(release[position++] - '0');
    if (position == minorStart)
        return "0";
    return std::to_string(major * 100 + minor);
}

// "en_US.UTF-8" => "en_US:en"; "C" => "C:[unknown]".
std::string localeLanguageOf(bool known, const std::string& locale)
{
    if (!known)
        return unknownText;
    const std::string name = locale.substr(0, locale.find_first_of(".@"));
    if (name.empty())
        return unknownText;
    const std::string language = name.substr(0, name.find('_'));
    bool letters = language.size() >= 2 && language.size() <= 3;
    for (char c : language)
        letters = letters && isLetter(c);
    return name + ":" + (letters ? lowerAscii(language) : std::string(unknownText));
}

// Layout "de,us" with variant "nodeadkeys," => "de(nodeadkeys):de".
std::string keyboardLanguageOf(bool known, const Platform::KeyboardSettings& settings)
{
    const std::string layout = known ? firstListItem(settings.layout) : std::string();
    if (layout.empty())
        return unknownText;
    const std::string variant = firstListItem(settings.variant);
    return layout + (variant.empty() ? std::string() : "(" + variant + ")") + ":" + layout;
}

// Type 4 is the enhanced keyboard with 12 function keys; 0(0,0) when nothing is known.
std::string keyboardTypeOf(bool known, const Platform::KeyboardSettings& settings)
{
    int32_t type = 0;
    int32_t subtype = 0;
    int32_t functionKeys = 0;
    const std::string model = known ? lowerAscii(settings.model) : std::string();
    if (model == "pc101" || model == "pc102" || model == "pc104" || model == "pc105") {
        type = 4;
        functionKeys = 12;
    }
    return std::to_string(type) + "(" + std::to_string(subtype) + "," + std::to_string(functionKeys) + ")";
}

}  // namespace

bool MachineFactsProvider::hostName(std::string& name) const
{
    return Platform::hostName(name);
}

bool MachineFactsProvider::nisDomainName(std::string& name) const
{
    return Platform::nisDomainName(name);
}

bool MachineFactsProvider::dnsDomainName(const std::string& host, std::string& domain) const
{
    return Platform::dnsDomainName(host, domain);
}

bool MachineFactsProvider::kernelFacts(Platform::KernelFacts& facts) const
{
    return Platform::kernelFacts(facts);
}

bool MachineFactsProvider::osReleaseSettings(std::map<std::string, std::string>& settings) const
{
    return Platform::osReleaseSettings(settings);
}

int32_t MachineFactsProvider::wordSize() const
{
    return static_cast<int32_t>(sizeof(void*) * 8);
}

bool MachineFactsProvider::littleEndian() const
{
    return std::endian::native == std::endian::little;
}

bool MachineFactsProvider::systemLocale(std::string& locale) const
{
    return Platform::systemLocale(locale);
}

bool MachineFactsProvider::keyboardSettings(Platform::KeyboardSettings& settings) const
{
    return Platform::keyboardSettings(settings);
}

bool MachineFactsProvider::userName(std::string& name) const
{
    return Platform::userName(name);
}

bool MachineFactsProvider::groupNames(std::vector<std::string>& names) const
{
    return Platform::groupNames(names);
}

bool MachineFactsProvider::groupMemberNames(const std::string& group, std::vector<std::string>& names) const
{
    return Platform::groupMemberNames(group, names);
}

bool MachineFactsProvider::ipv4Addresses(std::vector<std::array<uint8_t, 4>>& addresses) const
{
    return Platform::ipv4Addresses(addresses);
}

bool MachineFactsProvider::fileSystemId(const std::string& rootPath, uint64_t& id) const
{
    return Platform::fileSystemId(rootPath, id);
}

const MachineFactsProvider& platformMachineFacts()
{
    static const MachineFactsProvider facts;
    return facts;
}

std::string machineNameOf(const std::string& host, const std::string& domain)
{
    // Only a whole dotted suffix is a domain: "SALESCORP" does not end in the domain "CORP".
    if (!domain.empty() && host.size() > domain.size() + 1 &&
        host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
        host[host.size() - domain.size() - 1] == '.')
        return host.substr(0, host.size() - domain.size() - 1);
    return host;
}

namespace {

// The values come in groups that are probed together; a process probes only the groups it asks
// for (a collection needs the names and the system, never the keyboard or the user).
enum class ProbeGroup { names, system, language, keyboard, user, byteOrder, count };

ProbeGroup groupOf(SystemValueId id)
{
    switch (id) {
    case SystemValueId::hostName:
    case SystemValueId::domain:
    case SystemValueId::machineName:
        return ProbeGroup::names;
    case SystemValueId::architecture:
    case SystemValueId::osName:
    case SystemValueId::osVersion:
    case SystemValueId::osBits:
    case SystemValueId::platform:
        return ProbeGroup::system;
    case SystemValueId::osLanguage:
        return ProbeGroup::language;
    case SystemValueId::keyboardLanguage:
    case SystemValueId::keyboardType:
        return ProbeGroup::keyboard;
    case SystemValueId::currentUser:
        return ProbeGroup::user;
    case SystemValueId::byteOrder:
        break;
    }
    return ProbeGroup::byteOrder;
}

void probeGroup(ProbeGroup group, const MachineFactsProvider& facts, SystemValues& values)
{
    switch (group) {
    case ProbeGroup::names: {
        std::string host;
        const bool hostKnown = facts.hostName(host) && !host.empty();
        values[SystemValueId::hostName] = hostKnown ? host : unknownText;
        std::string domain;
        const bool domainKnown = (facts.nisDomainName(domain) && !domain.empty()) ||
                                 (hostKnown && facts.dnsDomainName(host, domain) && !domain.empty());
        values[SystemValueId::domain] = domainKnown ? domain : undefinedText;
        values[SystemValueId::machineName] =
            machineNameOf(values[SystemValueId::hostName], values[SystemValueId::domain]);
        break;
    }
    case ProbeGroup::system: {
        Platform::KernelFacts kernel;
        const bool kernelKnown = facts.kernelFacts(kernel);
        const std::string family = systemFamily(kernelKnown, kernel);
        values[SystemValueId::architecture] = architectureOf(kernelKnown, kernel);
        std::map<std::string, std::string> release;
        const bool releaseKnown = facts.osReleaseSettings(release);
        values[SystemValueId::osName] = osNameOf(family, releaseKnown, release);
        values[SystemValueId::osVersion] = osVersionOf(kernelKnown, kernel);
        const int32_t bits = facts.wordSize();
        values[SystemValueId::osBits] = std::to_string(bits);
        values[SystemValueId::platform] = bits != 0 ? family + "-" + std::to_string(bits) : family;
        break;
    }
    case ProbeGroup::language: {
        std::string locale;
        const bool localeKnown = facts.systemLocale(locale);
        values[SystemValueId::osLanguage] = localeLanguageOf(localeKnown, locale);
        break;
    }
    case ProbeGroup::keyboard: {
        Platform::KeyboardSettings keyboard;
        const bool keyboardKnown = facts.keyboardSettings(keyboard);
        values[SystemValueId::keyboardLanguage] = keyboardLanguageOf(keyboardKnown, keyboard);
        values[SystemValueId::keyboardType] = keyboardTypeOf(keyboardKnown, keyboard);
        break;
    }
    case ProbeGroup::user: {
        std::string user;
        values[SystemValueId::currentUser] = facts.userName(user) && !user.empty() ? user : unknownText;
        break;
    }
    case ProbeGroup::byteOrder:
    case ProbeGroup::count:
        values[SystemValueId::byteOrder] = facts.littleEndian() ? "little" : "big";
        break;
    }
}

}  // namespace

SystemValues probeAll(const MachineFactsProvider& facts)
{
    SystemValues values;
    for (int group = 0; group < static_cast<int>(ProbeGroup::count); ++group) {
        probeGroup(static_cast<ProbeGroup>(group), facts, values);
    }
    return values;
}

std::string systemValue(SystemValueId id)
{
    // Each group is filled once, on its first use; only read afterwards.
    constexpr size_t groupCount = static_cast<size_t>(ProbeGroup::count);
    static std::array<std::once_flag, groupCount> probed;
    static std::array<SystemValues, groupCount> cache;
    const auto group = static_cast<size_t>(groupOf(id));
    std::call_once(probed[group],
                   [group] { probeGroup(static_cast<ProbeGroup>(group), platformMachineFacts(), cache[group]); });
    const auto found = cache[group].find(id);
    return found == cache[group].end() ? std::string() : found->second;
}

std::set<std::string> localGroups(const MachineFactsProvider& facts)
{
    std::vector<std::string> names;
    if (!facts.groupNames(names))
        return {};  // the system does not tell: no groups
    return std::set<std::string>(names.begin(), names.end());
}

std::set<std::string> groupMembers(const std::string& group, const MachineFactsProvider& facts)
{
    std::vector<std::string> names;
    std::set<std::string> members;
    if (!facts.groupMemberNames(group, names))
        return members;  // unknown group: no members
    for (const std::string& name : names) {
        const size_t backslash = name.find('\\');
        const std::string member = backslash == std::string::npos ? name : name.substr(backslash + 1);
        if (!member.empty())
            members.insert(member);
    }
    return members;
}

std::set<std::string> userGroups(const std::string& user, const MachineFactsProvider& facts)
{
    std::set<std::string> groups;
    for (const std::string& group : localGroups(facts))
        if (groupMembers(group, facts).count(user) != 0)
            groups.insert(group);
    return groups;
}

std::vector<std::string> ipAddresses(const MachineFactsProvider& facts)
{
    std::vector<std::array<uint8_t, 4>> addresses;
    std::vector<std::string> texts;
    if (!facts.ipv4Addresses(addresses))
        return texts;  // the system does not tell: no addresses
    for (const auto& bytes : addresses) {
        const std::string text = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
                                 std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
        if (text != "127.0.0.1")
            texts.push_back(text);
    }
    return texts;
}

std::string diskSerial(const std::string& rootPath, const MachineFactsProvider& facts)
{
    uint64_t id = 0;
    if (!facts.fileSystemId(rootPath, id))
        return unknownText;
    return std::to_string(id);
}

}  // namespace KelvraCorelib
