#pragma once
// Data logs as the tests make them: a raw log of one source at a fixed time.
#include <cstdint>
#include <string>

#include "datahandling/DataLog.h"

namespace TestSupport {

inline constexpr int64_t sourceTime = 3850000000000LL;

inline void describeRawLog(KelvraCorelib::DataLog& log, const std::string& app = "app",
                           const std::string& module = "mod", const std::string& datatype = "mod",
                           int64_t time = sourceTime)
{
    log.setLogType(KelvraCorelib::DataCommons::logRaw);
    log.setSourceMeta("application", app);
    log.setSourceMeta("module", module);
    log.setSourceMeta("datatype", datatype);
    log.setSourceMeta("time", std::to_string(time));
}

// text as the one collection of a new file of dir (lead "app"), finalised; false on a failure.
inline bool writeCollection(KelvraCorelib::DataLog& log, const std::string& dir, const std::string& text)
{
    return log.makeReadyToOpenWriteFile(dir, "app", true, false) &&
           log.openWriteFile(KelvraCorelib::DataLog::createNew) && log.setRawLine(text) && log.writeRaw() &&
           log.closeFile();
}

}  // namespace TestSupport
