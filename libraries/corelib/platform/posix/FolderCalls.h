#pragma once
// POSIX code only: the calls of FileSystem.cpp that DataLogFiles.cpp's Folder makes on an open
// folder.

#include <string>
#include <vector>

#include <dirent.h>

#include "corelib/platform/FileSystem.h"

namespace KelvraCorelib::Platform {

// The entries of an open directory stream (listDirectory's rules), which it closes.
int listOpenDirectory(DIR* directory, std::vector<DirectoryEntry>& entries, const std::string& namePrefix);

// renameNoReplace of two entries of the folder open under folder (AT_FDCWD: the working
// directory).
int renameNoReplaceAt(int folder, const std::string& from, const std::string& to);

}  // namespace KelvraCorelib::Platform
