#pragma once
// Files, directories, links and time stamps of the file system, and a small interface to
// open files named by an integer handle.
//
// Paths are native path texts. Functions that can fail return 0 or the platform's error
// number; the is... predicates below classify such a number.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace KelvraCorelib::Platform {

// ---- Error numbers ------------------------------------------------------------------------

bool isNotFound(int error);        // the path or one of its directories does not exist
bool isAlreadyExists(int error);   // the target exists
bool isAccessDenied(int error);    // permissions or a read-only file system refuse it
bool isCrossDevice(int error);     // a rename between two file systems
bool isLockedElsewhere(int error); // lockFile: another open file holds the lock
std::string errorText(int error);

// ---- Status and queries -------------------------------------------------------------------

struct FileStatus {
    bool isDirectory = false;
    bool isRegular = false;
    bool isSymbolicLink = false;  // only from linkStatus
    uint64_t size = 0;
    uint64_t device = 0;
    uint64_t node = 0;
    int64_t lastAccessTime = 0;  // milliseconds since 1970-01-01T00:00:00Z
    int64_t lastWriteTime = 0;
};

// The status of the path, following symbolic links.
int fileStatus(const std::string& path, FileStatus& status);
// The status of the path itself (a symbolic link is reported as such).
int linkStatus(const std::string& path, FileStatus& status);

// The access test for existence.
bool pathExists(const std::string& path);
bool canRead(const std::string& path);

// True when both paths can be read for their status and name the same file.
bool isSameFile(const std::string& a, const std::string& b);

// The target text of a symbolic link (on Windows also of a junction).
int readSymbolicLink(const std::string& path, std::string& target);

// The target path stored in a shell link (a Windows shortcut file), when that target exists.
// An error when the file is no link that can be read, its target is gone, or the platform
// has no shell links (POSIX).
int readShellLink(const std::string& path, std::string& target);
int readShellLink(const std::u16string& path, std::u16string& target);

// The process's current directory.
int currentDirectory(std::string& path);

// The system's Windows directory; empty where there is none.
std::string windowsDirectory();

// The long form of a path; the path itself where the platform has no short names.
int longPathName(const std::string& path, std::string& longPath);

// The longest name, in bytes, that an entry of the directory may have on its file system
// (0 when the system sets no limit).
int maxNameLength(const std::string& directory, size_t& length);

// ---- Directories --------------------------------------------------------------------------

struct DirectoryEntry {
    std::string name;
    bool isDirectory = false;     // following a symbolic link
    bool isSymbolicLink = false;
    bool isRegular = false;       // a regular file itself, never through a link
};

// Every entry of the directory except "." and "..", in the order the system gives them; with
// a name prefix, only the entries whose names start with it (byte for byte), so that a large
// folder costs no more than reading it.
int listDirectory(const std::string& path, std::vector<DirectoryEntry>& entries,
                  const std::string& namePrefix = std::string());

// A new directory that its owner may change and everyone may read and search, whatever the
// process's file creation mask (Windows: OwnerAccess.h's protected access list, Users read).
int makeDirectory(const std::string& path);
int removeEmptyDirectory(const std::string& path);

// ---- Files --------------------------------------------------------------------------------

// Removes a file or a symbolic link (never the target of a link).
int removeFile(const std::string& path);

// Renames, replacing an existing target atomically.
int renameReplacing(const std::string& from, const std::string& to);

// Renames only when the target does not exist; an existing target gives an error that
// isAlreadyExists accepts and is never replaced, even when it appears during the call.
// Where the file system cannot rename without replacing, a file is linked under the new
// name and the old name removed. Windows: a reparse point (link, junction) is never renamed.
int renameNoReplace(const std::string& from, const std::string& to);

// Sets the owner's read permission when readable, and the write permission when writable;
// without writable every write permission is removed (the file becomes read-only).
int setPermissions(const std::string& path, bool readable, bool writable);

// Milliseconds since 1970-01-01T00:00:00Z; a time not given is left as it is.
int setFileTimes(const std::string& path, std::optional<int64_t> accessTime, std::optional<int64_t> writeTime);
// Both time stamps to the current time.
int setFileTimesToNow(const std::string& path);

// ---- Stdio streams (positions are 64-bit) -------------------------------------------------

// fopen with the modes "r", "w", "a", each with "+", "b" and (for "w") "x", the exclusive
// create. The file may be renamed or removed while the stream is open.
std::FILE* openStream(const std::string& path, const char* mode);


// Where a seek's offset counts from.
enum class SeekOrigin { start, current, end };

int seekStream(std::FILE* stream, int64_t offset, SeekOrigin origin);
int64_t tellStream(std::FILE* stream);  // -1 on failure
// Flushes the stream and forces its data to the storage device.
int syncStream(std::FILE* stream);

// ---- Files by handle ----------------------------------------------------------------------
//
//   int handle = -1;
//   if (createExclusive(path, handle) == 0) {  // fails when the path exists
//       writeFile(handle, text.data(), text.size());
//       syncFile(handle);
//       closeFile(handle);
//   }

// Combined with |, which keeps the type.
enum OpenFlags : unsigned {
    OpenNone = 0,
    OpenRead = 1,
    OpenWrite = 2,
    OpenCreate = 4,     // create the file when it is missing
    OpenExclusive = 8,  // with OpenCreate: fail when the file exists
    OpenTruncate = 16,
    OpenAppend = 32,    // every write goes to the end
    OpenNoFollow = 64,  // a symbolic link (a reparse point) as the last part is not followed
    OpenNonBlocking = 128,  // never wait in the open: a FIFO without a writer opens at once
};

constexpr OpenFlags operator|(OpenFlags a, OpenFlags b)
{
    return static_cast<OpenFlags>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

// Opens with a combination of OpenFlags; new files get the default permissions.
int openFile(const std::string& path, OpenFlags flags, int& handle);
// openFile(path, OpenRead | OpenWrite | OpenCreate | OpenExclusive, handle).
int createExclusive(const std::string& path, int& handle);

// One read of up to size bytes; bytesRead 0 at the end of the file.
int readFile(int handle, char* buffer, size_t size, size_t& bytesRead);
// Writes all bytes (repeating short writes).
int writeFile(int handle, const char* data, size_t size);
// position receives the new position.
int seekFile(int handle, int64_t offset, SeekOrigin origin, int64_t& position);
int syncFile(int handle);
// Forces the directory's entries (names created, renamed or removed) to the storage device.
int syncDirectory(const std::string& path);
// An exclusive advisory lock that does not wait: a lock held through another open file
// gives an error that isLockedElsewhere accepts. Closing the handle releases it.
int lockFile(int handle);
int unlockFile(int handle);
int closeFile(int handle);

// The one owner of a handle: closed at the end of its scope, moved but never copied
// (-1: none). value may be passed where a call opens into an int&.
struct ScopedFile {
    int value = -1;
    ScopedFile() = default;
    explicit ScopedFile(int handle) : value(handle) {}
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;
    ScopedFile(ScopedFile&& other) noexcept : value(other.release()) {}
    ScopedFile& operator=(ScopedFile&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~ScopedFile() { reset(); }

    bool isOpen() const { return value >= 0; }
    int get() const { return value; }
    // Gives the handle up without closing it.
    int release()
    {
        const int handle = value;
        value = -1;
        return handle;
    }
    // Closes the handle held (if any) and takes handle; the close's error number, 0 if none.
    int reset(int handle = -1)
    {
        const int old = value;
        value = handle;
        return old >= 0 ? closeFile(old) : 0;
    }
};

}  // namespace KelvraCorelib::Platform
