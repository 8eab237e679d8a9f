// Windows code only: reparse points on the way to a folder or at an input file's name, and
// input files opened without following one. Owners are not examined and a folder's access
// list is taken as its administrator set it; an input file's list tells who may read it.
#include "corelib/platform/AccessChecks.h"

#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <aclapi.h>

namespace KelvraCorelib::Platform {

namespace {

AccessFinding finding(AccessFault fault, const std::string& path, int error = 0)
{
    AccessFinding result;
    result.fault = fault;
    result.path = path;
    result.error = error;
    return result;
}

bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

// Every level of the full path from its root: reparse points (links and junctions) are
// refused, since who made one is not examined.
AccessFinding walkTo(const std::string& path)
{
    std::vector<char> buffer(MAX_PATH + 1);
    DWORD size = GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (size >= buffer.size()) {
        buffer.resize(size + 1);
        size = GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    }
    if (size == 0 || size >= buffer.size()) {
        return finding(AccessFault::unexaminable, path, static_cast<int>(GetLastError()));
    }
    const std::string full(buffer.data(), size);
    // The root ("C:\" or "\\server\share\") is taken as it is.
    size_t position = 0;
    if (full.size() >= 2 && isSeparator(full[0]) && isSeparator(full[1])) {
        size_t separators = 0;
        for (position = 2; position < full.size() && separators < 2; ++position) {
            separators += isSeparator(full[position]) ? 1 : 0;
        }
    } else {
        position = full.find_first_of("\\/");
        position = position == std::string::npos ? full.size() : position + 1;
    }
    while (position < full.size()) {
        size_t end = full.find_first_of("\\/", position);
        if (end == std::string::npos) {
            end = full.size();
        }
        const std::string level = full.substr(0, end);
        position = end + 1;
        if (level.empty() || isSeparator(level.back())) {
            continue;
        }
        const DWORD attributes = GetFileAttributesA(level.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
            return finding(missing ? AccessFault::missing : AccessFault::unexaminable, level, static_cast<int>(error));
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return finding(AccessFault::link, level);
        }
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return finding(AccessFault::notDirectory, level);
        }
    }
    return AccessFinding();
}

// Everyone when Everyone, Users or Authenticated Users may read the open file (or its list
// gives everyone everything), the owner only otherwise, as OwnerAccess.h's lists tell them.
FileReaders readersOf(HANDLE file)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL acl = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return FileReaders::owner;
    }
    FileReaders readers = acl == nullptr ? FileReaders::everyone : FileReaders::owner;
    for (DWORD index = 0; acl != nullptr && index < acl->AceCount && readers == FileReaders::owner; ++index) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (!GetAce(acl, index, reinterpret_cast<void**>(&entry)) || entry->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (entry->Header.AceFlags & INHERIT_ONLY_ACE) != 0 ||
            (entry->Mask & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) == 0) {
            continue;
        }
        const PSID sid = &entry->SidStart;
        if (IsWellKnownSid(sid, WinWorldSid) || IsWellKnownSid(sid, WinBuiltinUsersSid) ||
            IsWellKnownSid(sid, WinAuthenticatedUserSid)) {
            readers = FileReaders::everyone;
        }
    }
    LocalFree(descriptor);
    return readers;
}

HANDLE openForReading(const std::string& path, DWORD access)
{
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

bool runsAsSuperuser()
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                  0, 0, &administrators)) {
        return false;
    }
    BOOL member = FALSE;
    const bool checked = CheckTokenMembership(nullptr, administrators, &member) != 0;
    FreeSid(administrators);
    return checked && member != FALSE;
}

AccessFinding examineDirectoryChain(const std::string& path)
{
    return walkTo(path);
}

AccessFinding openOwnFile(const std::string& path, OwnFile& file)
{
    closeOwnFile(file);
    const size_t separator = path.find_last_of("\\/");
    const std::string parent = separator == std::string::npos ? std::string(".") : path.substr(0, separator + 1);
    const std::string name = separator == std::string::npos ? path : path.substr(separator + 1);
    if (name.empty() || name == "." || name == "..") {
        return finding(AccessFault::notRegularFile, path);
    }
    const AccessFinding walked = walkTo(parent);
    if (walked.fault != AccessFault::none) {
        return walked;
    }
    // The name itself first: a handle's attributes may not show a reparse point (wine).
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return finding(AccessFault::link, path);
    }
    // With the right to delete, the file removed later is this one, whatever its name is then.
    HANDLE handle = openForReading(path, GENERIC_READ | DELETE);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        handle = openForReading(path, GENERIC_READ);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        return finding(missing ? AccessFault::missing : AccessFault::unexaminable, path, static_cast<int>(error));
    }
    BY_HANDLE_FILE_INFORMATION info;
    AccessFault fault = AccessFault::none;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        fault = AccessFault::notRegularFile;
    } else if (!GetFileInformationByHandle(handle, &info)) {
        fault = AccessFault::unexaminable;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        fault = AccessFault::link;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        fault = AccessFault::notRegularFile;
    }
    if (fault != AccessFault::none) {
        CloseHandle(handle);
        return finding(fault, path);
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return finding(AccessFault::unexaminable, path, ERROR_TOO_MANY_OPEN_FILES);
    }
    file.handle.reset(descriptor);
    file.name = path;
    file.device = info.dwVolumeSerialNumber;
    file.node = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    file.readers = readersOf(handle);
    return AccessFinding();
}

int removeOwnFile(const OwnFile& file)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle.get()));
    if (!file.handle.isOpen() || handle == INVALID_HANDLE_VALUE) {
        return ERROR_INVALID_HANDLE;
    }
    // Marks the open file itself for deletion; it goes when the handle is closed.
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    if (SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) {
        return 0;
    }
    return static_cast<int>(GetLastError());
}

void closeOwnFile(OwnFile& file)
{
    file = OwnFile();
}

}  // namespace KelvraCorelib::Platform
