// POSIX code only: folder walks from an open descriptor, owner and mode checks, and input
// files opened without following a link or waiting.
#include "corelib/platform/AccessChecks.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/LastError.h"

#include <cerrno>
#include <climits>
#include <deque>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace KelvraCorelib::Platform {

namespace {

#if defined(O_PATH)
constexpr int folderAccess = O_PATH;
#else
constexpr int folderAccess = O_RDONLY;
#endif

// Links followed in one walk before it gives up, as the kernel does.
constexpr int maxLinks = 40;

bool trustedOwner(uid_t owner)
{
    return owner == 0 || owner == geteuid();
}

bool openToOthers(const struct stat& info)
{
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0;
}

void splitInto(const std::string& path, std::deque<std::string>& parts, bool atFront)
{
    std::vector<std::string> found;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".") {
            found.push_back(part);
        }
        start = end + 1;
    }
    if (atFront) {
        parts.insert(parts.begin(), found.begin(), found.end());
    } else {
        parts.insert(parts.end(), found.begin(), found.end());
    }
}

std::string joined(const std::string& folder, const std::string& name)
{
    if (name == "..") {
        const size_t slash = folder.find_last_of('/');
        return slash == 0 || slash == std::string::npos ? std::string("/") : folder.substr(0, slash);
    }
    return folder == "/" ? "/" + name : folder + "/" + name;
}

AccessFinding finding(AccessFault fault, const std::string& path, int error = 0)
{
    AccessFinding result;
    result.fault = fault;
    result.path = path;
    result.error = error;
    return result;
}

AccessFinding checkFolder(const struct stat& info, const std::string& path)
{
    if (!S_ISDIR(info.st_mode)) {
        return finding(AccessFault::notDirectory, path);
    }
    if (!trustedOwner(info.st_uid)) {
        return finding(AccessFault::foreignOwner, path);
    }
    if (openToOthers(info)) {
        return finding(AccessFault::openToOthers, path);
    }
    return AccessFinding();
}

