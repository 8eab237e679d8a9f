#include "corelib/Logger.h"

#include <cctype>
#include <cstdlib>

#include "corelib/DateTime.h"
#include "corelib/platform/Process.h"
#include "corelib/platform/Threads.h"

namespace KelvraCorelib {

namespace {

const char* const levelNames[] = {"none", "fatal", "error", "warning", "info", "verbose", "debug", "trace", "flood"};

// The group of a record: "functional" for fatal, error and warning, "debug" for the rest.
const char* groupOfLevel(int32_t recordLevel)
{
    return recordLevel < LogInfo ? "functional" : "debug";
}

}  // namespace

std::string sourceLocation(const std::string& filePath, int line)
{
    const size_t separator = filePath.find_last_of("\\/");
    const std::string baseName = separator == std::string::npos ? filePath : filePath.substr(separator + 1);
    return " @logsrc{file=\"" + baseName + "\" line=" + std::to_string(line) + "};";
}

std::atomic<int32_t> Logger::maximumLevel{LogTrace};

int32_t Logger::levelFromName(const std::string& name)
{
    std::string lower = name;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int32_t number = LogNone; number <= LogFlood; ++number) {
        if (lower == levelNames[number])
            return number;
    }
    return LogNone;
}

Logger::Logger() : ImsAgent("logger"), moduleName("anonymous"), level(LogTrace)
{
    try {
        hookId = setMessageHook(false, "debug", "level", "", 1);
    } catch (const Exception&) {
        hookId = 0;
    }
}

Logger::~Logger()
{
    if (hookId != 0)
        removeMessageHook(hookId);
}

void Logger::setModuleName(const std::string& name)
{
    moduleName = name.substr(0, 10);
}

int32_t Logger::handleHookedMessage(uint64_t id, const ImsMessage& message)
{
    if (id != hookId || hookId == 0)
        return notHandled;
    return handleMessage(message);
}

int32_t Logger::handleMessage(const ImsMessage& message)
{
    if (message.generalType != "debug" || message.groupType != "level")
        return notHandled;
    // A text that is not wholly a decimal number changes nothing (strtol alone would read
    // it as 0 and silence the logger).
    const char* text = message.messageType.c_str();
    char* end = nullptr;
    const long requested = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && requested >= 0 && requested <= maximumLevel.load())
        level.store(static_cast<int32_t>(requested));
    return handled;
}

bool Logger::isHeard(int32_t recordLevel) const
{
    if (hub == nullptr || recordLevel < LogNone || recordLevel > LogFlood)
        return false;
    const uint64_t known = uint64_t(1) << recordLevel;
    const uint64_t heard = known << 16;
    const uint64_t stamp = (hub->hookChanges() + 1) << 32;
    uint64_t state = heardLevels.load(std::memory_order_acquire);
    if ((state & ~uint64_t(0xFFFFFFFF)) != stamp)
        state = stamp;
    if ((state & known) == 0) {
        // Read after the count, so that a hook set meanwhile makes the next call ask again.
        state |= known;
        if (hub->hasHookFor("debug", groupOfLevel(recordLevel), std::to_string(recordLevel)))
            state |= heard;
        heardLevels.store(state, std::memory_order_release);
    }
    return (state & heard) != 0;
}

void Logger::publish(int32_t recordLevel, std::string_view messageTemplate, const ParamStream* values)
{
    LogMessageParameter record;
    record.level = recordLevel;
    record.moduleName = moduleName;
    record.time = DateTime::nowCount();
    record.threadId = Platform::currentThreadId();
    record.processId = static_cast<int32_t>(Platform::currentProcessId());
    record.text.assign(messageTemplate.data(), messageTemplate.size());
    if (values != nullptr)
        record.parameters = *values;
    ImsMessage message("debug", groupOfLevel(recordLevel), std::to_string(recordLevel), &record);
    sendMessage(message);
}

void Logger::logException(int32_t recordLevel, const Exception& exception)
{
    for (const Exception& inner : exception.nested)
        logException(recordLevel, inner);
    if (!isLogging(recordLevel))
        return;
    if (!exception.messageTemplate.empty()) {
        publish(recordLevel, exception.className + ": " + exception.getLogText(), &exception.parameters);
    } else if (!exception.nested.empty()) {
        publish(recordLevel, exception.className + ": Container for above exceptions", nullptr);
    } else {
        publish(recordLevel, exception.className + ": <NO MESSAGE>", nullptr);
    }
}

}  // namespace KelvraCorelib
