#pragma once
// The system-information agent: answers ("system", "query", "") and ("system", "set", "")
// on the hub. Type 16 queries machine facts by key; types 17 to 21 read and write local
// values kept in the registry under "SOFTWARE\\Kelvra".
//
//   std::string host;
//   SystemQueryParam param("hostname", SystemQueryParam::systemString, &host);
//   ImsMessage message("system", "query", "", &param);
//   agent.sendMessage(message);              // host is set, param.status untouched
//
// Keys of type 16 (anything from the first "." on is the key's argument):
//   hostname machinename platform os osversion oslang keyboardlang keyboardtype arch domain
//   currentuser osbits                  single values of the system-value cache
//   groups  groupusers.<group>  usergroups.<user>  ip    lists, one item per line
//   diskserial.<root path>              the serial of the volume that holds the path
//
// Registry place of a local value (HKEY_CURRENT_USER only with perUser and a user that is
// not a service account, else HKEY_LOCAL_MACHINE):
//   "collector\\interval"  =>  key "SOFTWARE\\Kelvra\\collector", value "interval"
//   "interval"             =>  key "SOFTWARE\\Kelvra",            value "interval"

#include <cstdint>
#include <string>

#include "corelib/Exception.h"
#include "corelib/Ims.h"
#include "corelib/SystemValues.h"

namespace KelvraCorelib {

// Parameter of both "system" messages; the sender owns it and the caller's variable.
class SystemQueryParam : public ImsMessageParameter {
public:
    // Requested types and the variable that value points to.
    static constexpr int32_t systemString = 16;  // std::string
    static constexpr int32_t localInt = 17;      // int64_t
    static constexpr int32_t localUInt = 18;     // uint64_t
    static constexpr int32_t localFloat = 19;    // double
    static constexpr int32_t localString = 20;   // std::string
    static constexpr int32_t localSet = 21;      // std::set<std::string>

    // Status codes written on failure; on success status is left as the sender set it.
    static constexpr int32_t statusNotFound = 3;       // unknown key, no such value, bad arguments on reading
    static constexpr int32_t statusWrongType = 4;      // the registry value has another type
    static constexpr int32_t statusTypeNotServed = 5;  // query of a type other than 16 to 21
    static constexpr int32_t statusReadFailed = 6;     // lack of memory, access denied, another error
    static constexpr int32_t statusAccessDenied = 10;  // writing refused
    static constexpr int32_t statusWriteFailed = 11;   // writing failed, or a set of a type other than 17 to 21

    SystemQueryParam() = default;
    SystemQueryParam(const std::string& path, int32_t requestedType, void* value, bool perUser = false)
        : path(path), requestedType(requestedType), value(value), perUser(perUser)
    {
    }

    std::string path;           // the key for type 16, the registry path for 17 to 21
    int32_t requestedType = 0;
    void* value = nullptr;      // the caller's variable (see the type constants)
    bool perUser = false;       // the current user's root instead of the machine's
    int32_t status = 0;
};

class SystemBase : public ImsAgent {
public:
    // Thrown by the constructor when a hook cannot be set; holds the hub's error nested.
    KELVRA_ERROR_CLASS(SystemBase_FailedToSetIMSHook);

    // Where a local value lives in the registry.
    struct RegistryPlace {
        std::string root;       // "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER"
        std::string key;        // "SOFTWARE\\Kelvra" or "SOFTWARE\\Kelvra\\<subkey>"
        std::string valueName;  // the path after its last backslash
    };

    // Attaches as "system-base" and hooks both "system" messages.
    SystemBase();
    // Removes both hooks.
    ~SystemBase() override;

    int32_t handleMessage(const ImsMessage& message) override;
    int32_t handleHookedMessage(uint64_t hookId, const ImsMessage& message) override;

    // The cached text of a machine fact, as other components read it.
    static std::string systemValue(SystemValueId id);

    // The place of the path for the given user; "SYSTEM" (and "root" where the system has
    // no SYSTEM account) counts as a service account and always gets the machine's root.
    static RegistryPlace registryPlace(const std::string& path, bool perUser, const std::string& currentUser);

    uint64_t queryHookId = 0;
    uint64_t setHookId = 0;

private:
    int32_t query(SystemQueryParam& param);
    int32_t set(SystemQueryParam& param);
};

}  // namespace KelvraCorelib
