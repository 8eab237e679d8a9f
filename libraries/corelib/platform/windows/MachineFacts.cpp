// Windows code only: machine facts from the system's own calls (computer and user names,
// version, native system information, locale and keyboard, local groups, addresses and
// volumes), given in the terms of the platform interface.
#include "corelib/platform/MachineFacts.h"

#include <algorithm>
#include <cstring>

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <lm.h>

#include "corelib/platform/windows/WideText.h"

namespace KelvraCorelib::Platform {

namespace {

std::string lowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

using NativeSystemInfoFunction = void(WINAPI*)(LPSYSTEM_INFO);

// GetNativeSystemInfo where the system has it; an all-zero record otherwise.
SYSTEM_INFO nativeSystemInfo()
{
    SYSTEM_INFO info;
    std::memset(&info, 0, sizeof(info));
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr)
        return info;
    const auto function =
        reinterpret_cast<NativeSystemInfoFunction>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetNativeSystemInfo")));
    if (function != nullptr)
        function(&info);
    return info;
}

std::string architectureText(const SYSTEM_INFO& info)
{
    switch (info.wProcessorArchitecture) {
    case 0: return "i" + std::to_string(info.dwProcessorType);
    case 1: return "mips";
    case 2: return "alpha";
    case 3: return "powerpc";
    case 6: return "ia64";
    case 9: return "amd64";
    case 10: return "ia32_on_win64";
    case 0xFFFF: return "unknown";
    default: return "error";
    }
}

bool versionRecord(OSVERSIONINFOEXA& version)
{
    std::memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version)) != 0;
#pragma GCC diagnostic pop
}

// The name of the system after "windows": "_7_x64", "_xp", "2000" ...
std::string releaseName(const OSVERSIONINFOEXA& version, const SYSTEM_INFO& info)
{
    const std::string servicePack =
        version.wServicePackMajor != 0 ? "_sp" + std::to_string(version.wServicePackMajor) : std::string();
    const std::string architecture = info.wProcessorArchitecture == 9   ? "_x64"
                                     : info.wProcessorArchitecture == 6 ? "_ia64"
                                                                        : std::string();
    const bool workstation = version.wProductType == VER_NT_WORKSTATION;
    const DWORD major = version.dwMajorVersion;
    const DWORD minor = version.dwMinorVersion;
    if (major == 3 || major == 4)
        return "_nt" + std::to_string(major) + servicePack;
    if (major == 5) {
        if (minor == 0)
            return "2000";
        if (minor == 1)
            return "_xp";
        if (minor == 2) {
            std::string name;
            if (workstation)
                name = "_xp_x64";
            else if (GetSystemMetrics(89) != 0)
                name = "_server2003_r2";
            else if (version.wProductType == 2)
                name = "_nt-domain-controller";
            else if (version.wProductType == 3)
                name = "_server2003";
            else
                name = "_unknown";
            if ((version.wSuiteMask & 0x0200) != 0)
                name += "_home";
            return name + servicePack;
        }
    }
    if (major == 6 && minor == 0)
        return (workstation ? "_vista" : "_server2008") + architecture + servicePack;
    if (major == 6 && minor == 1)
        return (workstation ? "_7" : "__server2008R2") + architecture + servicePack;
    return "_" + std::to_string(major) + "." + std::to_string(minor);
}

std::string localeText(LCID locale, LCTYPE type)
{
    char buffer[64];
    const int length = GetLocaleInfoA(locale, type, buffer, sizeof(buffer));
    return length > 1 ? std::string(buffer, size_t(length - 1)) : std::string();
}

}  // namespace

bool hostName(std::string& name)
{
    char buffer[128];
    DWORD size = sizeof(buffer);
    if (!GetComputerNameA(buffer, &size))
        return false;
    name.assign(buffer, size);
    return true;
}

// The workstation's domain or workgroup (NetWkstaGetInfo level 100).
bool nisDomainName(std::string& name)
{
    WKSTA_INFO_100* info = nullptr;
    if (NetWkstaGetInfo(nullptr, 100, reinterpret_cast<LPBYTE*>(&info)) != NERR_Success || info == nullptr)
        return false;
    std::string group = narrowText(info->wki100_langroup);
    NetApiBufferFree(info);
    if (group.size() > 200)
        group.resize(200);
    if (group.empty())
        return false;
    name = group;
    return true;
}

bool dnsDomainName(const std::string& host, std::string& domain)
{
    char buffer[256];
    DWORD size = sizeof(buffer);
    if (GetComputerNameExA(ComputerNameDnsDomain, buffer, &size) && size > 0) {
        domain.assign(buffer, size);
        return true;
    }
    const size_t dot = host.find('.');
    if (dot == std::string::npos || dot + 1 >= host.size())
        return false;
    domain = host.substr(dot + 1);
    return true;
}

bool kernelFacts(KernelFacts& facts)
{
    OSVERSIONINFOEXA version;
    if (!versionRecord(version))
        return false;
    const SYSTEM_INFO info = nativeSystemInfo();
    facts.systemName = "windows";
    facts.release = std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
                    std::to_string(version.dwBuildNumber);
    facts.machine = architectureText(info);
    return true;
}

