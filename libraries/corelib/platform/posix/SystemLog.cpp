// POSIX code only: the journal through libsystemd, loaded with the first record, or syslog(3).
#include "corelib/platform/SystemLog.h"

#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>

#if __has_include(<systemd/sd-journal.h>)
#include <systemd/sd-journal.h>
#define TRAWLEX_HAS_JOURNAL_HEADER 1
#endif

namespace KelvraCorelib::Platform {

namespace {

using JournalSend = int (*)(const struct iovec*, int);
#ifdef TRAWLEX_HAS_JOURNAL_HEADER
static_assert(std::is_same_v<JournalSend, decltype(&::sd_journal_sendv)>);
#endif

constexpr const char* journalSocket = "/run/systemd/journal/socket";
constexpr const char* journalLibrary = "libsystemd.so.0";

std::mutex writing;

// The level's syslog priority: fatal is critical, from verbose on everything is debug.
int priorityOf(int32_t level)
{
    switch (level) {
    case 1:
        return LOG_CRIT;
    case 2:
        return LOG_ERR;
    case 3:
        return LOG_WARNING;
    case 4:
        return LOG_INFO;
    default:
        return LOG_DEBUG;
    }
}

// sd_journal_sendv of libsystemd when a journal listens and the library loads; else null.
JournalSend journal()
{
    static JournalSend send = nullptr;
    static std::once_flag once;
    std::call_once(once, [] {
        struct stat status {};
        if (stat(journalSocket, &status) != 0 || !S_ISSOCK(status.st_mode)) {
            return;
        }
        // Never unloaded: the library may keep its socket for the rest of the process.
        void* library = dlopen(journalLibrary, RTLD_NOW | RTLD_LOCAL);
        if (library != nullptr) {
            send = reinterpret_cast<JournalSend>(dlsym(library, "sd_journal_sendv"));
        }
    });
    return send;
}

bool sendToJournal(JournalSend send, const SystemLogRecord& record)
{
    std::vector<std::string> lines;
    lines.reserve(record.fieldCount + 3);
    lines.push_back("MESSAGE=" + std::string(record.message));
    lines.push_back("PRIORITY=" + std::to_string(priorityOf(record.level)));
    lines.push_back("SYSLOG_IDENTIFIER=" + std::string(record.identifier));
    for (size_t i = 0; i < record.fieldCount; ++i) {
        lines.push_back(std::string(record.fields[i].name) + "=" + std::string(record.fields[i].value));
    }
    std::vector<iovec> parts(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        parts[i].iov_base = lines[i].data();
        parts[i].iov_len = lines[i].size();
    }
    return send(parts.data(), static_cast<int>(parts.size())) >= 0;
}

void sendToSyslog(const SystemLogRecord& record)
{
    // openlog keeps the pointer: the identifier lives as long as the process.
    static std::string identifier;
    if (identifier.empty()) {
        identifier = record.identifier;
        openlog(identifier.c_str(), LOG_PID, LOG_USER);
    }
    syslog(priorityOf(record.level), "%.*s", static_cast<int>(record.message.size()), record.message.data());
}

}  // namespace

bool writeSystemLog(SystemLogChannel channel, const SystemLogRecord& record)
{
    if (channel == SystemLogChannel::eventLog) {
        return false;
    }
    const std::lock_guard<std::mutex> guard(writing);
    if (channel != SystemLogChannel::syslog) {
        const JournalSend send = journal();
        if (send != nullptr && sendToJournal(send, record)) {
            return true;
        }
    }
    sendToSyslog(record);
    return true;
}

bool registerEventSource(const std::string&, std::string& problem)
{
    problem.clear();
    return true;
}

}  // namespace KelvraCorelib::Platform
