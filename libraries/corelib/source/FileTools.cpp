// Files and directories: queries, whole files, time stamps, shortcuts, listings and operations.
#include "corelib/FileTools.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <thread>

#include "corelib/DateTime.h"
#include "corelib/MatchGlob.h"
#include "corelib/StringTools.h"
#include "corelib/platform/DataLogFiles.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/PrivateFiles.h"
#include "corelib/platform/Process.h"

namespace KelvraCorelib {

std::atomic<bool> dropCarriageReturns{true};

namespace {

constexpr int attempts = 2;
constexpr std::chrono::milliseconds retryPause(25);
constexpr size_t minimumChunk = 1024;

// Closes a stdio stream when it goes out of scope, unless closed before.
class StreamCloser {
public:
    explicit StreamCloser(std::FILE* stream) : stream(stream) {}
    ~StreamCloser() { close(); }
    StreamCloser(const StreamCloser&) = delete;
    StreamCloser& operator=(const StreamCloser&) = delete;
    std::FILE* get() const { return stream; }
    bool close()
    {
        if (stream == nullptr) {
            return true;
        }
        const bool closed = std::fclose(stream) == 0;
        stream = nullptr;
        return closed;
    }

private:
    std::FILE* stream;
};

std::string failed(const std::string& what, const std::string& path, int error)
{
    return "cannot " + what + " \"" + path + "\" (" + Platform::errorText(error) + ")";
}

void report(const ProgressCallback& callback, const std::string& target, bool success, uint64_t done, uint64_t total)
{
    if (callback) {
        callback(target, success, done, total);
    }
}

bool isRealDirectory(const std::string& path)
{
    Platform::FileStatus status;
    return Platform::linkStatus(path, status) == 0 && status.isDirectory;
}

void walkInto(const std::string& dir, const std::string& pattern, FileTree& tree)
{
    std::vector<Platform::DirectoryEntry> entries;
    if (Platform::listDirectory(dir, entries) != 0) {
        tree.complete = false;
        return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const Platform::DirectoryEntry& a, const Platform::DirectoryEntry& b) { return a.name < b.name; });
    for (const Platform::DirectoryEntry& entry : entries) {
        const std::string path = joinPath(dir, entry.name);
        const bool realDirectory = entry.isDirectory && !entry.isSymbolicLink;
        if (matchGlob(entry.name, pattern)) {
            FileTreeEntry item;
            item.path = path;
            item.isDirectory = realDirectory;
            item.isSymbolicLink = entry.isSymbolicLink;
            tree.entries.push_back(item);
            if (realDirectory) {
                ++tree.directoryCount;
            } else {
                ++tree.fileCount;
            }
        }
        if (realDirectory) {
            walkInto(path, pattern, tree);
        }
    }
}

bool sameText(const std::string& a, const std::string& b)
{
    return normalisePath(a) == normalisePath(b);
}

}  // namespace

// ---- Queries ------------------------------------------------------------------------------

bool exists(const std::string& path)
{
    return !path.empty() && Platform::pathExists(path);
}

bool isFile(const std::string& path)
{
    Platform::FileStatus status;
    return !path.empty() && Platform::fileStatus(path, status) == 0 && !status.isDirectory;
}

bool isDirectory(const std::string& path)
{
    std::string text = path;
    toBackslashes(text);
    if (text.size() > 1 && isSeparator(text.back())) {
        text.pop_back();
    }
    if (effectiveStyle(PathStyle::Native) == PathStyle::Windows && text.size() == 2 && text[1] == ':') {
        text += separator();
    }
    Platform::FileStatus status;
    return !text.empty() && Platform::fileStatus(text, status) == 0 && status.isDirectory;
}

size_t longestNameIn(const std::string& dir)
{
    size_t length = 0;
    if (dir.empty() || Platform::maxNameLength(dir, length) != 0) {
        return 255;
    }
    return length == 0 ? SIZE_MAX : length;
}

