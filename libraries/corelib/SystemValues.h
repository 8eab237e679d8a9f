#pragma once
// The system-value cache (machine facts gathered once per process) and the list probes
// (groups, members, addresses, disk serial), answered afresh at every call.
//
//   std::string host = systemValue(SystemValueId::hostName);
//
// The texts are built from the answers of a MachineFactsProvider; the default provider
// asks the platform, tests pass their own. Texts on this platform:
//   hostName          gethostname                          "[unknown]" on failure
//   domain            NIS domain, else DNS domain of host  "[undef]"
//   machineName       host without ".<domain>":  pc1.corp.example / corp.example => pc1
//   platform          "linux-64" (system name, "-", word size unless 0)
//   osName            "linux_debian_12" (system, os-release ID, VERSION_ID)  "linux_unknown"
//   osVersion         kernel major * 100 + minor: 6.1.0-18 => 601          "0"
//   osLanguage        locale name ":" language: en_US.UTF-8 => en_US:en     "[unknown]"
//   keyboardLanguage  layout(variant) ":" layout: de/nodeadkeys => de(nodeadkeys):de
//   keyboardType      type "(" subtype "," function keys ")": pc105 => 4(0,12), else 0(0,0)
//   architecture      x86_64 => amd64, aarch64 => arm64, i686 => i686      "unknown"
//   currentUser       the effective user's name                            "[unknown]"
//   osBits            the program's word size in bits, "64"
//   byteOrder         "little" or "big"

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "corelib/platform/MachineFacts.h"

namespace KelvraCorelib {

enum class SystemValueId {
    hostName,
    machineName,
    platform,
    osName,
    osVersion,
    osLanguage,
    keyboardLanguage,
    keyboardType,
    architecture,
    domain,
    currentUser,
    osBits,
    byteOrder,
};

using SystemValues = std::map<SystemValueId, std::string>;

// The machine's answers from which every text is built; false means "not known".
class MachineFactsProvider {
public:
    virtual ~MachineFactsProvider() = default;
    virtual bool hostName(std::string& name) const;
    virtual bool nisDomainName(std::string& name) const;
    virtual bool dnsDomainName(const std::string& host, std::string& domain) const;
    virtual bool kernelFacts(Platform::KernelFacts& facts) const;
    virtual bool osReleaseSettings(std::map<std::string, std::string>& settings) const;
    virtual int32_t wordSize() const;  // bits of this program's build
    virtual bool littleEndian() const;
    virtual bool systemLocale(std::string& locale) const;
    virtual bool keyboardSettings(Platform::KeyboardSettings& settings) const;
    virtual bool userName(std::string& name) const;
    virtual bool groupNames(std::vector<std::string>& names) const;
    virtual bool groupMemberNames(const std::string& group, std::vector<std::string>& names) const;
    virtual bool ipv4Addresses(std::vector<std::array<uint8_t, 4>>& addresses) const;
    virtual bool fileSystemId(const std::string& rootPath, uint64_t& id) const;
};

// The provider that asks the platform.
const MachineFactsProvider& platformMachineFacts();

// The cached text of the value. The first call for a value probes it, and the few values
// probed with it, with the platform's answers; the cache never changes afterwards.
std::string systemValue(SystemValueId id);

// Every value, probed now (the machine name is built from the host and domain).
SystemValues probeAll(const MachineFactsProvider& facts = platformMachineFacts());

// Local groups, ascending, without duplicates; empty when the system does not tell.
std::set<std::string> localGroups(const MachineFactsProvider& facts = platformMachineFacts());

// Members of the group, each without a "DOMAIN\" prefix; empty for an unknown group.
std::set<std::string> groupMembers(const std::string& group,
                                   const MachineFactsProvider& facts = platformMachineFacts());

// The local groups that have the user (compared exactly) as a member.
std::set<std::string> userGroups(const std::string& user, const MachineFactsProvider& facts = platformMachineFacts());

// IPv4 addresses as "192.168.0.10", in the platform's order, without 127.0.0.1.
std::vector<std::string> ipAddresses(const MachineFactsProvider& facts = platformMachineFacts());

// The serial of the file system that holds the root path, unsigned decimal; "[unknown]".
std::string diskSerial(const std::string& rootPath, const MachineFactsProvider& facts = platformMachineFacts());

// The host name without its domain suffix, when the host ends in "." and the domain:
//   ("PC1.CORP", "CORP") => "PC1";  ("PC1", "WORKGROUP") => "PC1";  ("SALESCORP", "CORP") => "SALESCORP"
std::string machineNameOf(const std::string& host, const std::string& domain);

}  // namespace KelvraCorelib
