#include "corelib/OwnInputFile.h"

#include "corelib/FileTools.h"

namespace KelvraCorelib {

std::string accessRefusal(const Platform::AccessFinding& finding)
{
    const std::string name = "\"" + finding.path + "\"";
    switch (finding.fault) {
    case Platform::AccessFault::link: return name + " is a symbolic link";
    case Platform::AccessFault::foreignLink: return name + " is a symbolic link owned by another account";
    case Platform::AccessFault::foreignMountPoint: return name + " is a mount point owned by another account";
    case Platform::AccessFault::notDirectory: return name + " is not a directory";
    case Platform::AccessFault::notRegularFile: return name + " is not a regular file";
    case Platform::AccessFault::foreignOwner: return name + " is owned by another account";
    case Platform::AccessFault::openToOthers:
        return name + " is writable by group or others without the sticky bit";
    case Platform::AccessFault::none:
    case Platform::AccessFault::missing:
    case Platform::AccessFault::unexaminable: break;
    }
    return std::string();
}

OwnInputFile::OwnInputFile(const std::string& path)
{
    refused = accessRefusal(Platform::openOwnFile(path, file));
}

OwnInputFile::~OwnInputFile()
{
    Platform::closeOwnFile(file);
}

bool OwnInputFile::readAll(std::string& bytes, uint64_t maxBytes, bool& tooLarge)
{
    tooLarge = false;
    return isOpen() && readToEnd(file.handle.get(), bytes, maxBytes, tooLarge) == 0 && !tooLarge;
}

bool OwnInputFile::remove()
{
    return isOpen() && Platform::removeOwnFile(file) == 0;
}

}  // namespace KelvraCorelib