uint64_t fileSize(const std::string& path)
{
    if (path.empty()) {
        return 0;
    }
    Platform::FileStatus status;
    if (Platform::fileStatus(path, status) != 0 || status.isDirectory) {
        return 0;
    }
    StreamCloser stream(Platform::openStream(path, "rb"));
    if (stream.get() == nullptr || Platform::seekStream(stream.get(), 0, Platform::SeekOrigin::end) != 0) {
        return 0;
    }
    const int64_t size = Platform::tellStream(stream.get());
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

bool isShortcut(const std::string& path, PathStyle style)
{
    std::string extension = extensionOf(path, style);
    return StringTools::toLower(extension) == "lnk";
}

bool isShortcut(const WideString& path, PathStyle style)
{
    WideString extension = extensionOf(path, style);
    return StringTools::toLower(extension) == u"lnk";
}

int compareFiles(const std::string& a, const std::string& b)
{
    const bool hasA = exists(a);
    const bool hasB = exists(b);
    if (!hasA || !hasB) {
        return hasA ? 1 : hasB ? -1 : 0;
    }
    StreamCloser first(Platform::openStream(a, "rb"));
    if (first.get() == nullptr) {
        return -1;
    }
    StreamCloser second(Platform::openStream(b, "rb"));
    if (second.get() == nullptr) {
        return 1;
    }
    std::vector<char> bufferA(65536);
    std::vector<char> bufferB(65536);
    for (;;) {
        const size_t countA = std::fread(bufferA.data(), 1, bufferA.size(), first.get());
        const size_t countB = std::fread(bufferB.data(), 1, bufferB.size(), second.get());
        if (std::ferror(first.get()) != 0) {
            return -1;
        }
        if (std::ferror(second.get()) != 0) {
            return 1;
        }
        const size_t common = std::min(countA, countB);
        for (size_t i = 0; i < common; ++i) {
            const signed char byteA = static_cast<signed char>(bufferA[i]);
            const signed char byteB = static_cast<signed char>(bufferB[i]);
            if (byteA != byteB) {
                return byteA < byteB ? -1 : 1;
            }
        }
        if (countA != countB) {
            return countA < countB ? -1 : 1;
        }
        if (countA == 0) {
            return 0;
        }
    }
}

// ---- Stdio streams and whole files --------------------------------------------------------

bool readChar(std::FILE* stream, char& c)
{
    if (stream == nullptr) {
        return false;
    }
    for (;;) {
        const int value = std::getc(stream);
        if (value == EOF) {
            return false;
        }
        if (value == '\r' && dropCarriageReturns) {
            continue;
        }
        c = static_cast<char>(value);
        return true;
    }
}

bool readBytes(std::FILE* stream, size_t count, std::string& text)
{
    text.clear();
    char c;
    while (text.size() < count && readChar(stream, c)) {
        text.push_back(c);
    }
    return count == 0 || !text.empty();
}

bool writeChar(std::FILE* stream, char c)
{
    return stream != nullptr && std::putc(static_cast<unsigned char>(c), stream) != EOF;
}

bool writeText(std::FILE* stream, const std::string& text)
{
    return stream != nullptr && std::fwrite(text.data(), 1, text.size(), stream) == text.size();
}

bool readWholeFile(const std::string& path, std::string& text)
{
    bool tooLarge = false;
    return readWholeFile(path, text, UINT64_MAX, tooLarge);
}

bool readWholeFile(const std::string& path, std::string& text, uint64_t maxBytes, bool& tooLarge)
{
    tooLarge = false;
    StreamCloser stream(Platform::openStream(path, "rb"));
    if (stream.get() == nullptr) {
        return false;
    }
    // The same bytes as readChar would give, read in blocks.
    const bool drop = dropCarriageReturns;
    std::string content;
    std::vector<char> buffer(65536);
    uint64_t total = 0;
    if (maxBytes != UINT64_MAX) {
        // One allocation for a file that fits, instead of copies while it grows.
        content.reserve(static_cast<size_t>(std::min(fileSize(path), maxBytes)));
    }
    for (;;) {
        const size_t count = std::fread(buffer.data(), 1, buffer.size(), stream.get());
        total += count;
        if (total > maxBytes) {
            tooLarge = true;
            return false;
        }
        if (drop) {
            std::copy_if(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count),
                         std::back_inserter(content), [](char c) { return c != '\r'; });
        } else {
            content.append(buffer.data(), count);
        }
        if (count < buffer.size()) {
            break;
        }
    }
    if (std::ferror(stream.get()) != 0) {
        return false;
    }
    text = std::move(content);
    return true;
}

