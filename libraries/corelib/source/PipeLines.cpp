#include "corelib/PipeLines.h"

#include <system_error>

#include "corelib/platform/Process.h"

namespace KelvraCorelib {

namespace {

// How long the reader waits for data before it looks whether it should stop.
constexpr int lookIntervalMs = 50;
// The most reads of one call of takeAvailable, and of its calls once the reader stops.
constexpr int readsPerCall = 64;
constexpr int finalRounds = 4;

}  // namespace

PipeLines::PipeLines(size_t maxLines, size_t maxLineBytes) : maxLines(maxLines), maxLineBytes(maxLineBytes) {}

PipeLines::~PipeLines()
{
    finish();
}

bool PipeLines::open()
{
    if (reading != -1 || Platform::createCapturePipe(reading, writing) != 0)
        return false;
    try {
        reader = std::thread([this] { read(); });
    } catch (const std::system_error&) {
        Platform::closeDescriptor(reading);
        Platform::closeDescriptor(writing);
        reading = writing = -1;
        return false;
    }
    return true;
}

void PipeLines::read()
{
    while (!stopping.load()) {
        bool ready = false;
        bool unused = false;
        if (Platform::waitForEvents(reading, -1, lookIntervalMs, ready, unused) != 0)
            return;
        if (ready && !takeAvailable())
            return;
    }
    // What the program wrote before it ended is in the pipe already; a child of it that goes
    // on writing is not followed for long.
    for (int round = 0; round < finalRounds && takeAvailable(); ++round) {
    }
}

bool PipeLines::takeAvailable()
{
    char buffer[16384];
    int error = 0;
    for (int reads = 0; reads < readsPerCall; ++reads) {
        const int64_t count = Platform::readAvailable(reading, buffer, sizeof buffer, error);
        if (count == Platform::ReadNothingYet)
            return !stopping.load();
        if (count <= 0)
            return false;
        const std::lock_guard<std::mutex> guard(lock);
        for (int64_t i = 0; i < count; ++i) {
            if (buffer[i] == '\n') {
                addLine(std::move(partial));
                partial.clear();
            } else if (buffer[i] != '\r' && partial.size() < maxLineBytes) {
                partial += buffer[i];
            }
        }
    }
    return true;
}

void PipeLines::addLine(std::string line)
{
    if (line.empty())
        return;
    if (lines.size() < maxLines)
        lines.push_back(std::move(line));
    else
        ++droppedLines;
}

std::vector<std::string> PipeLines::finish()
{
    if (reading == -1)
        return {};
    // Ours would keep the pipe from ending.
    Platform::closeDescriptor(writing);
    writing = -1;
    stopping.store(true);
    if (reader.joinable())
        reader.join();
    Platform::closeDescriptor(reading);
    reading = -1;
    const std::lock_guard<std::mutex> guard(lock);
    addLine(std::move(partial));
    partial.clear();
    return std::move(lines);
}

}  // namespace KelvraCorelib
