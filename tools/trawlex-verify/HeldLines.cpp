#include "HeldLines.h"

#include <memory>

#include "corelib/platform/TemporaryFiles.h"

namespace Platform = KelvraCorelib::Platform;

void HeldLines::put(Part part, const char* data, size_t size)
{
    if ((part == Part::header ? !withHeader : !withData) || !failure.empty()) {
        return;
    }
    if (!spill.isOpen() && memory.size() + size <= memoryBound) {
        memory.append(data, size);
        return;
    }
    int error = 0;
    if (!spill.isOpen()) {
        error = Platform::createUnnamedTemporaryFile(spill.value);
        if (error == 0) {
            error = Platform::writeFile(spill.value, memory.data(), memory.size());
            std::string().swap(memory);
        }
    }
    if (error == 0) {
        error = Platform::writeFile(spill.value, data, size);
    }
    if (error != 0) {
        failure = "cannot hold its lines back (" + Platform::errorText(error) + ")";
        std::string().swap(memory);
        spill.reset();
    }
}

void HeldLines::restart()
{
    std::string().swap(memory);
    spill.reset();
    failure.clear();
}

bool HeldLines::writeTo(std::FILE* out, std::string& problem)
{
    std::fwrite(memory.data(), 1, memory.size(), out);
    if (!spill.isOpen()) {
        return true;
    }
    int64_t position = 0;
    int error = Platform::seekFile(spill.value, 0, Platform::SeekOrigin::start, position);
    const size_t piece = 256 * 1024;
    const std::unique_ptr<char[]> buffer(new char[piece]);
    while (error == 0) {
        size_t count = 0;
        error = Platform::readFile(spill.value, buffer.get(), piece, count);
        if (error != 0 || count == 0) {
            break;
        }
        if (std::fwrite(buffer.get(), 1, count, out) != count) {
            return true;  // the caller sees out's error
        }
    }
    if (error != 0) {
        problem = "cannot read back the lines held (" + Platform::errorText(error) + ")";
        return false;
    }
    return true;
}
