// Windows code only: child processes made with CreateProcessW, each in a Job Object of its
// own (the counterpart of a POSIX process group; the job ends the whole tree and, killing
// on close, also ends it when this program dies), and anonymous pipes for their output.
#include "corelib/platform/Process.h"
#include "corelib/platform/LastError.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "corelib/platform/windows/WideText.h"

namespace KelvraCorelib::Platform {

namespace {

constexpr DWORD pipeCapacity = 1 << 20;
constexpr DWORD killedExitCode = 1;
constexpr size_t keptFinishedJobs = 16;

struct Child {
    HANDLE process = nullptr;
    HANDLE job = nullptr;  // null when the system refused a job (the process alone is ended)
    DWORD mainThreadId = 0;
    bool collected = false;
};

std::mutex& childLock()
{
    static std::mutex lock;
    return lock;
}

std::map<uint32_t, Child>& children()
{
    static std::map<uint32_t, Child> table;
    return table;
}

// Collected children whose job is kept for a late kill of what they left running.
std::deque<uint32_t>& finishedChildren()
{
    static std::deque<uint32_t> order;
    return order;
}

// Lets the job's remaining processes live on (as a process group outlives its leader on
// POSIX), then closes it.
void releaseJob(Child& child)
{
    if (child.job == nullptr)
        return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    (void)SetInformationJobObject(child.job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    CloseHandle(child.job);
    child.job = nullptr;
}

// Called with the lock held.
void forget(uint32_t processId)
{
    auto& table = children();
    const auto found = table.find(processId);
    if (found == table.end())
        return;
    releaseJob(found->second);
    if (found->second.process != nullptr)
        CloseHandle(found->second.process);
    table.erase(found);
}

// Called with the lock held.
void markCollected(uint32_t processId, Child& child)
{
    child.collected = true;
    CloseHandle(child.process);
    child.process = nullptr;
    auto& order = finishedChildren();
    order.push_back(processId);
    while (order.size() > keptFinishedJobs) {
        forget(order.front());
        order.pop_front();
    }
}

// One argument quoted so that the C runtime's command-line parsing gives it back unchanged.
void appendQuoted(std::wstring& line, const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// An inheritable duplicate of a handle of this process (null stays null).
HANDLE inheritable(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

HANDLE makeJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

BOOL CALLBACK postQuitToWindow(HWND window, LPARAM processId)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(processId))
        PostMessageA(window, WM_CLOSE, 0, 0);
    return TRUE;
}

}  // namespace

int createCapturePipe(int& readEnd, int& writeEnd)
{
    // Both handles are made not inheritable; spawnProcess hands the write end over alone.
    HANDLE reading = nullptr;
    HANDLE writing = nullptr;
    if (!CreatePipe(&reading, &writing, nullptr, pipeCapacity))
        return lastError();
    const int readDescriptor = _open_osfhandle(reinterpret_cast<intptr_t>(reading), _O_RDONLY | _O_BINARY);
    if (readDescriptor < 0) {
        CloseHandle(reading);
        CloseHandle(writing);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    const int writeDescriptor = _open_osfhandle(reinterpret_cast<intptr_t>(writing), _O_WRONLY | _O_BINARY);
    if (writeDescriptor < 0) {
        _close(readDescriptor);
        CloseHandle(writing);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    readEnd = readDescriptor;
    writeEnd = writeDescriptor;
    return 0;
}

int spawnProcess(const std::string& path, const std::vector<std::string>& arguments, int outputDescriptor,
                 uint32_t& processId, int errorDescriptor)
{
    const std::wstring application = wideText(path);
    std::wstring commandLine;
    appendQuoted(commandLine, application);
    for (const std::string& argument : arguments) {
        commandLine += L' ';
        appendQuoted(commandLine, wideText(argument));
    }

    // Only one spawn at a time holds inheritable handles, so no child gets another's pipe.
    static std::mutex spawnLock;
    std::lock_guard<std::mutex> spawnGuard(spawnLock);

    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (outputDescriptor != -1) {
        output = reinterpret_cast<HANDLE>(_get_osfhandle(outputDescriptor));
        if (output == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
    }
    HANDLE errorOutput = GetStdHandle(STD_ERROR_HANDLE);
    if (errorDescriptor != -1) {
        errorOutput = reinterpret_cast<HANDLE>(_get_osfhandle(errorDescriptor));
        if (errorOutput == INVALID_HANDLE_VALUE)
            return ERROR_INVALID_HANDLE;
    }
    HANDLE handed[3] = {inheritable(GetStdHandle(STD_INPUT_HANDLE)), inheritable(output),
                        inheritable(errorOutput)};
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = handed[0];
    startup.hStdOutput = handed[1];
    startup.hStdError = handed[2];

    // Suspended until it is in its job, so that nothing it starts can escape the job.
    PROCESS_INFORMATION started{};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    const BOOL created = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup,
                                        &started);
    const int error = created ? 0 : lastError();
    for (HANDLE handle : handed) {
        if (handle != nullptr)
            CloseHandle(handle);
    }
    if (!created)
        return error;

    Child child;
    child.process = started.hProcess;
    child.mainThreadId = started.dwThreadId;
    child.job = makeJob();
    if (child.job != nullptr && !AssignProcessToJobObject(child.job, started.hProcess)) {
        CloseHandle(child.job);
        child.job = nullptr;
    }
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);

    processId = static_cast<uint32_t>(started.dwProcessId);
    std::lock_guard<std::mutex> guard(childLock());
    forget(processId);  // an earlier child of the same number is long gone
    auto& order = finishedChildren();
    for (auto it = order.begin(); it != order.end(); ++it) {
        if (*it == processId) {
            order.erase(it);
            break;
        }
    }
    children()[processId] = child;
    return 0;
}

int queryChild(uint32_t processId, int32_t& exitCode, int& error)
{
    std::lock_guard<std::mutex> guard(childLock());
    const auto found = children().find(processId);
    if (found == children().end() || found->second.collected) {
        error = ERROR_INVALID_PARAMETER;
        return -1;
    }
    Child& child = found->second;
    const DWORD state = WaitForSingleObject(child.process, 0);
    if (state == WAIT_TIMEOUT)
        return 1;
    if (state != WAIT_OBJECT_0) {
        error = lastError();
        return -1;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(child.process, &code)) {
        error = lastError();
        return -1;
    }
    exitCode = static_cast<int32_t>(code);
    markCollected(processId, child);
    return 0;
}

bool signalChildGroup(uint32_t processId, GroupSignal signal)
{
    std::lock_guard<std::mutex> guard(childLock());
    const auto found = children().find(processId);
    if (found == children().end())
        return false;
    Child& child = found->second;
    if (signal == GroupSignal::askToQuit) {
        if (child.collected)
            return false;
        // The quit request: WM_QUIT to the main thread and WM_CLOSE to the windows; a console
        // program without a message queue cannot take it (then false).
        EnumWindows(postQuitToWindow, static_cast<LPARAM>(processId));
        return PostThreadMessageA(child.mainThreadId, WM_QUIT, 0, 0) != 0;
    }
    bool ended = false;
    if (child.job != nullptr) {
        ended = TerminateJobObject(child.job, killedExitCode) != 0;
    }
    if (!ended && !child.collected) {
        ended = TerminateProcess(child.process, killedExitCode) != 0;
    }
    if (child.collected) {
        // Nothing of the tree is left to end later: the record goes.
        auto& order = finishedChildren();
        for (auto it = order.begin(); it != order.end(); ++it) {
            if (*it == processId) {
                order.erase(it);
                break;
            }
        }
        forget(processId);
    }
    return ended;
}

int openChildWatch(uint32_t processId)
{
    // A descriptor over a duplicate of the process handle: waitable, and closed with
    // closeDescriptor like any other.
    std::lock_guard<std::mutex> guard(childLock());
    const auto found = children().find(processId);
    if (found == children().end() || found->second.collected)
        return -1;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), found->second.process, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE,
                         0))
        return -1;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(copy);
        return -1;
    }
    return descriptor;
}

