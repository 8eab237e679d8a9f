// Byte texts: base64 of RFC 4648 in its canonical form, hexadecimal, unsigned decimals.
#include <gtest/gtest.h>

#include "corelib/Codecs.h"

namespace {

using namespace KelvraCorelib;

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

TEST(Codecs, HexAndDecimal)
{
    EXPECT_EQ(toHex(std::string("\x00\x0f\xa5\xff", 4), HexLetters::upper), "000FA5FF");
    EXPECT_EQ(toHex(std::string("\x00\x0f\xa5\xff", 4)), "000fa5ff");
    uint64_t value = 0;
    EXPECT_TRUE(parseDecimal("999999999999999999", value));
    EXPECT_EQ(value, 999999999999999999u);
    EXPECT_TRUE(parseDecimal("0000000000000000042", value, DecimalForm::zeroPadded));
    EXPECT_EQ(value, 42u);
    for (const char* bad : {"", "042", "-1", "1 ", "9999999999999999999"}) {
        EXPECT_FALSE(parseDecimal(bad, value)) << bad;
    }
}

}  // namespace
