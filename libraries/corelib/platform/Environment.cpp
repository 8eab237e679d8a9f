// The part of the environment interface that is the same on every platform.
#include "corelib/platform/Environment.h"

namespace KelvraCorelib::Platform {

bool validEnvironmentName(const std::string& name)
{
    return !name.empty() && name.find('=') == std::string::npos && name.find('\0') == std::string::npos;
}

}  // namespace KelvraCorelib::Platform
