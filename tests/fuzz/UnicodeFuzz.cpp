// libFuzzer entry for UTF-16 decoding, both byte orders: a decode either succeeds or throws
// Unicode_Invalid; what decodes converts to UTF-8 and encodes back to exactly the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "corelib/Unicode.h"

using namespace KelvraCorelib;

namespace {

void decode(const char* bytes, size_t size, bool littleEndian)
{
    Unicode text;
    try {
        if (littleEndian)
            text.setFromUtf16LE(bytes, size);
        else
            text.setFromUtf16BE(bytes, size);
    } catch (const Unicode::Unicode_Invalid&) {
        if (!text.empty())
            std::abort();  // a failed decode leaves no code points behind
        return;
    }
    if (text.size() > size / 2)
        std::abort();
    const std::string utf8 = text.toUtf8();
    for (const uint32_t point : text.codePoints())
        if (Unicode::encodeUtf8(point).empty())
            std::abort();  // a decoded code point that has no UTF-8 form
    (void)utf8;

    std::string units;
    const auto putUnit = [&](uint32_t unit) {
        const char low = static_cast<char>(unit & 0xFF);
        const char high = static_cast<char>(unit >> 8);
        units += littleEndian ? low : high;
        units += littleEndian ? high : low;
    };
    for (const uint32_t point : text.codePoints()) {
        if (point < 0x10000) {
            putUnit(point);
        } else {
            putUnit(0xD800 + ((point - 0x10000) >> 10));
            putUnit(0xDC00 + ((point - 0x10000) & 0x3FF));
        }
    }
    if (units != std::string(bytes, size))
        std::abort();  // the code points are not what the bytes say
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly the input's size, so that reading past it is caught.
    char* const bytes = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
    if (bytes == nullptr)
        std::abort();
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(data[i]);
    decode(bytes, size, true);
    decode(bytes, size, false);
    std::free(bytes);
    return 0;
}
