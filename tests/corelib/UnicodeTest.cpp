#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "corelib/Unicode.h"
#include "support/TestSupport.h"

using KelvraCorelib::Unicode;

namespace {

using TestSupport::bytes;

// The rendered message of the error raised by decoding, or "" when decoding succeeds.
std::string decodeError(const std::string& input, bool littleEndian)
{
    Unicode text;
    try {
        if (littleEndian) {
            text.setFromUtf16LE(input);
        } else {
            text.setFromUtf16BE(input);
        }
    } catch (const Unicode::Unicode_Invalid& error) {
        EXPECT_EQ(error.className, "Unicode_Invalid");
        EXPECT_EQ(error.messageTemplate, "@unicode.invalid{Invalid unicode (%)};");
        EXPECT_NE(error.getAnnotations().find("file=\"Unicode.cpp\""), std::string::npos);
        EXPECT_TRUE(text.empty());
        return error.getMessage(false);
    }
    return "";
}

}  // namespace

TEST(Unicode, DecodesLittleAndBigEndianIncludingSurrogatePairs)
{
    Unicode text;
    text.setFromUtf16LE(bytes({0x3D, 0xD8, 0x00, 0xDE}));
    EXPECT_EQ(text.codePoints(), std::vector<uint32_t>({0x1F600}));
    EXPECT_EQ(text.toUtf8(), bytes({0xF0, 0x9F, 0x98, 0x80}));

    text.setFromUtf16BE(bytes({0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x41, 0x20, 0xAC}));
    EXPECT_EQ(text.codePoints(), std::vector<uint32_t>({0x1F600, 0x41, 0x20AC}));

    text.setFromUtf16LE(bytes({0x41, 0x00, 0xE9, 0x00, 0xFF, 0xFF, 0xFF, 0xDB, 0xFF, 0xDF}));
    EXPECT_EQ(text.codePoints(), std::vector<uint32_t>({0x41, 0xE9, 0xFFFF, 0x10FFFF}));
    EXPECT_EQ(text.toUtf8(), bytes({0x41, 0xC3, 0xA9, 0xEF, 0xBF, 0xBF, 0xF4, 0x8F, 0xBF, 0xBF}));

    // A byte-order mark is data like any other unit here.
    text.setFromUtf16LE(bytes({0xFF, 0xFE, 0x0A, 0x00}));
    EXPECT_EQ(text.codePoints(), std::vector<uint32_t>({0xFEFF, 0x0A}));
}

TEST(Unicode, EmptyInputReplacesEarlierContentWithNothing)
{
    Unicode text;
    text.setFromUtf16LE(bytes({0x41, 0x00}));
    ASSERT_EQ(text.size(), 1u);
    text.setFromUtf16BE(std::string());
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(text.toUtf8(), "");
}

TEST(Unicode, EachMalformedInputNamesItsReasonAndByteOrder)
{
    EXPECT_EQ(decodeError(bytes({0x00, 0xDC}), true), " Invalid unicode (illegal value uft16le)");
    EXPECT_EQ(decodeError(bytes({0xDC, 0x00}), false), " Invalid unicode (illegal value uft16be)");
    EXPECT_EQ(decodeError(bytes({0x41, 0x00, 0x42}), true), " Invalid unicode (uneven utf16le)");
    EXPECT_EQ(decodeError(bytes({0x00}), false), " Invalid unicode (uneven utf16be)");
    EXPECT_EQ(decodeError(bytes({0x41, 0x00, 0x3D, 0xD8}), true), " Invalid unicode (too short uft16le)");
    EXPECT_EQ(decodeError(bytes({0xD8, 0x3D}), false), " Invalid unicode (too short uft16be)");
    // A high surrogate followed by anything but a low one is refused, not merged with it.
    EXPECT_EQ(decodeError(bytes({0x3D, 0xD8, 0x41, 0x00}), true), " Invalid unicode (illegal value uft16le)");
    EXPECT_EQ(decodeError(bytes({0xD8, 0x3D, 0xD8, 0x3D}), false), " Invalid unicode (illegal value uft16be)");

    Unicode text;
    try {
        text.setFromUtf16LE(nullptr, 4);
        FAIL() << "no data must be refused";
    } catch (const Unicode::Unicode_Invalid& error) {
        EXPECT_EQ(error.getMessage(true), "Unicode_Invalid: Invalid unicode (void utf16le)");
    }
    try {
        text.setFromUtf16BE(nullptr, 2);
        FAIL() << "no data must be refused";
    } catch (const Unicode::Unicode_Invalid& error) {
        EXPECT_EQ(error.getMessage(false), " Invalid unicode (void utf16be)");
    }
}

