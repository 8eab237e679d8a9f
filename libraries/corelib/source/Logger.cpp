#include "corelib/Logger.h"

namespace KelvraCorelib {

std::string sourceLocation(const std::string& filePath, int line)
{
    const size_t separator = filePath.find_last_of("\\/");
    const std::string baseName = separator == std::string::npos ? filePath : filePath.substr(separator + 1);
    return " @logsrc{file=\"" + baseName + "\" line=" + std::to_string(line) + "};";
}

}  // namespace KelvraCorelib
