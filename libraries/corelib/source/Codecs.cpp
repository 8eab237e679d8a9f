#include "corelib/Codecs.h"

#include <algorithm>
#include <string>

namespace KelvraCorelib {

namespace {

const char* const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string toBase64(const std::string& bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (n > 1) {
            group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        }
        if (n > 2) {
            group |= uint32_t(uint8_t(bytes[i + 2]));
        }
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += n > 1 ? alphabet[(group >> 6) & 63] : '=';
        text += n > 2 ? alphabet[group & 63] : '=';
    }
    return text;
}

bool fromBase64(const std::string& text, std::string& bytes)
{
    bytes.clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            uint32_t value = 0;
            if (c == '=') {
                // Only at the end, one or two.
                if (i + 4 != text.size() || j < 2) {
                    return false;
                }
                ++padding;
            } else {
                if (padding > 0) {
                    return false;
                }
                const char* found = c != '\0' ? std::char_traits<char>::find(alphabet, 64, c) : nullptr;
                if (found == nullptr) {
                    return false;
                }
                value = uint32_t(found - alphabet);
            }
            group = (group << 6) | value;
        }
        bytes += char((group >> 16) & 0xFF);
        if (padding < 2) {
            bytes += char((group >> 8) & 0xFF);
        }
        if (padding < 1) {
            bytes += char(group & 0xFF);
        }
        // Canonical: the bits that padding hides are zero.
        if ((padding == 1 && (group & 0xFF) != 0) || (padding == 2 && (group & 0xFFFF) != 0)) {
            return false;
        }
    }
    return true;
}

std::string toHex(const std::string& bytes, HexLetters letters)
{
    const char* const digits = letters == HexLetters::lower ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        text += digits[uint8_t(c) >> 4];
        text += digits[uint8_t(c) & 15];
    }
    return text;
}

bool parseDecimal(const std::string& text, uint64_t& value, DecimalForm form)
{
    const bool zeroPadded = form == DecimalForm::zeroPadded;
    const size_t longest = zeroPadded ? 19 : 18;
    if (text.empty() || text.size() > longest || (!zeroPadded && text.size() > 1 && text[0] == '0')) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + uint64_t(c - '0');
    }
    return true;
}

}  // namespace KelvraCorelib
