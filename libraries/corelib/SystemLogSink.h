#pragma once
// The hub agent that writes log records to the system's log (Platform::writeSystemLog): it
// hooks the records from fatal up to its level, so that a logger never produces a record above
// it and a quiet run touches no log at all.
//
//   SystemLogSink sink("trawlex", LogWarning, Platform::SystemLogChannel::automatic);
//   sink.setField("TRAWLEX_SOURCE", "trawlex.os.df");
//   sink.setEventId("Stored \"%\"", 2001);

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "corelib/Ims.h"
#include "corelib/ParamStream.h"
#include "corelib/platform/SystemLog.h"

namespace KelvraCorelib {

class SystemLogSink : public ImsAgent {
public:
    // The channel named by a setting: "auto" (or empty), "journal", "syslog" or "eventlog", in
    // any case; "off" gives false and no channel. Any other text gives false too, with unknown set.
    static bool channelFromName(const std::string& name, Platform::SystemLogChannel& channel, bool& unknown);
    // The Event Log's id of a record of this level that has none of its own: 1000 plus the level.
    static uint32_t eventIdOfLevel(int32_t level);

    // Hooks the records of level 1 to level (none for LogNone).
    SystemLogSink(const std::string& identifier, int32_t level, Platform::SystemLogChannel channel);
    ~SystemLogSink() override;

    // A structured field of every later record; an empty value removes it.
    void setField(const std::string& name, const std::string& value);
    // The Event Log's id of the records with this template.
    void setEventId(const std::string& messageTemplate, uint32_t eventId);

    int32_t handleHookedMessage(uint64_t hookId, const ImsMessage& message) override;

    // The record's text: markup and source annotations removed, "%" filled from its parameters.
    static std::string recordText(const std::string& messageTemplate, const ParamStream& parameters);

private:
    std::string identifier;
    mutable std::mutex lock;
    Platform::SystemLogChannel channel;
    std::vector<uint64_t> hookIds;
    std::map<std::string, std::string> fields;
    std::map<std::string, uint32_t> eventIds;
};

}  // namespace KelvraCorelib
