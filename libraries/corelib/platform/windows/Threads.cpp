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

SystemThreadRecord* recordOf(uint64_t handle)
{
    return static_cast<SystemThreadRecord*>(threadRecordOf(handle));
}

DWORD WINAPI runThread(void* raw)
{
    runThreadRecord(static_cast<SystemThreadRecord*>(raw));
    return 0;
}

}  // namespace

int startThread(ThreadEntry entry, void* argument, uint64_t& handle, uint32_t& threadId)
{
    handle = 0;
    threadId = 0;
    SystemThreadRecord* record = new SystemThreadRecord;
    record->entry = entry;
    record->argument = argument;
    DWORD systemId = 0;
    record->thread = CreateThread(nullptr, 0, runThread, record, 0, &systemId);
    if (record->thread == nullptr) {
        const int error = static_cast<int>(GetLastError());
        delete record;
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    threadId = waitForThreadStart(record);
    handle = handleOfThreadRecord(record);
    return 0;
}

int cancelThread(uint64_t handle, uint32_t waitMilliseconds)
{
    SystemThreadRecord* record = recordOf(handle);
    if (record == nullptr)
        return ERROR_INVALID_HANDLE;
    if (record == currentThreadRecord())
        return ERROR_POSSIBLE_DEADLOCK;
    return requestThreadCancellation(record, waitMilliseconds) ? 0 : WAIT_TIMEOUT;
}

void closeThread(uint64_t handle)
{
    SystemThreadRecord* record = recordOf(handle);
    if (record == nullptr)
        return;
    if (record == currentThreadRecord()) {
        // The record stays with the running thread; it is not reclaimed.
        CloseHandle(record->thread);
        record->thread = nullptr;
        return;
    }
    WaitForSingleObject(record->thread, INFINITE);
    CloseHandle(record->thread);
    delete record;
}

uint32_t currentThreadId()
{
    return static_cast<uint32_t>(GetCurrentThreadId());
}

}  // namespace KelvraCorelib::Platform
