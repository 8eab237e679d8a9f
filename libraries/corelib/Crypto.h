#pragma once
// Keyed digests of the data log files: an accumulator that hashes text with MD5 (from the
// standard or the private initial state) and a running 64-bit polynomial hash, and the cipher
// methods that turn a digest into its signature text.
//
//   Crypto::Signature s(2, true);
//   s.update("line\n");
//   s.signatureText(2, true, 0);    // "C2(S2):" followed by 64 hexadecimal digits
//
// Digest types: 0 "S0" none, 1 "S1" hash64 as decimal text, 2 "S2" the 16 MD5 bytes.
// Cipher methods: 0 "C0" none, 1 "C1" framed + DES, 2 "C2" framed + AES-256, 3 legacy DES.
// Every error is thrown, whatever the error mode of the data-handling classes.

#include <cstddef>
#include <cstdint>
#include <string>

#include "corelib/Exception.h"

namespace KelvraCorelib {
namespace Crypto {

KELVRA_ERROR_CLASS(Crypto_InvalidMethod);
KELVRA_ERROR_CLASS(Crypto_InvalidInput);
KELVRA_ERROR_CLASS(Crypto_OutOfMemory);

// Applies a cipher method (0 to 3) to the bytes.
std::string encipher(const std::string& bytes, int32_t method);

// The framing of methods 1 and 2: every 0x00 becomes "\\0", the escaped length in decimal and
// a line feed go in front, zero bytes pad to a multiple of blockSize.
std::string frame(const std::string& bytes, size_t blockSize);

std::string cipherName(int32_t method);   // "C0", "C1", "C2", otherwise "-ERROR-"
std::string digestName(int32_t type);     // "S0", "S1", "S2", otherwise "-ERROR-"

// MD5 state as RFC 1321 describes it.
struct Md5Context {
    uint32_t state[4];
    uint64_t byteCount;        // bytes taken in so far
    uint8_t buffer[64];        // the incomplete block
    size_t bufferLength;
};

class Signature {
public:
    KELVRA_ERROR_CLASS(Digest_AlreadyFinalized);
    KELVRA_ERROR_CLASS(Signature_NoDigest);

    explicit Signature(int32_t defaultDigest = 2, bool alternativeInit = false);
    virtual ~Signature() = default;

    // Stores both settings, then resets.
    void setup(int32_t defaultDigest, bool alternativeInit);
    void reset();

    void update(const std::string& text);
    void update(const char* data, size_t length);
    // The two halves of update, for a caller that runs them side by side on two threads over
    // the same bytes: both together are update(data, length). Only updateMd5 counts as data.
    void updateMd5(const char* data, size_t length);
    void updateHash(const char* data, size_t length);

    // method 0 to 3; type 0 means defaultDigest. The MD5 digest is computed at the first call
    // and kept, so the text can be asked for again; a later update fails.
    std::string signatureText(int32_t method, bool withHeader, int32_t type = 0);

    uint64_t hash64Value() const { return hash64; }
    bool hasAnyData() const { return hasData; }
    bool isFinalized() const { return finalized; }

private:
    void finalizeMd5();

    int32_t defaultDigest;
    uint64_t hash64;
    Md5Context md5;
    bool alternativeInit;
    bool hasData;
    bool finalized;
    uint8_t digest[16];
};

}  // namespace Crypto
}  // namespace KelvraCorelib
