// POSIX only: the registry as a folder tree (keys are folders, values are files).
#include "corelib/platform/RegistryStore.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <new>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

#include "corelib/platform/Environment.h"

namespace KelvraCorelib::Platform {

namespace {

const char* const defaultStoreFolder = "/var/lib/trawlex/registry";
const char* const storeFolderVariable = "TRAWLEX_REGISTRY_DIR";

struct OpenKey {
    std::string folder;
    uint32_t access = 0;
};

std::mutex& keyTableLock()
{
    static std::mutex lock;
    return lock;
}

std::map<RegistryKeyHandle, OpenKey>& keyTable()
{
    static std::map<RegistryKeyHandle, OpenKey> table;
    return table;
}

std::atomic<RegistryKeyHandle> nextHandle{1};
std::atomic<uint64_t> nextTemporary{1};

int32_t resultOfErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return registryFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return registryAccessDenied;
    case ENOMEM:
        return registryOutOfMemory;
    default:
        return registryIoFailed;
    }
}

// A name as a file name: ASCII letters folded to lower case, unsafe bytes as "%XX".
std::string encodeName(const std::string& name)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 'A' && c <= 'Z')
            encoded += static_cast<char>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == ' ' ||
                 (c == '.' && i > 0))
            encoded += static_cast<char>(c);
        else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0x0F];
        }
    }
    return encoded;
}

std::string currentUserName()
{
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr && found->pw_name[0] != '\0')
        return found->pw_name;
    return std::to_string(static_cast<unsigned long>(::geteuid()));
}

bool hiveFolder(uint32_t hive, std::string& folder)
{
    std::string store = registryStoreFolder();
    switch (hive) {
    case hiveClassesRoot:
        folder = store + "/HKEY_CLASSES_ROOT";
        return true;
    case hiveCurrentUser:
        folder = store + "/HKEY_USERS/" + encodeName(currentUserName());
        return true;
    case hiveLocalMachine:
        folder = store + "/HKEY_LOCAL_MACHINE";
        return true;
    case hiveUsers:
        folder = store + "/HKEY_USERS";
        return true;
    case hivePerformanceData:
        folder = store + "/HKEY_PERFORMANCE_DATA";
        return true;
    case hiveCurrentConfig:
        folder = store + "/HKEY_CURRENT_CONFIG";
        return true;
    default:
        return false;
    }
}

// The key's folder below its hive's folder; counts the non-empty parts of the path.
std::string keyFolder(const std::string& hive, const std::string& keyPath, size_t& parts)
{
    std::string folder = hive;
    parts = 0;
    size_t start = 0;
    while (start <= keyPath.size()) {
        size_t end = keyPath.find('\\', start);
        if (end == std::string::npos)
            end = keyPath.size();
        if (end > start) {
            folder += '/';
            folder += encodeName(keyPath.substr(start, end - start));
            ++parts;
        }
        start = end + 1;
    }
    return folder;
}

// Creates the folder and its missing parents.
int32_t makeFolders(const std::string& folder)
{
    for (size_t position = 1; position <= folder.size(); ++position) {
        if (position < folder.size() && folder[position] != '/')
            continue;
        const std::string prefix = folder.substr(0, position);
        if (::mkdir(prefix.c_str(), 0755) == 0)
            continue;
        const int error = errno;
        if (error != EEXIST)
            return resultOfErrno(error);
        struct stat status;
        if (::stat(prefix.c_str(), &status) != 0)
            return resultOfErrno(errno);
        if (!S_ISDIR(status.st_mode))
            return registryIoFailed;
    }
    return registrySuccess;
}

int32_t checkKeyFolder(const std::string& folder, uint32_t access)
{
    struct stat status;
    if (::stat(folder.c_str(), &status) != 0)
        return resultOfErrno(errno);
    if (!S_ISDIR(status.st_mode))
        return registryFileNotFound;
    if ((access & registryQueryValueRight) != 0 && ::access(folder.c_str(), R_OK | X_OK) != 0)
        return resultOfErrno(errno);
    if ((access & registrySetValueRight) != 0 && ::access(folder.c_str(), W_OK | X_OK) != 0)
        return resultOfErrno(errno);
    return registrySuccess;
}

RegistryKeyHandle addOpenKey(const std::string& folder, uint32_t access)
{
    const RegistryKeyHandle handle = nextHandle++;
    std::lock_guard<std::mutex> guard(keyTableLock());
    keyTable()[handle] = OpenKey{folder, access};
    return handle;
}

bool findOpenKey(RegistryKeyHandle handle, OpenKey& key)
{
    std::lock_guard<std::mutex> guard(keyTableLock());
    const auto found = keyTable().find(handle);
    if (found == keyTable().end())
        return false;
    key = found->second;
    return true;
}

