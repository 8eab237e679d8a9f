#pragma once
// The seal's texts: the last line of a sealed data log, the message that an epoch key signs,
// the certificate text that the master key signs, key ids and the verification key line.
//
//   @SEAL: trawlex-seal-2 <key id> <epoch> <start> <end> <epoch key> <certificate> <signature>
//
// Format 2 binds every epoch key to one host: its certificate covers the host name, which is the
// sealed file's "source.host". Format 1 ("trawlex-seal-1", no host) is still read and written for
// stores made in it.
//
// key id: 16 lower-case hexadecimal digits, the first 8 bytes of SHA-256 of the master's
// public key; epoch, start, end: unsigned decimals (start and end in 1900epoch milliseconds,
// the epoch holds start <= t < end); epoch key, certificate, signature: base64 (RFC 4648,
// with padding) of the 32-byte Ed25519 public key and two 64-byte Ed25519 signatures.
//
//   certificateMessage(2, "0123456789abcdef", "web1", 5, 100, 200, key)
//       => "trawlex-seal-2 epoch 0123456789abcdef web1 5 100 200 <base64 of key>"
//   (format 1: "trawlex-seal-1 epoch 0123456789abcdef 5 100 200 <base64 of key>")
//   fileMessage(2, d) => "trawlex-seal-2 file" LF, then the 64 bytes d (a SHA-512 digest)

#include <cstdint>
#include <optional>
#include <string>

namespace KelvraCorelib {

struct SealLine {
    static const std::string prefix;  // "@SEAL: "
    static constexpr unsigned firstFormat = 1;  // binds no host
    static constexpr unsigned hostFormat = 2;   // binds each epoch key to its host
    static constexpr unsigned currentFormat = hostFormat;
    // "trawlex-seal-<format>"
    static std::string formatName(unsigned format);
    // The format of a name, or 0 when it is none of these.
    static unsigned formatOf(const std::string& name);

    unsigned format = currentFormat;
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

    // host is left out in format 1.
    static std::string certificateMessage(unsigned format, const std::string& keyId, const std::string& host,
                                          uint64_t epoch, int64_t start, int64_t end, const std::string& epochKey);
    std::string certificateMessage(const std::string& host) const
    {
        return certificateMessage(format, keyId, host, epoch, start, end, epochKey);
    }
    static std::string fileMessage(unsigned format, const std::string& sha512);

    // A host name as a store binds it: 1 to 255 printable ASCII characters, no blank.
    static bool isHostName(const std::string& host);

    // The key id of a master public key.
    static std::string keyIdOf(const std::string& masterPublicKey);

    // A verification key file's line:
    //   "trawlex-seal-2 <key id> <host> <base64 of the master public key>"
    //   "trawlex-seal-1 <key id> <base64 of the master public key>"   (no host)
    struct VerificationKey {
        unsigned format = currentFormat;
        std::string keyId;
        std::string host;  // empty in format 1
        std::string key;   // 32 raw bytes
        std::string text() const;
    };
    static std::string verificationKeyLine(const std::string& masterPublicKey, const std::string& host);
    // A verification key line (a line feed may follow), or nothing.
    static std::optional<VerificationKey> parseVerificationKey(const std::string& line);
};

}  // namespace KelvraCorelib
