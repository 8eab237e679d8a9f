#pragma once
// Logger: log records published on the message hub, and the source annotation of errors.
//
// Every record is sent as an ImsMessage ("debug", group, level in decimal) with a
// Logger::LogMessageParameter; group "functional" for fatal, error and warning, "debug"
// for the rest. A record of level N is produced only when both the logger's level and
// Logger::maximumLevel are at least N, and some hook of the hub takes it. Whoever hooks
// "debug" messages writes them out.
//
//   Logger logger;
//   logger.setModuleName("datalog");
//   logger.warning("Cannot open \"%\"", ParamStream() << path);

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "corelib/Exception.h"
#include "corelib/Ims.h"
#include "corelib/ParamStream.h"

namespace KelvraCorelib {

// " @logsrc{file=\"main.cpp\" line=42};" for ("src\\main.cpp", 42): the part after the
// last backslash (or slash) of the path, and the line.
std::string sourceLocation(const std::string& filePath, int line);

enum LogLevel : int32_t {
    LogNone = 0,
    LogFatal = 1,
    LogError = 2,
    LogWarning = 3,
    LogInfo = 4,
    LogVerbose = 5,
    LogDebug = 6,
    LogTrace = 7,
    LogFlood = 8,
};

class Logger : public ImsAgent {
public:
    class LogMessageParameter : public ImsMessageParameter {
    public:
        int32_t level = 0;
        std::string moduleName;
        int64_t time = 0;  // date-time count
        uint32_t threadId = 0;
        int32_t processId = 0;
        std::string text;  // template; its "%" are filled from parameters by the printer
        ParamStream parameters;
    };

    // Process-wide upper bound of every logger's level; 7 at start.
    static std::atomic<int32_t> maximumLevel;

    // "none" ... "flood" in any case to 0 ... 8; any other text (numbers too) gives 0.
    static int32_t levelFromName(const std::string& name);

    // Module "anonymous", level 7, hooked on ("debug", "level", "") for level changes.
    Logger();
    ~Logger() override;

    // Keeps the first 10 characters.
    void setModuleName(const std::string& name);

    int32_t handleMessage(const ImsMessage& message) override;
    int32_t handleHookedMessage(uint64_t hookId, const ImsMessage& message) override;

    // A record of this level would be produced and some hook of the hub takes it.
    bool isLogging(int32_t recordLevel) const
    {
        return recordLevel <= level.load(std::memory_order_relaxed) &&
               recordLevel <= maximumLevel.load(std::memory_order_relaxed) && isHeard(recordLevel);
    }

    void fatal(std::string_view messageTemplate) { logIf(LogFatal, messageTemplate, nullptr); }
    void fatal(std::string_view messageTemplate, const ParamStream& values) { logIf(LogFatal, messageTemplate, &values); }
    void error(std::string_view messageTemplate) { logIf(LogError, messageTemplate, nullptr); }
    void error(std::string_view messageTemplate, const ParamStream& values) { logIf(LogError, messageTemplate, &values); }
    void warning(std::string_view messageTemplate) { logIf(LogWarning, messageTemplate, nullptr); }
    void warning(std::string_view messageTemplate, const ParamStream& values)
    {
        logIf(LogWarning, messageTemplate, &values);
    }
    void info(std::string_view messageTemplate) { logIf(LogInfo, messageTemplate, nullptr); }
    void info(std::string_view messageTemplate, const ParamStream& values) { logIf(LogInfo, messageTemplate, &values); }
    void verbose(std::string_view messageTemplate) { logIf(LogVerbose, messageTemplate, nullptr); }
    void verbose(std::string_view messageTemplate, const ParamStream& values)
    {
        logIf(LogVerbose, messageTemplate, &values);
    }
    void debug(std::string_view messageTemplate) { logIf(LogDebug, messageTemplate, nullptr); }
    void debug(std::string_view messageTemplate, const ParamStream& values) { logIf(LogDebug, messageTemplate, &values); }
    void trace(std::string_view messageTemplate) { logIf(LogTrace, messageTemplate, nullptr); }
    void trace(std::string_view messageTemplate, const ParamStream& values) { logIf(LogTrace, messageTemplate, &values); }
    void flood(std::string_view messageTemplate) { logIf(LogFlood, messageTemplate, nullptr); }
    void flood(std::string_view messageTemplate, const ParamStream& values) { logIf(LogFlood, messageTemplate, &values); }

    // The nested exceptions first (depth first), then one record for the exception itself.
    void logException(int32_t recordLevel, const Exception& exception);

    std::string moduleName;
    std::atomic<int32_t> level;
    uint64_t hookId = 0;

private:
    void logIf(int32_t recordLevel, std::string_view messageTemplate, const ParamStream* values)
    {
        if (isLogging(recordLevel))
            publish(recordLevel, messageTemplate, values);
    }
    void publish(int32_t recordLevel, std::string_view messageTemplate, const ParamStream* values);
    // True when some hook of the hub takes records of this level. The answers are kept with
    // the hub's count of hook changes: bits 0 to 8 tell which levels are known, bits 16 to 24
    // which of them are heard, and bits from 32 on hold that count plus one.
    bool isHeard(int32_t recordLevel) const;
    mutable std::atomic<uint64_t> heardLevels{0};
};

}  // namespace KelvraCorelib

// The annotation of the place where it is written.
#define KELVRA_HERE ::KelvraCorelib::sourceLocation(__FILE__, __LINE__)
