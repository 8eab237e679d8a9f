// POSIX code only: owner-only folders and files, their check, a waiting lock.
#include "corelib/platform/PrivateFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KelvraCorelib::Platform {

int makePrivateDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) != 0) {
        return errno;
    }
    // The process's umask may have taken bits, never added some; chmod makes it exact.
    return chmod(path.c_str(), 0700) == 0 ? 0 : errno;
}

std::string privacyProblem(const std::string& path, PrivateEntry kind)
{
    const bool directory = kind == PrivateEntry::folder;
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return std::string("cannot be read for its status (") + std::strerror(errno) + ")";
    }
    if (S_ISLNK(status.st_mode)) {
        return "is a symbolic link";
    }
    if (directory ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) {
        return directory ? "is not a folder" : "is not a regular file";
    }
    if (status.st_uid != geteuid()) {
        return "is owned by another account (uid " + std::to_string(status.st_uid) + ", this run is uid " +
               std::to_string(geteuid()) + ")";
    }
    const bool readable = kind == PrivateEntry::publicFile;
    if ((status.st_mode & (readable ? 022 : 077)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(status.st_mode & 07777));
        return std::string(readable ? "can be changed" : "can be read or changed") + " by other accounts (mode " +
               mode + ", needs " + (directory ? "0700" : readable ? "0644" : "0600") + ")";
    }
    return std::string();
}

int lockFileWaiting(int handle)
{
    int result;
    do {
        result = flock(handle, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

std::string defaultSealDirectory()
{
    return "/var/lib/trawlex/seal";
}

}  // namespace KelvraCorelib::Platform
