// POSIX only: machine facts from uname, the hosts file, the user and group databases,
// getifaddrs, statvfs and the system's settings files.
#include "corelib/platform/MachineFacts.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <vector>

#include "corelib/platform/Environment.h"

namespace KelvraCorelib::Platform {

namespace {

// A settings file of the system, read whole with plain system calls (no stream machinery to
// set up in a short run); never waits, and gives up past a size no settings file has.
bool readTextFile(const char* path, std::string& text)
{
    constexpr size_t largest = 16u << 20;
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0)
        return false;
    std::string content;
    char buffer[4096];
    bool done = false;
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0 || content.size() + size_t(count) > largest) {
            done = count == 0;
            break;
        }
        content.append(buffer, size_t(count));
    }
    ::close(descriptor);
    if (!done)
        return false;
    text = std::move(content);
    return true;
}

bool settingsOfFile(const char* path, std::map<std::string, std::string>& settings)
{
    std::string text;
    if (!readTextFile(path, text))
        return false;
    settings = parseAssignments(text);
    return true;
}

std::string settingOf(const std::map<std::string, std::string>& settings, const std::string& key)
{
    const auto found = settings.find(key);
    return found == settings.end() ? std::string() : found->second;
}

std::string afterFirstDot(const std::string& name)
{
    const size_t dot = name.find('.');
    if (dot == std::string::npos)
        return std::string();
    return name.substr(dot + 1);
}

