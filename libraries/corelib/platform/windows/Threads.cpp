// Windows code only: threads made with CreateThread (the portable half is in
// ThreadCancellation.cpp).
#include "corelib/platform/Threads.h"

#include <windows.h>

#include "corelib/platform/ThreadCancellation.h"

namespace KelvraCorelib::Platform {

namespace {

struct SystemThreadRecord : ThreadRecord {
    HANDLE thread = nullptr;
};

SystemThreadRecord* systemRecord(ThreadRecord* record)
{
    return static_cast<SystemThreadRecord*>(record);
}

DWORD WINAPI runThread(void* raw)
{
    runThreadRecord(static_cast<ThreadRecord*>(raw));
    return 0;
}

}  // namespace

const ThreadRefusals threadRefusals{ERROR_INVALID_HANDLE, ERROR_POSSIBLE_DEADLOCK, WAIT_TIMEOUT};

ThreadRecord* newThreadRecord()
{
    return new SystemThreadRecord;
}

int startSystemThread(ThreadRecord* record)
{
    DWORD systemId = 0;
    systemRecord(record)->thread = CreateThread(nullptr, 0, runThread, record, 0, &systemId);
    if (systemRecord(record)->thread == nullptr) {
        const int error = static_cast<int>(GetLastError());
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    return 0;
}

void detachSystemThread(ThreadRecord* record)
{
    CloseHandle(systemRecord(record)->thread);
    systemRecord(record)->thread = nullptr;
}

void joinSystemThread(ThreadRecord* record)
{
    WaitForSingleObject(systemRecord(record)->thread, INFINITE);
    CloseHandle(systemRecord(record)->thread);
}

uint32_t currentThreadId()
{
    return static_cast<uint32_t>(GetCurrentThreadId());
}

}  // namespace KelvraCorelib::Platform
