#pragma once
// Output that reads append to a caller's text, kept to a limit, with room that grows in few,
// large steps.
//
//   OutputBuffer buffer(text, limit);
//   while (!buffer.passedLimit()) {
//       const std::span<char> room = buffer.room();
//       const int64_t count = read(room.data(), room.size());
//       buffer.keep(count > 0 ? size_t(count) : 0);    // after every room(), also for nothing
//       ...
//   }
//
// At most limit bytes are kept, and one byte more, which tells that the limit was passed
// (SIZE_MAX: no limit). The text's room never grows past limit + 1 bytes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace KelvraCorelib {

class OutputBuffer {
public:
    // The smallest room worth a read straight into the text, and the largest read (what a
    // capture pipe holds).
    static constexpr size_t smallestRead = 64 * 1024;
    static constexpr size_t largestRead = 1024 * 1024;

    OutputBuffer(std::string& text, size_t limit);
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer();

    // True once the text holds more than the limit.
    bool passedLimit() const { return text.size() > limit; }

    // Where the next read puts its bytes: the text's spare room when there is enough of it,
    // sized after what the reads brought lately (so that little is cleared in vain), else a
    // side piece, the text growing only once there really is more to keep. Never reaches more
    // than one byte past the limit; never empty before the limit is passed.
    std::span<char> room();

    // Keeps the first count bytes of the last room; every room() is followed by one keep().
    // Throws std::bad_alloc when the text cannot grow for them (the text is then unchanged).
    void keep(size_t count);

private:
    bool grow(size_t more);

    std::string& text;
    const size_t limit;
    size_t readHint = smallestRead;  // how much room the next read into the text is offered
    size_t length = 0;               // the text's size before the last room
    bool inSide = false;             // the last room is the side piece
    std::unique_ptr<char[]> side;
};

}  // namespace KelvraCorelib
