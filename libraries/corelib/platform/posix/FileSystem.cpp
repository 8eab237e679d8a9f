// POSIX code only: files, directories, links and time stamps through the POSIX file calls.
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/LastError.h"
#include "corelib/platform/posix/FolderCalls.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace KelvraCorelib::Platform {

int lastError()
{
    return errno != 0 ? errno : EIO;
}

namespace {

void fillStatus(const struct stat& info, FileStatus& status)
{
    status.isDirectory = S_ISDIR(info.st_mode);
    status.isRegular = S_ISREG(info.st_mode);
    status.isSymbolicLink = S_ISLNK(info.st_mode);
    status.size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
    status.device = static_cast<uint64_t>(info.st_dev);
    status.node = static_cast<uint64_t>(info.st_ino);
    status.lastAccessTime = static_cast<int64_t>(info.st_atim.tv_sec) * 1000 + info.st_atim.tv_nsec / 1000000;
    status.lastWriteTime = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
}

struct timespec toTimespec(int64_t milliseconds)
{
    int64_t seconds = milliseconds / 1000;
    int64_t rest = milliseconds % 1000;
    if (rest < 0) {
        rest += 1000;
        --seconds;
    }
    struct timespec value {};
    value.tv_sec = static_cast<time_t>(seconds);
    value.tv_nsec = static_cast<long>(rest * 1000000);
    return value;
}

int toWhence(SeekOrigin origin)
{
    return origin == SeekOrigin::current ? SEEK_CUR : origin == SeekOrigin::end ? SEEK_END : SEEK_SET;
}

int renameWithoutReplacingByCall(int folder, const std::string& from, const std::string& to)
{
#if defined(__linux__) && defined(SYS_renameat2)
    if (syscall(SYS_renameat2, folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    return lastError();
#else
    (void)folder;
    (void)from;
    (void)to;
    return ENOSYS;
#endif
}

}  // namespace

bool isNotFound(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

bool isAlreadyExists(int error)
{
    return error == EEXIST;
}

bool isAccessDenied(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

bool isCrossDevice(int error)
{
    return error == EXDEV;
}

bool isLockedElsewhere(int error)
{
    return error == EWOULDBLOCK || error == EAGAIN;
}

std::string errorText(int error)
{
    return std::strerror(error);
}

int fileStatus(const std::string& path, FileStatus& status)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return lastError();
    }
    fillStatus(info, status);
    status.isSymbolicLink = false;
    return 0;
}

int linkStatus(const std::string& path, FileStatus& status)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return lastError();
    }
    fillStatus(info, status);
    return 0;
}

bool pathExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool canRead(const std::string& path)
{
    return access(path.c_str(), R_OK) == 0;
}

bool isSameFile(const std::string& a, const std::string& b)
{
    FileStatus first;
    FileStatus second;
    return fileStatus(a, first) == 0 && fileStatus(b, second) == 0 && first.device == second.device &&
           first.node == second.node;
}

int readSymbolicLink(const std::string& path, std::string& target)
{
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            return lastError();
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<size_t>(length));
            target = buffer;
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Shell links are a Windows facility; a file named like one is an ordinary file here.
int readShellLink(const std::string& path, std::string& target)
{
    (void)path;
    (void)target;
    return ENOSYS;
}

int readShellLink(const std::u16string& path, std::u16string& target)
{
    (void)path;
    (void)target;
    return ENOSYS;
}