TEST(Unicode, FailedDecodingLeavesNoPartialContent)
{
    Unicode text;
    text.setFromUtf16LE(bytes({0x41, 0x00}));
    EXPECT_THROW(text.setFromUtf16LE(bytes({0x42, 0x00, 0x43, 0x00, 0x00, 0xDC})), Unicode::Unicode_Invalid);
    EXPECT_TRUE(text.empty());
}

TEST(Unicode, EncodesEachRangeAndRefusesSurrogatesAndTooLargeValues)
{
    EXPECT_EQ(Unicode::encodeUtf8(0x00), bytes({0x00}));
    EXPECT_EQ(Unicode::encodeUtf8(0x7F), bytes({0x7F}));
    EXPECT_EQ(Unicode::encodeUtf8(0x80), bytes({0xC2, 0x80}));
    EXPECT_EQ(Unicode::encodeUtf8(0x7FF), bytes({0xDF, 0xBF}));
    EXPECT_EQ(Unicode::encodeUtf8(0x800), bytes({0xE0, 0xA0, 0x80}));
    EXPECT_EQ(Unicode::encodeUtf8(0x20AC), bytes({0xE2, 0x82, 0xAC}));
    EXPECT_EQ(Unicode::encodeUtf8(0xD7FF), bytes({0xED, 0x9F, 0xBF}));
    EXPECT_EQ(Unicode::encodeUtf8(0xD800), "");
    EXPECT_EQ(Unicode::encodeUtf8(0xDFFF), "");
    EXPECT_EQ(Unicode::encodeUtf8(0xE000), bytes({0xEE, 0x80, 0x80}));
    EXPECT_EQ(Unicode::encodeUtf8(0xFFFF), bytes({0xEF, 0xBF, 0xBF}));
    EXPECT_EQ(Unicode::encodeUtf8(0x10000), bytes({0xF0, 0x90, 0x80, 0x80}));
    EXPECT_EQ(Unicode::encodeUtf8(0x10FFFF), bytes({0xF4, 0x8F, 0xBF, 0xBF}));
    EXPECT_EQ(Unicode::encodeUtf8(0x1FFFFF), bytes({0xF7, 0xBF, 0xBF, 0xBF}));
    EXPECT_EQ(Unicode::encodeUtf8(0x200000), "");
    EXPECT_EQ(Unicode::encodeUtf8(0xFFFFFFFF), "");
}

TEST(Unicode, ReportsTheHostByteOrder)
{
    const uint16_t probe = 1;
    EXPECT_EQ(Unicode::isLittleEndian(), *reinterpret_cast<const unsigned char*>(&probe) == 1);
}

// Untrusted bytes: every sequence decodes completely or throws, and what decodes re-encodes
// to well-formed code points. The sanitizer build checks that no byte outside the input is read.
TEST(Unicode, RandomBytesDecodeOrThrowButNeverReadOutside)
{
    std::mt19937 random(20240611);
    // Bytes weighted towards the surrogate range so that pairs, lone halves and cut pairs occur.
    const std::vector<int> interesting = {0x00, 0x41, 0xD8, 0xDB, 0xDC, 0xDF, 0xFF, 0xFE, 0x3D, 0xDE};
    int decoded = 0;
    int refused = 0;
    for (int round = 0; round < 20000; ++round) {
        const size_t length = random() % 17;
        // Exactly sized heap buffer so that any read past the end is caught.
        std::vector<char> buffer(length);
        for (char& byte : buffer) {
            const uint32_t pick = random();
            byte = static_cast<char>(pick % 3 == 0 ? interesting[(pick >> 8) % interesting.size()] : (pick >> 8) & 0xFF);
        }
        const bool littleEndian = round % 2 == 0;
        Unicode text;
        try {
            if (littleEndian) {
                text.setFromUtf16LE(buffer.data(), buffer.size());
            } else {
                text.setFromUtf16BE(buffer.data(), buffer.size());
            }
            ++decoded;
            for (const uint32_t point : text.codePoints()) {
                ASSERT_TRUE(point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF)) << point;
            }
            EXPECT_LE(text.size(), length / 2);
            EXPECT_GE(text.toUtf8().size(), text.size());
        } catch (const Unicode::Unicode_Invalid&) {
            ++refused;
            EXPECT_TRUE(text.empty());
        }
    }
    EXPECT_GT(decoded, 1000);
    EXPECT_GT(refused, 1000);
}
