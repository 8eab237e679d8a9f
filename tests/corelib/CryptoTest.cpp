#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>

#include "corelib/Codecs.h"
#include "corelib/Crypto.h"

using namespace KelvraCorelib;
using Crypto::Signature;

namespace {

std::string lower(std::string text)
{
    for (char& c : text) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Plain MD5 (standard state, no cipher) as lower-case hexadecimal.
std::string md5Hex(const std::string& text)
{
    Signature s(2, false);
    s.update(text);
    return lower(s.signatureText(0, false, 2));
}

uint64_t referenceHash(const std::string& text)
{
    uint64_t h = 0;
    for (const char c : text) {
        h = h * 37 + uint64_t(int64_t(static_cast<signed char>(c)));
    }
    return h;
}

std::string randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 engine(seed);
    std::string text(n, '\0');
    for (char& c : text) {
        c = char(engine() & 0xff);
    }
    return text;
}

}  // namespace

TEST(CryptoMd5, Rfc1321TestSuiteWithTheStandardState)
{
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_EQ(md5Hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(CryptoMd5, PiecewiseUpdatesEqualOneUpdate)
{
    Signature whole(2, false);
    whole.update("abc");
    Signature parts(2, false);
    parts.update("ab");
    parts.update("c");
    EXPECT_EQ(parts.signatureText(0, false, 2), whole.signatureText(0, false, 2));
    EXPECT_EQ(parts.hash64Value(), whole.hash64Value());

    // Pieces of every size around the block and chunk boundaries, under both start states.
    const std::string data = randomBytes(200000, 7);
    for (const bool alternative : {false, true}) {
        Signature one(2, alternative);
        one.update(data);
        Signature many(2, alternative);
        std::mt19937 engine(11);
        size_t at = 0;
        while (at < data.size()) {
            const size_t n = std::min<size_t>(data.size() - at, engine() % 70000);
            many.update(data.data() + at, n);
            at += n;
        }
        EXPECT_EQ(many.signatureText(2, true, 0), one.signatureText(2, true, 0));
        EXPECT_EQ(many.hash64Value(), one.hash64Value());
    }
}

TEST(CryptoMd5, AlternativeStateGivesAnotherDigest)
{
    Signature standard(2, false);
    Signature alternative(2, true);
    standard.update("abc");
    alternative.update("abc");
    const std::string a = alternative.signatureText(0, false, 2);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_NE(a, standard.signatureText(0, false, 2));
    // setup switches the state and starts again.
    alternative.setup(2, false);
    alternative.update("abc");
    EXPECT_EQ(lower(alternative.signatureText(0, false, 0)), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(CryptoHash64, SignedBytesAndWrapAround)
{
    Signature s(1, false);
    s.update("ab");
    EXPECT_EQ(s.hash64Value(), 3687u);
    EXPECT_EQ(s.signatureText(0, false, 0), toHex("3687", HexLetters::upper));
    EXPECT_EQ(s.signatureText(0, true, 1), "C0(S1):" + toHex("3687", HexLetters::upper));

    Signature ff(1, false);
    ff.update(std::string(1, '\xff'));
    EXPECT_EQ(ff.hash64Value(), UINT64_MAX);

    Signature empty(1, false);
    empty.update("");
    EXPECT_EQ(empty.signatureText(0, false, 1), toHex("0", HexLetters::upper));

    for (const size_t n : {1u, 7u, 8u, 9u, 63u, 64u, 65u, 1000u, 40000u}) {
        const std::string data = randomBytes(n, uint32_t(n));
        Signature h(1, false);
        h.update(data);
        EXPECT_EQ(h.hash64Value(), referenceHash(data)) << n;
    }
}

TEST(CryptoSignature, TextFormsAndRepeatedCalls)
{
    Signature s(2, false);
    s.update("abc");
    EXPECT_EQ(s.signatureText(0, false, 2), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(s.signatureText(0, true, 2), "C0(S2):900150983CD24FB0D6963F7D28E17F72");
    const std::string first = s.signatureText(2, true, 0);
    EXPECT_EQ(first.substr(0, 7), "C2(S2):");
    EXPECT_EQ(first.size(), 7u + 64u);
    EXPECT_EQ(s.signatureText(2, true, 0), first);
    EXPECT_THROW(s.update("x"), Signature::Digest_AlreadyFinalized);
    EXPECT_EQ(s.signatureText(2, true, 0), first);
    // The legacy method has no printable name and always gives 16 bytes.
    EXPECT_EQ(s.signatureText(3, true, 0).substr(0, 12), "-ERROR-(S2):");
    EXPECT_EQ(s.signatureText(3, false, 0).size(), 32u);
    EXPECT_EQ(s.signatureText(1, true, 0).substr(0, 7), "C1(S2):");
    // An unknown digest type gives no bytes.
    EXPECT_EQ(s.signatureText(0, true, 5), "C0(-ERROR-):");
    EXPECT_THROW(s.signatureText(2, true, 5), Crypto::Crypto_InvalidInput);

    s.reset();
    EXPECT_THROW(s.signatureText(2, true, 0), Signature::Signature_NoDigest);
    s.update("abc");
    EXPECT_EQ(s.signatureText(2, true, 0), first);
}

TEST(CryptoSignature, KeysAndStartStateArePinned)
{
    // Writer and checker share these constants; a change would invalidate every signed file.
    Signature s(2, true);
    s.update("abc");
    EXPECT_EQ(s.signatureText(0, false, 0), "77EA92AD8895B58E31B53FE348D69BAC");
    EXPECT_EQ(s.signatureText(2, true, 0), "C2(S2):3E3C37B3C831258350DE39709EC707BBCBDD15FD49358F17D713D7C0F9A6CB37");
    Signature legacy(2, false);
    legacy.update("abc");
    EXPECT_EQ(legacy.signatureText(3, false, 0), "23B0FF5B21C4DD22460D212A929507E2");
    EXPECT_EQ(legacy.signatureText(1, false, 0), "337822BD0904BBB2DAF8E18EA43ACDF4C57038249E1A8996");
}

TEST(CryptoCipher, FramingEscapesLengthPrefixAndPads)
{
    const std::string digest = "0123456789abcdef";
    const std::string framed = Crypto::frame(digest, 16);
    EXPECT_EQ(framed, "16\n" + digest + std::string(13, '\0'));
    EXPECT_EQ(Crypto::frame(std::string("a\0b", 3), 8), std::string("4\na\\0b\0\0", 8));
    EXPECT_EQ(Crypto::frame("a\\b", 1), "3\na\\b");
    // Already a multiple: nothing added.
    EXPECT_EQ(Crypto::frame(std::string(13, 'x'), 16).size(), 16u);

    EXPECT_EQ(Crypto::encipher(digest, 2).size(), 32u);
    EXPECT_EQ(Crypto::encipher(std::string(13, '\0') + "abc", 2).size(), 32u);   // 29 escaped + "29\n"
    EXPECT_EQ(Crypto::encipher(std::string(14, '\0') + "ab", 2).size(), 48u);
    EXPECT_EQ(Crypto::encipher(digest, 1).size(), 24u);
    EXPECT_EQ(Crypto::encipher(digest, 0), digest);
    EXPECT_EQ(Crypto::encipher("", 0), "");
}

TEST(CryptoCipher, BlockModesAreEcb)
{
    // "29\n" + 29 bytes is four DES blocks / two AES blocks; equal plain blocks give equal cipher blocks.
    const std::string tail16 = "QRSTUVWXYZ012345";
    const std::string des = Crypto::encipher("abcdefghijklm" + std::string("ABCDEFGH") + "ABCDEFGH", 1);
    ASSERT_EQ(des.size(), 32u);
    EXPECT_EQ(des.substr(16, 8), des.substr(24, 8));
    const std::string aes = Crypto::encipher(std::string(13, 'z') + tail16, 2);
    ASSERT_EQ(aes.size(), 32u);
    EXPECT_NE(aes.substr(0, 16), aes.substr(16, 16));
    // The legacy method reads only the first 16 bytes.
    EXPECT_EQ(Crypto::encipher("0123456789abcdefXYZ", 3), Crypto::encipher("0123456789abcdef", 3));
    EXPECT_EQ(Crypto::encipher("0123456789abcdef", 3).size(), 16u);
    EXPECT_EQ(Crypto::encipher("short", 3).size(), 16u);
}

TEST(CryptoCipher, ErrorsAndNames)
{
    EXPECT_THROW(Crypto::encipher("x", 4), Crypto::Crypto_InvalidMethod);
    EXPECT_THROW(Crypto::encipher("x", -1), Crypto::Crypto_InvalidMethod);
    for (const int method : {1, 2, 3}) {
        EXPECT_THROW(Crypto::encipher("", method), Crypto::Crypto_InvalidInput) << method;
    }
    try {
        Crypto::encipher("", 2);
    } catch (const Exception& e) {
        EXPECT_EQ(e.className, "Crypto_InvalidInput");
        EXPECT_EQ(e.messageTemplate, "");
    }
    EXPECT_EQ(Crypto::cipherName(0), "C0");
    EXPECT_EQ(Crypto::cipherName(2), "C2");
    EXPECT_EQ(Crypto::cipherName(3), "-ERROR-");
    EXPECT_EQ(Crypto::digestName(1), "S1");
    EXPECT_EQ(Crypto::digestName(-1), "-ERROR-");
    EXPECT_EQ(toHex(std::string("\x00\x0f\xa5\xff", 4), HexLetters::upper), "000FA5FF");
}

TEST(Codecs, Base64FollowsRfc4648AndIsCanonical)
{
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(toBase64(bytes), text);
        std::string decoded;
        ASSERT_TRUE(fromBase64(text, decoded)) << text;
        EXPECT_EQ(decoded, bytes);
    }
    std::string decoded;
    for (const char* bad : {"Zg=", "Zh==", "Zm9=", "Z===", "Zg==Zg==", "Zm 9", "Zm9v\n", "=Zm9"}) {
        EXPECT_FALSE(fromBase64(bad, decoded)) << bad;
    }
}

TEST(Codecs, DecimalsStayWithin63Bits)
{
    uint64_t value = 0;
    EXPECT_TRUE(parseDecimal("999999999999999999", value) && value == 999999999999999999u);
    EXPECT_FALSE(parseDecimal("9999999999999999999", value));
    EXPECT_TRUE(parseDecimal("0000000000000000042", value, DecimalForm::zeroPadded) && value == 42);
}
