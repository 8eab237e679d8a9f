#pragma once
// The few POSIX C calls that the portable tests use, for their Windows build (included
// before every test source there): environment changes go through the platform layer, so
// that the system's block and the C runtime's copy stay alike; mkdtemp makes a folder.
#if defined(__cplusplus) && __has_include("corelib/platform/Environment.h")
#include <cstdlib>
#include <string>

#include <direct.h>
#include <io.h>

#include "corelib/platform/Environment.h"

inline int setenv(const char* name, const char* value, int replace)
{
    std::string current;
    if (replace == 0 && KelvraCorelib::Platform::environmentVariable(name, current))
        return 0;
    return KelvraCorelib::Platform::setEnvironmentVariable(name, value) ? 0 : -1;
}

inline int unsetenv(const char* name)
{
    return KelvraCorelib::Platform::unsetEnvironmentVariable(name) ? 0 : -1;
}

inline char* mkdtemp(char* pattern)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = pattern;
        const size_t length = name.size();
        if (length < 6 || name.compare(length - 6, 6, "XXXXXX") != 0)
            return nullptr;
        static unsigned counter = 0;
        const unsigned value = (static_cast<unsigned>(std::rand()) << 8) ^ ++counter;
        for (size_t i = 0; i < 6; ++i)
            name[length - 6 + i] = "abcdefghijklmnopqrstuvwxyz0123456789"[(value >> (5 * i)) % 36];
        if (_mkdir(name.c_str()) == 0) {
            name.copy(pattern, length);
            return pattern;
        }
    }
    return nullptr;
}
#endif
