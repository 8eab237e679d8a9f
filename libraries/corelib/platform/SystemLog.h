#pragma once
// The system's log: the journal (structured fields) or syslog on POSIX, the Event Log on
// Windows. Nothing is loaded, opened or connected before the first record is written.
//
//   const SystemLogField fields[] = {{"TRAWLEX_SOURCE", "trawlex.os.df"}};
//   writeSystemLog(SystemLogChannel::automatic,
//                  {LogWarning, "trawlex", "Left \"x\" as it is", fields, 1, 1003});

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace KelvraCorelib::Platform {

// automatic: the journal where one listens, else syslog (POSIX); the Event Log (Windows).
enum class SystemLogChannel { automatic, journal, syslog, eventLog };

struct SystemLogField {
    std::string_view name;  // upper case letters, digits and "_"
    std::string_view value;
};

struct SystemLogRecord {
    int32_t level = 0;            // a LogLevel from LogFatal to LogFlood
    std::string_view identifier;  // the program's name in the log; the same in every record
    std::string_view message;
    const SystemLogField* fields = nullptr;  // written by the journal only
    size_t fieldCount = 0;
    uint32_t eventId = 0;  // the Event Log's id of this kind of record
};

// Writes one record. False when the channel does not exist on this platform or did not take
// the record (a journal that fails sends the record to syslog instead). Safe from any thread.
bool writeSystemLog(SystemLogChannel channel, const SystemLogRecord& record);

// Windows: registers the identifier as a source of the Application event log, with the
// running program as its message file (false and a reason when the registry refuses). POSIX:
// nothing to do, true.
bool registerEventSource(const std::string& identifier, std::string& problem);

}  // namespace KelvraCorelib::Platform
