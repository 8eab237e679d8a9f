#include "corelib/CapturedLines.h"

#include "corelib/platform/Process.h"

namespace KelvraCorelib {

CapturedLines::CapturedLines(size_t maxLines, size_t maxLineBytes) : maxLines(maxLines), maxLineBytes(maxLineBytes)
{
}

CapturedLines::~CapturedLines()
{
    Platform::closeDescriptor(file);
}

bool CapturedLines::open()
{
    return file == -1 && Platform::createScratchFile(maxLines * maxLineBytes, file) == 0;
}

std::vector<std::string> CapturedLines::take()
{
    std::vector<std::string> lines;
    if (file == -1)
        return lines;
    std::string text;
    Platform::readScratchFile(file, maxLines * maxLineBytes, text);  // what could be read
    Platform::closeDescriptor(file);
    file = -1;
    std::string line;
    auto addLine = [&] {
        if (line.empty())
            return;
        if (lines.size() < maxLines)
            lines.push_back(std::move(line));
        else
            ++droppedLines;
        line.clear();
    };
    for (const char c : text) {
        if (c == '\n')
            addLine();
        else if (c != '\r' && line.size() < maxLineBytes)
            line += c;
    }
    addLine();
    return lines;
}

}  // namespace KelvraCorelib