int currentDirectory(std::string& path)
{
    std::string buffer(256, '\0');
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            path = buffer.c_str();
            return 0;
        }
        if (errno != ERANGE) {
            return lastError();
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string windowsDirectory()
{
    return std::string();
}

int longPathName(const std::string& path, std::string& longPath)
{
    longPath = path;
    return 0;
}

int maxNameLength(const std::string& directory, size_t& length)
{
    errno = 0;
    const long limit = pathconf(directory.c_str(), _PC_NAME_MAX);
    if (limit < 0) {
        if (errno != 0) {
            return lastError();
        }
        length = 0;  // no limit
        return 0;
    }
    length = static_cast<size_t>(limit);
    return 0;
}

int listOpenDirectory(DIR* directory, std::vector<DirectoryEntry>& entries, const std::string& namePrefix)
{
    entries.clear();
    const int folder = dirfd(directory);
    int result = 0;
    for (;;) {
        errno = 0;
        const struct dirent* entry = readdir(directory);
        if (entry == nullptr) {
            result = errno;
            break;
        }
        if (std::strncmp(entry->d_name, namePrefix.c_str(), namePrefix.size()) != 0) {
            continue;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        DirectoryEntry item;
        item.name = name;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info {};
            if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
                type = S_ISLNK(info.st_mode)   ? DT_LNK
                       : S_ISDIR(info.st_mode) ? DT_DIR
                       : S_ISREG(info.st_mode) ? DT_REG
                                               : DT_UNKNOWN;
            }
        }
        item.isSymbolicLink = type == DT_LNK;
        item.isRegular = type == DT_REG;
        if (type == DT_DIR) {
            item.isDirectory = true;
        } else if (type == DT_LNK) {
            struct stat info {};
            item.isDirectory = fstatat(folder, name.c_str(), &info, 0) == 0 && S_ISDIR(info.st_mode);
        }
        entries.push_back(item);
    }
    closedir(directory);
    return result;
}

int listDirectory(const std::string& path, std::vector<DirectoryEntry>& entries, const std::string& namePrefix)
{
    entries.clear();
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) {
        return lastError();
    }
    return listOpenDirectory(directory, entries, namePrefix);
}

int makeDirectory(const std::string& path)
{
    // Owner only until the mode is set on the directory that was made.
    if (mkdir(path.c_str(), 0700) != 0) {
        return lastError();
    }
    const ScopedFile descriptor(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!descriptor.isOpen()) {
        return lastError();
    }
    return fchmod(descriptor.get(), 0755) == 0 ? 0 : lastError();
}

int removeEmptyDirectory(const std::string& path)
{
    return rmdir(path.c_str()) == 0 ? 0 : lastError();
}

int removeFile(const std::string& path)
{
    return unlink(path.c_str()) == 0 ? 0 : lastError();
}

int renameReplacing(const std::string& from, const std::string& to)
{
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : lastError();
}

int renameNoReplaceAt(int folder, const std::string& from, const std::string& to)
{
    const int error = renameWithoutReplacingByCall(folder, from, to);
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP && error != EOPNOTSUPP) {
        return error;
    }
    // The file system cannot refuse to replace in one step: a hard link fails on an existing
    // name without touching it, then the old name goes.
    if (linkat(folder, from.c_str(), folder, to.c_str(), 0) == 0) {
        if (unlinkat(folder, from.c_str(), 0) != 0) {
            const int unlinkError = lastError();
            unlinkat(folder, to.c_str(), 0);
            return unlinkError;
        }
        return 0;
    }
    const int linkError = lastError();
    if (linkError != EPERM && linkError != ENOTSUP && linkError != EOPNOTSUPP && linkError != EMLINK) {
        return linkError;
    }
    // Neither is available (a directory, or a file system without hard links): the best that
    // remains is a test right before the rename.
    struct stat info {};
    if (fstatat(folder, to.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        return EEXIST;
    }
    return renameat(folder, from.c_str(), folder, to.c_str()) == 0 ? 0 : lastError();
}

int renameNoReplace(const std::string& from, const std::string& to)
{
    return renameNoReplaceAt(AT_FDCWD, from, to);
}

int setPermissions(const std::string& path, bool readable, bool writable)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return lastError();
    }
    mode_t mode = info.st_mode & 07777;
    if (readable) {
        mode |= S_IRUSR;
        if (S_ISDIR(info.st_mode)) {
            mode |= S_IXUSR;
        }
    }
    if (writable) {
        mode |= S_IWUSR;
    } else {
        mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
    }
    return chmod(path.c_str(), mode) == 0 ? 0 : lastError();
}

int setFileTimes(const std::string& path, std::optional<int64_t> accessTime, std::optional<int64_t> writeTime)
{
    struct timespec times[2];
    times[0] = toTimespec(accessTime.value_or(0));
    times[1] = toTimespec(writeTime.value_or(0));
    if (!accessTime) {
        times[0].tv_nsec = UTIME_OMIT;
    }
    if (!writeTime) {
        times[1].tv_nsec = UTIME_OMIT;
    }
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 ? 0 : lastError();
}

