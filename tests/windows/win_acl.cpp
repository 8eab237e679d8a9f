// Access lists for the black-box tests under wine:
//   win_acl show PATH       the access list of PATH in the system's text form ("D:P(A;;FA;;;SY)...")
//   win_acl private PATH    restrictToOwnerAndAdministrators(PATH), then as show
#include <cstdio>
#include <string>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "corelib/platform/OwnerAccess.h"

namespace {

int show(const char* path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL acl = nullptr;
    if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl, nullptr,
                              &descriptor) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot read the access list of %s\n", path);
        return 1;
    }
    char* text = nullptr;
    const bool converted = ConvertSecurityDescriptorToStringSecurityDescriptorA(
                               descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr) != 0;
    if (converted) {
        std::printf("%s\n", text);
        LocalFree(text);
    }
    LocalFree(descriptor);
    return converted ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "show")
        return show(argv[2]);
    if (mode == "private") {
        const int error = KelvraCorelib::Platform::restrictToOwnerAndAdministrators(argv[2]);
        if (error != 0) {
            std::fprintf(stderr, "restrictToOwnerAndAdministrators: error %d\n", error);
            return 1;
        }
        return show(argv[2]);
    }
    std::fprintf(stderr, "usage: win_acl show|private PATH\n");
    return 2;
}