int waitForEvents(int inputDescriptor, int watchDescriptor, int timeoutMs, bool& inputReady, bool& watchReady)
{
    inputReady = false;
    watchReady = false;
    const HANDLE pipe = inputDescriptor >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(inputDescriptor))
                                             : INVALID_HANDLE_VALUE;
    const HANDLE watch = watchDescriptor >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(watchDescriptor))
                                              : INVALID_HANDLE_VALUE;
    // An anonymous pipe cannot be waited for: it is looked at in short steps, the child's
    // end is waited for in between.
    const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
    DWORD step = 1;
    for (;;) {
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD available = 0;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
                inputReady = true;  // data, or the end (a broken pipe), or an error for the read
            }
        }
        const ULONGLONG now = GetTickCount64();
        const DWORD remaining = now >= until ? 0 : static_cast<DWORD>(until - now);
        const DWORD wait = inputReady ? 0 : pipe == INVALID_HANDLE_VALUE ? remaining : std::min(remaining, step);
        if (watch != INVALID_HANDLE_VALUE) {
            const DWORD state = WaitForSingleObject(watch, wait);
            if (state == WAIT_OBJECT_0)
                watchReady = true;
            else if (state == WAIT_FAILED)
                return lastError();
        } else if (wait > 0) {
            Sleep(wait);
        }
        if (inputReady || watchReady || GetTickCount64() >= until)
            return 0;
        step = std::min<DWORD>(step * 2, 10);
    }
}