int setFileTimesToNow(const std::string& path)
{
    return utimensat(AT_FDCWD, path.c_str(), nullptr, 0) == 0 ? 0 : lastError();
}

std::FILE* openStream(const std::string& path, const char* mode)
{
    return std::fopen(path.c_str(), mode);
}

int seekStream(std::FILE* stream, int64_t offset, SeekOrigin origin)
{
    if (stream == nullptr) {
        return EBADF;
    }
    return fseeko(stream, static_cast<off_t>(offset), toWhence(origin)) == 0 ? 0 : lastError();
}

int64_t tellStream(std::FILE* stream)
{
    if (stream == nullptr) {
        return -1;
    }
    return static_cast<int64_t>(ftello(stream));
}

int syncStream(std::FILE* stream)
{
    if (stream == nullptr) {
        return EBADF;
    }
    if (std::fflush(stream) != 0) {
        return lastError();
    }
    return fsync(fileno(stream)) == 0 ? 0 : lastError();
}

int openFile(const std::string& path, OpenFlags flags, int& handle)
{
    int mode = O_CLOEXEC;
    const bool reading = (flags & OpenRead) != 0;
    const bool writing = (flags & (OpenWrite | OpenAppend | OpenTruncate)) != 0;
    mode |= reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
    if ((flags & OpenCreate) != 0) {
        mode |= O_CREAT;
        if ((flags & OpenExclusive) != 0) {
            mode |= O_EXCL;
        }
    }
    if ((flags & OpenTruncate) != 0) {
        mode |= O_TRUNC;
    }
    if ((flags & OpenAppend) != 0) {
        mode |= O_APPEND;
    }
    if ((flags & OpenNoFollow) != 0) {
        mode |= O_NOFOLLOW;
    }
    if ((flags & OpenNonBlocking) != 0) {
        mode |= O_NONBLOCK;
    }
    int descriptor;
    do {
        descriptor = open(path.c_str(), mode, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return lastError();
    }
    handle = descriptor;
    return 0;
}

int createExclusive(const std::string& path, int& handle)
{
    return openFile(path, OpenRead | OpenWrite | OpenCreate | OpenExclusive, handle);
}

int readFile(int handle, char* buffer, size_t size, size_t& bytesRead)
{
    bytesRead = 0;
    for (;;) {
        const ssize_t count = read(handle, buffer, size);
        if (count >= 0) {
            bytesRead = static_cast<size_t>(count);
            return 0;
        }
        if (errno != EINTR) {
            return lastError();
        }
    }
}

int writeFile(int handle, const char* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t count = write(handle, data + done, size - done);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return lastError();
        }
        done += static_cast<size_t>(count);
    }
    return 0;
}

int seekFile(int handle, int64_t offset, SeekOrigin origin, int64_t& position)
{
    const off_t result = lseek(handle, static_cast<off_t>(offset), toWhence(origin));
    if (result < 0) {
        return lastError();
    }
    position = static_cast<int64_t>(result);
    return 0;
}

int syncFile(int handle)
{
    return fsync(handle) == 0 ? 0 : lastError();
}

int syncDirectory(const std::string& path)
{
    const ScopedFile descriptor(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!descriptor.isOpen()) {
        return lastError();
    }
    const int result = fsync(descriptor.get()) == 0 ? 0 : lastError();
    // Some file systems cannot sync a directory; their entries are as safe as they get.
    return result == EINVAL || result == EROFS ? 0 : result;
}

int lockFile(int handle)
{
    int result;
    do {
        result = flock(handle, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : lastError();
}

int unlockFile(int handle)
{
    return flock(handle, LOCK_UN) == 0 ? 0 : lastError();
}

int closeFile(int handle)
{
    // A close interrupted by a signal has released the descriptor on Linux: never repeat it.
    if (close(handle) != 0 && errno != EINTR) {
        return lastError();
    }
    return 0;
}

}  // namespace KelvraCorelib::Platform