int32_t openOrCreate(uint32_t hive, const std::string& keyPath, uint32_t access, RegistryKeyHandle& handle,
                     bool create)
{
    handle = 0;
    std::string hiveRoot;
    if (!hiveFolder(hive, hiveRoot))
        return registryInvalidHandle;
    try {
        size_t parts = 0;
        const std::string folder = keyFolder(hiveRoot, keyPath, parts);
        if (create) {
            const int32_t made = makeFolders(folder);
            if (made != registrySuccess)
                return made;
        }
        // The hive itself always exists, even before anything was written to it.
        if (parts > 0 || create) {
            const int32_t checked = checkKeyFolder(folder, access);
            if (checked != registrySuccess)
                return checked;
        }
        handle = addOpenKey(folder, access);
        return registrySuccess;
    } catch (const std::bad_alloc&) {
        return registryOutOfMemory;
    }
}

bool writeAll(int descriptor, const char* bytes, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

int32_t readWholeFile(const std::string& path, std::string& content)
{
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return resultOfErrno(errno);
    content.clear();
    char chunk[4096];
    int32_t result = registrySuccess;
    for (;;) {
        const ssize_t got = ::read(descriptor, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // A folder where a value was expected reads as no value.
            result = errno == EISDIR ? registryFileNotFound : resultOfErrno(errno);
            break;
        }
        if (got == 0)
            break;
        content.append(chunk, static_cast<size_t>(got));
    }
    ::close(descriptor);
    return result;
}

// "<type>\n<bytes>": false when the header is not a decimal type and a line feed.
bool parseValueFile(const std::string& content, uint32_t& type, size_t& dataStart)
{
    uint64_t number = 0;
    size_t position = 0;
    while (position < content.size() && content[position] >= '0' && content[position] <= '9') {
        number = number * 10 + static_cast<uint64_t>(content[position] - '0');
        if (number > 0xFFFFFFFFull)
            return false;
        ++position;
    }
    if (position == 0 || position >= content.size() || content[position] != '\n')
        return false;
    type = static_cast<uint32_t>(number);
    dataStart = position + 1;
    return true;
}

}  // namespace

std::string registryStoreFolder()
{
    std::string folder;
    if (environmentVariable(storeFolderVariable, folder) && !folder.empty())
        return folder;
    return defaultStoreFolder;
}

int32_t registryOpenKey(uint32_t hive, const std::string& keyPath, uint32_t access, RegistryKeyHandle& handle)
{
    return openOrCreate(hive, keyPath, access, handle, false);
}

int32_t registryCreateKey(uint32_t hive, const std::string& keyPath, uint32_t access, RegistryKeyHandle& handle)
{
    return openOrCreate(hive, keyPath, access, handle, true);
}

int32_t registryQueryValue(RegistryKeyHandle handle, const std::string& valueName, uint32_t& type, char* buffer,
                           uint32_t& size)
{
    OpenKey key;
    if (!findOpenKey(handle, key))
        return registryInvalidHandle;
    if ((key.access & registryQueryValueRight) == 0)
        return registryAccessDenied;
    try {
        std::string content;
        const int32_t read = readWholeFile(key.folder + "/@" + encodeName(valueName), content);
        if (read != registrySuccess)
            return read;
        uint32_t storedType = 0;
        size_t dataStart = 0;
        if (!parseValueFile(content, storedType, dataStart))
            return registryIoFailed;
        const size_t length = content.size() - dataStart;
        if (length > 0xFFFFFFFFull)
            return registryIoFailed;
        if (length > size || (length > 0 && buffer == nullptr)) {
            size = static_cast<uint32_t>(length);
            return registryMoreData;
        }
        if (length > 0)
            std::memcpy(buffer, content.data() + dataStart, length);
        type = storedType;
        size = static_cast<uint32_t>(length);
        return registrySuccess;
    } catch (const std::bad_alloc&) {
        return registryOutOfMemory;
    }
}

int32_t registrySetValue(RegistryKeyHandle handle, const std::string& valueName, uint32_t type, const char* bytes,
                         uint32_t size)
{
    OpenKey key;
    if (!findOpenKey(handle, key))
        return registryInvalidHandle;
    if ((key.access & registrySetValueRight) == 0)
        return registryAccessDenied;
    if (size > 0 && bytes == nullptr)
        return registryInvalidParameter;
    try {
        const std::string target = key.folder + "/@" + encodeName(valueName);
        // Names that start with "." are never keys or values.
        const std::string temporary = key.folder + "/.tmp-" + std::to_string(static_cast<long>(::getpid())) + "-" +
                                      std::to_string(nextTemporary++);
        const int descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (descriptor < 0)
            return resultOfErrno(errno);
        const std::string header = std::to_string(type) + "\n";
        bool written = writeAll(descriptor, header.data(), header.size()) && writeAll(descriptor, bytes, size) &&
                       ::fsync(descriptor) == 0;
        int error = written ? 0 : errno;
        if (::close(descriptor) != 0 && written) {
            written = false;
            error = errno;
        }
        if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
            written = false;
            error = errno;
        }
        if (!written) {
            ::unlink(temporary.c_str());
            return resultOfErrno(error);
        }
        return registrySuccess;
    } catch (const std::bad_alloc&) {
        return registryOutOfMemory;
    }
}

int32_t registryCloseKey(RegistryKeyHandle handle)
{
    std::lock_guard<std::mutex> guard(keyTableLock());
    return keyTable().erase(handle) == 1 ? registrySuccess : registryInvalidHandle;
}

}  // namespace KelvraCorelib::Platform