// ID: the system's name after "windows_" (only the NT platform is named).
bool osReleaseSettings(std::map<std::string, std::string>& settings)
{
    OSVERSIONINFOEXA version;
    if (!versionRecord(version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return false;
    std::string name = releaseName(version, nativeSystemInfo());
    if (!name.empty() && name[0] == '_')
        name.erase(0, 1);
    settings.clear();
    settings["ID"] = name;
    settings["VERSION_ID"] = "";
    return true;
}

// "en_US" from the system's default locale.
bool systemLocale(std::string& locale)
{
    const std::string language = localeText(LOCALE_SYSTEM_DEFAULT, LOCALE_SISO639LANGNAME);
    if (language.empty())
        return false;
    const std::string country = localeText(LOCALE_SYSTEM_DEFAULT, LOCALE_SISO3166CTRYNAME);
    locale = country.empty() ? language : language + "_" + country;
    return true;
}

// The layout is the country of the first keyboard layout's language in lower case ("us",
// "de"); the model follows GetKeyboardType (the enhanced keyboard with 12 function keys is
// the 105-key PC keyboard).
bool keyboardSettings(KeyboardSettings& settings)
{
    const int type = GetKeyboardType(0);
    const int functionKeys = GetKeyboardType(2);
    HKL layouts[1];
    const LANGID language = GetKeyboardLayoutList(1, layouts) == 1
                                ? LOWORD(reinterpret_cast<uintptr_t>(layouts[0]))
                                : LOWORD(reinterpret_cast<uintptr_t>(GetKeyboardLayout(0)));
    const std::string country = localeText(MAKELCID(language, SORT_DEFAULT), LOCALE_SISO3166CTRYNAME);
    if (country.empty() && type == 0)
        return false;
    settings.model = type == 4 && functionKeys == 12 ? "pc105" : std::string();
    settings.layout = lowerAscii(country);
    settings.variant.clear();
    return true;
}

bool userName(std::string& name)
{
    std::vector<char> buffer(20);
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        if (GetUserNameA(buffer.data(), &size)) {
            name = buffer.data();
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= buffer.size())
            return false;
        buffer.resize(size);
    }
}

bool groupNames(std::vector<std::string>& names)
{
    names.clear();
    DWORD_PTR resume = 0;
    NET_API_STATUS status;
    do {
        LOCALGROUP_INFO_0* entries = nullptr;
        DWORD read = 0;
        DWORD total = 0;
        status = NetLocalGroupEnum(nullptr, 0, reinterpret_cast<LPBYTE*>(&entries), MAX_PREFERRED_LENGTH, &read,
                                   &total, &resume);
        if (status != NERR_Success && status != ERROR_MORE_DATA) {
            if (entries != nullptr)
                NetApiBufferFree(entries);
            return false;
        }
        for (DWORD i = 0; i < read; ++i)
            names.push_back(narrowText(entries[i].lgrpi0_name));
        if (entries != nullptr)
            NetApiBufferFree(entries);
    } while (status == ERROR_MORE_DATA);
    return true;
}

bool groupMemberNames(const std::string& group, std::vector<std::string>& names)
{
    names.clear();
    const std::wstring wideGroup = wideText(group);
    DWORD_PTR resume = 0;
    NET_API_STATUS status;
    do {
        LOCALGROUP_MEMBERS_INFO_3* entries = nullptr;
        DWORD read = 0;
        DWORD total = 0;
        status = NetLocalGroupGetMembers(nullptr, wideGroup.c_str(), 3, reinterpret_cast<LPBYTE*>(&entries),
                                         MAX_PREFERRED_LENGTH, &read, &total, &resume);
        if (status != NERR_Success && status != ERROR_MORE_DATA) {
            if (entries != nullptr)
                NetApiBufferFree(entries);
            return false;
        }
        for (DWORD i = 0; i < read; ++i)
            names.push_back(narrowText(entries[i].lgrmi3_domainandname));
        if (entries != nullptr)
            NetApiBufferFree(entries);
    } while (status == ERROR_MORE_DATA);
    return true;
}

bool ipv4Addresses(std::vector<std::array<uint8_t, 4>>& addresses)
{
    addresses.clear();
    ULONG size = 0;
    if (GetIpAddrTable(nullptr, &size, TRUE) != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return false;
    std::vector<uint8_t> buffer(size);
    MIB_IPADDRTABLE* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
    if (GetIpAddrTable(table, &size, TRUE) != NO_ERROR)
        return false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const DWORD address = table->table[i].dwAddr;  // network order in memory
        std::array<uint8_t, 4> bytes;
        std::memcpy(bytes.data(), &address, 4);
        addresses.push_back(bytes);
    }
    std::sort(addresses.begin(), addresses.end());
    return true;
}

// The volume serial number of the drive or share that holds the path.
bool fileSystemId(const std::string& path, uint64_t& id)
{
    const char* root = nullptr;
    char buffer[MAX_PATH + 1];
    if (!path.empty()) {
        // The volume of a path that does not exist would be guessed from its text.
        if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ||
            !GetVolumePathNameA(path.c_str(), buffer, sizeof(buffer)))
            return false;
        root = buffer;
    }
    DWORD serial = 0;
    if (!GetVolumeInformationA(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0))
        return false;
    id = serial;
    return true;
}

}  // namespace KelvraCorelib::Platform
