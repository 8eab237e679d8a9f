#pragma once
// A plain byte file on a stdio stream: the implementation behind File for every name that
// does not end in ".gz".

#include <cstdint>
#include <cstdio>
#include <string>

#include "corelib/ParamStream.h"

namespace KelvraCorelib {

class BasicFile {
public:
    explicit BasicFile(const std::string& name);
    virtual ~BasicFile();
    BasicFile(const BasicFile&) = delete;
    BasicFile& operator=(const BasicFile&) = delete;

    // Each open fails on an object that is already open.
    bool openRead();        // "rb"
    bool openWrite();       // "wb": creates or truncates
    bool openWriteNew();    // creates; fails when the file exists
    // Creates the file when it is missing; writes go to its end, and it can be read from
    // anywhere (seek) too.
    bool openAppend();
    bool close();

    const std::string& name() const { return fileName; }
    const WideString& wideName() const { return wideFileName; }

    bool seek(uint64_t position);
    uint64_t tell();
    // When the current position is at least n: to n bytes before the end.
    bool seekFromEnd(uint64_t n);

    // One byte, skipping CR while dropCarriageReturns; counts line feeds.
    bool readChar(char& c);
    // Up to the delimiter (not stored) or the end; true when the delimiter was met or
    // anything was read.
    bool readLine(std::string& text, char delimiter = '\n');
    // True without a stream, at the end of the file or after an error.
    bool atEnd();
    // True after a failed read or write.
    bool hasFailed() const;

    bool writeChar(char c);
    bool writeText(const std::string& text);
    bool flush();
    // Flushes and forces the data to the storage device.
    bool sync();

    bool isOpenForReading() const { return (mode & ModeReading) != 0; }
    bool isOpenForWriting() const { return (mode & ModeWriting) != 0; }
    // 1 after opening, plus one for every line feed read; 0 while closed.
    uint64_t lineNumber() const { return lines; }
    // The line number before the last read.
    uint64_t previousLineNumber() const { return previousLines; }

    static constexpr uint32_t ModeOpen = 1;
    static constexpr uint32_t ModeReading = 2;
    static constexpr uint32_t ModeWriting = 4;

private:
    enum class LastOperation { None, Read, Write };

    bool open(const char* openMode, uint32_t newMode);
    void prepareFor(LastOperation operation);

    std::string fileName;
    WideString wideFileName;
    std::FILE* handle = nullptr;
    uint64_t lines = 0;
    uint64_t previousLines = 0;
    uint32_t mode = 0;
    LastOperation lastOperation = LastOperation::None;
};

}  // namespace KelvraCorelib
