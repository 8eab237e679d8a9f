// POSIX only: the process environment through getenv, setenv and unsetenv.
#include "corelib/platform/Environment.h"

#include <cstdlib>
#include <stdlib.h>

namespace KelvraCorelib::Platform {

bool environmentVariable(const std::string& name, std::string& value)
{
    if (!validEnvironmentName(name))
        return false;
    const char* text = std::getenv(name.c_str());
    if (text == nullptr)
        return false;
    value = text;
    return true;
}

bool setEnvironmentVariable(const std::string& name, const std::string& value)
{
    if (!validEnvironmentName(name) || value.find('\0') != std::string::npos)
        return false;
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool unsetEnvironmentVariable(const std::string& name)
{
    if (!validEnvironmentName(name))
        return false;
    return ::unsetenv(name.c_str()) == 0;
}

}  // namespace KelvraCorelib::Platform
