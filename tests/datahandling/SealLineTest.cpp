// The seal line's text: what is well-formed, and the key id rules of it.
#include <gtest/gtest.h>

#include "corelib/Codecs.h"
#include "corelib/platform/SealCrypto.h"
#include "datahandling/SealLine.h"
#include "support/TestSupport.h"

namespace {

using KelvraCorelib::SealLine;

SealLine sample()
{
    SealLine seal;
    seal.keyId = "0123456789abcdef";
    seal.epoch = 1112739;
    seal.start = 4005860400000;
    seal.end = 4005864000000;
    seal.epochKey.assign(32, '\x11');
    seal.certificate.assign(64, '\x22');
    seal.signature.assign(64, '\x33');
    return seal;
}

TEST(SealLine, OnlyTheExactFormIsWellFormed)
{
    const std::string text = sample().text();
    const std::optional<SealLine> parsed = SealLine::parse(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->text(), text);
    const std::string epochKey = KelvraCorelib::toBase64(std::string(32, '\x11'));
    EXPECT_EQ(parsed->certificateMessage("web1"),
              "trawlex-seal-2 epoch 0123456789abcdef web1 1112739 4005860400000 4005864000000 " + epochKey);
    // The first format binds no host and is still read.
    SealLine first = sample();
    first.format = SealLine::firstFormat;
    const std::optional<SealLine> firstParsed = SealLine::parse(first.text());
    ASSERT_TRUE(firstParsed);
    EXPECT_EQ(firstParsed->format, SealLine::firstFormat);
    EXPECT_EQ(firstParsed->certificateMessage("web1"),
              "trawlex-seal-1 epoch 0123456789abcdef 1112739 4005860400000 4005864000000 " + epochKey);

    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string changed = text;
        changed.replace(changed.find(from), from.size(), to);
        return changed;
    };
    for (const std::string& bad :
         {text + " ", text + "\r", " " + text, replaced("@SEAL: ", "@SEAL:  "), replaced("trawlex-seal-2", "trawlex-seal-3"),
          replaced("0123456789abcdef", "0123456789ABCDEF"), replaced("0123456789abcdef", "0123456789abcde"),
          replaced(" 1112739 ", " 01112739 "), replaced(" 1112739 ", " -1112739 "),
          replaced(" 4005864000000 ", " 4005860400000 "),  // an empty range
          replaced(KelvraCorelib::toBase64(std::string(32, '\x11')), KelvraCorelib::toBase64(std::string(31, '\x11'))),
          text.substr(0, text.rfind(' '))}) {
        EXPECT_FALSE(SealLine::parse(bad)) << bad;
    }
}

TEST(SealLine, VerificationKeyNamesItsOwnKeyIdAndHost)
{
    const std::string key(32, '\x42');
    const std::string line = SealLine::verificationKeyLine(key, "web1.example");
    const auto parsed = SealLine::parseVerificationKey(line + "\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->key, key);
    EXPECT_EQ(parsed->host, "web1.example");
    EXPECT_EQ(parsed->keyId, SealLine::keyIdOf(key));
    EXPECT_EQ(parsed->keyId.size(), 16u);
    EXPECT_EQ(parsed->text(), line);
    std::string other = line;
    other[15] = other[15] == '0' ? '1' : '0';  // a digit of the key id
    EXPECT_FALSE(SealLine::parseVerificationKey(other));
    const std::string firstFormat = "trawlex-seal-1 " + parsed->keyId + " " + KelvraCorelib::toBase64(key);
    ASSERT_TRUE(SealLine::parseVerificationKey(firstFormat));
    EXPECT_EQ(SealLine::parseVerificationKey(firstFormat)->host, "");
    for (const std::string& host : {std::string(), std::string("a b"), std::string("a\tb"), std::string(256, 'a')}) {
        EXPECT_FALSE(SealLine::isHostName(host)) << host;
    }
    EXPECT_FALSE(SealLine::parseVerificationKey("trawlex-seal-2 " + parsed->keyId + " " + KelvraCorelib::toBase64(key)));
}

TEST(SealLine, OnlyCanonicalEd25519EncodingsPass)
{
    // Points: y = p - 1 passes; y = p, y = 2^255 - 1 and the sign bit where x is 0 do not.
    auto point = [](int low, int middle, int high) {
        std::string bytes(32, char(middle));
        bytes.front() = char(low);
        bytes.back() = char(high);
        return bytes;
    };
    const std::string good = point(0xec, 0xff, 0x7f);
    const std::string order = TestSupport::withGroupOrderAdded(std::string(64, '\0')).substr(32);  // L
    auto canonical = [](const std::string& key, const std::string& signature) {
        return KelvraCorelib::Platform::ed25519Canonical(reinterpret_cast<const uint8_t*>(key.data()),
                                                         reinterpret_cast<const uint8_t*>(signature.data()));
    };
    EXPECT_TRUE(canonical(good, good + std::string(32, '\0')));
    EXPECT_TRUE(canonical(good, good + char(0xec) + order.substr(1)));  // S = L - 1
    EXPECT_FALSE(canonical(good, good + order));
    for (const std::string& bad : {point(0xed, 0xff, 0x7f), point(0xff, 0xff, 0x7f), point(0xec, 0xff, 0xff),
                                   point(0x01, 0x00, 0x80)}) {
        EXPECT_FALSE(canonical(bad, good + std::string(32, '\0')));
        EXPECT_FALSE(canonical(good, bad + std::string(32, '\0')));
    }
}

}  // namespace
