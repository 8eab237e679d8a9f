#pragma once
// Files and directories: queries, whole-file and stdio reads and writes, time stamps,
// shortcuts, listings, and creating, copying, moving and deleting with small retry loops.
//
// Paths are native path texts (see PathTools.h for the rule sets). None of these functions
// throws; each reports by its result (false, empty, 0 or the unchanged path).
//
//   std::string text;
//   if (readWholeFile("/etc/hostname", text)) ...
//   createDirectory("/tmp/a/b/");                 // every missing level; see createDirectory
//   moveFile("x.make", "x.data", false, 4096);    // never replaces a file that exists

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "corelib/ParamStream.h"
#include "corelib/PathTools.h"
#include "corelib/platform/FileSystem.h"

namespace KelvraCorelib {

class DateTime;

// Process-wide, true at start: while it is true, character reads of plain files (readChar,
// readWholeFile, BasicFile) skip CR bytes.
extern std::atomic<bool> dropCarriageReturns;

// Sets dropCarriageReturns for its lifetime and restores the previous value.
class CarriageReturnsSwitch {
public:
    explicit CarriageReturnsSwitch(bool drop) : saved(dropCarriageReturns.exchange(drop)) {}
    ~CarriageReturnsSwitch() { dropCarriageReturns = saved; }
    CarriageReturnsSwitch(const CarriageReturnsSwitch&) = delete;
    CarriageReturnsSwitch& operator=(const CarriageReturnsSwitch&) = delete;

private:
    bool saved;
};

// ---- Queries ------------------------------------------------------------------------------

// The access test for existence.
bool exists(const std::string& path);
// Not empty, its status can be read, and not a directory.
bool isFile(const std::string& path);
// One trailing separator is ignored (Windows: a bare drive "C:" is tested as "C:\").
bool isDirectory(const std::string& path);
// Size in bytes of a file that can be opened for reading; 0 otherwise.
uint64_t fileSize(const std::string& path);
// The longest name, in bytes, of an entry of the directory: what its file system allows,
// 255 when that cannot be learnt, SIZE_MAX when it sets no limit.
size_t longestNameIn(const std::string& dir);
// The extension, lower-cased, is "lnk".
bool isShortcut(const std::string& path, PathStyle style = PathStyle::Native);
bool isShortcut(const WideString& path, PathStyle style = PathStyle::Native);
// -1, 0 or 1: a missing file is smaller than a present one (both missing: 0); present files
// compare byte by byte as signed values, a shorter file being smaller when it is a prefix.
// A present file that cannot be read compares unequal.
int compareFiles(const std::string& a, const std::string& b);

// ---- Stdio streams and whole files --------------------------------------------------------

// One byte, skipping CR while dropCarriageReturns; false at the end of the file or on error.
bool readChar(std::FILE* stream, char& c);
// Replaces text with up to count bytes read with readChar; false only when count is not 0
// and nothing at all could be read.
bool readBytes(std::FILE* stream, size_t count, std::string& text);
// False on the first failed write.
bool writeChar(std::FILE* stream, char c);
bool writeText(std::FILE* stream, const std::string& text);
// The whole content (CR bytes dropped while dropCarriageReturns); false when the file
// cannot be opened or a read fails.
bool readWholeFile(const std::string& path, std::string& text);
// The same, for a file of at most maxBytes bytes: a longer one is not read on (false, with
// tooLarge set and text untouched).
bool readWholeFile(const std::string& path, std::string& text, uint64_t maxBytes, bool& tooLarge);
// Creates or truncates the file and writes the text; false when anything fails.
bool writeWholeFile(const std::string& text, const std::string& path);

// ---- Raw bytes by handle and by path ------------------------------------------------------
//
// Bytes as they are (CR bytes kept). The handle forms give 0 or the platform's error number;
// the path forms give false with a reason that names the file:
// "cannot read \"/x\" (No such file or directory)".

// Hands each chunk read from the handle's position to its end to take, until take returns false.
int readChunks(int handle, const std::function<bool(const char* data, size_t size)>& take,
               size_t chunkSize = 65536);
// Everything from the handle's position to its end, of at most maxBytes bytes: a longer
// content is not read on (tooLarge set, bytes untouched).
int readToEnd(int handle, std::string& bytes, uint64_t maxBytes, bool& tooLarge);
// Opens the lock file at path (created private when missing) and waits for its exclusive
// advisory lock, held until lock is closed. Gives 0 or the platform's error number.
int holdLockFile(const std::string& path, Platform::ScopedFile& lock);
// Writes all bytes at the handle's position and forces them to the storage device.
int writeSynced(int handle, const std::string& bytes);
// size bytes at offset (the handle's position moves); -1 when the file ends before.
int readAt(int handle, uint64_t offset, size_t size, std::string& bytes);

// A regular file only (opened without waiting), of at most maxBytes bytes.
bool readAll(const std::string& path, std::string& bytes, std::string& problem, uint64_t maxBytes = 16u << 20);
bool readAt(const std::string& path, uint64_t offset, size_t size, std::string& bytes, std::string& problem);
// Who may read a file that writeAtomically makes: its owner alone, or every account as the
// umask allows (files that monitoring reads).
enum class Readers { owner, asUmaskAllows };
// A new file beside path, synced, renamed over path, and the folder synced.
bool writeAtomically(const std::string& path, const std::string& bytes, std::string& problem,
                     Readers readers = Readers::owner);
// Writes bytes at offset of an existing file and syncs it.
bool overwriteAt(const std::string& path, uint64_t offset, const std::string& bytes, std::string& problem);
// Appends and syncs.
bool appendSynced(const std::string& path, const std::string& bytes, std::string& problem);

// ---- Time stamps and shortcuts ------------------------------------------------------------

// Set one time stamp of an existing file; true on success.
bool setLastAccessTime(const std::string& path, const DateTime& time);
bool setLastWriteTime(const std::string& path, const DateTime& time);

// Sets both time stamps of path to now; stampNow replaces the platform call for that when
// given. When they cannot be set and nothing exists at the path, an empty file is created;
// an existing file keeps its content. True when the time stamps were set or the file made.
bool touch(const std::string& path, const std::function<bool(const std::string&)>& stampNow = {});

// For a path whose extension is "lnk" and that is a shell link (Windows shortcut) whose
// target exists: the target path stored in the link. Otherwise, or on any failure, the path
// unchanged; on POSIX, which has no shell links, always the path unchanged.
std::string resolveShortcut(const std::string& path);
WideString resolveShortcut(const WideString& path);

// ---- Directories and file operations ------------------------------------------------------

// Called with the target path, whether the step succeeded, the amount done and the total.
using ProgressCallback = std::function<void(const std::string& target, bool success, uint64_t done, uint64_t total)>;

// Adds the names of dir's entries that match the glob pattern (case-sensitive) to
// directories (entries that are directories, links to directories included) or to files
// (all others); a set not given is skipped. False when dir is not a directory or cannot be
// read.
bool listDirectory(const std::string& dir, const std::string& pattern, std::set<std::string>* directories = nullptr,
                   std::set<std::string>* files = nullptr);
std::set<std::string> listFiles(const std::string& dir, const std::string& pattern);
std::set<std::string> listDirectories(const std::string& dir, const std::string& pattern);

struct FileTreeEntry {
    std::string path;  // dir + separator + relative path
    bool isDirectory = false;
    bool isSymbolicLink = false;  // never descended into
};

struct FileTree {
    std::vector<FileTreeEntry> entries;  // a directory before its contents
    uint64_t fileCount = 0;
    uint64_t directoryCount = 0;
    bool complete = true;  // false when some directory could not be read
};

// Every file and directory below dir whose name matches pattern; every real subdirectory
// is descended into, whether or not its own name matches.
FileTree walkTree(const std::string& dir, const std::string& pattern);

// Creates every missing directory level of the path's directory part: "a/b/" creates a and
// a/b, "a/b" (taken as a file path) only a. A level that is a shortcut leading to a directory
// counts as existing and is never created. True when every level exists afterwards.
bool createDirectory(const std::string& path);

enum AttributeFlags : int { Readable = 1, Writable = 2 };

// Read permission for Readable, write permission for Writable (without it the path becomes
// read-only). With recursive, every entry below a directory too (symbolic links are left
// alone); directories are reported to the callback, and a file that fails ends with false.
bool setAttributes(const std::string& path, int flags, bool recursive = false,
                   const ProgressCallback& callback = ProgressCallback());

// Up to 2 attempts, 25 ms apart; with force a file refused for lack of access is made
// writable and tried once more. A symbolic link is removed, never its target.
bool deleteFile(const std::string& path, bool force = false);

// Fails when path is not a directory (a symbolic link is not). With recursive the contents
// go first (clearDirectory). Up to 2 attempts, 25 ms apart.
bool removeDirectory(const std::string& path, bool recursive = false, bool force = false,
                     const ProgressCallback& callback = ProgressCallback());

// Deletes every file and removes every subdirectory in path (recursively with recursive);
// symbolic links are deleted as links, never followed. Each entry is reported.
bool clearDirectory(const std::string& path, bool recursive = false, bool force = false,
                    const ProgressCallback& callback = ProgressCallback());

// Copies a file in chunks of bufferSize (at least 1024) bytes, reporting each chunk. Fails
// when from is not a file, to exists and overwrite is false (also when it appears during the
// call), or from and to are the same file; a failed copy leaves no partial target. With
// verify the result is whether both files compare equal afterwards.
bool copyFile(const std::string& from, const std::string& to, bool overwrite = false, size_t bufferSize = 65536,
              bool verify = false, const ProgressCallback& callback = ProgressCallback());

// Renames a file; without overwrite a target that exists, or appears during the call, is
// never replaced; with it an existing file is replaced atomically (a directory is removed
// first). Between file systems: copyFile and then deleteFile of from.
bool moveFile(const std::string& from, const std::string& to, bool overwrite = false, size_t bufferSize = 65536,
              bool verify = false, const ProgressCallback& callback = ProgressCallback());

}  // namespace KelvraCorelib