int openRoot(ScopedFile& folder)
{
    int descriptor;
    do {
        descriptor = open("/", folderAccess | O_DIRECTORY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return lastError();
    }
    folder.reset(descriptor);
    return 0;
}

// Walks to path one level at a time from the root; on success folder is the open directory
// the path names.
AccessFinding walkTo(const std::string& path, ScopedFile& folder)
{
    folder.reset();
    std::deque<std::string> pending;
    if (path.empty() || path[0] != '/') {
        std::vector<char> buffer(PATH_MAX + 1);
        if (getcwd(buffer.data(), buffer.size()) == nullptr) {
            return finding(AccessFault::unexaminable, ".", lastError());
        }
        splitInto(buffer.data(), pending, false);
    }
    splitInto(path, pending, false);

    ScopedFile current;
    if (const int error = openRoot(current); error != 0) {
        return finding(AccessFault::unexaminable, "/", error);
    }
    struct stat info {};
    if (fstat(current.get(), &info) != 0) {
        return finding(AccessFault::unexaminable, "/", lastError());
    }
    if (const AccessFinding root = checkFolder(info, "/"); root.fault != AccessFault::none) {
        return root;
    }
    std::string reached = "/";
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.front();
        pending.pop_front();
        const std::string next = joined(reached, name);
        if (fstatat(current.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int error = lastError();
            return finding(error == ENOENT ? AccessFault::missing : AccessFault::unexaminable, next, error);
        }
        if (S_ISLNK(info.st_mode)) {
            // The link's folder is trusted, so only its owner could have set where it leads.
            if (!trustedOwner(info.st_uid)) {
                return finding(AccessFault::foreignLink, next);
            }
            std::vector<char> target(PATH_MAX + 1);
            const ssize_t size = readlinkat(current.get(), name.c_str(), target.data(), target.size() - 1);
            if (size <= 0 || ++links > maxLinks) {
                return finding(AccessFault::unexaminable, next, size <= 0 ? lastError() : ELOOP);
            }
            const std::string text(target.data(), static_cast<size_t>(size));
            splitInto(text, pending, true);
            if (text[0] == '/') {
                current.reset();
                if (const int error = openRoot(current); error != 0) {
                    return finding(AccessFault::unexaminable, "/", error);
                }
                reached.assign(1, '/');
            }
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            return finding(AccessFault::notDirectory, next);
        }
        int child;
        do {
            child = openat(current.get(), name.c_str(), folderAccess | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        } while (child < 0 && errno == EINTR);
        if (child < 0) {
            return finding(AccessFault::unexaminable, next, lastError());
        }
        current.reset(child);
        if (fstat(current.get(), &info) != 0) {
            return finding(AccessFault::unexaminable, next, lastError());
        }
        if (const AccessFinding level = checkFolder(info, next); level.fault != AccessFault::none) {
            return level;
        }
        reached = next;
    }
    folder = std::move(current);
    return AccessFinding();
}

FileReaders readersOf(mode_t mode)
{
    if ((mode & S_IRGRP) != 0 && (mode & S_IROTH) != 0) {
        return FileReaders::everyone;
    }
    return (mode & S_IRGRP) != 0 ? FileReaders::ownerAndGroup : FileReaders::owner;
}

}  // namespace

bool runsAsSuperuser()
{
    return geteuid() == 0;
}

AccessFinding examineDirectoryChain(const std::string& path)
{
    ScopedFile folder;
    return walkTo(path, folder);
}

AccessFinding openOwnFile(const std::string& path, OwnFile& file)
{
    closeOwnFile(file);
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        return finding(AccessFault::notRegularFile, path);
    }
    ScopedFile folder;
    const AccessFinding walked = walkTo(parent, folder);
    if (walked.fault != AccessFault::none) {
        return walked;
    }
    struct stat info {};
    if (fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = lastError();
        return finding(error == ENOENT ? AccessFault::missing : AccessFault::unexaminable, path, error);
    }
    // Decided by the status, so that no FIFO or device is ever opened.
    if (S_ISLNK(info.st_mode)) {
        return finding(AccessFault::link, path);
    }
    if (!S_ISREG(info.st_mode)) {
        return finding(AccessFault::notRegularFile, path);
    }
    int descriptor;
    do {
        descriptor = openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        const int error = lastError();
        return finding(error == ELOOP ? AccessFault::link : AccessFault::unexaminable, path, error);
    }
    ScopedFile handle(descriptor);
    if (fstat(handle.get(), &info) != 0) {
        return finding(AccessFault::unexaminable, path, lastError());
    }
    if (!S_ISREG(info.st_mode)) {
        return finding(AccessFault::notRegularFile, path);
    }
    if (info.st_uid != geteuid()) {
        return finding(AccessFault::foreignOwner, path);
    }
    file.handle = std::move(handle);
    file.folder = std::move(folder);
    file.name = name;
    file.device = static_cast<uint64_t>(info.st_dev);
    file.node = static_cast<uint64_t>(info.st_ino);
    file.readers = readersOf(info.st_mode);
    return AccessFinding();
}

int removeOwnFile(const OwnFile& file)
{
    if (!file.folder.isOpen() || file.name.empty()) {
        return EBADF;
    }
    // The folder is one that no other account can change, so the name stays put in between.
    struct stat info {};
    if (fstatat(file.folder.get(), file.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return lastError();
    }
    if (static_cast<uint64_t>(info.st_dev) != file.device || static_cast<uint64_t>(info.st_ino) != file.node) {
        return ESTALE;  // another file has the name now: left alone
    }
    return unlinkat(file.folder.get(), file.name.c_str(), 0) == 0 ? 0 : lastError();
}

void closeOwnFile(OwnFile& file)
{
    file = OwnFile();
}

}  // namespace KelvraCorelib::Platform
