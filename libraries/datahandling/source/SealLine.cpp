#include "datahandling/SealLine.h"

#include <algorithm>
#include <vector>

#include "corelib/platform/SealCrypto.h"

namespace KelvraCorelib {

namespace {

const char* const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::vector<std::string> splitAtBlanks(const std::string& text)
{
    std::vector<std::string> parts;
    size_t from = 0;
    while (from <= text.size()) {
        const size_t blank = text.find(' ', from);
        const size_t to = blank == std::string::npos ? text.size() : blank;
        parts.push_back(text.substr(from, to - from));
        from = to + 1;
    }
    return parts;
}

bool isKeyId(const std::string& text)
{
    if (text.size() != 16) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool decodeSized(const std::string& text, size_t size, std::string& bytes)
{
    return SealLine::fromBase64(text, bytes) && bytes.size() == size;
}

}  // namespace

const std::string SealLine::prefix = "@SEAL: ";
const std::string SealLine::format = "trawlex-seal-1";

std::string SealLine::text() const
{
    return prefix + format + " " + keyId + " " + std::to_string(epoch) + " " + std::to_string(start) + " " +
           std::to_string(end) + " " + toBase64(epochKey) + " " + toBase64(certificate) + " " + toBase64(signature);
}

std::optional<SealLine> SealLine::parse(const std::string& line)
{
    if (line.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    const std::vector<std::string> parts = splitAtBlanks(line.substr(prefix.size()));
    if (parts.size() != 8 || parts[0] != format || !isKeyId(parts[1])) {
        return std::nullopt;
    }
    SealLine seal;
    seal.keyId = parts[1];
    uint64_t start = 0;
    uint64_t end = 0;
    if (!parseDecimal(parts[2], seal.epoch) || !parseDecimal(parts[3], start) || !parseDecimal(parts[4], end) ||
        start >= end || !decodeSized(parts[5], Platform::ed25519PublicKeySize, seal.epochKey) ||
        !decodeSized(parts[6], Platform::ed25519SignatureSize, seal.certificate) ||
        !decodeSized(parts[7], Platform::ed25519SignatureSize, seal.signature)) {
        return std::nullopt;
    }
    seal.start = int64_t(start);
    seal.end = int64_t(end);
    return seal;
}

std::string SealLine::certificateMessage(const std::string& keyId, uint64_t epoch, int64_t start, int64_t end,
                                         const std::string& epochKey)
{
    return format + " epoch " + keyId + " " + std::to_string(epoch) + " " + std::to_string(start) + " " +
           std::to_string(end) + " " + toBase64(epochKey);
}

std::string SealLine::fileMessage(const std::string& sha512)
{
    return format + " file\n" + sha512;
}

std::string SealLine::keyIdOf(const std::string& masterPublicKey)
{
    Platform::HashDigest digest(Platform::HashDigest::Kind::sha256);
    digest.update(masterPublicKey.data(), masterPublicKey.size());
    return toLowerHex(digest.finish().substr(0, 8));
}

std::string SealLine::verificationKeyLine(const std::string& masterPublicKey)
{
    return format + " " + keyIdOf(masterPublicKey) + " " + toBase64(masterPublicKey);
}

std::optional<std::string> SealLine::parseVerificationKey(const std::string& line, std::string& keyId)
{
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    const std::vector<std::string> parts = splitAtBlanks(text);
    std::string key;
    if (parts.size() != 3 || parts[0] != format || !isKeyId(parts[1]) ||
        !decodeSized(parts[2], Platform::ed25519PublicKeySize, key) || keyIdOf(key) != parts[1]) {
        return std::nullopt;
    }
    keyId = parts[1];
    return key;
}

std::string SealLine::toBase64(const std::string& bytes)
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

bool SealLine::fromBase64(const std::string& text, std::string& bytes)
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

std::string SealLine::toLowerHex(const std::string& bytes)
{
    static const char* const digits = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        text += digits[uint8_t(c) >> 4];
        text += digits[uint8_t(c) & 15];
    }
    return text;
}

bool SealLine::parseDecimal(const std::string& text, uint64_t& value, bool zeroPadded)
{
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
