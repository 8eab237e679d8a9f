#pragma once
// The seal's texts: the last line of a sealed data log, the message that an epoch key signs,
// the certificate text that the master key signs, key ids and the verification key line.
//
//   @SEAL: trawlex-seal-1 <key id> <epoch> <start> <end> <epoch key> <certificate> <signature>
//
// key id: 16 lower-case hexadecimal digits, the first 8 bytes of SHA-256 of the master's
// public key; epoch, start, end: unsigned decimals (start and end in 1900epoch milliseconds,
// the epoch holds start <= t < end); epoch key, certificate, signature: base64 (RFC 4648,
// with padding) of the 32-byte Ed25519 public key and two 64-byte Ed25519 signatures.
//
//   certificateMessage("0123456789abcdef", 5, 100, 200, key)
//       => "trawlex-seal-1 epoch 0123456789abcdef 5 100 200 <base64 of key>"
//   fileMessage(d) => "trawlex-seal-1 file" LF, then the 64 bytes d (a SHA-512 digest)

#include <cstdint>
#include <optional>
#include <string>

namespace KelvraCorelib {

struct SealLine {
    static const std::string prefix;   // "@SEAL: "
    static const std::string format;   // "trawlex-seal-1"

    std::string keyId;
    uint64_t epoch = 0;
    int64_t start = 0;
    int64_t end = 0;
    std::string epochKey;     // 32 raw bytes
    std::string certificate;  // 64 raw bytes
    std::string signature;    // 64 raw bytes

    // The line without its line feed.
    std::string text() const;
    // A well-formed line (without its line feed), or nothing.
    static std::optional<SealLine> parse(const std::string& line);

    static std::string certificateMessage(const std::string& keyId, uint64_t epoch, int64_t start, int64_t end,
                                          const std::string& epochKey);
    std::string certificateMessage() const { return certificateMessage(keyId, epoch, start, end, epochKey); }
    static std::string fileMessage(const std::string& sha512);

    // The key id of a master public key, and the line of a verification key file
    // "trawlex-seal-1 <key id> <base64 of the master public key>".
    static std::string keyIdOf(const std::string& masterPublicKey);
    static std::string verificationKeyLine(const std::string& masterPublicKey);
    // The master public key of a verification key line (a line feed may follow), or nothing.
    static std::optional<std::string> parseVerificationKey(const std::string& line, std::string& keyId);
};

}  // namespace KelvraCorelib
