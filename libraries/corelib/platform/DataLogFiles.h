#pragma once
// File calls of the data log writer that the general file interface (FileSystem.h) lacks:
// an exclusive create whose file is already locked when its name appears, the status of an
// open handle, truncation through a handle, and the permissions of a new file.
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

// Creates the file for reading and writing, readable and writable by its owner only, failing (isAlreadyExists) when the path exists,
// and holds an exclusive advisory lock on it (lockFile's kind) from before the name becomes
// visible, so that no other process can take the lock first. Where the file system cannot
// create an unnamed file, the lock follows the exclusive create at once.
int createLockedExclusive(const std::string& path, int& handle);

// The status of an open file.
int handleStatus(int handle, FileStatus& status);

// Cuts or extends the file to size bytes.
int truncateFile(int handle, uint64_t size);

// Sets the open file's permissions whatever the process's file creation mask: the owner
// reads and writes, the readers given read, nobody else writes (Windows: left to the
// folder's access list).
int setFileReaders(int handle, FileReaders readers);

}  // namespace KelvraCorelib::Platform
