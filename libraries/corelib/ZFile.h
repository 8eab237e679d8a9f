#pragma once
// A gzip-compressed file through zlib's gz file functions: the implementation behind File
// for names ending in ".gz". Positions count uncompressed bytes and are 64-bit.

#include <cstdint>
#include <string>

#include "corelib/ParamStream.h"

struct gzFile_s;

namespace KelvraCorelib {

class ZFile {
public:
    explicit ZFile(const std::string& name);
    virtual ~ZFile();
    ZFile(const ZFile&) = delete;
    ZFile& operator=(const ZFile&) = delete;

    // Each open fails on an object that is already open.
    bool openRead();      // "rb"; a file that is not compressed is read as it is
    bool openWrite();     // "wb", zlib's default compression level
    bool openWriteNew();  // as openWrite, but fails when the file exists
    bool openAppend() { return false; }  // not supported
    bool close();

    const std::string& name() const { return fileName; }
    const WideString& wideName() const { return wideFileName; }

    // Reading: to any position (backwards by reading again from the start); writing: only
    // forwards (the gap is filled with zeros).
    bool seek(uint64_t position);
    // Uncompressed bytes read or written since opening, or the position of the last seek.
    uint64_t tell() const { return position; }
    bool seekFromEnd(uint64_t) { return false; }  // not supported

    // One byte (CR bytes are kept); counts line feeds.
    bool readChar(char& c);
    // Up to the delimiter (not stored) or the end; true when the delimiter was met or
    // anything was read.
    bool readLine(std::string& text, char delimiter = '\n');
    // True without a file; for a file open for reading, once a read has met the end.
    bool atEnd();
    // True after a failed read or write, a compressed stream that is damaged or cut short
    // included (such a stream otherwise ends like a complete one).
    bool hasFailed() const;

    bool writeChar(char c);
    // True only when every byte was taken.
    bool writeText(const std::string& text);
    // Ends the compressed stream written so far (a later write starts a new one, which
    // readers take as a continuation).
    bool flush();
    bool sync() { return false; }  // not supported

    bool isOpenForReading() const { return (mode & ModeReading) != 0; }
    bool isOpenForWriting() const { return (mode & ModeWriting) != 0; }
    uint64_t lineNumber() const { return lines; }
    uint64_t previousLineNumber() const { return previousLines; }

    static constexpr uint32_t ModeOpen = 1;
    static constexpr uint32_t ModeReading = 2;
    static constexpr uint32_t ModeWriting = 4;

private:
    bool open(const char* openMode, uint32_t newMode);

    std::string fileName;
    WideString wideFileName;
    gzFile_s* handle = nullptr;
    uint64_t lines = 0;
    uint64_t previousLines = 0;
    uint32_t mode = 0;
    uint64_t position = 0;
};

}  // namespace KelvraCorelib
