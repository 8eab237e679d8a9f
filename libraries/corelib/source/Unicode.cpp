#include "corelib/Unicode.h"

#include <bit>

#include "corelib/Logger.h"

namespace KelvraCorelib {

namespace {

Unicode::Unicode_Invalid invalid(const std::string& reason, const std::string& annotation)
{
    return Unicode::Unicode_Invalid("@unicode.invalid{Invalid unicode (%)};", annotation, ParamStream() << reason);
}

// One 16-bit unit from two bytes in the given order. Assembling the value from its bytes
// gives the host's representation on either host byte order.
uint32_t readUnit(const unsigned char* bytes, bool littleEndian)
{
    const uint32_t first = bytes[0];
    const uint32_t second = bytes[1];
    return littleEndian ? (second << 8 | first) : (first << 8 | second);
}

}  // namespace

Unicode::Unicode() = default;

Unicode::~Unicode() = default;

void Unicode::setFromUtf16LE(const char* data, size_t size)
{
    decodeUtf16(data, size, true);
}

void Unicode::setFromUtf16BE(const char* data, size_t size)
{
    decodeUtf16(data, size, false);
}

void Unicode::setFromUtf16LE(const std::string& bytes)
{
    decodeUtf16(bytes.data(), bytes.size(), true);
}

void Unicode::setFromUtf16BE(const std::string& bytes)
{
    decodeUtf16(bytes.data(), bytes.size(), false);
}

void Unicode::decodeUtf16(const char* data, size_t size, bool littleEndian)
{
    points.clear();
    if (size == 0) {
        return;
    }
    const std::string order = littleEndian ? "le" : "be";
    if (data == nullptr) {
        throw invalid("void utf16" + order, KELVRA_HERE);
    }
    // Every unit takes two bytes, so an odd count fails at the first code point already.
    if (size % 2 != 0) {
        throw invalid("uneven utf16" + order, KELVRA_HERE);
    }
    const unsigned char* const bytes = reinterpret_cast<const unsigned char*>(data);
    std::vector<uint32_t> decoded;
    decoded.reserve(size / 2);
    size_t position = 0;
    while (position < size) {
        const size_t remaining = size - position;
        const uint32_t unit = readUnit(bytes + position, littleEndian);
        position += 2;
        if (unit < 0xD800 || unit > 0xDFFF) {
            decoded.push_back(unit);
            continue;
        }
        if (unit >= 0xDC00) {
            throw invalid("illegal value uft16" + order, KELVRA_HERE);
        }
        if (remaining <= 3) {
            throw invalid("too short uft16" + order, KELVRA_HERE);
        }
        const uint32_t low = readUnit(bytes + position, littleEndian);
        // A high surrogate needs a low one after it; taking any unit would silently swallow
        // the character that follows.
        if (low < 0xDC00 || low > 0xDFFF) {
            throw invalid("illegal value uft16" + order, KELVRA_HERE);
        }
        position += 2;
        decoded.push_back((((unit & 0x3FF) << 10) | (low & 0x3FF)) + 0x10000);
    }
    points.swap(decoded);
}

std::string Unicode::toUtf8() const
{
    std::string text;
    text.reserve(points.size());
    for (const uint32_t point : points) {
        text += encodeUtf8(point);
    }
    return text;
}

const std::vector<uint32_t>& Unicode::codePoints() const
{
    return points;
}

size_t Unicode::size() const
{
    return points.size();
}

bool Unicode::empty() const
{
    return points.empty();
}

std::string Unicode::encodeUtf8(uint32_t c)
{
    std::string bytes;
    if (c >= 0xD800 && c <= 0xDFFF) {
        return bytes;
    }
    if (c < 0x80) {
        bytes += static_cast<char>(c);
    } else if (c < 0x800) {
        bytes += static_cast<char>(0xC0 | (c >> 6));
        bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c <= 0xFFFF) {
        bytes += static_cast<char>(0xE0 | (c >> 12));
        bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c <= 0x1FFFFF) {
        bytes += static_cast<char>(0xF0 | (c >> 18));
        bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        bytes += static_cast<char>(0x80 | (c & 0x3F));
    }
    return bytes;
}

bool Unicode::isLittleEndian()
{
    return std::endian::native == std::endian::little;
}

}  // namespace KelvraCorelib
