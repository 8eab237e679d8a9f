#pragma once
// The lines a child program writes to its standard error, kept in a scratch file
// (Platform::createScratchFile) that never blocks the program and is read once it has ended.
//
//   CapturedLines lines;
//   if (lines.open()) process->errorDescriptor = lines.descriptor();
//   ProcessTools::runAndWait(*process, timeout, &output);
//   for (const std::string& line : lines.take()) ...

#include <cstddef>
#include <string>
#include <vector>

namespace KelvraCorelib {

class CapturedLines {
public:
    // At most maxLines lines are kept, each cut after maxLineBytes bytes; further lines are
    // counted in dropped(). The file holds at most maxLines * maxLineBytes bytes.
    explicit CapturedLines(size_t maxLines = 1000, size_t maxLineBytes = 4096);
    ~CapturedLines();
    CapturedLines(const CapturedLines&) = delete;
    CapturedLines& operator=(const CapturedLines&) = delete;

    // Makes the scratch file. False when it cannot be had.
    bool open();
    // The descriptor to hand to the program (-1 before open and after take).
    int descriptor() const { return file; }
    // The lines written so far, without their ends and carriage returns, empty ones left
    // out; closes the file.
    std::vector<std::string> take();
    size_t dropped() const { return droppedLines; }

private:
    size_t maxLines;
    size_t maxLineBytes;
    int file = -1;
    size_t droppedLines = 0;
};

}  // namespace KelvraCorelib
