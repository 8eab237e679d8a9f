#pragma once
// Windows code only: the protected access list of OwnerAccess.h, for the platform's own
// creation calls (CreateFileA, CreateDirectoryA) and SetSecurityInfo.
#include <vector>

#include <windows.h>

#include "corelib/platform/AccessChecks.h"

namespace KelvraCorelib::Platform {

struct OwnerAccessList {
    // Full control for SYSTEM, Administrators and the running account; read for Users when
    // readers is everyone. A folder's entries are inherited by what is made in it.
    bool build(FileReaders readers, bool folder);
    PACL acl();

    std::vector<BYTE> list;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
};

// Sets the protected access list on an object opened with WRITE_DAC.
int setOwnerAccess(HANDLE object, FileReaders readers, bool folder);

}  // namespace KelvraCorelib::Platform
