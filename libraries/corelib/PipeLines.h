#pragma once
// The lines a child program writes into a pipe (its standard error), read on a thread of their
// own while it runs, so that the program never blocks on a full pipe.
//
//   PipeLines lines;
//   if (lines.open()) process->errorDescriptor = lines.writeEnd();
//   ProcessTools::runAndWait(*process, timeout, &output);
//   for (const std::string& line : lines.finish()) ...

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace KelvraCorelib {

class PipeLines {
public:
    // At most maxLines lines are kept, each cut after maxLineBytes bytes; the rest is read and
    // counted in dropped().
    explicit PipeLines(size_t maxLines = 1000, size_t maxLineBytes = 4096);
    ~PipeLines();
    PipeLines(const PipeLines&) = delete;
    PipeLines& operator=(const PipeLines&) = delete;

    // Makes the pipe and starts reading. False when the pipe or the thread cannot be had.
    bool open();
    // The end the program writes to (-1 before open and after finish).
    int writeEnd() const { return writing; }
    // Takes what the pipe holds now, without waiting for a writer that still holds it (a
    // program's child), and stops reading: the lines without their ends, empty ones left out.
    std::vector<std::string> finish();
    size_t dropped() const { return droppedLines; }

private:
    void read();
    // Takes the bytes read; false at the end of data or on an error.
    bool takeAvailable();
    void addLine(std::string line);

    size_t maxLines;
    size_t maxLineBytes;
    int reading = -1;
    int writing = -1;
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::string partial;
    std::vector<std::string> lines;
    size_t droppedLines = 0;
};

}  // namespace KelvraCorelib
