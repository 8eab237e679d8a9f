#include "corelib/Crypto.h"

#include <algorithm>
#include <initializer_list>
#include <cstring>
#include <mutex>
#include <new>

#include "corelib/Codecs.h"
#include "corelib/Logger.h"
#include "corelib/platform/CryptoBackend.h"

namespace KelvraCorelib {
namespace Crypto {

namespace {

// Key areas and the private MD5 start words. They are filled piece by piece on first use so
// that no key appears as one block in the binary.
uint8_t desKey[24];
uint8_t aesKey[32];
uint8_t legacyKey[8];
uint32_t alternativeState[4];

void put(uint8_t* area, size_t offset, std::initializer_list<uint8_t> piece)
{
    std::copy(piece.begin(), piece.end(), area + offset);
}

void fillKeys()
{
    put(aesKey, 27, {0x5e, 0x08, 0xc1, 0x73, 0x2a});
    put(aesKey, 0, {0x9b, 0x41, 0xe7});
    put(aesKey, 9, {0x66});
    put(aesKey, 3, {0x0d, 0xd2, 0x38, 0xaf});
    put(aesKey, 14, {0x91, 0x4c, 0x27, 0xbe, 0x03});
    put(aesKey, 7, {0x7a, 0xc5});
    put(aesKey, 22, {0xe9, 0x12});
    put(aesKey, 10, {0xf4, 0x86, 0x5b, 0x30});
    put(aesKey, 19, {0xa8, 0x6d, 0x1f});
    put(aesKey, 24, {0xc3, 0x57, 0xb0});

    put(desKey, 8, {0x2c, 0x9e, 0x61, 0xd4, 0x87});
    put(desKey, 0, {0xe3, 0x4a});
    put(desKey, 20, {0x19, 0xf6, 0x5d, 0xa2});
    put(desKey, 5, {0x0b, 0x92, 0x6f});
    put(desKey, 13, {0x38, 0xc7, 0x74, 0x1e, 0xb5});
    put(desKey, 2, {0x7d, 0xb1, 0x58});
    put(desKey, 18, {0x43, 0xea});

    put(legacyKey, 6, {0x4f, 0xa7});
    put(legacyKey, 0, {0xd6, 0x2b, 0x85});
    put(legacyKey, 3, {0x19, 0xe0, 0x6c});

    uint8_t words[16];
    put(words, 12, {0x3e, 0x95, 0x0f, 0x6a});
    put(words, 4, {0xd1, 0x27});
    put(words, 0, {0x84, 0x5c, 0xb3, 0x19});
    put(words, 8, {0x72, 0xe8, 0x4d});
    put(words, 6, {0x9a, 0xc6});
    put(words, 11, {0xab});
    for (int i = 0; i < 4; ++i) {
        alternativeState[i] = uint32_t(words[4 * i]) | uint32_t(words[4 * i + 1]) << 8 |
                              uint32_t(words[4 * i + 2]) << 16 | uint32_t(words[4 * i + 3]) << 24;
    }
}

std::once_flag keysFilled;

void ensureKeys()
{
    std::call_once(keysFilled, fillKeys);
}

const uint32_t standardState[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// Space for the result of a cipher; an allocation failure becomes Crypto_OutOfMemory.
std::string allocateOutput(size_t length)
{
    try {
        return std::string(length, '\0');
    } catch (const std::bad_alloc&) {
        throw Crypto_OutOfMemory("@out-of-memory{Out of memory};", KELVRA_HERE);
    }
}

std::string desEcb(const std::string& input, const uint8_t* key)
{
    std::string output = allocateOutput(input.size());
    if (!Platform::desEncryptBlocks(key, reinterpret_cast<const uint8_t*>(input.data()),
                                    reinterpret_cast<uint8_t*>(output.data()), input.size())) {
        throw Crypto_InvalidMethod("@cipher-unavailable{The DES cipher cannot be used};", KELVRA_HERE);
    }
    return output;
}

std::string aesEcb(const std::string& input)
{
    std::string output = allocateOutput(input.size());
    if (!Platform::aes256EncryptBlocks(aesKey, reinterpret_cast<const uint8_t*>(input.data()),
                                       reinterpret_cast<uint8_t*>(output.data()), input.size())) {
        throw Crypto_InvalidMethod("@cipher-unavailable{The AES cipher cannot be used};", KELVRA_HERE);
    }
    return output;
}

// Signed byte value, sign-extended, in modulo 2^64 arithmetic.
inline uint64_t signedByte(const char c)
{
    return uint64_t(int64_t(static_cast<signed char>(c)));
}

// hash = hash * 37 + b for every byte, eight bytes per step: the eight terms of a step do not
// depend on each other, so only one multiply-add per step is serial.
uint64_t polynomialHash(uint64_t hash, const char* data, size_t length)
{
    constexpr uint64_t p1 = 37;
    constexpr uint64_t p2 = p1 * p1;
    constexpr uint64_t p3 = p2 * p1;
    constexpr uint64_t p4 = p3 * p1;
    constexpr uint64_t p5 = p4 * p1;
    constexpr uint64_t p6 = p5 * p1;
    constexpr uint64_t p7 = p6 * p1;
    constexpr uint64_t p8 = p7 * p1;
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const char* b = data + i;
        const uint64_t terms = (signedByte(b[0]) * p7 + signedByte(b[1]) * p6) +
                               (signedByte(b[2]) * p5 + signedByte(b[3]) * p4) +
                               (signedByte(b[4]) * p3 + signedByte(b[5]) * p2) +
                               (signedByte(b[6]) * p1 + signedByte(b[7]));
        hash = hash * p8 + terms;
    }
    for (; i < length; ++i) {
        hash = hash * p1 + signedByte(data[i]);
    }
    return hash;
}

void md5Start(Md5Context& context, const uint32_t* state)
{
    std::memcpy(context.state, state, sizeof(context.state));
    context.byteCount = 0;
    context.bufferLength = 0;
}

void md5Update(Md5Context& context, const uint8_t* data, size_t length)
{
    context.byteCount += length;
    if (context.bufferLength > 0) {
        const size_t take = std::min(length, sizeof(context.buffer) - context.bufferLength);
        std::memcpy(context.buffer + context.bufferLength, data, take);
        context.bufferLength += take;
        data += take;
        length -= take;
        if (context.bufferLength < sizeof(context.buffer)) {
            return;
        }
        Platform::md5Compress(context.state, context.buffer);
        context.bufferLength = 0;
    }
    while (length >= 64) {
        Platform::md5Compress(context.state, data);
        data += 64;
        length -= 64;
    }
    std::memcpy(context.buffer, data, length);
    context.bufferLength = length;
}

void md5Finish(Md5Context& context, uint8_t* digest)
{
    const uint64_t bitCount = context.byteCount * 8;
    uint8_t padding[72] = {0x80};
    const size_t padLength = context.bufferLength < 56 ? 56 - context.bufferLength : 120 - context.bufferLength;
    uint8_t countBytes[8];
    for (int i = 0; i < 8; ++i) {
        countBytes[i] = uint8_t(bitCount >> (8 * i));
    }
    md5Update(context, padding, padLength);
    md5Update(context, countBytes, 8);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = uint8_t(context.state[i] >> (8 * j));
        }
    }
}

}  // namespace

