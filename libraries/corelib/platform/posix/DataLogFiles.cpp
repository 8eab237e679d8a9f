// POSIX code only: locked exclusive creation, handle status and truncation for the data log.
#include "corelib/platform/DataLogFiles.h"
#include "corelib/platform/LastError.h"
#include "corelib/platform/PrivateNameCreation.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KelvraCorelib::Platform {

namespace {


std::string parentOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The directory of the path with its trailing slash; empty for a bare name.
std::string directoryPart(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

#if defined(O_TMPFILE)
// An unnamed file in the target directory, locked, then linked under its name; the link
// fails without touching an existing file. Returns -1 when the way is not available here.
int createUnnamedThenLink(const std::string& path, int& handle)
{
    const int descriptor = open(parentOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        const int error = lastError();
        // Not supported by the kernel or the file system: take the other way.
        if (error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOENT) {
            struct stat info {};
            if (error == ENOENT && stat(parentOf(path).c_str(), &info) != 0) {
                return error;
            }
            return -1;
        }
        return error;
    }
    int error = lockFile(descriptor);
    if (error == 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(descriptor);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            handle = descriptor;
            return 0;
        }
        error = lastError();
        if (error != EEXIST) {
            error = -1;  // no /proc, or links refused: take the other way
        }
    }
    close(descriptor);
    return error;
}
#endif

}  // namespace

int createLockedExclusive(const std::string& path, int& handle, FileCreation way)
{
#if defined(O_TMPFILE)
    if (way == FileCreation::unnamedWhereAvailable) {
        const int result = createUnnamedThenLink(path, handle);
        if (result != -1) {
            return result;
        }
    }
#else
    (void)way;
#endif
    // Created and locked under a private name, then renamed: the path never names an
    // unlocked file.
    return createUnderPrivateName(path, directoryPart(path), [](const std::string& name, int& descriptor) {
        do {
            descriptor = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        } while (descriptor < 0 && errno == EINTR);
        return descriptor < 0 ? lastError() : 0;
    }, handle);
}

int openOwnRegularFile(const std::string& path, EntryAccess access, int& handle, EntryRefusal& refusal)
{
    refusal = EntryRefusal::none;
    // A FIFO or a device is refused before it is opened (opening some devices acts).
    struct stat entry {};
    if (lstat(path.c_str(), &entry) != 0) {
        return lastError();
    }
    if (S_ISLNK(entry.st_mode)) {
        refusal = EntryRefusal::symbolicLink;
        return ELOOP;
    }
    if (!S_ISREG(entry.st_mode)) {
        refusal = EntryRefusal::notRegularFile;
        return EINVAL;
    }
    int descriptor;
    do {
        descriptor = open(path.c_str(), (access == EntryAccess::readWrite ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        const int error = lastError();
        if (error == ELOOP) {
            refusal = EntryRefusal::symbolicLink;  // replaced by a link meanwhile
        }
        return error;
    }
    // The entry may have been replaced between the two looks: what counts is the open file.
    struct stat info {};
    int error = 0;
    if (fstat(descriptor, &info) != 0) {
        error = lastError();
    } else if (!S_ISREG(info.st_mode)) {
        refusal = EntryRefusal::notRegularFile;
        error = EINVAL;
    } else if (info.st_uid != geteuid()) {
        refusal = EntryRefusal::otherOwner;
        error = EPERM;
    } else {
        const int flags = fcntl(descriptor, F_GETFL);
        if (flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            error = lastError();
        }
    }
    if (error != 0) {
        close(descriptor);
        return error;
    }
    handle = descriptor;
    return 0;
}

int handleStatus(int handle, FileStatus& status)
{
    struct stat info {};
    if (fstat(handle, &info) != 0) {
        return lastError();
    }
    status.isDirectory = S_ISDIR(info.st_mode);
    status.isRegular = S_ISREG(info.st_mode);
    status.isSymbolicLink = false;
    status.size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
    status.device = static_cast<uint64_t>(info.st_dev);
    status.node = static_cast<uint64_t>(info.st_ino);
    return 0;
}

int setFileReaders(int handle, FileReaders readers)
{
    const mode_t mode = readers == FileReaders::everyone        ? 0644
                        : readers == FileReaders::ownerAndGroup ? 0640
                                                                : 0600;
    int result;
    do {
        result = fchmod(handle, mode);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : lastError();
}

int truncateFile(int handle, uint64_t size)
{
    int result;
    do {
        result = ftruncate(handle, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : lastError();
}

}  // namespace KelvraCorelib::Platform
