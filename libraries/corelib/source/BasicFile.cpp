// Plain byte files on stdio streams.
#include "corelib/BasicFile.h"

#include "corelib/LineReading.h"

#include "corelib/FileTools.h"
#include "corelib/StringTools.h"
#include "corelib/platform/FileSystem.h"

namespace KelvraCorelib {

BasicFile::BasicFile(const std::string& name) : fileName(name), wideFileName(StringTools::widen(name)) {}

BasicFile::~BasicFile()
{
    close();
}

bool BasicFile::open(const char* openMode, uint32_t newMode)
{
    if (handle != nullptr || fileName.empty()) {
        return false;
    }
    handle = Platform::openStream(fileName, openMode);
    if (handle == nullptr) {
        return false;
    }
    lines = 1;
    previousLines = 1;
    mode = newMode;
    lastOperation = LastOperation::None;
    return true;
}

bool BasicFile::openRead()
{
    return open("rb", ModeOpen | ModeReading);
}

bool BasicFile::openWrite()
{
    return open("wb", ModeOpen | ModeWriting);
}

bool BasicFile::openWriteNew()
{
    return open("wbx", ModeOpen | ModeWriting);
}

bool BasicFile::openAppend()
{
    return open("a+b", ModeOpen | ModeReading | ModeWriting);
}

bool BasicFile::close()
{
    if (handle == nullptr) {
        return false;
    }
    // The stream is gone after fclose whatever it returns; a failure (data not written)
    // is still reported.
    const bool closed = std::fclose(handle) == 0;
    handle = nullptr;
    lines = 0;
    previousLines = 0;
    mode = 0;
    lastOperation = LastOperation::None;
    return closed;
}

void BasicFile::prepareFor(LastOperation operation)
{
    // A stream that switches between reading and writing must be positioned in between.
    if (lastOperation != LastOperation::None && lastOperation != operation) {
        Platform::seekStream(handle, 0, Platform::SeekOrigin::current);
    }
    lastOperation = operation;
}

bool BasicFile::seek(uint64_t position)
{
    if (handle == nullptr || Platform::seekStream(handle, static_cast<int64_t>(position), Platform::SeekOrigin::start) != 0) {
        return false;
    }
    lastOperation = LastOperation::None;
    return true;
}

uint64_t BasicFile::tell()
{
    const int64_t position = Platform::tellStream(handle);
    return position > 0 ? static_cast<uint64_t>(position) : 0;
}

bool BasicFile::seekFromEnd(uint64_t n)
{
    if (handle == nullptr || tell() < n ||
        Platform::seekStream(handle, -static_cast<int64_t>(n), Platform::SeekOrigin::end) != 0) {
        return false;
    }
    lastOperation = LastOperation::None;
    return true;
}

bool BasicFile::readChar(char& c)
{
    if (handle == nullptr || !isOpenForReading()) {
        return false;
    }
    prepareFor(LastOperation::Read);
    previousLines = lines;
    if (!KelvraCorelib::readChar(handle, c)) {
        return false;
    }
    if (c == '\n') {
        ++lines;
    }
    return true;
}

bool BasicFile::readLine(std::string& text, char delimiter)
{
    return readDelimitedLine(*this, text, delimiter);
}

bool BasicFile::atEnd()
{
    return handle == nullptr || std::feof(handle) != 0 || std::ferror(handle) != 0;
}

bool BasicFile::hasFailed() const
{
    return handle != nullptr && std::ferror(handle) != 0;
}

bool BasicFile::writeChar(char c)
{
    if (handle == nullptr || !isOpenForWriting()) {
        return false;
    }
    prepareFor(LastOperation::Write);
    return KelvraCorelib::writeChar(handle, c);
}

bool BasicFile::writeText(const std::string& text)
{
    if (handle == nullptr || !isOpenForWriting()) {
        return false;
    }
    prepareFor(LastOperation::Write);
    return KelvraCorelib::writeText(handle, text);
}

bool BasicFile::flush()
{
    return handle != nullptr && std::fflush(handle) == 0;
}

bool BasicFile::sync()
{
    return handle != nullptr && Platform::syncStream(handle) == 0;
}

}  // namespace KelvraCorelib
