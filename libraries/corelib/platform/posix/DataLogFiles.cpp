// POSIX code only: the data log's folder, handle status and truncation.
#include "corelib/platform/DataLogFiles.h"
#include "corelib/platform/LastError.h"
#include "corelib/platform/PrivateNameCreation.h"
#include "corelib/platform/posix/FolderCalls.h"

#include <cerrno>

#include <dirent.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KelvraCorelib::Platform {

namespace {

#if defined(O_TMPFILE)
// An unnamed file in the folder, locked, then linked under its name; the link fails without
// touching an existing file. Returns -1 when the way is not available here.
int createUnnamedThenLink(int folder, const std::string& name, int& handle)
{
    ScopedFile descriptor(openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!descriptor.isOpen()) {
        const int error = lastError();
        // Not supported by the kernel or the file system: take the other way.
        return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOENT ? -1 : error;
    }
    int error = lockFile(descriptor.get());
    if (error == 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(descriptor.get());
        if (linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            handle = descriptor.release();
            return 0;
        }
        error = lastError();
        if (error != EEXIST) {
            error = -1;  // no /proc, or links refused: take the other way
        }
    }
    return error;
}
#endif

}  // namespace

int Folder::open(const std::string& path)
{
    location = path.empty() || path.back() == '/' ? path : path + "/";
    handle.reset();
    do {
        handle.value = ::open(location.empty() ? "." : location.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (!handle.isOpen() && errno == EINTR);
    opened = handle.isOpen();
    return opened ? 0 : lastError();
}

int Folder::createLockedExclusive(const std::string& name, int& handle, FileCreation way) const
{
#if defined(O_TMPFILE)
    if (way == FileCreation::unnamedWhereAvailable) {
        const int result = createUnnamedThenLink(this->handle.get(), name, handle);
        if (result != -1) {
            return result;
        }
    }
#else
    (void)way;
#endif
    // Created and locked under a private name, then renamed: the name never names an
    // unlocked file.
    const int folder = this->handle.get();
    return createUnderPrivateName(*this, name, [folder](const std::string& entry, int& descriptor) {
        do {
            descriptor = openat(folder, entry.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (descriptor < 0 && errno == EINTR);
        return descriptor < 0 ? lastError() : 0;
    }, handle);
}

int Folder::openOwnRegularFile(const std::string& name, EntryAccess access, int& handle,
                               EntryRefusal& refusal) const
{
    refusal = EntryRefusal::none;
    // A FIFO or a device is refused before it is opened (opening some devices acts).
    struct stat entry {};
    if (fstatat(this->handle.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
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
    ScopedFile descriptor;
    do {
        descriptor.value = openat(this->handle.get(), name.c_str(),
                                  (access == EntryAccess::readWrite ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK |
                                      O_NOCTTY | O_CLOEXEC);
    } while (!descriptor.isOpen() && errno == EINTR);
    if (!descriptor.isOpen()) {
        const int error = lastError();
        if (error == ELOOP) {
            refusal = EntryRefusal::symbolicLink;  // replaced by a link meanwhile
        }
        return error;
    }
    // The entry may have been replaced between the two looks: what counts is the open file.
    struct stat info {};
    if (fstat(descriptor.get(), &info) != 0) {
        return lastError();
    }
    if (!S_ISREG(info.st_mode)) {
        refusal = EntryRefusal::notRegularFile;
        return EINVAL;
    }
    if (info.st_uid != geteuid()) {
        refusal = EntryRefusal::otherOwner;
        return EPERM;
    }
    const int flags = fcntl(descriptor.get(), F_GETFL);
    if (flags < 0 || fcntl(descriptor.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return lastError();
    }
    handle = descriptor.release();
    return 0;
}

bool Folder::namesOpenFile(const std::string& name, int handle) const
{
    struct stat byName {};
    struct stat byHandle {};
    return fstatat(this->handle.get(), name.c_str(), &byName, AT_SYMLINK_NOFOLLOW) == 0 &&
           fstat(handle, &byHandle) == 0 && byName.st_dev == byHandle.st_dev && byName.st_ino == byHandle.st_ino;
}

bool Folder::hasEntry(const std::string& name) const
{
    struct stat info {};
    return fstatat(handle.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

int Folder::list(std::vector<DirectoryEntry>& entries, const std::string& namePrefix) const
{
    entries.clear();
    // The stream takes a descriptor of its own, read from the folder's start.
    ScopedFile copy(fcntl(handle.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy.isOpen()) {
        return lastError();
    }
    DIR* directory = fdopendir(copy.get());
    if (directory == nullptr) {
        return lastError();
    }
    copy.release();
    rewinddir(directory);
    return listOpenDirectory(directory, entries, namePrefix);
}

int Folder::renameNoReplace(const std::string& from, const std::string& to) const
{
    return renameNoReplaceAt(handle.get(), from, to);
}

int Folder::remove(const std::string& name) const
{
    return unlinkat(handle.get(), name.c_str(), 0) == 0 ? 0 : lastError();
}

int Folder::sync() const
{
    const int result = fsync(handle.get()) == 0 ? 0 : lastError();
    // Some file systems cannot sync a directory; their entries are as safe as they get.
    return result == EINVAL || result == EROFS ? 0 : result;
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
