// Windows code only: files, directories, links and time stamps through the Win32 file calls;
// handles are the C runtime's descriptors over handles made with CreateFileA, so that every
// open file may be renamed or removed while open (as on POSIX).
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/LastError.h"
#include "corelib/platform/ReparsePoints.h"
#include "corelib/platform/windows/OwnerAccessLists.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

#include "corelib/platform/windows/WideText.h"

namespace KelvraCorelib::Platform {

int lastError()
{
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

namespace {

constexpr int64_t unixEpochInFileTime = 116444736000000000LL;
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The system's error behind a failed C runtime call.
int runtimeError()
{
    const unsigned long system = _doserrno;
    if (system != 0)
        return static_cast<int>(system);
    switch (errno) {
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

void clearRuntimeError()
{
    errno = 0;
    _doserrno = 0;
}

int64_t toMilliseconds(const FILETIME& time)
{
    const int64_t ticks = int64_t((uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - unixEpochInFileTime) / 10000;
}

FILETIME toFileTime(int64_t milliseconds)
{
    const uint64_t ticks = uint64_t(milliseconds * 10000 + unixEpochInFileTime);
    FILETIME time;
    time.dwLowDateTime = DWORD(ticks & 0xffffffffu);
    time.dwHighDateTime = DWORD(ticks >> 32);
    return time;
}

HANDLE osHandle(int handle)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(handle));
}

// A link: a symbolic link or junction (a name-surrogate reparse point), or a reparse point
// whose tag the system does not tell (wine shows POSIX links to folders so). Other reparse
// points (deduplicated or cloud files) are the file itself.
bool isLinkEntry(DWORD attributes, DWORD tag)
{
    const ReparseKind kind = reparseKindOf((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, tag);
    return kind != ReparseKind::none && kind != ReparseKind::data;
}

// The entry itself, as the folder lists it (a handle's attributes may not show the reparse
// point).
bool isLinkPath(const std::string& path)
{
    WIN32_FIND_DATAA data;
    const HANDLE search = FindFirstFileA(path.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return isLinkEntry(data.dwFileAttributes, data.dwReserved0);
}

int statusOf(const std::string& path, bool followLinks, FileStatus& status)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (!followLinks)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    const HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING, flags,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lastError();
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    const int error = known ? 0 : lastError();
    CloseHandle(file);
    if (!known)
        return error;
    status = FileStatus();
    status.isSymbolicLink = !followLinks && isLinkPath(path);
    // As lstat reports it: a link to a folder is a link, not a folder.
    status.isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !status.isSymbolicLink;
    status.isRegular = !status.isDirectory && !status.isSymbolicLink;
    status.size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status.device = info.dwVolumeSerialNumber;
    status.node = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    status.lastAccessTime = toMilliseconds(info.ftLastAccessTime);
    status.lastWriteTime = toMilliseconds(info.ftLastWriteTime);
    return 0;
}

// The layout of a symbolic link's or a junction's reparse data (FSCTL_GET_REPARSE_POINT);
// a junction's names follow right where a link has its flags.
struct LinkReparse {
    ULONG tag;
    USHORT dataLength;
    USHORT reserved;
    USHORT substituteOffset;
    USHORT substituteLength;
    USHORT printOffset;
    USHORT printLength;
    ULONG flags;
    WCHAR pathBuffer[1];
};

// The target stored in a shell link, through the shell's link object on a COM apartment of
// this thread for the one call. A thread whose COM is already initialised is refused.
int shellLinkTarget(const std::wstring& path, std::string& target)
{
    // The link object loads from an absolute path only.
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring absolute(size > 0 ? size_t(size) : 0, L'\0');
    const DWORD length = size > 0 ? GetFullPathNameW(path.c_str(), size, absolute.data(), nullptr) : 0;
    if (length == 0 || length >= size)
        return lastError();
    absolute.resize(length);
    const HRESULT initialised = CoInitialize(nullptr);
    if (initialised != S_OK) {
        if (SUCCEEDED(initialised))
            CoUninitialize();
        return FAILED(initialised) ? int(initialised) : ERROR_INVALID_FUNCTION;
    }
    IShellLinkA* link = nullptr;
    IPersistFile* file = nullptr;
    char buffer[MAX_PATH] = {};
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                      reinterpret_cast<void**>(&link));
    if (SUCCEEDED(result))
        result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result))
        result = file->Load(absolute.c_str(), STGM_READ);
    if (SUCCEEDED(result))
        result = link->GetPath(buffer, MAX_PATH, nullptr, 0);
    if (file != nullptr)
        file->Release();
    if (link != nullptr)
        link->Release();
    CoUninitialize();
    buffer[MAX_PATH - 1] = '\0';
    if (FAILED(result))
        return int(result);
    if (result != S_OK || buffer[0] == '\0')
        return ERROR_PATH_NOT_FOUND;  // a link to something that is no file-system path
    target = buffer;
    return 0;
}

int toOrigin(SeekOrigin origin)
{
    return origin == SeekOrigin::current ? SEEK_CUR : origin == SeekOrigin::end ? SEEK_END : SEEK_SET;
}

}  // namespace

bool isNotFound(int error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_DRIVE ||
           error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME || error == ERROR_INVALID_NAME ||
           error == ERROR_DIRECTORY;
}

bool isAlreadyExists(int error)
{
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

bool isAccessDenied(int error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

bool isCrossDevice(int error)
{
    return error == ERROR_NOT_SAME_DEVICE;
}

bool isLockedElsewhere(int error)
{
    return error == ERROR_LOCK_VIOLATION;
}

std::string errorText(int error)
{
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, DWORD(error), 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text = length > 0 && buffer != nullptr ? std::string(buffer, length) : std::string();
    if (buffer != nullptr)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "Error " + std::to_string(error) : text;
}

int fileStatus(const std::string& path, FileStatus& status)
{
    return statusOf(path, true, status);
}

int linkStatus(const std::string& path, FileStatus& status)
{
    return statusOf(path, false, status);
}

bool pathExists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool canRead(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

bool isSameFile(const std::string& a, const std::string& b)
{
    FileStatus first;
    FileStatus second;
    return fileStatus(a, first) == 0 && fileStatus(b, second) == 0 && first.device == second.device &&
           first.node == second.node;
}

int readSymbolicLink(const std::string& path, std::string& target)
{
    const HANDLE file = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lastError();
    alignas(8) char buffer[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    DWORD length = 0;
    const bool read = DeviceIoControl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer, sizeof(buffer), &length,
                                      nullptr) != 0;
    const int error = read ? 0 : lastError();
    CloseHandle(file);
    if (!read)
        return error;
    const LinkReparse* data = reinterpret_cast<const LinkReparse*>(buffer);
    const WCHAR* names = nullptr;
    if (data->tag == IO_REPARSE_TAG_SYMLINK)
        names = data->pathBuffer;
    else if (data->tag == IO_REPARSE_TAG_MOUNT_POINT)
        names = reinterpret_cast<const WCHAR*>(&data->flags);
    else
        return ERROR_NOT_A_REPARSE_POINT;
    const size_t namesEnd = size_t(length) - size_t(reinterpret_cast<const char*>(names) - buffer);
    size_t offset = data->printOffset;
    size_t bytes = data->printLength;
    if (bytes == 0) {
        offset = data->substituteOffset;
        bytes = data->substituteLength;
    }
    if (offset + bytes > namesEnd)
        return ERROR_INVALID_REPARSE_DATA;
    const WCHAR* text = names + offset / sizeof(WCHAR);
    const int textLength = int(bytes / sizeof(WCHAR));
    target = narrowText(text, textLength);
    return 0;
}

int readShellLink(const std::string& path, std::string& target)
{
    std::string stored;
    const int error = shellLinkTarget(wideText(path), stored);
    if (error != 0)
        return error;
    if (GetFileAttributesA(stored.c_str()) == INVALID_FILE_ATTRIBUTES)
        return lastError();
    target = stored;
    return 0;
}

int readShellLink(const std::u16string& path, std::u16string& target)
{
    std::string stored;
    const int error = shellLinkTarget(std::wstring(path.begin(), path.end()), stored);
    if (error != 0)
        return error;
    const std::wstring storedWide = wideText(stored);
    if (GetFileAttributesW(storedWide.c_str()) == INVALID_FILE_ATTRIBUTES)
        return lastError();
    target.assign(storedWide.begin(), storedWide.end());
    return 0;
}

int currentDirectory(std::string& path)
{
    const DWORD size = GetCurrentDirectoryA(0, nullptr);
    if (size == 0)
        return lastError();
    std::string buffer(size, '\0');
    const DWORD length = GetCurrentDirectoryA(size, buffer.data());
    if (length == 0 || length >= size)
        return lastError();
    buffer.resize(length);
    path = buffer;
    return 0;
}

std::string windowsDirectory()
{
    char buffer[MAX_PATH + 1];
    const UINT length = GetWindowsDirectoryA(buffer, sizeof(buffer));
    return length > 0 && length < sizeof(buffer) ? std::string(buffer, length) : std::string();
}

int longPathName(const std::string& path, std::string& longPath)
{
    const DWORD size = GetLongPathNameA(path.c_str(), nullptr, 0);
    if (size == 0)
        return lastError();
    std::string buffer(size, '\0');
    const DWORD length = GetLongPathNameA(path.c_str(), buffer.data(), size);
    if (length == 0 || length >= size)
        return lastError();
    buffer.resize(length);
    longPath = buffer;
    return 0;
}

// The volume's longest path component; it counts UTF-16 units, so a byte count of the same
// value is never too generous.
int maxNameLength(const std::string& directory, size_t& length)
{
    std::string root(MAX_PATH + 1, '\0');
    if (!GetVolumePathNameA(directory.c_str(), root.data(), static_cast<DWORD>(root.size())))
        return lastError();
    root.resize(std::strlen(root.c_str()));
    DWORD component = 0;
    if (!GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, &component, nullptr, nullptr, 0))
        return lastError();
    length = static_cast<size_t>(component);
    return 0;
}

int listDirectory(const std::string& path, std::vector<DirectoryEntry>& entries, const std::string& namePrefix)
{
    entries.clear();
    const bool endsInSeparator = !path.empty() && (path.back() == '\\' || path.back() == '/');
    const std::string pattern = path + (endsInSeparator ? "*" : "\\*");
    WIN32_FIND_DATAA data;
    const HANDLE search = FindFirstFileA(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
        const int error = lastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;  // an empty root has no "." either
    }
    int result = 0;
    do {
        if (std::strncmp(data.cFileName, namePrefix.c_str(), namePrefix.size()) != 0)
            continue;
        const std::string name = data.cFileName;
        if (name == "." || name == "..")
            continue;
        DirectoryEntry item;
        item.name = name;
        item.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        item.isSymbolicLink = isLinkEntry(data.dwFileAttributes, data.dwReserved0);
        // A folder is looked up by its name too: wine's listing leaves out its reparse point.
        if (item.isDirectory && !item.isSymbolicLink)
            item.isSymbolicLink = isLinkPath(pattern.substr(0, pattern.size() - 1) + name);
        item.isRegular = !item.isSymbolicLink &&
                         (data.dwFileAttributes &
                          (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
        entries.push_back(item);
    } while (FindNextFileA(search, &data));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES)
        result = static_cast<int>(error);
    FindClose(search);
    return result;
}

int makeDirectory(const std::string& path)
{
    // Protected from its creation: what the parent folder lets others do is not inherited.
    OwnerAccessList access;
    if (!access.build(FileReaders::everyone, true))
        return lastError();
    return CreateDirectoryA(path.c_str(), &access.attributes) ? 0 : lastError();
}

int removeEmptyDirectory(const std::string& path)
{
    return RemoveDirectoryA(path.c_str()) ? 0 : lastError();
}

int removeFile(const std::string& path)
{
    if (DeleteFileA(path.c_str()))
        return 0;
    const int error = lastError();
    // A link to a folder goes as a folder entry; the folder it names stays untouched.
    FileStatus status;
    const DWORD linkAttributes = GetFileAttributesA(path.c_str());
    if (linkAttributes != INVALID_FILE_ATTRIBUTES && (linkAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
        linkStatus(path, status) == 0 && status.isSymbolicLink)
        return RemoveDirectoryA(path.c_str()) ? 0 : lastError();
    // A read-only file goes as on POSIX, where only the folder's permissions count.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFileAttributesA(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
        if (DeleteFileA(path.c_str()))
            return 0;
        SetFileAttributesA(path.c_str(), attributes);
    }
    return error;
}

int renameReplacing(const std::string& from, const std::string& to)
{
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0
                                                                                                    : lastError();
}

int renameNoReplace(const std::string& from, const std::string& to)
{
    // A reparse point (a link or junction) is never renamed, as the data log's renames need.
    const DWORD attributes = GetFileAttributesA(from.c_str());
    if ((attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) ||
        isLinkPath(from))
        return ERROR_CANT_ACCESS_FILE;
    // Without MOVEFILE_REPLACE_EXISTING the system refuses an existing target in one step.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? 0 : lastError();
}

int setPermissions(const std::string& path, bool readable, bool writable)
{
    (void)readable;  // files are always readable to their owner here
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError();
    DWORD changed = attributes & ~DWORD(FILE_ATTRIBUTE_NORMAL);
    if (writable)
        changed &= ~DWORD(FILE_ATTRIBUTE_READONLY);
    else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        changed |= FILE_ATTRIBUTE_READONLY;
    if (changed == attributes)
        return 0;
    return SetFileAttributesA(path.c_str(), changed != 0 ? changed : FILE_ATTRIBUTE_NORMAL) ? 0 : lastError();
}

int setFileTimes(const std::string& path, std::optional<int64_t> accessTime, std::optional<int64_t> writeTime)
{
    const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lastError();
    const FILETIME access = toFileTime(accessTime.value_or(0));
    const FILETIME write = toFileTime(writeTime.value_or(0));
    const bool done = SetFileTime(file, nullptr, accessTime ? &access : nullptr, writeTime ? &write : nullptr) != 0;
    const int error = done ? 0 : lastError();
    CloseHandle(file);
    return error;
}

int setFileTimesToNow(const std::string& path)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    FILETIME time;
    if (!SystemTimeToFileTime(&now, &time))
        return lastError();
    return setFileTimes(path, toMilliseconds(time), toMilliseconds(time));
}

std::FILE* openStream(const std::string& path, const char* mode)
{
    // The C runtime's fopen knows no "x" and refuses renames of open files.
    const std::string text = mode;
    const bool update = text.find('+') != std::string::npos;
    const char kind = text.empty() ? 'r' : text[0];
    DWORD access = kind == 'r' ? GENERIC_READ : GENERIC_WRITE;
    if (update)
        access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    int flags = _O_BINARY | _O_NOINHERIT;
    if (kind == 'w')
        disposition = text.find('x') != std::string::npos ? CREATE_NEW : CREATE_ALWAYS;
    else if (kind == 'a') {
        disposition = OPEN_ALWAYS;
        flags |= _O_APPEND;
    } else if (kind != 'r') {
        errno = EINVAL;
        return nullptr;
    }
    if (!update && kind == 'r')
        flags |= _O_RDONLY;
    const HANDLE file = CreateFileA(path.c_str(), access, shareAll, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
                : error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST
                                                                               : EACCES;
        return nullptr;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), flags);
    if (descriptor < 0) {
        CloseHandle(file);
        return nullptr;
    }
    std::string streamMode(1, kind);
    if (update)
        streamMode += '+';
    streamMode += 'b';
    std::FILE* stream = _fdopen(descriptor, streamMode.c_str());
    if (stream == nullptr)
        _close(descriptor);
    return stream;
}

int seekStream(std::FILE* stream, int64_t offset, SeekOrigin origin)
{
    if (stream == nullptr)
        return ERROR_INVALID_HANDLE;
    clearRuntimeError();
    return _fseeki64(stream, offset, toOrigin(origin)) == 0 ? 0 : runtimeError();
}

int64_t tellStream(std::FILE* stream)
{
    if (stream == nullptr)
        return -1;
    return static_cast<int64_t>(_ftelli64(stream));
}

int syncStream(std::FILE* stream)
{
    if (stream == nullptr)
        return ERROR_INVALID_HANDLE;
    clearRuntimeError();
    if (std::fflush(stream) != 0)
        return runtimeError();
    return FlushFileBuffers(osHandle(_fileno(stream))) ? 0 : lastError();
}

int openFile(const std::string& path, OpenFlags flags, int& handle)
{
    const bool reading = (flags & OpenRead) != 0;
    const bool writing = (flags & (OpenWrite | OpenAppend | OpenTruncate)) != 0;
    DWORD access = 0;
    if (reading || !writing)
        access |= GENERIC_READ;
    if (writing)
        access |= GENERIC_WRITE;
    DWORD disposition = OPEN_EXISTING;
    if ((flags & OpenCreate) != 0) {
        if ((flags & OpenExclusive) != 0)
            disposition = CREATE_NEW;
        else if ((flags & OpenTruncate) != 0)
            disposition = CREATE_ALWAYS;
        else
            disposition = OPEN_ALWAYS;
    } else if ((flags & OpenTruncate) != 0) {
        disposition = TRUNCATE_EXISTING;
    }
    // A reparse point opens as itself, which handleStatus reports as not regular; opening a
    // file never waits here, so OpenNonBlocking needs nothing.
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if ((flags & OpenNoFollow) != 0)
        attributes |= FILE_FLAG_OPEN_REPARSE_POINT;
    const HANDLE file = CreateFileA(path.c_str(), access, shareAll, nullptr, disposition, attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lastError();
    int mode = _O_BINARY | _O_NOINHERIT;
    if (!writing)
        mode |= _O_RDONLY;
    if ((flags & OpenAppend) != 0)
        mode |= _O_APPEND;
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), mode);
    if (descriptor < 0) {
        CloseHandle(file);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    handle = descriptor;
    return 0;
}

int createExclusive(const std::string& path, int& handle)
{
    return openFile(path, OpenRead | OpenWrite | OpenCreate | OpenExclusive, handle);
}

int readFile(int handle, char* buffer, size_t size, size_t& bytesRead)
{
    bytesRead = 0;
    clearRuntimeError();
    const unsigned int request = size > 0x40000000u ? 0x40000000u : static_cast<unsigned int>(size);
    const int count = _read(handle, buffer, request);
    if (count < 0)
        return runtimeError();
    bytesRead = static_cast<size_t>(count);
    return 0;
}

int writeFile(int handle, const char* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        clearRuntimeError();
        const size_t rest = size - done;
        const unsigned int request = rest > 0x40000000u ? 0x40000000u : static_cast<unsigned int>(rest);
        const int count = _write(handle, data + done, request);
        if (count <= 0)
            return count < 0 ? runtimeError() : ERROR_DISK_FULL;
        done += static_cast<size_t>(count);
    }
    return 0;
}

int seekFile(int handle, int64_t offset, SeekOrigin origin, int64_t& position)
{
    clearRuntimeError();
    const int64_t result = _lseeki64(handle, offset, toOrigin(origin));
    if (result < 0)
        return runtimeError();
    position = result;
    return 0;
}

int syncFile(int handle)
{
    const HANDLE file = osHandle(handle);
    if (file == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    return FlushFileBuffers(file) ? 0 : lastError();
}

int syncDirectory(const std::string& path)
{
    // NTFS journals its directory entries itself; there is nothing to force, only to check.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return lastError();
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : ERROR_DIRECTORY;
}

// Windows locks are mandatory for the bytes they cover, so the lock covers one byte far
// beyond any real data: it excludes other lockers and never blocks reading or writing.
int lockFile(int handle)
{
    const HANDLE file = osHandle(handle);
    if (file == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    OVERLAPPED place{};
    place.Offset = 0xfffffffeu;
    place.OffsetHigh = 0x7fffffffu;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place) ? 0 : lastError();
}

int unlockFile(int handle)
{
    const HANDLE file = osHandle(handle);
    if (file == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    OVERLAPPED place{};
    place.Offset = 0xfffffffeu;
    place.OffsetHigh = 0x7fffffffu;
    return UnlockFileEx(file, 0, 1, 0, &place) ? 0 : lastError();
}

int closeFile(int handle)
{
    clearRuntimeError();
    return _close(handle) == 0 ? 0 : runtimeError();
}

}  // namespace KelvraCorelib::Platform
