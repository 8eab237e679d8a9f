// Gzip-compressed files through zlib's gz file functions, with 64-bit offsets.
#ifndef _LARGEFILE64_SOURCE
#define _LARGEFILE64_SOURCE 1
#endif

#include "corelib/ZFile.h"

#include "corelib/LineReading.h"

#include <algorithm>
#include <cstdio>

#include <zlib.h>

#include "corelib/StringTools.h"

namespace KelvraCorelib {

ZFile::ZFile(const std::string& name) : fileName(name), wideFileName(StringTools::widen(name)) {}

ZFile::~ZFile()
{
    close();
}

bool ZFile::open(const char* openMode, uint32_t newMode)
{
    if (handle != nullptr || fileName.empty()) {
        return false;
    }
    handle = gzopen64(fileName.c_str(), openMode);
    if (handle == nullptr) {
        return false;
    }
    lines = 1;
    previousLines = 1;
    mode = newMode;
    position = 0;
    return true;
}

bool ZFile::openRead()
{
    return open("rb", ModeOpen | ModeReading);
}

bool ZFile::openWrite()
{
    return open("wb", ModeOpen | ModeWriting);
}

bool ZFile::openWriteNew()
{
    return open("wbx", ModeOpen | ModeWriting);
}

bool ZFile::close()
{
    if (handle == nullptr) {
        return false;
    }
    // The handle is released by gzclose whatever it returns; a failure is still reported.
    const bool closed = gzclose(handle) == Z_OK;
    handle = nullptr;
    lines = 0;
    previousLines = 0;
    mode = 0;
    position = 0;
    return closed;
}

bool ZFile::seek(uint64_t newPosition)
{
    if (handle == nullptr) {
        return false;
    }
    // Where zlib's offsets are narrower (32 bits on Windows) a far position is refused,
    // never cut to its low bits.
    const z_off64_t target = static_cast<z_off64_t>(newPosition);
    if (target < 0 || static_cast<uint64_t>(target) != newPosition || gzseek64(handle, target, SEEK_SET) != target) {
        return false;
    }
    position = newPosition;
    return true;
}

bool ZFile::readChar(char& c)
{
    if (handle == nullptr || !isOpenForReading()) {
        return false;
    }
    previousLines = lines;
    const int value = gzgetc(handle);
    if (value < 0) {
        return false;
    }
    c = static_cast<char>(value);
    ++position;
    if (c == '\n') {
        ++lines;
    }
    return true;
}

bool ZFile::readLine(std::string& text, char delimiter)
{
    return readDelimitedLine(*this, text, delimiter);
}

bool ZFile::atEnd()
{
    return handle == nullptr || (isOpenForReading() && gzeof(handle) != 0);
}

bool ZFile::hasFailed() const
{
    if (handle == nullptr) {
        return false;
    }
    int error = Z_OK;
    gzerror(handle, &error);
    return error != Z_OK;
}

bool ZFile::writeChar(char c)
{
    if (handle == nullptr || !isOpenForWriting()) {
        return false;
    }
    if (gzputc(handle, static_cast<unsigned char>(c)) < 0) {
        return false;
    }
    ++position;
    return true;
}

bool ZFile::writeText(const std::string& text)
{
    if (handle == nullptr || !isOpenForWriting()) {
        return false;
    }
    // gzwrite takes an unsigned count: write in pieces that fit.
    size_t done = 0;
    while (done < text.size()) {
        const size_t piece = std::min<size_t>(text.size() - done, 1u << 30);
        const int written = gzwrite(handle, text.data() + done, static_cast<unsigned>(piece));
        if (written <= 0) {
            return false;
        }
        done += static_cast<size_t>(written);
        position += static_cast<uint64_t>(written);
    }
    return true;
}

bool ZFile::flush()
{
    return handle != nullptr && isOpenForWriting() && gzflush(handle, Z_FINISH) == Z_OK;
}

}  // namespace KelvraCorelib
