// Windows code only: the system's registry through RegOpenKeyExA, RegCreateKeyExA,
// RegQueryValueExA, RegSetValueExA and RegCloseKey.
#include "corelib/platform/RegistryStore.h"

#include <mutex>
#include <set>

#include <windows.h>

namespace KelvraCorelib::Platform {

namespace {

std::mutex& handleLock()
{
    static std::mutex lock;
    return lock;
}

// Keys opened here; any other number is refused (6) instead of reaching the system.
std::set<RegistryKeyHandle>& openHandles()
{
    static std::set<RegistryKeyHandle> handles;
    return handles;
}

bool hiveKey(uint32_t hive, HKEY& key)
{
    switch (hive) {
    case hiveClassesRoot: key = HKEY_CLASSES_ROOT; return true;
    case hiveCurrentUser: key = HKEY_CURRENT_USER; return true;
    case hiveLocalMachine: key = HKEY_LOCAL_MACHINE; return true;
    case hiveUsers: key = HKEY_USERS; return true;
    case hivePerformanceData: key = HKEY_PERFORMANCE_DATA; return true;
    case hiveCurrentConfig: key = HKEY_CURRENT_CONFIG; return true;
    default: return false;
    }
}

// The path without empty parts: "a\\\\b\\" => "a\\b".
std::string cleanPath(const std::string& keyPath)
{
    std::string clean;
    size_t start = 0;
    while (start <= keyPath.size()) {
        size_t end = keyPath.find('\\', start);
        if (end == std::string::npos)
            end = keyPath.size();
        if (end > start) {
            if (!clean.empty())
                clean += '\\';
            clean.append(keyPath, start, end - start);
        }
        start = end + 1;
    }
    return clean;
}

int32_t remember(HKEY key, RegistryKeyHandle& handle)
{
    handle = static_cast<RegistryKeyHandle>(reinterpret_cast<intptr_t>(key));
    std::lock_guard<std::mutex> guard(handleLock());
    openHandles().insert(handle);
    return registrySuccess;
}

bool isOpen(RegistryKeyHandle handle)
{
    std::lock_guard<std::mutex> guard(handleLock());
    return openHandles().count(handle) != 0;
}

HKEY keyOf(RegistryKeyHandle handle)
{
    return reinterpret_cast<HKEY>(static_cast<intptr_t>(handle));
}

}  // namespace

std::string registryStoreFolder()
{
    return std::string();  // the system's own registry: no folder
}

int32_t registryOpenKey(uint32_t hive, const std::string& keyPath, uint32_t access, RegistryKeyHandle& handle)
{
    HKEY root;
    if (!hiveKey(hive, root))
        return registryInvalidHandle;
    HKEY key = nullptr;
    const LONG result = RegOpenKeyExA(root, cleanPath(keyPath).c_str(), 0, access, &key);
    if (result != ERROR_SUCCESS)
        return static_cast<int32_t>(result);
    return remember(key, handle);
}

int32_t registryCreateKey(uint32_t hive, const std::string& keyPath, uint32_t access, RegistryKeyHandle& handle)
{
    HKEY root;
    if (!hiveKey(hive, root))
        return registryInvalidHandle;
    HKEY key = nullptr;
    const LONG result = RegCreateKeyExA(root, cleanPath(keyPath).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        access, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return static_cast<int32_t>(result);
    return remember(key, handle);
}

int32_t registryQueryValue(RegistryKeyHandle handle, const std::string& valueName, uint32_t& type, char* buffer,
                           uint32_t& size)
{
    if (!isOpen(handle))
        return registryInvalidHandle;
    DWORD valueType = 0;
    DWORD length = buffer != nullptr ? size : 0;
    const LONG result = RegQueryValueExA(keyOf(handle), valueName.c_str(), nullptr, &valueType,
                                         reinterpret_cast<LPBYTE>(buffer), &length);
    if (result == ERROR_SUCCESS && buffer == nullptr && length > 0) {
        size = length;
        return registryMoreData;
    }
    if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
        type = valueType;
        size = length;
    }
    return static_cast<int32_t>(result);
}

int32_t registrySetValue(RegistryKeyHandle handle, const std::string& valueName, uint32_t type, const char* bytes,
                         uint32_t size)
{
    if (!isOpen(handle))
        return registryInvalidHandle;
    return static_cast<int32_t>(
        RegSetValueExA(keyOf(handle), valueName.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes), size));
}

int32_t registryCloseKey(RegistryKeyHandle handle)
{
    {
        std::lock_guard<std::mutex> guard(handleLock());
        if (openHandles().erase(handle) == 0)
            return registryInvalidHandle;
    }
    return static_cast<int32_t>(RegCloseKey(keyOf(handle)));
}

}  // namespace KelvraCorelib::Platform