std::string frame(const std::string& bytes, size_t blockSize)
{
    std::string escaped;
    escaped.reserve(bytes.size() + 8);
    for (const char c : bytes) {
        if (c == '\0') {
            escaped += "\\0";
        } else {
            escaped += c;
        }
    }
    std::string framed = std::to_string(escaped.size()) + "\n" + escaped;
    if (blockSize > 0 && framed.size() % blockSize != 0) {
        framed.append(blockSize - framed.size() % blockSize, '\0');
    }
    return framed;
}

std::string encipher(const std::string& bytes, int32_t method)
{
    if (method < 0 || method > 3) {
        throw Crypto_InvalidMethod("", KELVRA_HERE);
    }
    if (method == 0) {
        return bytes;
    }
    if (bytes.empty()) {
        throw Crypto_InvalidInput("", KELVRA_HERE);
    }
    ensureKeys();
    if (method == 1) {
        return desEcb(frame(bytes, 8), desKey);
    }
    if (method == 2) {
        return aesEcb(frame(bytes, 16));
    }
    std::string area(32, '\0');
    std::memcpy(area.data(), bytes.data(), std::min<size_t>(bytes.size(), 32));
    return desEcb(area.substr(0, 16), legacyKey);
}

std::string cipherName(int32_t method)
{
    switch (method) {
    case 0: return "C0";
    case 1: return "C1";
    case 2: return "C2";
    default: return "-ERROR-";
    }
}

