#pragma once
// Folders and files that only the running account may read or change (the seal's key
// store), and a lock that waits.
//
//   makePrivateDirectory(dir);                       // mode 0700 (Windows: SYSTEM, Administrators)
//   int handle = -1;
//   createPrivateFile(dir + "/secret", handle);      // mode 0600, fails when it exists
//   std::string why = privacyProblem(dir, PrivateEntry::folder);   // "" when private
//
// Results are 0 or the platform's error number (classified by FileSystem.h's is... tests).

#include <string>

#include "corelib/platform/OwnerAccess.h"  // createPrivateFile

namespace KelvraCorelib::Platform {

// Creates the folder for the running account only; an existing folder gives an error that
// isAlreadyExists accepts.
int makePrivateDirectory(const std::string& path);

// publicFile: a file that others may read but only its owner changes (a public key).
enum class PrivateEntry { file, folder, publicFile };

// Why the path is not private: not of the given kind, a symbolic link, owned by another
// account, or open to others for reading (but for a publicFile) or changing. "" when it is
// private. Where the platform offers no such test, "".
std::string privacyProblem(const std::string& path, PrivateEntry kind);

// The exclusive advisory lock of lockFile, waiting for another holder to release it.
int lockFileWaiting(int handle);

// The folder of the installation's key store: /var/lib/trawlex/seal on POSIX,
// %ProgramData%\Trawlex\seal on Windows.
std::string defaultSealDirectory();

}  // namespace KelvraCorelib::Platform
