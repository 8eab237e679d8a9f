// Windows code only: the process environment. The system's block (which started programs
// inherit) and the C runtime's copy (which _tzset and getenv read) are kept alike.
#include "corelib/platform/Environment.h"

#include <cstdlib>
#include <stdlib.h>
#include <vector>

#include <windows.h>

namespace KelvraCorelib::Platform {

bool environmentVariable(const std::string& name, std::string& value)
{
    if (!validEnvironmentName(name))
        return false;
    std::vector<char> buffer(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableA(name.c_str(), buffer.data(), DWORD(buffer.size()));
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND)
                return false;
            value.clear();
            return true;
        }
        if (length < buffer.size()) {
            value.assign(buffer.data(), length);
            return true;
        }
        buffer.resize(length + 1);
    }
}

bool setEnvironmentVariable(const std::string& name, const std::string& value)
{
    if (!validEnvironmentName(name) || value.find('\0') != std::string::npos)
        return false;
    // The C runtime passes its changes on to the system's block, but it cannot hold an
    // empty value (it removes the variable): the system's call comes last.
    (void)_putenv_s(name.c_str(), value.c_str());
    return SetEnvironmentVariableA(name.c_str(), value.c_str()) != 0;
}

bool unsetEnvironmentVariable(const std::string& name)
{
    if (!validEnvironmentName(name))
        return false;
    (void)_putenv_s(name.c_str(), "");
    return SetEnvironmentVariableA(name.c_str(), nullptr) != 0 || GetLastError() == ERROR_ENVVAR_NOT_FOUND;
}

}  // namespace KelvraCorelib::Platform
