// Windows code only: the Application event log, through a source registered for the program.
#include "corelib/platform/SystemLog.h"

#include <mutex>
#include <string>
#include <vector>

#include "corelib/platform/windows/WideText.h"

namespace KelvraCorelib::Platform {

namespace {

std::mutex writing;

const wchar_t* const sourcesKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

WORD eventTypeOf(int32_t level)
{
    if (level <= 2)
        return EVENTLOG_ERROR_TYPE;
    return level == 3 ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE;
}

// The path of the running program, whose message table words the events.
std::wstring programPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// The event source, registered with the first record (where the registry lets this account);
// null when the event log cannot be opened.
HANDLE eventSource(std::string_view identifier)
{
    static HANDLE source = nullptr;
    static std::once_flag once;
    std::call_once(once, [identifier] {
        const std::string name(identifier);
        std::string problem;
        registerEventSource(name, problem);  // an unregistered source still writes, with bare texts
        source = RegisterEventSourceW(nullptr, wideText(name).c_str());
    });
    return source;
}

}  // namespace

bool writeSystemLog(SystemLogChannel channel, const SystemLogRecord& record)
{
    if (channel == SystemLogChannel::journal || channel == SystemLogChannel::syslog)
        return false;
    const std::lock_guard<std::mutex> guard(writing);
    const HANDLE source = eventSource(record.identifier);
    if (source == nullptr)
        return false;
    // The message is the first insertion string (the message table's "%1"); each field follows
    // as "NAME=value".
    std::vector<std::wstring> texts;
    texts.push_back(wideText(std::string(record.message)));
    for (size_t i = 0; i < record.fieldCount; ++i)
        texts.push_back(wideText(std::string(record.fields[i].name) + "=" + std::string(record.fields[i].value)));
    std::vector<LPCWSTR> strings;
    for (const std::wstring& text : texts)
        strings.push_back(text.c_str());
    return ReportEventW(source, eventTypeOf(record.level), 0, DWORD(record.eventId), nullptr, WORD(strings.size()), 0,
                        strings.data(), nullptr) != FALSE;
}

bool registerEventSource(const std::string& identifier, std::string& problem)
{
    const std::wstring keyPath = sourcesKey + wideText(identifier);
    HKEY key = nullptr;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
        const std::wstring file = programPath();
        const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        result = RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                                DWORD((file.size() + 1) * sizeof(wchar_t)));
        if (result == ERROR_SUCCESS)
            result = RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                    sizeof(types));
        RegCloseKey(key);
    }
    if (result != ERROR_SUCCESS) {
        problem = "the registry refused the event source (error " + std::to_string(result) + ")";
        return false;
    }
    problem.clear();
    return true;
}

}  // namespace KelvraCorelib::Platform
