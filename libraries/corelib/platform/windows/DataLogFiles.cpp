// Windows code only: locked exclusive creation, handle status and truncation for the data log.
#include "corelib/platform/DataLogFiles.h"

#include <cerrno>

#include <io.h>
#include <windows.h>

namespace KelvraCorelib::Platform {

int createLockedExclusive(const std::string& path, int& handle)
{
    // Windows cannot create an unnamed file: the lock follows the exclusive create at once.
    int descriptor = -1;
    const int error = createExclusive(path, descriptor);
    if (error != 0)
        return error;
    const int lockError = lockFile(descriptor);
    if (lockError != 0) {
        closeFile(descriptor);
        return lockError;
    }
    handle = descriptor;
    return 0;
}

int handleStatus(int handle, FileStatus& status)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
    BY_HANDLE_FILE_INFORMATION info;
    if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info))
        return file == INVALID_HANDLE_VALUE ? ERROR_INVALID_HANDLE : static_cast<int>(GetLastError());
    status = FileStatus();
    status.isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A reparse point opened as itself, a device or a pipe is not a regular file.
    status.isRegular = !status.isDirectory && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                       GetFileType(file) == FILE_TYPE_DISK;
    status.size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status.device = info.dwVolumeSerialNumber;
    status.node = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 0;
}

int truncateFile(int handle, uint64_t size)
{
    _doserrno = 0;
    const errno_t result = _chsize_s(handle, static_cast<long long>(size));
    if (result == 0)
        return 0;
    return _doserrno != 0 ? static_cast<int>(_doserrno) : ERROR_INVALID_PARAMETER;
}

int setFileReaders(int handle, FileReaders readers)
{
    // New files take the folder's inherited access list; there is no mode to set.
    (void)handle;
    (void)readers;
    return 0;
}

}  // namespace KelvraCorelib::Platform
