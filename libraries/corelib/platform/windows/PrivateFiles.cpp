// Windows code only: folders and files whose access list grants SYSTEM and the
// Administrators group alone (inheritance from the parent cut), the check that an access
// list allows no other account, and a waiting lock. The owner is not checked.
#include "corelib/platform/PrivateFiles.h"
#include "corelib/platform/LastError.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

namespace KelvraCorelib::Platform {

namespace {

// Full control for SYSTEM and Administrators, inherited by what is created inside, and no
// entries from the parent.
class PrivateSecurity {
public:
    PrivateSecurity()
    {
        if (ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                                 SDDL_REVISION_1, &descriptor, nullptr)) {
            attributes.nLength = sizeof attributes;
            attributes.lpSecurityDescriptor = descriptor;
            attributes.bInheritHandle = FALSE;
        } else {
            descriptor = nullptr;
        }
    }
    ~PrivateSecurity()
    {
        if (descriptor != nullptr)
            LocalFree(descriptor);
    }
    PrivateSecurity(const PrivateSecurity&) = delete;
    PrivateSecurity& operator=(const PrivateSecurity&) = delete;

    SECURITY_ATTRIBUTES* get() { return descriptor != nullptr ? &attributes : nullptr; }

private:
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{};
};

}  // namespace

int makePrivateDirectory(const std::string& path)
{
    PrivateSecurity security;
    return CreateDirectoryA(path.c_str(), security.get()) ? 0 : lastError();
}

// Who may use the path: every allowing entry of its access list must name SYSTEM, the
// Administrators group or the running account (or, where others may read, allow reading
// only). A path without an access list (every account may use it) is refused.
std::string accessProblem(const std::string& path, bool othersRead)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                              nullptr, &dacl, nullptr, &descriptor);
    if (error != ERROR_SUCCESS)
        return "cannot be read for its access list (error " + std::to_string(error) + ")";
    std::string problem;
    if (dacl == nullptr) {
        problem = "has no access list: every account can read and change it";
    } else {
        BYTE system[SECURITY_MAX_SID_SIZE];
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof system;
        CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size);
        size = sizeof administrators;
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
        BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
        PSID self = nullptr;
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD length = 0;
            if (GetTokenInformation(token, TokenUser, user, sizeof user, &length))
                self = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
            CloseHandle(token);
        }
        for (DWORD i = 0; i < dacl->AceCount && problem.empty(); ++i) {
            void* entry = nullptr;
            if (!GetAce(dacl, i, &entry))
                continue;
            const auto* header = static_cast<ACE_HEADER*>(entry);
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
                continue;
            PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
            if (EqualSid(sid, system) || EqualSid(sid, administrators) || (self != nullptr && EqualSid(sid, self)))
                continue;
            constexpr ACCESS_MASK changing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                             FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER |
                                             GENERIC_WRITE | GENERIC_ALL;
            if (othersRead && (static_cast<ACCESS_ALLOWED_ACE*>(entry)->Mask & changing) == 0)
                continue;
            char* text = nullptr;
            std::string name = "another account";
            if (ConvertSidToStringSidA(sid, &text)) {
                name = text;
                LocalFree(text);
            }
            problem = "can be read or changed by other accounts (" + name + " in its access list)";
        }
    }
    LocalFree(descriptor);
    return problem;
}

std::string privacyProblem(const std::string& path, PrivateEntry kind)
{
    const bool directory = kind == PrivateEntry::folder;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return "cannot be read for its status (error " + std::to_string(GetLastError()) + ")";
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return "is a link";
    const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isDirectory != directory)
        return directory ? "is not a folder" : "is not a regular file";
    return accessProblem(path, kind == PrivateEntry::publicFile);
}

int lockFileWaiting(int handle)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(handle));
    if (file == INVALID_HANDLE_VALUE)
        return ERROR_INVALID_HANDLE;
    OVERLAPPED place{};
    place.Offset = 0xfffffffeu;
    place.OffsetHigh = 0x7fffffffu;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &place) ? 0 : lastError();
}

std::string defaultSealDirectory()
{
    char buffer[MAX_PATH];
    const DWORD size = GetEnvironmentVariableA("ProgramData", buffer, MAX_PATH);
    const std::string base = size > 0 && size < MAX_PATH ? std::string(buffer, size) : std::string("C:\\ProgramData");
    return base + "\\Trawlex\\seal";
}

}  // namespace KelvraCorelib::Platform
