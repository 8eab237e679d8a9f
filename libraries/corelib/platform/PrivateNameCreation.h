#pragma once
// The named way of Folder::createLockedExclusive (DataLogFiles.h), the same on every
// platform: the file is created under a private name in the folder, locked and renamed to
// name without replacing anything; the private name is removed on every failure.

#include <functional>
#include <string>

namespace KelvraCorelib::Platform {

class Folder;

// create makes the folder's entry of the name it is given exclusively (0 or the error number).
int createUnderPrivateName(const Folder& folder, const std::string& name,
                           const std::function<int(const std::string& entry, int& handle)>& create, int& handle);

}  // namespace KelvraCorelib::Platform
