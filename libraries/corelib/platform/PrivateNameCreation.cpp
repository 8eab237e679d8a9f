#include "corelib/platform/PrivateNameCreation.h"

#include <atomic>

#include "corelib/platform/DataLogFiles.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/Process.h"

namespace KelvraCorelib::Platform {

namespace {

std::atomic<unsigned> privateNameCount{0};

}  // namespace

int createUnderPrivateName(const Folder& folder, const std::string& name,
                           const std::function<int(const std::string& entry, int& handle)>& create, int& handle)
{
    // A private name that no working-file pattern matches.
    std::string temporary;
    ScopedFile descriptor;
    int error = 0;
    for (int attempt = 0; attempt < 100 && !descriptor.isOpen(); ++attempt) {
        temporary = ".working-" + std::to_string(currentProcessId()) + "-" +
                    std::to_string(privateNameCount++) + ".new";
        error = create(temporary, descriptor.value);
        if (error != 0 && !isAlreadyExists(error)) {
            return error;
        }
    }
    if (!descriptor.isOpen()) {
        return error;
    }
    error = lockFile(descriptor.get());
    if (error == 0) {
        error = folder.renameNoReplace(temporary, name);
    }
    if (error != 0) {
        descriptor.reset();
        folder.remove(temporary);
        return error;
    }
    handle = descriptor.release();
    return 0;
}

}  // namespace KelvraCorelib::Platform
