#pragma once
// Unicode: a sequence of code points decoded from UTF-16 (either byte order) and encoded
// as UTF-8.
//
//   Unicode text;
//   text.setFromUtf16LE(bytes);        // throws Unicode::Unicode_Invalid on malformed input
//   std::string utf8 = text.toUtf8();

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "corelib/Exception.h"

namespace KelvraCorelib {

class Unicode {
public:
    // "@unicode.invalid{Invalid unicode (%)};" with the reason as parameter. Always thrown,
    // whatever the error mode.
    KELVRA_ERROR_CLASS(Unicode_Invalid);

    Unicode();
    virtual ~Unicode();

    // Replace the code points with the decoded bytes. Every byte sequence either decodes
    // completely or throws Unicode_Invalid (the code points are then left empty); no byte
    // outside [data, data + size) is read. Empty input gives no code points.
    void setFromUtf16LE(const char* data, size_t size);
    void setFromUtf16BE(const char* data, size_t size);
    void setFromUtf16LE(const std::string& bytes);
    void setFromUtf16BE(const std::string& bytes);

    // The UTF-8 text of all code points.
    std::string toUtf8() const;

    const std::vector<uint32_t>& codePoints() const;
    size_t size() const;
    bool empty() const;

    // UTF-8 bytes of one code point; empty for a surrogate (0xD800 to 0xDFFF) and above 0x1FFFFF.
    static std::string encodeUtf8(uint32_t codePoint);

    // True when the host stores the low byte of a number first.
    static bool isLittleEndian();

private:
    void decodeUtf16(const char* data, size_t size, bool littleEndian);

    std::vector<uint32_t> points;
};

}  // namespace KelvraCorelib
