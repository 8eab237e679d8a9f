#include "corelib/WinRegistry.h"

#include <map>
#include <new>

#include "corelib/Logger.h"
#include "corelib/platform/Environment.h"
#include "corelib/platform/RegistryStore.h"

namespace KelvraCorelib {

bool getEnvironmentVariable(const std::string& name, std::string& value)
{
    return Platform::environmentVariable(name, value);
}

namespace WinRegistry {

namespace {

const std::map<std::string, uint32_t>& hiveTable()
{
    static const std::map<std::string, uint32_t> table = {
        {"HKEY_CLASSES_ROOT", Platform::hiveClassesRoot},
        {"HKEY_CURRENT_USER", Platform::hiveCurrentUser},
        {"HKEY_LOCAL_MACHINE", Platform::hiveLocalMachine},
        {"HKEY_USERS", Platform::hiveUsers},
        {"HKEY_PERFORMANCE_DATA", Platform::hivePerformanceData},
        {"HKEY_CURRENT_CONFIG", Platform::hiveCurrentConfig},
    };
    return table;
}

const std::string& resourcesPrefix()
{
    static const std::string prefix = "SOFTWARE\\Kelvra\\Resources";
    return prefix;
}

bool findHive(const std::string& name, uint32_t& hive)
{
    const auto found = hiveTable().find(name);
    if (found == hiveTable().end())
        return false;
    hive = found->second;
    return true;
}

const uint32_t initialBufferSize = 256;

}  // namespace

std::string mapResourceKey(const std::string& key)
{
    std::string mapped = key;
    for (char& c : mapped)
        if (c == '/')
            c = '\\';
    // Only the subtree itself is redirected: "...\\ResourcesOld" is a key beside it.
    const std::string& prefix = resourcesPrefix();
    if (mapped.compare(0, prefix.size(), prefix) != 0 || (mapped.size() > prefix.size() && mapped[prefix.size()] != '\\'))
        return mapped;
    std::string redirect;
    if (!getEnvironmentVariable("KELVRA_ENV", redirect))
        return mapped;
    return redirect + mapped.substr(prefix.size());
}

KeyHandle openKeyForRead(const std::string& hive, const std::string& key, uint32_t access, bool view64)
{
    uint32_t hiveHandle = 0;
    if (!findHive(hive, hiveHandle))
        throw Get_BadArguments("@winregistry.get.bad-arguments{Invalid argument \"%\"};", KELVRA_HERE,
                               ParamStream() << hive);
    const std::string mapped = mapResourceKey(key);
    Platform::RegistryKeyHandle handle = 0;
    const int32_t result =
        Platform::registryOpenKey(hiveHandle, mapped, access | (view64 ? Platform::registryView64 : 0u), handle);
    switch (result) {
    case Platform::registrySuccess:
        return handle;
    case Platform::registryFileNotFound:
    case Platform::registryElementNotFound:
        throw Get_NotFound("@winregistry.get.not-found{Could not find registry key \"%\"->\"%\"};", KELVRA_HERE,
                           ParamStream() << hive << mapped);
    case Platform::registryAccessDenied:
        throw Get_AccessDenied("@winregistry.get.access-denied{Access denied when trying to get \"%\"->\"%\"};",
                               KELVRA_HERE, ParamStream() << hive << mapped);
    case Platform::registryOutOfMemory:
        throw Get_OutOfMemory("@out-of-memory{Out of memory};");
    default:
        throw Get_UnknownError("@winregistry.get.unknown-error{Unknown error when trying to get \"%\"->\"%\"};",
                               KELVRA_HERE, ParamStream() << hive << mapped);
    }
}

KeyHandle openKeyForWrite(const std::string& hive, const std::string& key, bool view64)
{
    uint32_t hiveHandle = 0;
    if (!findHive(hive, hiveHandle))
        throw Set_BadArguments("@winregistry.set.bad-arguments{Invalid argument \"%\"};", KELVRA_HERE,
                               ParamStream() << hive);
    const std::string mapped = mapResourceKey(key);
    Platform::RegistryKeyHandle handle = 0;
    const int32_t result = Platform::registryCreateKey(
        hiveHandle, mapped, accessWrite | (view64 ? Platform::registryView64 : 0u), handle);
    switch (result) {
    case Platform::registrySuccess:
        return handle;
    case Platform::registryAccessDenied:
        throw Set_AccessDenied("@winregistry.set.access-denied{Access denied when trying to set \"%\"->\"%\"};",
                               KELVRA_HERE, ParamStream() << hive << mapped);
    case Platform::registryOutOfMemory:
        throw Set_OutOfMemory("@out-of-memory{Out of memory};");
    default:
        throw Set_UnknownError("@winregistry.set.unknown-error{Unknown error when trying to set \"%\"->\"%\"};",
                               KELVRA_HERE, ParamStream() << hive << mapped);
    }
}

std::string queryValue(KeyHandle handle, const std::string& displayPath, const std::string& name, uint32_t& size,
                       uint32_t& type)
{
    for (;;) {
        std::string buffer;
        try {
            buffer.resize(size);
        } catch (const std::bad_alloc&) {
            Platform::registryCloseKey(handle);
            throw Get_OutOfMemory("@out-of-memory{Out of memory};");
        }
        uint32_t count = size;
        const int32_t result = Platform::registryQueryValue(handle, name, type, buffer.data(), count);
        if (result == Platform::registrySuccess) {
            buffer.resize(count);
            size = count;
            return buffer;
        }
        if (result != Platform::registryMoreData) {
            Platform::registryCloseKey(handle);
            throw Get_NotFound("@winregistry.get.not-found{Could not find registry key \"%\"->\"%\"};", KELVRA_HERE,
                               ParamStream() << displayPath << name);
        }
        // A "more data" answer without a larger size (some hives give none) doubles the buffer.
        if (count > size)
            size = count;
        else if (size >= 0x80000000u) {
            Platform::registryCloseKey(handle);
            throw Get_OutOfMemory("@out-of-memory{Out of memory};");
        } else
            size = size == 0 ? initialBufferSize : size * 2;
    }
}

std::string getValue(KeyHandle handle, const std::string& displayPath, const std::string& name,
                     uint32_t expectedType)
{
    uint32_t size = initialBufferSize;
    uint32_t type = 0;
    std::string bytes = queryValue(handle, displayPath, name, size, type);
    Platform::registryCloseKey(handle);
    if (type != expectedType)
        throw Get_WrongType("winregistry.get.wrong-type{Cannot get \"%\"->\"%\" of type % because the actual type is %};",
                            KELVRA_HERE, ParamStream() << displayPath << name << expectedType << type);
    const size_t end = bytes.find_last_not_of('\0');
    bytes.resize(end == std::string::npos ? 0 : end + 1);
    return bytes;
}

void setValue(KeyHandle handle, const std::string& displayPath, const std::string& name, uint32_t type,
              const char* bytes, uint32_t size)
{
    const int32_t result = Platform::registrySetValue(handle, name, type, bytes, size);
    Platform::registryCloseKey(handle);
    switch (result) {
    case Platform::registrySuccess:
        return;
    case Platform::registryAccessDenied:
        throw Set_AccessDenied("@winregistry.set.access-denied{Access denied when trying to set \"%\"->\"%\"};",
                               KELVRA_HERE, ParamStream() << displayPath << name);
    case Platform::registryOutOfMemory:
        throw Set_OutOfMemory("@out-of-memory{Out of memory};");
    default:
        throw Set_UnknownError("@winregistry.set.unknown-error{Unknown error when trying to set \"%\"->\"%\"};",
                               KELVRA_HERE, ParamStream() << displayPath << name);
    }
}

std::string getString(const std::string& hive, const std::string& key, const std::string& name, bool view64)
{
    const KeyHandle handle = openKeyForRead(hive, key, accessRead, view64);
    return getValue(handle, hive + "\\" + key, name, typeString);
}

std::vector<std::string> getMultiString(const std::string& hive, const std::string& key, const std::string& name,
                                        bool view64)
{
    const KeyHandle handle = openKeyForRead(hive, key, accessRead, view64);
    const std::string bytes = getValue(handle, hive + "\\" + key, name, typeMultiString);
    std::vector<std::string> list;
    std::string element;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\0') {
            element += bytes[i];
            continue;
        }
        // A zero byte right after another one ends the list.
        if (i > 0 && bytes[i - 1] == '\0')
            return list;
        list.push_back(element);
        element.clear();
    }
    if (!element.empty())
        list.push_back(element);
    return list;
}

void setString(const std::string& hive, const std::string& key, const std::string& name, const std::string& text,
               bool view64)
{
    if (text.size() > 0xFFFFFFFFull)
        throw Set_BadArguments("@winregistry.set.bad-arguments{Invalid argument \"%\"};", KELVRA_HERE,
                               ParamStream() << name);
    const KeyHandle handle = openKeyForWrite(hive, key, view64);
    setValue(handle, hive + "\\" + key, name, typeString, text.data(), static_cast<uint32_t>(text.size()));
}

void setMultiString(const std::string& hive, const std::string& key, const std::string& name,
                    const std::vector<std::string>& list, bool view64)
{
    std::string bytes;
    for (const std::string& element : list) {
        bytes += element;
        bytes += '\0';
    }
    bytes += '\0';
    if (bytes.size() > 0xFFFFFFFFull)
        throw Set_BadArguments("@winregistry.set.bad-arguments{Invalid argument \"%\"};", KELVRA_HERE,
                               ParamStream() << name);
    const KeyHandle handle = openKeyForWrite(hive, key, view64);
    setValue(handle, hive + "\\" + key, name, typeMultiString, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

}  // namespace WinRegistry

}  // namespace KelvraCorelib