int createScratchFile(size_t, int& descriptor)
{
    wchar_t folder[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, folder) == 0)
        return lastError();
    // A new name of this program's own: never a file (or link) that someone placed there. Gone
    // with its last handle; the children's copies are made inheritable when handed over.
    static std::atomic<unsigned> counter{0};
    HANDLE file = INVALID_HANDLE_VALUE;
    int error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
        const std::wstring name = std::wstring(folder) + L"trawlex-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++) + L".tmp";
        file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        error = file == INVALID_HANDLE_VALUE ? lastError() : 0;
    }
    if (file == INVALID_HANDLE_VALUE)
        return error;
    const int opened = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
    if (opened < 0) {
        CloseHandle(file);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    descriptor = opened;
    return 0;
}

int readScratchFile(int descriptor, size_t limit, std::string& text)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    if (file == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    // The handed-over copies share the file's position: it stands where the last write ended.
    LARGE_INTEGER written{};
    if (!SetFilePointerEx(file, LARGE_INTEGER{}, &written, FILE_CURRENT))
        return lastError();
    text.resize(std::min<ULONGLONG>(static_cast<ULONGLONG>(written.QuadPart), limit));
    size_t done = 0;
    while (done < text.size()) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(done & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<ULONGLONG>(done) >> 32);
        DWORD count = 0;
        const BOOL read = ReadFile(file, text.data() + done,
                                   static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20)), &count, &at);
        if (!read || count == 0) {
            const int error = read ? 0 : lastError();
            text.resize(done);
            return error;
        }
        done += count;
    }
    return 0;
}

int64_t readAvailable(int descriptor, char* buffer, size_t size, int& error)
{
    const HANDLE pipe = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    if (pipe == INVALID_HANDLE_VALUE) {
        error = ERROR_INVALID_HANDLE;
        return ReadFailed;
    }
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        const DWORD failure = GetLastError();
        if (failure == ERROR_BROKEN_PIPE)
            return 0;  // every writer has closed its end
        error = failure != 0 ? static_cast<int>(failure) : ERROR_GEN_FAILURE;
        return ReadFailed;
    }
    if (available == 0)
        return ReadNothingYet;
    const DWORD request = static_cast<DWORD>(std::min<size_t>({size, available, 0x40000000u}));
    DWORD count = 0;
    if (!ReadFile(pipe, buffer, request, &count, nullptr)) {
        const DWORD failure = GetLastError();
        if (failure == ERROR_BROKEN_PIPE)
            return 0;
        error = failure != 0 ? static_cast<int>(failure) : ERROR_GEN_FAILURE;
        return ReadFailed;
    }
    return static_cast<int64_t>(count);
}

void adviseCaptureBuffer(char* start, size_t length)
{
    // Large pages need a privilege that a collector does not hold.
    (void)start;
    (void)length;
}

void closeDescriptor(int descriptor)
{
    if (descriptor >= 0)
        _close(descriptor);
}

uint64_t physicalMemoryBytes()
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status))
        return 0;
    return status.ullTotalPhys;
}

uint32_t currentProcessId()
{
    return static_cast<uint32_t>(GetCurrentProcessId());
}

}  // namespace KelvraCorelib::Platform
