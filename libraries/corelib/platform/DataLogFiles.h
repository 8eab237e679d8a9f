#pragma once
// File calls of the data log writer that the general file interface (FileSystem.h) lacks:
// the entries of one folder acted on through that folder (an exclusive create whose file is
// already locked when its name appears, opening an entry of a shared folder without following
// links or waiting, renaming, removing), the status of an open handle, truncation through a
// handle, and the permissions of a new file.
//
//   Folder folder;
//   int handle = -1;
//   if (folder.open("/var/data") == 0 && folder.createLockedExclusive("a.make", handle) == 0) {
//       ... closeFile(handle);   // FileSystem.h
//   }
//
// Results are 0 or the platform's error number (classified by FileSystem.h's is... tests).

#include <cstdint>
#include <string>
#include <vector>

#include "corelib/platform/AccessChecks.h"
#include "corelib/platform/FileSystem.h"

namespace KelvraCorelib::Platform {

// Why Folder::openOwnRegularFile refused an entry.
enum class EntryRefusal { none, symbolicLink, notRegularFile, otherOwner };
enum class EntryAccess { readOnly, readWrite };
// How Folder::createLockedExclusive makes a file.
enum class FileCreation { unnamedWhereAvailable, namedOnly };

// The folder of the data log files, opened once: every call below acts on an entry of the
// folder that was opened, never again through the path, so that a folder renamed or replaced
// by a link meanwhile changes nothing. Names are entry names within the folder (no separator).
// Windows keeps the path and acts through it.
class Folder {
public:
    // Opens the folder at path (its trailing separator optional; "" is the current folder).
    int open(const std::string& path);
    bool isOpen() const { return opened; }

    // Creates the file for reading and writing, readable and writable by its owner only,
    // failing (isAlreadyExists) when the name exists, and holds an exclusive advisory lock on
    // it (lockFile's kind) from before the name becomes visible, so that no other process can
    // take the lock first. Where the file system cannot create an unnamed file, the file is
    // created and locked under a short private name in the folder (".working-" + process id +
    // "-" + number + ".new") and then renamed to the name without replacing anything; the
    // private name is removed on every failure. FileCreation::namedOnly always takes that named
    // way (Windows has no other).
    int createLockedExclusive(const std::string& name, int& handle,
                              FileCreation way = FileCreation::unnamedWhereAvailable) const;

    // Opens an existing entry for reading (and writing when writable) without following a
    // symbolic link or reparse point and without waiting on a FIFO or a device. Only a regular
    // file that the running account owns stays open; anything else gives a non-zero result
    // with refusal telling why, and is never opened for use. Other failures (a missing entry)
    // give their error number with refusal none.
    int openOwnRegularFile(const std::string& name, EntryAccess access, int& handle, EntryRefusal& refusal) const;

    // True when the entry itself (never a link's target) is the file open under handle.
    bool namesOpenFile(const std::string& name, int handle) const;
    // True when an entry of that name exists (a link counts as itself).
    bool hasEntry(const std::string& name) const;
    // listDirectory (FileSystem.h) of this folder.
    int list(std::vector<DirectoryEntry>& entries, const std::string& namePrefix) const;
    // renameNoReplace (FileSystem.h) within this folder.
    int renameNoReplace(const std::string& from, const std::string& to) const;
    int remove(const std::string& name) const;
    // syncDirectory (FileSystem.h) of this folder.
    int sync() const;

private:
    std::string location;  // with its trailing separator, "" for the current folder
    ScopedFile handle;     // POSIX: the folder's descriptor
    bool opened = false;
};

// The status of an open file.
int handleStatus(int handle, FileStatus& status);

// Cuts or extends the file to size bytes.
int truncateFile(int handle, uint64_t size);

// Sets the open file's permissions whatever the process's file creation mask: the owner
// reads and writes, the readers given read, nobody else writes (Windows: OwnerAccess.h's
// protected access list).
int setFileReaders(int handle, FileReaders readers);

}  // namespace KelvraCorelib::Platform
