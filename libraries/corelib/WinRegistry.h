#pragma once
// String and multi-string values in the registry, addressed by hive name, key path and
// value name, and the process's environment lookup.
//
//   WinRegistry::setString("HKEY_LOCAL_MACHINE", "SOFTWARE\\Kelvra\\collector", "interval", "PT5M");
//   WinRegistry::getString("HKEY_LOCAL_MACHINE", "SOFTWARE\\Kelvra\\collector", "interval");  // "PT5M"
//
// Hive names are compared exactly ("hkey_local_machine" is not a hive). Key paths under
// "SOFTWARE\\Kelvra\\Resources" are redirected by the environment variable KELVRA_ENV
// (see mapResourceKey). Every failure throws one of the error classes below.
//
// Where the system has no registry, the values live in a folder tree (see
// corelib/platform/RegistryStore.h): $TRAWLEX_REGISTRY_DIR, or /var/lib/trawlex/registry.
// Key and value names are case-insensitive in the ASCII letters there, as on Windows.

#include <cstdint>
#include <string>
#include <vector>

#include "corelib/Exception.h"

namespace KelvraCorelib {

// The process environment's value of the variable; false (value untouched) when not set.
bool getEnvironmentVariable(const std::string& name, std::string& value);

namespace WinRegistry {

using KeyHandle = int64_t;

constexpr uint32_t typeString = 1;
constexpr uint32_t typeMultiString = 7;
constexpr uint32_t accessRead = 0x20019;
constexpr uint32_t accessWrite = 0x20006;

KELVRA_ERROR_CLASS(Set_BadArguments);
KELVRA_ERROR_CLASS(Set_AccessDenied);
KELVRA_ERROR_CLASS(Set_OutOfMemory);
KELVRA_ERROR_CLASS(Set_UnknownError);
KELVRA_ERROR_CLASS(Get_BadArguments);
KELVRA_ERROR_CLASS(Get_AccessDenied);
KELVRA_ERROR_CLASS(Get_NotFound);
KELVRA_ERROR_CLASS(Get_OutOfMemory);
KELVRA_ERROR_CLASS(Get_UnknownError);
KELVRA_ERROR_CLASS(Get_WrongType);

// Slashes become backslashes; a key in the subtree "SOFTWARE\\Kelvra\\Resources" (that key
// or one below it) has that prefix replaced by the value of KELVRA_ENV when it is set:
//   "SOFTWARE/Kelvra/Resources/X"  =>  "SOFTWARE\\Kelvra\\Resources\\X"  (KELVRA_ENV unset)
//   "SOFTWARE\\Kelvra\\Resources\\X" =>  "TEST\\Res\\X"                   (KELVRA_ENV=TEST\Res)
//   "SOFTWARE\\Kelvra\\Other"        =>  unchanged
std::string mapResourceKey(const std::string& key);

// Opens an existing key (the key path goes through mapResourceKey).
KeyHandle openKeyForRead(const std::string& hive, const std::string& key, uint32_t access, bool view64);

// Opens the key for writing, creating it and its missing parents.
KeyHandle openKeyForWrite(const std::string& hive, const std::string& key, bool view64);

// Reads the value's type and bytes; size is the buffer size to start with and holds the
// byte count afterwards. On failure the key is closed.
std::string queryValue(KeyHandle handle, const std::string& displayPath, const std::string& name, uint32_t& size,
                       uint32_t& type);

// Reads the value, closes the key, checks the type and removes trailing zero bytes.
std::string getValue(KeyHandle handle, const std::string& displayPath, const std::string& name,
                     uint32_t expectedType);

// Writes the value, then closes the key (also on failure).
void setValue(KeyHandle handle, const std::string& displayPath, const std::string& name, uint32_t type,
              const char* bytes, uint32_t size);

std::string getString(const std::string& hive, const std::string& key, const std::string& name,
                      bool view64 = false);

// "A\0B\0\0" => {"A", "B"}; the list ends at the first empty element that is not the first.
std::vector<std::string> getMultiString(const std::string& hive, const std::string& key, const std::string& name,
                                        bool view64 = false);

// Stores the text's bytes without a terminating zero byte.
void setString(const std::string& hive, const std::string& key, const std::string& name, const std::string& text,
               bool view64 = false);

// Stores each element and a zero byte, then one more zero byte ({} is stored as "\0").
void setMultiString(const std::string& hive, const std::string& key, const std::string& name,
                    const std::vector<std::string>& list, bool view64 = false);

}  // namespace WinRegistry

}  // namespace KelvraCorelib