std::string digestName(int32_t type)
{
    switch (type) {
    case 0: return "S0";
    case 1: return "S1";
    case 2: return "S2";
    default: return "-ERROR-";
    }
}

Signature::Signature(int32_t defaultDigest, bool alternativeInit)
{
    setup(defaultDigest, alternativeInit);
}

void Signature::setup(int32_t defaultDigestType, bool useAlternativeInit)
{
    defaultDigest = defaultDigestType;
    alternativeInit = useAlternativeInit;
    reset();
}

void Signature::reset()
{
    hash64 = 0;
    if (alternativeInit) {
        ensureKeys();
        md5Start(md5, alternativeState);
    } else {
        md5Start(md5, standardState);
    }
    hasData = false;
    finalized = false;
    std::memset(digest, 0, sizeof(digest));
}

void Signature::update(const std::string& text)
{
    update(text.data(), text.size());
}

void Signature::update(const char* data, size_t length)
{
    if (finalized) {
        throw Digest_AlreadyFinalized("", KELVRA_HERE);
    }
    // Both digests take the text in chunks that stay in the cache between the two passes.
    constexpr size_t chunk = 32 * 1024;
    for (size_t offset = 0; offset < length; offset += chunk) {
        const size_t n = std::min(chunk, length - offset);
        hash64 = polynomialHash(hash64, data + offset, n);
        md5Update(md5, reinterpret_cast<const uint8_t*>(data + offset), n);
    }
    hasData = true;
}

void Signature::updateMd5(const char* data, size_t length)
{
    if (finalized) {
        throw Digest_AlreadyFinalized("", KELVRA_HERE);
    }
    md5Update(md5, reinterpret_cast<const uint8_t*>(data), length);
    hasData = true;
}

void Signature::updateHash(const char* data, size_t length)
{
    if (finalized) {
        throw Digest_AlreadyFinalized("", KELVRA_HERE);
    }
    hash64 = polynomialHash(hash64, data, length);
}

void Signature::finalizeMd5()
{
    if (!finalized) {
        md5Finish(md5, digest);
        finalized = true;
    }
}

std::string Signature::signatureText(int32_t method, bool withHeader, int32_t type)
{
    if (!hasData) {
        throw Signature_NoDigest("", KELVRA_HERE);
    }
    if (type == 0) {
        type = defaultDigest;
    }
    std::string digestBytes;
    if (type == 1) {
        digestBytes = std::to_string(hash64);
    } else if (type == 2) {
        finalizeMd5();
        digestBytes.assign(reinterpret_cast<const char*>(digest), sizeof(digest));
    }
    const std::string enciphered = encipher(digestBytes, method);
    if (!withHeader) {
        return toHex(enciphered, HexLetters::upper);
    }
    return cipherName(method) + "(" + digestName(type) + "):" + toHex(enciphered, HexLetters::upper);
}

}  // namespace Crypto
}  // namespace KelvraCorelib
