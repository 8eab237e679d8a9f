#include "corelib/OutputBuffer.h"

#include <algorithm>
#include <exception>
#include <new>

#include "corelib/platform/Process.h"

namespace KelvraCorelib {

namespace {

// Growth of the text when it is full, and the size from which its room is worth backing with
// large memory pages.
constexpr size_t growthFactor = 4;
constexpr size_t largeBuffer = 8 * 1024 * 1024;

}  // namespace

OutputBuffer::OutputBuffer(std::string& text, size_t limit) : text(text), limit(limit) {}

OutputBuffer::~OutputBuffer() = default;

std::span<char> OutputBuffer::room()
{
    length = text.size();
    // Never more than one byte past the limit.
    const size_t allowed = limit - length + (limit == SIZE_MAX ? 0 : 1);
    const size_t spare = text.capacity() - length;
    inSide = spare < smallestRead && spare < allowed;
    if (inSide) {
        if (!side) {
            side.reset(new char[smallestRead]);
        }
        return {side.get(), std::min(smallestRead, allowed)};
    }
    const size_t request = std::min({spare, readHint, allowed});
    text.resize(length + request);
    return {text.data() + length, request};
}

void OutputBuffer::keep(size_t count)
{
    if (inSide) {
        if (count > 0) {
            if (!grow(count)) {
                throw std::bad_alloc();
            }
            text.append(side.get(), count);
        }
        return;
    }
    const size_t request = text.size() - length;
    text.resize(length + count);
    if (count == request) {
        readHint = std::min(readHint * 2, largestRead);
    } else if (count > 0 && count < request / 2) {
        readHint = std::max(readHint / 2, smallestRead);
    }
}

// Capacity that is never written costs no memory, only address space, so the room grows in
// few, large steps: first to the largest read, then by growthFactor, and once it passes
// largeBuffer straight to the limit (one byte past it is all there is to keep), so that a
// large output is copied at most once more and its memory is written once. When that much is
// refused the room grows by growthFactor (by less when the memory is refused, but always
// geometrically), keeping the memory in use at most about twice the output. Small steps would
// copy the whole output for every few kilobytes read, so when even the smallest factor is
// refused this gives up: false.
bool OutputBuffer::grow(size_t more)
{
    const size_t needed = text.size() + more;
    if (needed <= text.capacity()) {
        return true;
    }
    struct Factor {
        size_t numerator;
        size_t denominator;
    };
    const size_t capacity = text.capacity();
    size_t candidates[5];
    size_t count = 0;
    if (capacity < largestRead) {
        candidates[count++] = largestRead;
    }
    for (const Factor factor : {Factor{growthFactor, 1}, Factor{2, 1}, Factor{3, 2}}) {
        const size_t grown =
            capacity <= SIZE_MAX / factor.numerator ? capacity * factor.numerator / factor.denominator : SIZE_MAX;
        if (limit != SIZE_MAX && count == 0 && grown >= largeBuffer) {
            candidates[count++] = limit + 1;
        }
        candidates[count++] = grown;
    }
    for (size_t index = 0; index < count; ++index) {
        const size_t candidate = candidates[index];
        const size_t wanted = std::max(needed, limit != SIZE_MAX ? std::min(candidate, limit + 1) : candidate);
        try {
            // The new room is advised before the bytes are copied over, so that the copy
            // already lands in large pages.
            std::string larger;
            larger.reserve(wanted);
            if (larger.capacity() >= largeBuffer) {
                Platform::adviseCaptureBuffer(larger.data(), larger.capacity());
            }
            larger.append(text);
            text.swap(larger);
        } catch (const std::exception&) {
            continue;
        }
        return true;
    }
    return false;
}

}  // namespace KelvraCorelib
