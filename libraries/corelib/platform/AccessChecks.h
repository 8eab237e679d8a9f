#pragma once
// Who else may change a path: the checks that keep a run (usually as the superuser) from
// being redirected by another account through links or folders that account can change,
// and an input file opened so that the file checked is the file read and removed.
//
//   OwnFile input;
//   if (openOwnFile("/var/spool/out.txt", input).fault == AccessFault::none) {
//       readFile(input.handle.get(), ...);   // FileSystem.h
//       removeOwnFile(input);
//   }
//   closeOwnFile(input);
//
// POSIX: a folder is trusted when the superuser or the running account owns it and it is
// not writable by group or others (unless sticky); a link is followed only when one of them
// owns it. Windows: links are name-surrogate reparse points, followed only when SYSTEM,
// Administrators or the running account owns them; folders' owners and access lists are not
// examined, an input file's access list gives its readers.

#include <cstdint>
#include <string>

#include "corelib/platform/FileSystem.h"

namespace KelvraCorelib::Platform {

// Who may read a file besides its owner.
enum class FileReaders { owner, ownerAndGroup, everyone };

enum class AccessFault {
    none,
    missing,         // the entry does not exist
    unexaminable,    // its status could not be read or it could not be opened (error)
    link,            // the entry is a link where none may be
    foreignLink,     // a link on the way that another account owns
    foreignMountPoint,  // a volume mount point on the way that another account owns (Windows)
    notDirectory,    // a folder on the way is something else
    notRegularFile,  // a FIFO, device, socket or folder where a file must be
    foreignOwner,    // owned by an account other than the superuser and the running one
    openToOthers,    // writable by group or others, without the sticky bit
};

struct AccessFinding {
    AccessFault fault = AccessFault::none;
    std::string path;  // the entry the finding is about
    int error = 0;     // the platform's error number for missing and unexaminable
};

// True when the process runs as the superuser (root; an elevated administrator on Windows).
bool runsAsSuperuser();

// Walks the directory from the root of the file system (a relative path from the current
// directory), one level at a time and never through a link it may not follow, and checks
// every level it reaches, the directory itself included. The first missing level ends the
// walk with fault missing.
AccessFinding examineDirectoryChain(const std::string& path);

// An input file opened by openOwnFile.
struct OwnFile {
    ScopedFile handle;  // for FileSystem.h's readFile
    ScopedFile folder;  // the folder's descriptor where the platform has one
    std::string name;
    uint64_t device = 0;
    uint64_t node = 0;
    FileReaders readers = FileReaders::everyone;
};

// Opens a regular file that the running account owns, for reading, in a folder that
// examineDirectoryChain accepts: without following a link at the file's own name and
// without waiting (a FIFO is refused, never opened for long).
AccessFinding openOwnFile(const std::string& path, OwnFile& file);
// Removes the file's name while it still names the file that was opened.
int removeOwnFile(const OwnFile& file);
void closeOwnFile(OwnFile& file);

}  // namespace KelvraCorelib::Platform
