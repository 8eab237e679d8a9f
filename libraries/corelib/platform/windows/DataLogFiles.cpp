// Windows code only: the data log's folder, handle status and truncation.
#include "corelib/platform/DataLogFiles.h"
#include "corelib/platform/OwnerAccess.h"
#include "corelib/platform/PrivateNameCreation.h"

#include <cerrno>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace KelvraCorelib::Platform {

int Folder::open(const std::string& path)
{
    location = path.empty() || path.back() == '/' || path.back() == '\\' ? path : path + "\\";
    const DWORD attributes = GetFileAttributesA(location.empty() ? "." : location.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        opened = false;
        return static_cast<int>(GetLastError());
    }
    opened = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return opened ? 0 : ERROR_DIRECTORY;
}

int Folder::createLockedExclusive(const std::string& name, int& handle, FileCreation way) const
{
    (void)way;
    // Windows cannot create an unnamed file: the file is created and locked under a private
    // name, then moved to the name without replacing, so that the name never names an
    // unlocked file (files are opened with delete sharing, so the open file can move). The
    // file is open to its owner only from its creation; setFileReaders widens that.
    const std::string folder = location;
    return createUnderPrivateName(*this, name, [&folder](const std::string& entry, int& descriptor) {
        return createPrivateFile(folder + entry, descriptor);
    }, handle);
}

bool Folder::namesOpenFile(const std::string& name, int handle) const
{
    FileStatus byName;
    FileStatus byHandle;
    return linkStatus(location + name, byName) == 0 && handleStatus(handle, byHandle) == 0 &&
           byName.device == byHandle.device && byName.node == byHandle.node;
}

bool Folder::hasEntry(const std::string& name) const
{
    FileStatus status;
    return linkStatus(location + name, status) == 0;
}

int Folder::list(std::vector<DirectoryEntry>& entries, const std::string& namePrefix) const
{
    return listDirectory(location.empty() ? std::string(".") : location, entries, namePrefix);
}

int Folder::renameNoReplace(const std::string& from, const std::string& to) const
{
    return Platform::renameNoReplace(location + from, location + to);
}

int Folder::remove(const std::string& name) const
{
    return removeFile(location + name);
}

int Folder::sync() const
{
    return syncDirectory(location.empty() ? std::string(".") : location);
}

int Folder::openOwnRegularFile(const std::string& name, EntryAccess access, int& handle, EntryRefusal& refusal) const
{
    const std::string path = location + name;
    const bool writable = access == EntryAccess::readWrite;
    // Reparse points (symbolic links, junctions) are Windows' links: never opened through.
    // Ownership is left to the folder's access rules (an administrator's files may belong to
    // the Administrators group).
    refusal = EntryRefusal::none;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return static_cast<int>(GetLastError());
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refusal = EntryRefusal::symbolicLink;
        return ERROR_CANT_ACCESS_FILE;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        refusal = EntryRefusal::notRegularFile;
        return ERROR_CANT_ACCESS_FILE;
    }
    const DWORD rights = GENERIC_READ | (writable ? GENERIC_WRITE : 0);
    const HANDLE file = CreateFileA(path.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return static_cast<int>(GetLastError());
    // The entry may have been replaced between the two looks: what counts is the open file.
    BY_HANDLE_FILE_INFORMATION info;
    int error = 0;
    if (!GetFileInformationByHandle(file, &info)) {
        error = static_cast<int>(GetLastError());
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refusal = EntryRefusal::symbolicLink;
        error = ERROR_CANT_ACCESS_FILE;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || GetFileType(file) != FILE_TYPE_DISK) {
        refusal = EntryRefusal::notRegularFile;
        error = ERROR_CANT_ACCESS_FILE;
    }
    if (error != 0) {
        CloseHandle(file);
        return error;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY | _O_NOINHERIT |
                                                                                 (writable ? 0 : _O_RDONLY));
    if (descriptor < 0) {
        CloseHandle(file);
        return ERROR_TOO_MANY_OPEN_FILES;
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
    return restrictOpenFile(handle, readers);
}

}  // namespace KelvraCorelib::Platform
