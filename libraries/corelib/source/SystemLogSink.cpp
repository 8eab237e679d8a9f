#include "corelib/SystemLogSink.h"

#include <cctype>

#include "corelib/Exception.h"
#include "corelib/Logger.h"

namespace KelvraCorelib {

namespace {

// Removes every " @logsrc{...};" annotation: the place in the code is no news to an operator.
std::string withoutSourceLocations(std::string text)
{
    const std::string mark = " @logsrc{";
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
        const size_t end = text.find("};", at);
        text.erase(at, end == std::string::npos ? std::string::npos : end + 2 - at);
    }
    return text;
}

}  // namespace

bool SystemLogSink::channelFromName(const std::string& name, Platform::SystemLogChannel& channel, bool& unknown)
{
    std::string lower = name;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    unknown = false;
    using Platform::SystemLogChannel;
    if (lower.empty() || lower == "auto")
        channel = SystemLogChannel::automatic;
    else if (lower == "journal")
        channel = SystemLogChannel::journal;
    else if (lower == "syslog")
        channel = SystemLogChannel::syslog;
    else if (lower == "eventlog")
        channel = SystemLogChannel::eventLog;
    else {
        unknown = lower != "off";
        return false;
    }
    return true;
}

uint32_t SystemLogSink::eventIdOfLevel(int32_t level)
{
    return 1000 + static_cast<uint32_t>(level);
}

SystemLogSink::SystemLogSink(const std::string& identifier, int32_t level, Platform::SystemLogChannel channel)
    : ImsAgent("systemlog"), identifier(identifier), channel(channel)
{
    for (int32_t recordLevel = LogFatal; recordLevel <= level && recordLevel <= LogFlood; ++recordLevel) {
        try {
            const uint64_t id = setMessageHook(false, "debug", recordLevel < LogInfo ? "functional" : "debug",
                                               std::to_string(recordLevel), 1);
            if (id != 0)
                hookIds.push_back(id);
        } catch (const Exception&) {
            // Without its hook the level is not written.
        }
    }
}

SystemLogSink::~SystemLogSink()
{
    for (const uint64_t id : hookIds)
        removeMessageHook(id);
}

void SystemLogSink::setField(const std::string& name, const std::string& value)
{
    const std::lock_guard<std::mutex> guard(lock);
    if (value.empty())
        fields.erase(name);
    else
        fields[name] = value;
}

void SystemLogSink::setEventId(const std::string& messageTemplate, uint32_t eventId)
{
    const std::lock_guard<std::mutex> guard(lock);
    eventIds[messageTemplate] = eventId;
}

std::string SystemLogSink::recordText(const std::string& messageTemplate, const ParamStream& parameters)
{
    ParamStream values(parameters);
    values.rewind();
    return values.format(stripMessageMarkup(withoutSourceLocations(messageTemplate)));
}

int32_t SystemLogSink::handleHookedMessage(uint64_t, const ImsMessage& message)
{
    const auto* record = dynamic_cast<const Logger::LogMessageParameter*>(message.parameter);
    if (record == nullptr)
        return notHandled;
    const std::string text = recordText(record->text, record->parameters);
    std::vector<Platform::SystemLogField> recordFields;
    uint32_t eventId = eventIdOfLevel(record->level);
    {
        const std::lock_guard<std::mutex> guard(lock);
        recordFields.reserve(fields.size());
        for (const auto& [name, value] : fields)
            recordFields.push_back({name, value});
        const auto known = eventIds.find(record->text);
        if (known != eventIds.end())
            eventId = known->second;
        // The map's strings stay put while the record is written under the lock.
        Platform::writeSystemLog(channel, {record->level, identifier, text, recordFields.data(), recordFields.size(),
                                           eventId});
    }
    return handled;
}

}  // namespace KelvraCorelib
