#pragma once
// Who may open a file or folder that trawlex made: its owner (on Windows also SYSTEM and the
// Administrators) changes it, the readers given may read it, nobody else writes.
//
//   int handle = -1;
//   if (createPrivateFile(path, handle) == 0) {        // owner only from its creation
//       restrictOpenFile(handle, FileReaders::everyone);   // as a 0644 file
//   }
//   restrictToOwnerAndAdministrators(folder);            // a folder of secrets: 0700
//
// POSIX: permission bits, set whatever the file creation mask. Windows: a protected access
// list (nothing inherited from the folder): full control for SYSTEM, Administrators and the
// running account, read (and, for folders, listing) for Users where others may read.
// Results are 0 or the platform's error number (FileSystem.h's is... tests).

#include <string>

#include "corelib/platform/AccessChecks.h"

namespace KelvraCorelib::Platform {

// Creates the file for reading and writing, failing (isAlreadyExists) when the path exists,
// open to its owner only from the start (POSIX 0600); the handle may change its access
// (restrictOpenFile), and the file may be renamed while open. Closed with FileSystem.h's
// closeFile.
int createPrivateFile(const std::string& path, int& handle);

// The open file's access: its owner reads and writes, the readers given read.
int restrictOpenFile(int handle, FileReaders readers);

// The same for the file or folder at path, never through a link (a link is refused);
// a folder's readers may also list and enter it.
int restrictPath(const std::string& path, FileReaders readers);

// restrictPath(path, FileReaders::owner): a file or folder (and, on Windows, what is made in
// the folder afterwards) that no other account may read or change.
int restrictToOwnerAndAdministrators(const std::string& path);

}  // namespace KelvraCorelib::Platform
