// Windows code only: reparse points on the way to a folder or at an input file's name, and
// input files opened without following one. Folders' owners are not examined and a folder's
// access list is taken as its administrator set it; an input file's list tells who may read it.
#include "corelib/platform/AccessChecks.h"

#include <cctype>
#include <vector>

#include "corelib/platform/FileSystem.h"
#include "corelib/platform/ReparsePoints.h"

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

HANDLE openEntry(const std::string& path, DWORD access, DWORD flags)
{
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// SYSTEM, Administrators and the running account: the counterpart of the superuser and the
// running account whose links the POSIX walk follows.
bool trustedOwner(PSID owner)
{
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    alignas(8) char buffer[512];
    DWORD size = 0;
    const bool known = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) != 0;
    CloseHandle(token);
    return known && EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}

// The open reparse point's owner is one whose links are followed.
bool ownedByTrusted(HANDLE entry)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool trusted = owner != nullptr && trustedOwner(owner);
    LocalFree(descriptor);
    return trusted;
}

// A mount-point tag leads to a volume ("\??\Volume{...}\") or, as a junction, to a folder.
bool leadsToVolume(HANDLE entry)
{
    alignas(8) char buffer[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    DWORD length = 0;
    if (!DeviceIoControl(entry, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer, sizeof buffer, &length, nullptr)) {
        return false;
    }
    const REPARSE_GUID_DATA_BUFFER* header = reinterpret_cast<const REPARSE_GUID_DATA_BUFFER*>(buffer);
    // Tag, lengths, then the substitute name's offset and length, then the names.
    const USHORT* fields = reinterpret_cast<const USHORT*>(buffer + 8);
    const size_t offset = fields[0];
    const size_t bytes = fields[1];
    const WCHAR* names = reinterpret_cast<const WCHAR*>(buffer + 16);
    if (header->ReparseTag != IO_REPARSE_TAG_MOUNT_POINT || 16 + offset + bytes > length) {
        return false;
    }
    const std::wstring substitute(names + offset / sizeof(WCHAR), bytes / sizeof(WCHAR));
    return substitute.rfind(L"\\??\\Volume{", 0) == 0;
}

// The path a handle reaches, without the "\\?\" prefix, or empty when it cannot be told.
std::string finalPathOf(const std::string& path)
{
    const HANDLE entry = openEntry(path, FILE_READ_ATTRIBUTES, 0);
    if (entry == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    char buffer[MAX_PATH * 4];
    const DWORD size = GetFinalPathNameByHandleA(entry, buffer, sizeof buffer, FILE_NAME_NORMALIZED);
    CloseHandle(entry);
    std::string text = size > 0 && size < sizeof buffer ? std::string(buffer, size) : std::string();
    return text.rfind("\\\\?\\", 0) == 0 ? text.substr(4) : text;
}

bool samePath(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const bool both = isSeparator(a[i]) && isSeparator(b[i]);
        if (!both && std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// How the walk meets a reparse point: refused (fault), passed as a folder, or followed to
// where it leads (redirect).
struct ReparseVerdict {
    AccessFault fault = AccessFault::none;
    int error = 0;
    bool redirect = false;
};

// Name surrogates are followed when a trusted account owns them; one without a tag (wine) is
// a mount point when it leads to itself, a link otherwise.
ReparseVerdict judgeReparsePoint(const std::string& level)
{
    ReparseVerdict verdict;
    const HANDLE entry = openEntry(level, FILE_READ_ATTRIBUTES | READ_CONTROL, FILE_FLAG_OPEN_REPARSE_POINT);
    FILE_ATTRIBUTE_TAG_INFO tag {};
    if (entry == INVALID_HANDLE_VALUE || !GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag, sizeof tag)) {
        verdict.fault = AccessFault::unexaminable;
        verdict.error = static_cast<int>(GetLastError());
    } else {
        switch (reparseKindOf(true, tag.ReparseTag)) {
        case ReparseKind::none:
        case ReparseKind::data: break;
        case ReparseKind::untold:
            verdict.fault = samePath(finalPathOf(level), level) ? AccessFault::none : AccessFault::link;
            break;
        case ReparseKind::link:
            verdict.fault = ownedByTrusted(entry) ? AccessFault::none : AccessFault::foreignLink;
            verdict.redirect = true;
            break;
        case ReparseKind::mountPoint: {
            const bool volume = leadsToVolume(entry);
            verdict.fault = ownedByTrusted(entry) ? AccessFault::none
                            : volume              ? AccessFault::foreignMountPoint
                                                  : AccessFault::foreignLink;
            verdict.redirect = !volume;
            break;
        }
        }
    }
    if (entry != INVALID_HANDLE_VALUE) {
        CloseHandle(entry);
    }
    return verdict;
}

// Links followed in one walk before it gives up.
constexpr int maxLinks = 40;

// Every level of the full path from its root. A followed link's target is walked in its
// place (as on POSIX), so that no link it leads through escapes the judgement.
AccessFinding walkTo(const std::string& path, int links = 0)
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
            const ReparseVerdict verdict = judgeReparsePoint(level);
            if (verdict.fault != AccessFault::none) {
                return finding(verdict.fault, level, verdict.error);
            }
            std::string target;
            if (verdict.redirect && readSymbolicLink(level, target) == 0 && !target.empty()) {
                if (target.rfind("\\??\\", 0) == 0) {
                    target.erase(0, 4);  // a junction without a print name: its NT name
                }
                if (++links > maxLinks) {
                    return finding(AccessFault::unexaminable, level, ERROR_CANT_RESOLVE_FILENAME);
                }
                const bool absolute = isSeparator(target[0]) || (target.size() > 1 && target[1] == ':');
                const std::string parent = level.substr(0, level.find_last_of("\\/") + 1);
                return walkTo((absolute ? target : parent + target) + full.substr(end), links);
            }
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
