#pragma once
// What the system says about the machine: names, operating system, locale, keyboard,
// user and groups, network addresses and file systems. Each call answers afresh and
// returns false when the system does not tell.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace KelvraCorelib::Platform {

// The host name as the system has it (short or fully qualified).
bool hostName(std::string& name);

// The NIS domain name; false when none is set (empty or "(none)").
bool nisDomainName(std::string& name);

// The DNS domain of the host: its canonical name (resolver lookup) after the first ".",
// or the host name itself after its first "." when it is qualified. False when neither
// has a dot.
bool dnsDomainName(const std::string& host, std::string& domain);

struct KernelFacts {
    std::string systemName;  // "Linux"
    std::string release;     // "6.1.0-18-amd64"
    std::string machine;     // "x86_64"
};
bool kernelFacts(KernelFacts& facts);

// The assignments of /etc/os-release (or /usr/lib/os-release): ID, VERSION_ID ...
bool osReleaseSettings(std::map<std::string, std::string>& settings);

// The system's default locale (LANG of /etc/default/locale or /etc/locale.conf), else
// the process's LC_ALL, LC_MESSAGES or LANG, the first that is set and not empty.
bool systemLocale(std::string& locale);

struct KeyboardSettings {
    std::string model;    // "pc105"
    std::string layout;   // "us" or "de,us"
    std::string variant;  // "" or "nodeadkeys"
};
// From /etc/default/keyboard or /etc/vconsole.conf; false when neither names a layout.
bool keyboardSettings(KeyboardSettings& settings);

// The name of the process's effective user.
bool userName(std::string& name);

// Every group of the group database (duplicates possible).
bool groupNames(std::vector<std::string>& names);

// The users listed as members of the group and the users whose primary group it is.
bool groupMemberNames(const std::string& group, std::vector<std::string>& names);

// The IPv4 addresses of the interfaces, four bytes each in network order, sorted
// ascending (duplicates kept).
bool ipv4Addresses(std::vector<std::array<uint8_t, 4>>& addresses);

// The identifier of the file system that holds the path ("" means the current folder).
bool fileSystemId(const std::string& path, uint64_t& id);

// Shell-style assignments, one a line, as in os-release and /etc/default files:
//   NAME="Debian GNU/Linux"   =>  NAME -> Debian GNU/Linux
//   ID=debian # comment       =>  ID -> debian
//   export LANG='de_DE.UTF-8' =>  LANG -> de_DE.UTF-8
// Lines without "=" and comment lines are skipped; a later assignment replaces an earlier.
std::map<std::string, std::string> parseAssignments(const std::string& text);

// The canonical name of host in a hosts file: the first name of the first line that lists it,
// comments ("#" to the end of the line) left out:
//   "10.0.0.5\tpc1.corp.example pc1  # office"  with host "pc1"  =>  "pc1.corp.example"
std::string canonicalNameInHosts(const std::string& text, const std::string& host);

// The "domain" line of the resolver's settings: "domain corp.example" => "corp.example".
std::string resolverDomain(const std::string& text);

}  // namespace KelvraCorelib::Platform
