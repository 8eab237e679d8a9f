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

std::string SealLine::formatName(unsigned format)
{
    return "trawlex-seal-" + std::to_string(format);
}

unsigned SealLine::formatOf(const std::string& name)
{
    for (const unsigned format : {firstFormat, hostFormat}) {
        if (name == formatName(format)) {
            return format;
        }
    }
    return 0;
}

bool SealLine::isHostName(const std::string& host)
{
    return !host.empty() && host.size() <= 255 &&
           std::all_of(host.begin(), host.end(), [](char c) { return c > ' ' && c < 0x7f; });
}

std::string SealLine::text() const
{
    return prefix + formatName(format) + " " + keyId + " " + std::to_string(epoch) + " " + std::to_string(start) + " " +
           std::to_string(end) + " " + toBase64(epochKey) + " " + toBase64(certificate) + " " + toBase64(signature);
}

std::optional<SealLine> SealLine::parse(const std::string& line)
{
    if (line.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    const std::vector<std::string> parts = splitAtBlanks(line.substr(prefix.size()));
    if (parts.size() != 8 || formatOf(parts[0]) == 0 || !isKeyId(parts[1])) {
        return std::nullopt;
    }
    SealLine seal;
    seal.format = formatOf(parts[0]);
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

std::string SealLine::certificateMessage(unsigned format, const std::string& keyId, const std::string& host,
                                         uint64_t epoch, int64_t start, int64_t end, const std::string& epochKey)
{
    const std::string boundHost = format == firstFormat ? std::string() : host + " ";
    return formatName(format) + " epoch " + keyId + " " + boundHost + std::to_string(epoch) + " " + std::to_string(start) + " " +
           std::to_string(end) + " " + toBase64(epochKey);
}

std::string SealLine::fileMessage(unsigned format, const std::string& sha512)
{
    return formatName(format) + " file\n" + sha512;
}

std::string SealLine::keyIdOf(const std::string& masterPublicKey)
{
    Platform::HashDigest digest(Platform::HashDigest::Kind::sha256);
    digest.update(masterPublicKey.data(), masterPublicKey.size());
    return toHex(digest.finish().substr(0, 8));
}

std::string SealLine::VerificationKey::text() const
{
    return formatName(format) + " " + keyId + " " + (format == firstFormat ? std::string() : host + " ") +
           toBase64(key);
}

std::string SealLine::verificationKeyLine(const std::string& masterPublicKey, const std::string& host)
{
    VerificationKey line;
    line.keyId = keyIdOf(masterPublicKey);
    line.host = host;
    line.key = masterPublicKey;
    return line.text();
}

std::optional<SealLine::VerificationKey> SealLine::parseVerificationKey(const std::string& line)
{
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    const std::vector<std::string> parts = splitAtBlanks(text);
    VerificationKey key;
    key.format = parts.empty() ? 0 : formatOf(parts[0]);
    const size_t fields = key.format == firstFormat ? 3 : 4;
    if (key.format == 0 || parts.size() != fields || !isKeyId(parts[1]) ||
        !decodeSized(parts.back(), Platform::ed25519PublicKeySize, key.key) || keyIdOf(key.key) != parts[1]) {
        return std::nullopt;
    }
    if (key.format != firstFormat) {
        key.host = parts[2];
        if (!isHostName(key.host)) {
            return std::nullopt;
        }
    }
    key.keyId = parts[1];
    return key;
}

}  // namespace KelvraCorelib
