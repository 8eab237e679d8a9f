#include "datahandling/SealFiles.h"

#include "corelib/PathTools.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/PrivateFiles.h"
#include "corelib/platform/Process.h"

namespace KelvraCorelib::SealFiles {

namespace {

std::string failed(const std::string& what, const std::string& path, int error)
{
    return "cannot " + what + " \"" + path + "\" (" + Platform::errorText(error) + ")";
}

}  // namespace

std::string joined(const std::string& dir, const std::string& name)
{
    return addTrailingSeparator(dir) + name;
}

bool readAll(const std::string& path, std::string& bytes, std::string& problem)
{
    Platform::ScopedFile handle;
    int error = Platform::openFile(path, Platform::OpenRead | Platform::OpenNonBlocking, handle.value);
    if (error != 0) {
        problem = failed("open", path, error);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    for (;;) {
        size_t count = 0;
        error = Platform::readFile(handle.value, buffer, sizeof buffer, count);
        if (error != 0) {
            problem = failed("read", path, error);
            return false;
        }
        if (count == 0) {
            return true;
        }
        bytes.append(buffer, count);
    }
}

bool writeAtomically(const std::string& path, const std::string& bytes, std::string& problem)
{
    const std::string temporary = path + "." + std::to_string(Platform::currentProcessId()) + ".new";
    Platform::removeFile(temporary);  // a left-over of a crashed run of this process id
    {
        Platform::ScopedFile handle;
        int error = Platform::createPrivateFile(temporary, handle.value);
        if (error == 0) {
            error = Platform::writeFile(handle.value, bytes.data(), bytes.size());
        }
        if (error == 0) {
            error = Platform::syncFile(handle.value);
        }
        if (error != 0) {
            problem = failed("write", temporary, error);
            Platform::removeFile(temporary);
            return false;
        }
    }
    const int error = Platform::renameReplacing(temporary, path);
    if (error != 0) {
        problem = failed("replace", path, error);
        Platform::removeFile(temporary);
        return false;
    }
    const std::string parent = parentDirectory(path);
    Platform::syncDirectory(parent.empty() ? std::string(".") : parent);
    return true;
}

bool overwriteAt(const std::string& path, uint64_t offset, const std::string& bytes, std::string& problem)
{
    Platform::ScopedFile handle;
    int error = Platform::openFile(path, Platform::OpenRead | Platform::OpenWrite, handle.value);
    int64_t position = 0;
    if (error == 0) {
        error = Platform::seekFile(handle.value, int64_t(offset), Platform::SeekOrigin::start, position);
    }
    if (error == 0) {
        error = Platform::writeFile(handle.value, bytes.data(), bytes.size());
    }
    if (error == 0) {
        error = Platform::syncFile(handle.value);
    }
    if (error != 0) {
        problem = failed("overwrite", path, error);
        return false;
    }
    return true;
}

int readAt(int handle, uint64_t offset, size_t size, std::string& bytes)
{
    int64_t position = 0;
    int error = Platform::seekFile(handle, int64_t(offset), Platform::SeekOrigin::start, position);
    bytes.assign(size, '\0');
    size_t done = 0;
    while (error == 0 && done < size) {
        size_t count = 0;
        error = Platform::readFile(handle, bytes.data() + done, size - done, count);
        if (error == 0 && count == 0) {
            return -1;
        }
        done += count;
    }
    return error;
}

bool readAt(const std::string& path, uint64_t offset, size_t size, std::string& bytes, std::string& problem)
{
    Platform::ScopedFile handle;
    int error = Platform::openFile(path, Platform::OpenRead | Platform::OpenNonBlocking, handle.value);
    if (error == 0) {
        error = readAt(handle.value, offset, size, bytes);
    }
    if (error == -1) {
        problem = "\"" + path + "\" is too short";
        return false;
    }
    if (error != 0) {
        problem = failed("read", path, error);
        return false;
    }
    return true;
}

bool appendSynced(const std::string& path, const std::string& bytes, std::string& problem)
{
    Platform::ScopedFile handle;
    int error = Platform::openFile(path, Platform::OpenWrite | Platform::OpenAppend, handle.value);
    if (error == 0) {
        error = Platform::writeFile(handle.value, bytes.data(), bytes.size());
    }
    if (error == 0) {
        error = Platform::syncFile(handle.value);
    }
    if (error != 0) {
        problem = failed("append to", path, error);
        return false;
    }
    return true;
}

}  // namespace KelvraCorelib::SealFiles
