#include "corelib/SystemBase.h"

#include <cstdint>
#include <map>
#include <new>
#include <set>
#include <vector>

#include "corelib/Logger.h"
#include "corelib/StringTools.h"
#include "corelib/WinRegistry.h"

namespace KelvraCorelib {

namespace {

using namespace StringTools;

const char* const localValuesKey = "SOFTWARE\\Kelvra";

// Numbers of the keys of "system string" queries; 0 is a key that is not served.
enum SystemKey {
    keyNone = 0,
    keyHostName,
    keyMachineName,
    keyPlatform,
    keyOs,
    keyOsVersion,
    keyOsLanguage,
    keyKeyboardLanguage,
    keyKeyboardType,
    keyArchitecture,
    keyDomain,
    keyCurrentUser,
    keyOsBits,
    keyGroups,
    keyGroupUsers,
    keyUserGroups,
    keyIp,
    keyDiskSerial,
};

SystemKey systemKeyOf(const std::string& key)
{
    static const std::map<std::string, SystemKey> table = {
        {"hostname", keyHostName},         {"machinename", keyMachineName},
        {"platform", keyPlatform},         {"os", keyOs},
        {"osversion", keyOsVersion},       {"oslang", keyOsLanguage},
        {"keyboardlang", keyKeyboardLanguage}, {"keyboardtype", keyKeyboardType},
        {"arch", keyArchitecture},         {"domain", keyDomain},
        {"currentuser", keyCurrentUser},   {"osbits", keyOsBits},
        {"groups", keyGroups},             {"groupusers", keyGroupUsers},
        {"usergroups", keyUserGroups},     {"ip", keyIp},
        {"diskserial", keyDiskSerial},
    };
    const auto found = table.find(key);
    return found == table.end() ? keyNone : found->second;
}

template <typename Items>
std::string joinLines(const Items& items)
{
    std::string text;
    bool first = true;
    for (const std::string& item : items) {
        if (!first)
            text += '\n';
        text += item;
        first = false;
    }
    return text;
}

// The text of a served key; the argument is used by the list keys that take one.
std::string systemText(SystemKey key, const std::string& argument)
{
    switch (key) {
    case keyHostName:
        return systemValue(SystemValueId::hostName);
    case keyMachineName:
        return systemValue(SystemValueId::machineName);
    case keyPlatform:
        return systemValue(SystemValueId::platform);
    case keyOs:
        return systemValue(SystemValueId::osName);
    case keyOsVersion:
        return formatUInt32(parseUInt32(systemValue(SystemValueId::osVersion)));
    case keyOsLanguage:
        return systemValue(SystemValueId::osLanguage);
    case keyKeyboardLanguage:
        return systemValue(SystemValueId::keyboardLanguage);
    case keyKeyboardType:
        return systemValue(SystemValueId::keyboardType);
    case keyArchitecture:
        return systemValue(SystemValueId::architecture);
    case keyDomain:
        return systemValue(SystemValueId::domain);
    case keyCurrentUser:
        return systemValue(SystemValueId::currentUser);
    case keyOsBits:
        return formatUInt32(parseUInt32(systemValue(SystemValueId::osBits)));
    case keyGroups:
        return joinLines(localGroups());
    case keyGroupUsers:
        return joinLines(groupMembers(argument));
    case keyUserGroups:
        return joinLines(userGroups(argument));
    case keyIp:
        return joinLines(ipAddresses());
    case keyDiskSerial:
        return diskSerial(argument);
    case keyNone:
        break;
    }
    return std::string();
}

bool isServiceAccount(const std::string& user)
{
#ifdef _WIN32
    return user == "SYSTEM";
#else
    // Services run as root where there is no SYSTEM account.
    return user == "SYSTEM" || user == "root";
#endif
}

int32_t readLocal(const SystemBase::RegistryPlace& place, int32_t type, void* value)
{
    try {
        switch (type) {
        case SystemQueryParam::localInt: {
            const int64_t number = parseInt64(WinRegistry::getString(place.root, place.key, place.valueName));
            *static_cast<int64_t*>(value) = number;
            break;
        }
        case SystemQueryParam::localUInt: {
            const uint64_t number = parseUInt64(WinRegistry::getString(place.root, place.key, place.valueName));
            *static_cast<uint64_t*>(value) = number;
            break;
        }
        case SystemQueryParam::localFloat: {
            const double number = parseDouble(WinRegistry::getString(place.root, place.key, place.valueName));
            *static_cast<double*>(value) = number;
            break;
        }
        case SystemQueryParam::localString:
            *static_cast<std::string*>(value) = WinRegistry::getString(place.root, place.key, place.valueName);
            break;
        default: {
            const std::vector<std::string> list = WinRegistry::getMultiString(place.root, place.key, place.valueName);
            *static_cast<std::set<std::string>*>(value) = std::set<std::string>(list.begin(), list.end());
            break;
        }
        }
    } catch (const WinRegistry::Get_NotFound&) {
        return SystemQueryParam::statusNotFound;
    } catch (const WinRegistry::Get_WrongType&) {
        return SystemQueryParam::statusWrongType;
    } catch (const WinRegistry::Get_BadArguments&) {
        return SystemQueryParam::statusNotFound;
    } catch (const Exception&) {
        return SystemQueryParam::statusReadFailed;
    } catch (const std::bad_alloc&) {
        return SystemQueryParam::statusReadFailed;
    }
    return 0;
}

int32_t writeLocal(const SystemBase::RegistryPlace& place, int32_t type, const void* value)
{
    try {
        switch (type) {
        case SystemQueryParam::localInt:
            WinRegistry::setString(place.root, place.key, place.valueName,
                                   formatInt64(*static_cast<const int64_t*>(value)));
            break;
        case SystemQueryParam::localUInt:
            WinRegistry::setString(place.root, place.key, place.valueName,
                                   formatUInt64(*static_cast<const uint64_t*>(value)));
            break;
        case SystemQueryParam::localFloat:
            WinRegistry::setString(place.root, place.key, place.valueName,
                                   formatDouble(*static_cast<const double*>(value)));
            break;
        case SystemQueryParam::localString:
            WinRegistry::setString(place.root, place.key, place.valueName, *static_cast<const std::string*>(value));
            break;
        default: {
            const auto& items = *static_cast<const std::set<std::string>*>(value);
            WinRegistry::setMultiString(place.root, place.key, place.valueName,
                                        std::vector<std::string>(items.begin(), items.end()));
            break;
        }
        }
    } catch (const WinRegistry::Set_AccessDenied&) {
        return SystemQueryParam::statusAccessDenied;
    } catch (const Exception&) {
        return SystemQueryParam::statusWriteFailed;
    } catch (const std::bad_alloc&) {
        return SystemQueryParam::statusWriteFailed;
    }
    return 0;
}

bool isLocalType(int32_t type)
{
    return type >= SystemQueryParam::localInt && type <= SystemQueryParam::localSet;
}

}  // namespace

SystemBase::SystemBase() : ImsAgent("system-base")
{
    try {
        queryHookId = setMessageHook(false, "system", "query", "", 1);
        setHookId = setMessageHook(false, "system", "set", "", 1);
    } catch (const Exception& caught) {
        // No hook may outlive the agent that is not being built.
        if (queryHookId != 0)
            removeMessageHook(queryHookId);
        throw SystemBase_FailedToSetIMSHook(KELVRA_HERE, caught);
    }
}

SystemBase::~SystemBase()
{
    try {
        if (queryHookId != 0)
            removeMessageHook(queryHookId);
        if (setHookId != 0)
            removeMessageHook(setHookId);
    } catch (const Exception&) {
        // The agent goes away in any case.
    }
}

int32_t SystemBase::handleHookedMessage(uint64_t hookId, const ImsMessage& message)
{
    if (hookId == 0 || (hookId != queryHookId && hookId != setHookId))
        return notHandled;
    return handleMessage(message);
}

int32_t SystemBase::handleMessage(const ImsMessage& message)
{
    if (message.generalType != "system")
        return notHandled;
    if (message.groupType != "query" && message.groupType != "set")
        return notHandled;
    // Without a parameter of ours there is nowhere to answer.
    auto* param = dynamic_cast<SystemQueryParam*>(message.parameter);
    if (param == nullptr)
        return notHandled;
    return message.groupType == "query" ? query(*param) : set(*param);
}

std::string SystemBase::systemValue(SystemValueId id)
{
    return KelvraCorelib::systemValue(id);
}

SystemBase::RegistryPlace SystemBase::registryPlace(const std::string& path, bool perUser,
                                                    const std::string& currentUser)
{
    RegistryPlace place;
    place.root = perUser && !isServiceAccount(currentUser) ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
    place.key = localValuesKey;
    const size_t separator = path.rfind('\\');
    if (separator == std::string::npos) {
        place.valueName = path;
        return place;
    }
    place.valueName = path.substr(separator + 1);
    const std::string subkey = path.substr(0, separator);
    if (!subkey.empty())
        place.key += "\\" + subkey;
    return place;
}

int32_t SystemBase::query(SystemQueryParam& param)
{
    if (param.requestedType == SystemQueryParam::systemString) {
        const size_t dot = param.path.find('.');
        const std::string key = param.path.substr(0, dot);
        const std::string argument = dot == std::string::npos ? std::string() : param.path.substr(dot + 1);
        const SystemKey number = systemKeyOf(key);
        if (number == keyNone) {
            param.status = SystemQueryParam::statusNotFound;
            return handled;
        }
        if (param.value == nullptr) {
            param.status = SystemQueryParam::statusNotFound;
            return handledFinal;
        }
        *static_cast<std::string*>(param.value) = systemText(number, argument);
        return handledFinal;
    }
    if (isLocalType(param.requestedType)) {
        if (param.value == nullptr) {
            param.status = SystemQueryParam::statusNotFound;
            return handledFinal;
        }
        const RegistryPlace place =
            registryPlace(param.path, param.perUser, systemValue(SystemValueId::currentUser));
        const int32_t status = readLocal(place, param.requestedType, param.value);
        if (status != 0)
            param.status = status;
        return handledFinal;
    }
    param.status = SystemQueryParam::statusTypeNotServed;
    return handled;
}

int32_t SystemBase::set(SystemQueryParam& param)
{
    if (!isLocalType(param.requestedType) || param.value == nullptr) {
        param.status = SystemQueryParam::statusWriteFailed;
        return handledFinal;
    }
    const RegistryPlace place = registryPlace(param.path, param.perUser, systemValue(SystemValueId::currentUser));
    const int32_t status = writeLocal(place, param.requestedType, param.value);
    if (status != 0)
        param.status = status;
    return handledFinal;
}

}  // namespace KelvraCorelib
