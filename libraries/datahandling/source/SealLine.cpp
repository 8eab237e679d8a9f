#include "datahandling/SealLine.h"

#include <algorithm>
#include <vector>

#include "corelib/Codecs.h"
#include "corelib/platform/SealCrypto.h"

namespace KelvraCorelib {

namespace {

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
    return fromBase64(text, bytes) && bytes.size() == size;
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
    return toHex(digest.finish().substr(0, 8));
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

}  // namespace KelvraCorelib
