// POSIX code only: unnamed temporary files.
#include "corelib/platform/TemporaryFiles.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace KelvraCorelib::Platform {

int createUnnamedTemporaryFile(int& handle)
{
    const char* const variable = std::getenv("TMPDIR");
    const std::string folder = variable != nullptr && variable[0] == '/' ? variable : "/tmp";
#ifdef O_TMPFILE
    const int unnamed = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed >= 0) {
        handle = unnamed;
        return 0;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return errno;
    }
#endif
    // mkstemp creates exclusively, mode 0600; the name is removed before any byte is written.
    std::string name = folder + "/.trawlex-XXXXXX";
    const int named = mkostemp(name.data(), O_CLOEXEC);
    if (named < 0) {
        return errno;
    }
    if (unlink(name.c_str()) != 0) {
        const int error = errno;
        close(named);
        return error;
    }
    handle = named;
    return 0;
}

}  // namespace KelvraCorelib::Platform
