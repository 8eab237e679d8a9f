#pragma once
// The registry: keys that hold typed values, under the predefined hives, opened through
// integer handles. Results are the registry's own result codes (below).
//
// Where the system has no registry of its own the store is a folder tree:
//   <store folder>/<hive name>/<key>/<key>/...   one folder per key
//   .../@<value name>                            one file per value: the type in decimal,
//                                                a line feed, then the value's bytes
// The store folder is $TRAWLEX_REGISTRY_DIR when that is set and not empty, otherwise
// /var/lib/trawlex/registry; it is looked up at every open, so a changed variable takes
// effect for keys opened afterwards. HKEY_CURRENT_USER is the key of the process's user
// under HKEY_USERS, as on Windows. Key and value names compare case-insensitively in the
// ASCII letters (they are stored folded to lower case); bytes other than letters, digits,
// "-", "_", " " and a "." that does not lead the name are stored as "%XX", so no name
// can leave its key's folder. Empty parts of a key path ("a\\\\b", a trailing backslash)
// are skipped; the empty key path is the hive itself, which always exists. A value is
// replaced as a whole (written beside and renamed), so readers never see half a value.

#include <cstdint>
#include <string>

namespace KelvraCorelib::Platform {

using RegistryKeyHandle = int64_t;

// Result codes.
constexpr int32_t registrySuccess = 0;
constexpr int32_t registryFileNotFound = 2;
constexpr int32_t registryAccessDenied = 5;
constexpr int32_t registryInvalidHandle = 6;
constexpr int32_t registryOutOfMemory = 14;
constexpr int32_t registryInvalidParameter = 87;
constexpr int32_t registryMoreData = 234;
constexpr int32_t registryIoFailed = 1016;
constexpr int32_t registryElementNotFound = 1168;

// Access rights (only the query and set bits are checked by the folder store) and the
// 64-bit view flag (the folder store has one view and ignores it).
constexpr uint32_t registryQueryValueRight = 0x0001;
constexpr uint32_t registrySetValueRight = 0x0002;
constexpr uint32_t registryReadAccess = 0x20019;
constexpr uint32_t registryWriteAccess = 0x20006;
constexpr uint32_t registryView64 = 0x0100;

// Predefined hive handle values.
constexpr uint32_t hiveClassesRoot = 0x80000000u;
constexpr uint32_t hiveCurrentUser = 0x80000001u;
constexpr uint32_t hiveLocalMachine = 0x80000002u;
constexpr uint32_t hiveUsers = 0x80000003u;
constexpr uint32_t hivePerformanceData = 0x80000004u;
constexpr uint32_t hiveCurrentConfig = 0x80000005u;

// Value types.
constexpr uint32_t registryString = 1;
constexpr uint32_t registryMultiString = 7;

// Opens an existing key (backslash-separated path below the hive). 0 and a handle, or
// 2 (no such key), 5 (access denied), 6 (unknown hive), 14, 1016 (another failure).
int32_t registryOpenKey(uint32_t hive, const std::string& keyPath, uint32_t access, RegistryKeyHandle& handle);

// Opens the key, creating it and its missing parents. Results as registryOpenKey.
int32_t registryCreateKey(uint32_t hive, const std::string& keyPath, uint32_t access, RegistryKeyHandle& handle);

// Reads a value into buffer (size bytes available). 0: type and size (the byte count) set.
// 234: the buffer is too small; size is set to the byte count needed and nothing is
// copied. 2: no such value. 5: the key was not opened with the query right. 6: unknown
// handle. 1016: the value cannot be read.
int32_t registryQueryValue(RegistryKeyHandle handle, const std::string& valueName, uint32_t& type, char* buffer,
                           uint32_t& size);

// Writes (creates or replaces) a value. 0, or 5 (no set right, or the file system
// refuses), 6 (unknown handle), 14, 1016.
int32_t registrySetValue(RegistryKeyHandle handle, const std::string& valueName, uint32_t type, const char* bytes,
                         uint32_t size);

// Releases the handle. 0, or 6 for a handle that is not open.
int32_t registryCloseKey(RegistryKeyHandle handle);

// The folder of the store as it would be used by the next open.
std::string registryStoreFolder();

}  // namespace KelvraCorelib::Platform
