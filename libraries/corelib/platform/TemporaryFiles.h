#pragma once
// A temporary file that has no name: only the handle reaches it, and it is gone when the
// handle is closed (also when the process dies).
//
//   ScopedFile spill;
//   if (createUnnamedTemporaryFile(spill.value) == 0) ... writeFile, seekFile, readFile
//
// Results are 0 or the platform's error number (classified by FileSystem.h's is... tests).

namespace KelvraCorelib::Platform {

// Opens a new file for reading and writing in the system's temporary folder (POSIX: TMPDIR,
// else /tmp; Windows: the account's temporary folder), readable and writable by its owner
// only. POSIX makes it without a name where the file system can, else under a fresh private
// name that is removed at once; Windows deletes it on close.
int createUnnamedTemporaryFile(int& handle);

}  // namespace KelvraCorelib::Platform
