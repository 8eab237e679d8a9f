#pragma once
// Public-key signatures, hashes and the strong random source under the seal of data logs:
// Ed25519 (RFC 8032, pure), SHA-256 and SHA-512 (FIPS 180-4). One implementation serves
// every platform.
//
//   uint8_t seed[32], publicKey[32], signature[64];
//   randomBytes(seed, 32);
//   ed25519PublicKey(seed, publicKey);
//   ed25519Sign(seed, publicKey, message.data(), message.size(), signature);
//   ed25519Verify(publicKey, message.data(), message.size(), signature);   // true
//
// Functions return false when the library cannot do what is asked.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace KelvraCorelib::Platform {

constexpr size_t ed25519SeedSize = 32;
constexpr size_t ed25519PublicKeySize = 32;
constexpr size_t ed25519SignatureSize = 64;

// Bytes of the strong random source (for key seeds).
bool randomBytes(uint8_t* output, size_t size);

// The public key of the secret key whose 32-byte seed is given.
bool ed25519PublicKey(const uint8_t* seed, uint8_t* publicKey);
bool ed25519Sign(const uint8_t* seed, const uint8_t* publicKey, const uint8_t* message, size_t size,
                 uint8_t* signature);
// False for a signature or key that is not in its one canonical encoding (below) as well.
bool ed25519Verify(const uint8_t* publicKey, const uint8_t* message, size_t size, const uint8_t* signature);

// Whether a public key and a signature are in their canonical encodings (RFC 8032, 5.1.7):
// S below the group order L, and the points (key, R) with y below 2^255 - 19 and no sign
// bit on a point whose x is 0. Any other form would make a second valid signature of one
// message.
bool ed25519Canonical(const uint8_t* publicKey, const uint8_t* signature);

// A running SHA-256 or SHA-512 digest. update may be called from one thread at a time.
class HashDigest {
public:
    enum class Kind { sha256, sha512 };

    explicit HashDigest(Kind kind);
    ~HashDigest();
    HashDigest(const HashDigest&) = delete;
    HashDigest& operator=(const HashDigest&) = delete;

    bool usable() const { return state != nullptr; }
    void update(const void* data, size_t size);
    // The raw digest (32 or 64 bytes); later updates are not taken.
    std::string finish();

private:
    struct State;
    std::unique_ptr<State> state;
    Kind kind;
};

}  // namespace KelvraCorelib::Platform