bool writeWholeFile(const std::string& text, const std::string& path)
{
    StreamCloser stream(Platform::openStream(path, "wb"));
    if (stream.get() == nullptr) {
        return false;
    }
    const bool written = writeText(stream.get(), text);
    return stream.close() && written;
}

// ---- Raw bytes by handle and by path ------------------------------------------------------

int readChunks(int handle, const std::function<bool(const char* data, size_t size)>& take, size_t chunkSize)
{
    std::vector<char> buffer(chunkSize);
    for (;;) {
        size_t count = 0;
        if (const int error = Platform::readFile(handle, buffer.data(), buffer.size(), count); error != 0) {
            return error;
        }
        if (count == 0 || !take(buffer.data(), count)) {
            return 0;
        }
    }
}

int readToEnd(int handle, std::string& bytes, uint64_t maxBytes, bool& tooLarge)
{
    tooLarge = false;
    std::string content;
    const int error = readChunks(handle, [&](const char* data, size_t size) {
        tooLarge = content.size() + size > maxBytes;
        if (!tooLarge) {
            content.append(data, size);
        }
        return !tooLarge;
    });
    if (error == 0 && !tooLarge) {
        bytes = std::move(content);
    }
    return error;
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

bool readAll(const std::string& path, std::string& bytes, std::string& problem, uint64_t maxBytes)
{
    Platform::ScopedFile handle;
    int error = Platform::openFile(path, Platform::OpenRead | Platform::OpenNonBlocking, handle.value);
    if (error != 0) {
        problem = failed("open", path, error);
        return false;
    }
    Platform::FileStatus status;
    error = Platform::handleStatus(handle.get(), status);
    if (error != 0) {
        problem = failed("read", path, error);
        return false;
    }
    if (!status.isRegular) {
        problem = "cannot read \"" + path + "\" (not a regular file)";
        return false;
    }
    bool tooLarge = status.size > maxBytes;
    if (!tooLarge) {
        error = readToEnd(handle.get(), bytes, maxBytes, tooLarge);
    }
    if (tooLarge) {
        problem = "cannot read \"" + path + "\" (larger than " + std::to_string(maxBytes) + " bytes)";
        return false;
    }
    if (error != 0) {
        problem = failed("read", path, error);
        return false;
    }
    return true;
}

bool readAt(const std::string& path, uint64_t offset, size_t size, std::string& bytes, std::string& problem)
{
    Platform::ScopedFile handle;
    int error = Platform::openFile(path, Platform::OpenRead | Platform::OpenNonBlocking, handle.value);
    if (error == 0) {
        error = readAt(handle.get(), offset, size, bytes);
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

int holdLockFile(const std::string& path, Platform::ScopedFile& lock)
{
    int error = Platform::createPrivateFile(path, lock.value);
    if (Platform::isAlreadyExists(error)) {
        error = Platform::openFile(path, Platform::OpenRead | Platform::OpenWrite, lock.value);
    }
    return error != 0 ? error : Platform::lockFileWaiting(lock.get());
}

int writeSynced(int handle, const std::string& bytes)
{
    const int error = Platform::writeFile(handle, bytes.data(), bytes.size());
    return error != 0 ? error : Platform::syncFile(handle);
}

bool writeAtomically(const std::string& path, const std::string& bytes, std::string& problem, Readers readers)
{
    const std::string temporary = path + "." + std::to_string(Platform::currentProcessId()) + ".new";
    Platform::removeFile(temporary);  // a left-over of a crashed run of this process id
    {
        Platform::ScopedFile handle;
        int error = readers == Readers::owner ? Platform::createPrivateFile(temporary, handle.value)
                                              : Platform::createExclusive(temporary, handle.value);
        if (error == 0) {
            error = writeSynced(handle.get(), bytes);
        }
        if (error != 0) {
            problem = failed("write", temporary, error);
            handle.reset();
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
        error = Platform::seekFile(handle.get(), int64_t(offset), Platform::SeekOrigin::start, position);
    }
    if (error == 0) {
        error = writeSynced(handle.get(), bytes);
    }
    if (error != 0) {
        problem = failed("overwrite", path, error);
        return false;
    }
    return true;
}

bool appendSynced(const std::string& path, const std::string& bytes, std::string& problem)
{
    Platform::ScopedFile handle;
    int error = Platform::openFile(path, Platform::OpenWrite | Platform::OpenAppend, handle.value);
    if (error == 0) {
        error = writeSynced(handle.get(), bytes);
    }
    if (error != 0) {
        problem = failed("append to", path, error);
        return false;
    }
    return true;
}

// ---- Time stamps and shortcuts ------------------------------------------------------------

bool setLastAccessTime(const std::string& path, const DateTime& time)
{
    return !path.empty() &&
           Platform::setFileTimes(path, time.count - DateTime::unixEpochCount, std::nullopt) == 0;
}

bool setLastWriteTime(const std::string& path, const DateTime& time)
{
    return !path.empty() &&
           Platform::setFileTimes(path, std::nullopt, time.count - DateTime::unixEpochCount) == 0;
}

bool touch(const std::string& path, const std::function<bool(const std::string&)>& stampNow)
{
    if (path.empty()) {
        return false;
    }
    const bool stamped = stampNow ? stampNow(path) : Platform::setFileTimesToNow(path) == 0;
    if (stamped) {
        return true;
    }
    // Only a new, empty file is ever written: whatever exists at the path (a file, or a link
    // pointing nowhere) keeps its content.
    Platform::FileStatus status;
    if (Platform::linkStatus(path, status) == 0) {
        return false;
    }
    Platform::ScopedFile handle;
    return Platform::createExclusive(path, handle.value) == 0 && handle.reset() == 0;
}

std::string resolveShortcut(const std::string& path)
{
    std::string target;
    if (path.empty() || !isShortcut(path) || Platform::readShellLink(path, target) != 0 || target.empty()) {
        return path;
    }
    return target;
}

WideString resolveShortcut(const WideString& path)
{
    WideString target;
    if (path.empty() || !isShortcut(path) || Platform::readShellLink(path, target) != 0 || target.empty()) {
        return path;
    }
    return target;
}

// ---- Directories and file operations ------------------------------------------------------

bool listDirectory(const std::string& dir, const std::string& pattern, std::set<std::string>* directories,
                   std::set<std::string>* files)
{
    if (!isDirectory(dir)) {
        return false;
    }
    const std::string absolute = makeAbsolute(stripTrailingSeparators(dir), currentDirectory());
    std::vector<Platform::DirectoryEntry> entries;
    if (Platform::listDirectory(absolute, entries) != 0) {
        return false;
    }
    for (const Platform::DirectoryEntry& entry : entries) {
        if (!matchGlob(entry.name, pattern)) {
            continue;
        }
        std::set<std::string>* target = entry.isDirectory ? directories : files;
        if (target != nullptr) {
            target->insert(entry.name);
        }
    }
    return true;
}

std::set<std::string> listFiles(const std::string& dir, const std::string& pattern)
{
    std::set<std::string> files;
    listDirectory(dir, pattern, nullptr, &files);
    return files;
}

std::set<std::string> listDirectories(const std::string& dir, const std::string& pattern)
{
    std::set<std::string> directories;
    listDirectory(dir, pattern, &directories, nullptr);
    return directories;
}

FileTree walkTree(const std::string& dir, const std::string& pattern)
{
    FileTree tree;
    if (!isDirectory(dir)) {
        tree.complete = false;
        return tree;
    }
    walkInto(stripTrailingSeparators(dir), pattern, tree);
    return tree;
}

bool createDirectory(const std::string& path)
{
    if (path.empty()) {
        return false;
    }
    const PathStyle style = effectiveStyle(PathStyle::Native);
    std::string target = normalisePath(path);
    if (!target.empty() && isSeparator(target.back())) {
        target.pop_back();
    } else {
        target = parentDirectory(target);
    }
    if (target.empty()) {
        return true;  // the root, or the current directory
    }

    // The root of an absolute path is taken as it is, never created.
    std::string current;
    size_t position = 0;
    if (style == PathStyle::Windows && target.size() >= 2 && target[0] == '\\' && target[1] == '\\') {
        const size_t server = target.find('\\', 2);
        const size_t share = server == std::string::npos ? std::string::npos : target.find('\\', server + 1);
        current = target.substr(0, share);
        position = share == std::string::npos ? target.size() : share + 1;
    } else if (isSeparator(target[0])) {
        current = separator();
        position = 1;
    }

    while (position < target.size()) {
        size_t end = target.find(separator(), position);
        if (end == std::string::npos) {
            end = target.size();
        }
        const std::string segment = target.substr(position, end - position);
        position = end + 1;
        if (segment.empty()) {
            continue;
        }
        current = current.empty() ? segment : addTrailingSeparator(current) + segment;
        // A shortcut is never created and counts as a level when it leads to a directory.
        if (isDirectory(current) || (isShortcut(current) && isDirectory(resolveShortcut(current)))) {
            continue;
        }
        Platform::FileStatus status;
        if (Platform::linkStatus(current, status) == 0) {
            return false;  // something else of that name is in the way
        }
        const int error = Platform::makeDirectory(current);
        if (error != 0 && !(Platform::isAlreadyExists(error) && isDirectory(current))) {
            return false;
        }
        if (!isDirectory(current)) {
            return false;
        }
    }
    return true;
}

bool setAttributes(const std::string& path, int flags, bool recursive, const ProgressCallback& callback)
{
    const bool readable = (flags & Readable) != 0;
    const bool writable = (flags & Writable) != 0;
    if (path.empty() || Platform::setPermissions(path, readable, writable) != 0) {
        return false;
    }
    if (!recursive || !isRealDirectory(path)) {
        return true;
    }
    const FileTree tree = walkTree(path, "*");
    const uint64_t total = tree.entries.size();
    uint64_t done = 0;
    for (const FileTreeEntry& entry : tree.entries) {
        ++done;
        if (entry.isSymbolicLink) {
            continue;
        }
        const bool success = Platform::setPermissions(entry.path, readable, writable) == 0;
        report(callback, entry.path, success, done, total);
        if (!success && !entry.isDirectory) {
            return false;
        }
    }
    return true;
}

bool deleteFile(const std::string& path, bool force)
{
    if (path.empty()) {
        return false;
    }
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int error = Platform::removeFile(path);
        if (error == 0) {
            return true;
        }
        if (Platform::isNotFound(error)) {
            return false;  // nothing that a second attempt could change
        }
        if (force && Platform::isAccessDenied(error) && setAttributes(path, Writable) &&
            Platform::removeFile(path) == 0) {
            return true;
        }
        std::this_thread::sleep_for(retryPause);
    }
    return false;
}

bool removeDirectory(const std::string& path, bool recursive, bool force, const ProgressCallback& callback)
{
    if (path.empty() || !isRealDirectory(stripTrailingSeparators(path))) {
        return false;
    }
    if (!Platform::canRead(path)) {
        if (!force || !setAttributes(path, Readable | Writable)) {
            return false;
        }
    }
    if (recursive && !clearDirectory(path, true, force, callback)) {
        return false;
    }
    for (int attempt = 0; attempt < attempts; ++attempt) {
        const int error = Platform::removeEmptyDirectory(path);
        if (error == 0) {
            return true;
        }
        if (Platform::isNotFound(error)) {
            return false;
        }
        std::this_thread::sleep_for(retryPause);
    }
    return false;
}

bool clearDirectory(const std::string& path, bool recursive, bool force, const ProgressCallback& callback)
{
    std::vector<Platform::DirectoryEntry> entries;
    if (path.empty() || Platform::listDirectory(path, entries) != 0) {
        return false;
    }
    const uint64_t total = entries.size();
    uint64_t done = 0;
    bool cleared = true;
    for (const Platform::DirectoryEntry& entry : entries) {
        const std::string entryPath = joinPath(path, entry.name);
        const bool success = (entry.isDirectory && !entry.isSymbolicLink)
                                 ? removeDirectory(entryPath, recursive, force, callback)
                                 : deleteFile(entryPath, force);
        report(callback, entryPath, success, ++done, total);
        cleared = cleared && success;
    }
    return cleared;
}

bool copyFile(const std::string& from, const std::string& to, bool overwrite, size_t bufferSize, bool verify,
              const ProgressCallback& callback)
{
    Platform::FileStatus status;
    if (from.empty() || to.empty() || Platform::fileStatus(from, status) != 0 || status.isDirectory) {
        return false;
    }
    if (!overwrite && exists(to)) {
        return false;
    }
    if (Platform::isSameFile(from, to)) {
        return false;  // writing the target would destroy the source
    }
    const uint64_t total = status.size;
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(std::max(bufferSize, minimumChunk), total));

    bool copied = true;
    {
        CarriageReturnsSwitch keepCarriageReturns(false);
        StreamCloser input(Platform::openStream(from, "rb"));
        if (input.get() == nullptr) {
            return false;
        }
        // Without overwrite the target is created exclusively: a file that appeared since the
        // test above is not truncated.
        StreamCloser output(Platform::openStream(to, overwrite ? "wb" : "wbx"));
        if (output.get() == nullptr) {
            return false;
        }
        std::vector<char> buffer(chunk);
        uint64_t done = 0;
        while (done < total) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(chunk, total - done));
            if (std::fread(buffer.data(), 1, count, input.get()) != count ||
                std::fwrite(buffer.data(), 1, count, output.get()) != count) {
                copied = false;
                break;
            }
            done += count;
            report(callback, to, true, done, total);
        }
        input.close();
        copied = output.close() && copied;
        if (!copied) {
            report(callback, to, false, done, total);
            Platform::removeFile(to);
        }
    }
    if (!copied) {
        return false;
    }
    return verify ? compareFiles(from, to) == 0 : true;
}

bool moveFile(const std::string& from, const std::string& to, bool overwrite, size_t bufferSize, bool verify,
              const ProgressCallback& callback)
{
    Platform::FileStatus status;
    if (from.empty() || to.empty() || Platform::fileStatus(from, status) != 0 || status.isDirectory) {
        return false;
    }
    const bool targetExists = exists(to);
    if (targetExists && !overwrite) {
        return false;
    }
    if (targetExists && Platform::isSameFile(from, to)) {
        // One file under two names: moving leaves it under the target's name only.
        return sameText(from, to) || Platform::removeFile(from) == 0;
    }
    int error;
    if (overwrite) {
        if (isRealDirectory(to) && !removeDirectory(to, true, true)) {
            return false;
        }
        error = Platform::renameReplacing(from, to);
    } else {
        error = Platform::renameNoReplace(from, to);
    }
    if (error == 0) {
        return true;
    }
    if (!Platform::isCrossDevice(error)) {
        return false;
    }
    return copyFile(from, to, overwrite, bufferSize, verify, callback) && deleteFile(from, true);
}

}  // namespace KelvraCorelib
