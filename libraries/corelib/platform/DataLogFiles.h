#pragma once
// File calls of the data log writer that the general file interface (FileSystem.h) lacks:
// an exclusive create whose file is already locked when its name appears, the status of an
// open handle, and truncation through a handle.
//
//   int handle = -1;
//   if (createLockedExclusive(path, handle) == 0) { ... closeFile(handle); }   // FileSystem.h
//
// Results are 0 or the platform's error number (classified by FileSystem.h's is... tests).

#include <cstdint>
#include <string>

#include "corelib/platform/FileSystem.h"

namespace KelvraCorelib::Platform {

// Creates the file for reading and writing, failing (isAlreadyExists) when the path exists,
// and holds an exclusive advisory lock on it (lockFile's kind) from before the name becomes
// visible, so that no other process can take the lock first. Where the file system cannot
// create an unnamed file, the lock follows the exclusive create at once.
int createLockedExclusive(const std::string& path, int& handle);

// The status of an open file.
int handleStatus(int handle, FileStatus& status);

// Cuts or extends the file to size bytes.
int truncateFile(int handle, uint64_t size);

}  // namespace KelvraCorelib::Platform
