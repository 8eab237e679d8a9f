// Windows code only: AES-256 and DES through CNG (bcrypt), and an own MD5 compression
// function (the system offers MD5 only as a whole hash, never from another start state).
#include "corelib/platform/CryptoBackend.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include <windows.h>
#include <bcrypt.h>

namespace KelvraCorelib::Platform {

namespace {

// An algorithm provider and a key made from raw bytes, both released at the end.
class CipherKey {
public:
    CipherKey(const wchar_t* algorithm, const wchar_t* chainingMode, const uint8_t* key, ULONG keySize)
    {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, 0))) {
            provider = nullptr;
            return;
        }
        const ULONG modeSize = static_cast<ULONG>((std::wcslen(chainingMode) + 1) * sizeof(wchar_t));
        if (!BCRYPT_SUCCESS(BCryptSetProperty(provider, BCRYPT_CHAINING_MODE,
                                              reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(chainingMode)),
                                              modeSize, 0))) {
            return;
        }
        if (!BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(provider, &handle, nullptr, 0, const_cast<PUCHAR>(key),
                                                       keySize, 0))) {
            handle = nullptr;
        }
    }
    ~CipherKey()
    {
        if (handle != nullptr)
            BCryptDestroyKey(handle);
        if (provider != nullptr)
            BCryptCloseAlgorithmProvider(provider, 0);
    }
    CipherKey(const CipherKey&) = delete;
    CipherKey& operator=(const CipherKey&) = delete;

    bool usable() const { return handle != nullptr; }

    // Encrypts size bytes (whole blocks, no padding); iv may be null.
    bool encrypt(const uint8_t* input, uint8_t* output, ULONG size, uint8_t* iv, ULONG ivSize)
    {
        ULONG written = 0;
        const NTSTATUS status = BCryptEncrypt(handle, const_cast<PUCHAR>(input), size, nullptr, iv, ivSize, output,
                                              size, &written, 0);
        return BCRYPT_SUCCESS(status) && written == size;
    }

private:
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_KEY_HANDLE handle = nullptr;
};

inline uint32_t rotateLeft(uint32_t value, int count)
{
    return (value << count) | (value >> (32 - count));
}

}  // namespace

bool desEncryptBlocks(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t size)
{
    if (size % 8 != 0)
        return false;
    // Triple DES with three equal keys is DES; CBC with a zero vector for every single
    // block is ECB. (Plain DES is not offered by every CNG, wine's among them.)
    uint8_t tripleKey[24];
    for (int i = 0; i < 3; ++i)
        std::memcpy(tripleKey + 8 * i, key, 8);
    // A fresh key for every block: some CNGs (wine's) carry the chain on in the key
    // whatever vector the call passes.
    bool done = true;
    for (size_t offset = 0; done && offset < size; offset += 8) {
        CipherKey cipher(BCRYPT_3DES_ALGORITHM, BCRYPT_CHAIN_MODE_CBC, tripleKey, sizeof(tripleKey));
        uint8_t block[8];
        uint8_t vector[8] = {};
        std::memcpy(block, input + offset, 8);
        done = cipher.usable() && cipher.encrypt(block, output + offset, 8, vector, sizeof(vector));
    }
    SecureZeroMemory(tripleKey, sizeof(tripleKey));
    return done;
}

bool aes256EncryptBlocks(const uint8_t* key, const uint8_t* input, uint8_t* output, size_t size)
{
    if (size % 16 != 0 || size > 0x7fffffffu)
        return false;
    CipherKey cipher(BCRYPT_AES_ALGORITHM, BCRYPT_CHAIN_MODE_ECB, key, 32);
    if (!cipher.usable())
        return false;
    if (size == 0)
        return true;
    std::vector<uint8_t> source(input, input + size);
    return cipher.encrypt(source.data(), output, static_cast<ULONG>(size), nullptr, 0);
}

void md5Compress(uint32_t* state, const uint8_t* block)
{
    static const uint32_t sines[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
    static const int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    uint32_t words[16];
    for (int i = 0; i < 16; ++i) {
        words[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 | uint32_t(block[4 * i + 2]) << 16 |
                   uint32_t(block[4 * i + 3]) << 24;
    }
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];
    for (int step = 0; step < 64; ++step) {
        const int round = step / 16;
        uint32_t mix;
        int index;
        switch (round) {
        case 0: mix = (b & c) | (~b & d); index = step; break;
        case 1: mix = (d & b) | (~d & c); index = (5 * step + 1) % 16; break;
        case 2: mix = b ^ c ^ d; index = (3 * step + 5) % 16; break;
        default: mix = c ^ (b | ~d); index = (7 * step) % 16; break;
        }
        const uint32_t next = b + rotateLeft(a + mix + sines[step] + words[index], shifts[round][step % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace KelvraCorelib::Platform
