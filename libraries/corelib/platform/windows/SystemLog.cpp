// Windows code only: the Application event log.
#include "corelib/platform/SystemLog.h"

namespace KelvraCorelib::Platform {

bool writeSystemLog(SystemLogChannel, const SystemLogRecord&)
{
    return false;
}

bool registerEventSource(const std::string&, std::string& problem)
{
    problem = "not available";
    return false;
}

}  // namespace KelvraCorelib::Platform