// Calls lookup(buffer, size) with a growing buffer while it answers ERANGE. The buffer is
// gone when this returns: lookup copies what it needs.
template <typename Lookup>
int withGrowingBuffer(Lookup lookup)
{
    std::vector<char> buffer(4096);
    for (;;) {
        const int result = lookup(buffer.data(), buffer.size());
        if (result != ERANGE || buffer.size() >= (1u << 24))
            return result;
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

bool hostName(std::string& name)
{
    char buffer[256];
    if (::gethostname(buffer, sizeof buffer) != 0)
        return false;
    buffer[sizeof buffer - 1] = '\0';
    if (buffer[0] == '\0')
        return false;
    name = buffer;
    return true;
}

bool nisDomainName(std::string& name)
{
    char buffer[256];
    if (::getdomainname(buffer, sizeof buffer) != 0)
        return false;
    buffer[sizeof buffer - 1] = '\0';
    const std::string domain = buffer;
    if (domain.empty() || domain == "(none)")
        return false;
    name = domain;
    return true;
}

// From the host name itself, /etc/hosts or the resolver's settings: never a network look-up,
// which could hold every run for the resolver's time-out.
bool dnsDomainName(const std::string& host, std::string& domain)
{
    std::string found = afterFirstDot(host);
    std::string text;
    if (found.empty() && !host.empty() && readTextFile("/etc/hosts", text))
        found = afterFirstDot(canonicalNameInHosts(text, host));
    if (found.empty() && readTextFile("/etc/resolv.conf", text))
        found = resolverDomain(text);
    if (found.empty())
        return false;
    domain = found;
    return true;
}

bool kernelFacts(KernelFacts& facts)
{
    struct utsname names;
    if (::uname(&names) != 0)
        return false;
    facts.systemName = names.sysname;
    facts.release = names.release;
    facts.machine = names.machine;
    return true;
}

bool osReleaseSettings(std::map<std::string, std::string>& settings)
{
    return settingsOfFile("/etc/os-release", settings) || settingsOfFile("/usr/lib/os-release", settings);
}

bool systemLocale(std::string& locale)
{
    for (const char* path : {"/etc/default/locale", "/etc/locale.conf"}) {
        std::map<std::string, std::string> settings;
        if (settingsOfFile(path, settings)) {
            const std::string language = settingOf(settings, "LANG");
            if (!language.empty()) {
                locale = language;
                return true;
            }
        }
    }
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string value;
        if (environmentVariable(variable, value) && !value.empty()) {
            locale = value;
            return true;
        }
    }
    return false;
}

bool keyboardSettings(KeyboardSettings& settings)
{
    std::map<std::string, std::string> values;
    if (settingsOfFile("/etc/default/keyboard", values) && !settingOf(values, "XKBLAYOUT").empty()) {
        settings.model = settingOf(values, "XKBMODEL");
        settings.layout = settingOf(values, "XKBLAYOUT");
        settings.variant = settingOf(values, "XKBVARIANT");
        return true;
    }
    values.clear();
    if (settingsOfFile("/etc/vconsole.conf", values)) {
        std::string layout = settingOf(values, "XKBLAYOUT");
        if (layout.empty())
            layout = settingOf(values, "KEYMAP");
        if (!layout.empty()) {
            settings.model = settingOf(values, "XKBMODEL");
            settings.layout = layout;
            settings.variant = settingOf(values, "XKBVARIANT");
            return true;
        }
    }
    return false;
}

bool userName(std::string& name)
{
    struct passwd entry;
    std::string found;
    const uid_t user = ::geteuid();
    const int result = withGrowingBuffer([&](char* buffer, size_t size) {
        struct passwd* answer = nullptr;
        const int error = ::getpwuid_r(user, &entry, buffer, size, &answer);
        // The name lives in the buffer: copy it before the buffer goes away.
        if (error == 0 && answer != nullptr && answer->pw_name != nullptr)
            found = answer->pw_name;
        return error;
    });
    if (result != 0 || found.empty())
        return false;
    name = found;
    return true;
}

bool groupNames(std::vector<std::string>& names)
{
    names.clear();
    ::setgrent();
    std::vector<char> buffer(4096);
    for (;;) {
        struct group entry;
        struct group* found = nullptr;
        const int result = ::getgrent_r(&entry, buffer.data(), buffer.size(), &found);
        if (result == ERANGE && buffer.size() < (1u << 24)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (result != 0 || found == nullptr)
            break;
        if (found->gr_name != nullptr)
            names.push_back(found->gr_name);
    }
    ::endgrent();
    return true;
}

bool groupMemberNames(const std::string& group, std::vector<std::string>& names)
{
    names.clear();
    struct group entry;
    bool known = false;
    gid_t groupId = 0;
    const int result = withGrowingBuffer([&](char* buffer, size_t size) {
        struct group* found = nullptr;
        const int answer = ::getgrnam_r(group.c_str(), &entry, buffer, size, &found);
        // The member names live in the buffer: copy them before it goes away.
        if (answer == 0 && found != nullptr) {
            known = true;
            groupId = found->gr_gid;
            for (char** member = found->gr_mem; member != nullptr && *member != nullptr; ++member)
                names.push_back(*member);
        }
        return answer;
    });
    if (result != 0 || !known)
        return false;

    ::setpwent();
    std::vector<char> buffer(4096);
    for (;;) {
        struct passwd user;
        struct passwd* next = nullptr;
        const int answer = ::getpwent_r(&user, buffer.data(), buffer.size(), &next);
        if (answer == ERANGE && buffer.size() < (1u << 24)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (answer != 0 || next == nullptr)
            break;
        if (next->pw_gid == groupId && next->pw_name != nullptr)
            names.push_back(next->pw_name);
    }
    ::endpwent();
    return true;
}

bool ipv4Addresses(std::vector<std::array<uint8_t, 4>>& addresses)
{
    addresses.clear();
    struct ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return false;
    for (struct ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        struct sockaddr_in address;
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        std::array<uint8_t, 4> bytes;
        std::memcpy(bytes.data(), &address.sin_addr.s_addr, 4);
        addresses.push_back(bytes);
    }
    ::freeifaddrs(interfaces);
    std::sort(addresses.begin(), addresses.end());
    return true;
}

bool fileSystemId(const std::string& path, uint64_t& id)
{
    struct statvfs status;
    if (::statvfs(path.empty() ? "." : path.c_str(), &status) != 0)
        return false;
    id = static_cast<uint64_t>(status.f_fsid);
    return true;
}

}  // namespace KelvraCorelib::Platform
