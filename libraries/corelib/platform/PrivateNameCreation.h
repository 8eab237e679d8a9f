#pragma once
// The named way of createLockedExclusive (DataLogFiles.h), the same on every platform: the
// file is created under a private name in folder, locked and renamed to path without
// replacing anything; the private name is removed on every failure.

#include <functional>
#include <string>

namespace KelvraCorelib::Platform {

// create makes the file at the name it is given exclusively (0 or the error number); folder
// is path's directory with its trailing separator, empty for a bare name.
int createUnderPrivateName(const std::string& path, const std::string& folder,
                           const std::function<int(const std::string& name, int& handle)>& create, int& handle);

}  // namespace KelvraCorelib::Platform
