// POSIX code only: permission bits of files and folders that trawlex made.
#include "corelib/platform/OwnerAccess.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/LastError.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KelvraCorelib::Platform {

namespace {

mode_t readBits(FileReaders readers, mode_t owner, mode_t group, mode_t others)
{
    return owner | (readers != FileReaders::owner ? group : 0) | (readers == FileReaders::everyone ? others : 0);
}

int changeMode(int descriptor, mode_t mode)
{
    int result;
    do {
        result = fchmod(descriptor, mode);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : lastError();
}

}  // namespace

int createPrivateFile(const std::string& path, int& handle)
{
    int descriptor;
    do {
        descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return lastError();
    handle = descriptor;
    return 0;
}

int restrictOpenFile(int handle, FileReaders readers)
{
    struct stat info {};
    if (fstat(handle, &info) != 0)
        return lastError();
    const mode_t mode = S_ISDIR(info.st_mode) ? readBits(readers, 0700, 0050, 0005) : readBits(readers, 0600, 0040, 0004);
    return changeMode(handle, mode);
}

int restrictPath(const std::string& path, FileReaders readers)
{
    int descriptor;
    do {
        descriptor = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return lastError();
    const ScopedFile file(descriptor);
    return restrictOpenFile(file.get(), readers);
}

int restrictToOwnerAndAdministrators(const std::string& path)
{
    return restrictPath(path, FileReaders::owner);
}

}  // namespace KelvraCorelib::Platform
