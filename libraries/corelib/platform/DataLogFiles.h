#pragma once
// File calls of the data log writer that the general file interface (FileSystem.h) lacks:
// an exclusive create whose file is already locked when its name appears, opening an entry
// of a shared folder without following links or waiting, the status of an open handle,
// truncation through a handle, and the permissions of a new file.
//
//   int handle = -1;
//   if (createLockedExclusive(path, handle) == 0) { ... closeFile(handle); }   // FileSystem.h
//
// Results are 0 or the platform's error number (classified by FileSystem.h's is... tests).

#include <cstdint>
#include <string>

#include "corelib/platform/AccessChecks.h"
#include "corelib/platform/FileSystem.h"

namespace KelvraCorelib::Platform {

// Creates the file for reading and writing, readable and writable by its owner only,
// failing (isAlreadyExists) when the path exists,
// and holds an exclusive advisory lock on it (lockFile's kind) from before the name becomes
// visible, so that no other process can take the lock first. Where the file system cannot
// create an unnamed file, the file is created and locked under a short private name in the
// same directory (".working-" + process id + "-" + number + ".new") and then renamed to the
// path without replacing anything; the private name is removed on every failure.
// FileCreation::namedOnly always takes that named way (Windows has no other).
enum class FileCreation { unnamedWhereAvailable, namedOnly };
int createLockedExclusive(const std::string& path, int& handle,
                          FileCreation way = FileCreation::unnamedWhereAvailable);

// Why openOwnRegularFile refused an entry.
enum class EntryRefusal { none, symbolicLink, notRegularFile, otherOwner };

// Opens an existing entry for reading (and writing when writable) without following a
// symbolic link or reparse point in its last component and without waiting on a FIFO or a
// device. Only a regular file that the running account owns stays open; anything else gives
// a non-zero result with refusal telling why, and is never opened for use. Other failures
// (a missing entry) give their error number with refusal none.
enum class EntryAccess { readOnly, readWrite };
int openOwnRegularFile(const std::string& path, EntryAccess access, int& handle, EntryRefusal& refusal);

// The status of an open file.
int handleStatus(int handle, FileStatus& status);

// Cuts or extends the file to size bytes.
int truncateFile(int handle, uint64_t size);

// Sets the open file's permissions whatever the process's file creation mask: the owner
// reads and writes, the readers given read, nobody else writes (Windows: OwnerAccess.h's
// protected access list).
int setFileReaders(int handle, FileReaders readers);

}  // namespace KelvraCorelib::Platform
