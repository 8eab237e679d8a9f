// Windows code only: protected access lists for files and folders that trawlex made, built
// from well-known SIDs and the running account's SID.
#include "corelib/platform/OwnerAccess.h"
#include "corelib/platform/LastError.h"
#include "corelib/platform/windows/OwnerAccessLists.h"

#include <vector>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace KelvraCorelib::Platform {

namespace {

std::vector<BYTE> wellKnownSid(WELL_KNOWN_SID_TYPE type)
{
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size))
        return {};
    sid.resize(size);
    return sid;
}

// The SID of the account the process runs as.
std::vector<BYTE> runningAccountSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    std::vector<BYTE> sid;
    if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
        sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + GetLengthSid(user));
    }
    CloseHandle(token);
    return sid;
}

}  // namespace

bool OwnerAccessList::build(FileReaders readers, bool folder)
{
    const DWORD inherit = folder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
    const DWORD readRights = folder ? FILE_GENERIC_READ | FILE_GENERIC_EXECUTE : FILE_GENERIC_READ;
    const std::vector<BYTE> system = wellKnownSid(WinLocalSystemSid);
    const std::vector<BYTE> administrators = wellKnownSid(WinBuiltinAdministratorsSid);
    const std::vector<BYTE> users = wellKnownSid(WinBuiltinUsersSid);
    const std::vector<BYTE> account = runningAccountSid();
    if (system.empty() || administrators.empty() || users.empty() || account.empty())
        return false;
    const bool othersRead = readers == FileReaders::everyone;
    DWORD size = sizeof(ACL);
    for (const std::vector<BYTE>* sid : {&system, &administrators, &account, &users})
        size += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + static_cast<DWORD>(sid->size());
    list.assign(size, 0);
    PACL acl = reinterpret_cast<PACL>(list.data());
    std::vector<BYTE> copies[] = {system, administrators, account, users};
    if (!InitializeAcl(acl, size, ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, copies[0].data()) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, copies[1].data()) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, FILE_ALL_ACCESS, copies[2].data()) ||
        (othersRead && !AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, readRights, copies[3].data())))
        return false;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    return true;
}

PACL OwnerAccessList::acl()
{
    return reinterpret_cast<PACL>(list.data());
}

int setOwnerAccess(HANDLE object, FileReaders readers, bool folder)
{
    OwnerAccessList access;
    if (!access.build(readers, folder))
        return lastError();
    const DWORD result = SetSecurityInfo(object, SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, access.acl(), nullptr);
    return static_cast<int>(result);
}

int createPrivateFile(const std::string& path, int& handle)
{
    OwnerAccessList access;
    if (!access.build(FileReaders::owner, false))
        return lastError();
    // Shared for deleting, so that the open file can be renamed, as on POSIX; no right to
    // delete through this handle, which others opening the file would have to share.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &access.attributes,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lastError();
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY | _O_NOINHERIT);
    if (descriptor < 0) {
        CloseHandle(file);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    handle = descriptor;
    return 0;
}

int restrictOpenFile(int handle, FileReaders readers)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
    if (file == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return lastError();
    return setOwnerAccess(file, readers, (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
}

int restrictPath(const std::string& path, FileReaders readers)
{
    // The entry itself, never what a reparse point leads to.
    const HANDLE object = CreateFileA(path.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (object == INVALID_HANDLE_VALUE)
        return lastError();
    BY_HANDLE_FILE_INFORMATION info;
    int error = 0;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (!GetFileInformationByHandle(object, &info))
        error = lastError();
    else if (((info.dwFileAttributes | (attributes == INVALID_FILE_ATTRIBUTES ? 0 : attributes)) &
              FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        error = ERROR_CANT_ACCESS_FILE;
    else
        error = setOwnerAccess(object, readers, (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    CloseHandle(object);
    return error;
}

int restrictToOwnerAndAdministrators(const std::string& path)
{
    return restrictPath(path, FileReaders::owner);
}

}  // namespace KelvraCorelib::Platform
