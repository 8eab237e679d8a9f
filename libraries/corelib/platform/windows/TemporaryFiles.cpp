// Windows code only: temporary files deleted on close.
#include "corelib/platform/TemporaryFiles.h"

#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace KelvraCorelib::Platform {

int createUnnamedTemporaryFile(int& handle)
{
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) {
        return length == 0 ? int(GetLastError()) : ERROR_BUFFER_OVERFLOW;
    }
    static unsigned counter = 0;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = std::wstring(folder) + L"trawlex-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter) + L".tmp";
        // Not shared, and deleted when its last handle is closed; the account's temporary
        // folder admits only its owner.
        const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS) {
                continue;
            }
            return int(error);
        }
        const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
        if (descriptor < 0) {
            CloseHandle(file);
            return ERROR_TOO_MANY_OPEN_FILES;
        }
        handle = descriptor;
        return 0;
    }
    return ERROR_FILE_EXISTS;
}

}  // namespace KelvraCorelib::Platform
