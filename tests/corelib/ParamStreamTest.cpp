#include <gtest/gtest.h>

#include <cfloat>

#include "corelib/ParamStream.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;

namespace {

using TestSupport::bytes;

Primitive item(int32_t type, const std::string& text)
{
    Primitive p;
    p.type = type;
    p.text = text;
    return p;
}

// Takes a ParamStream argument the way error constructors do.
size_t countOf(const ParamStream& parameters)
{
    return parameters.count();
}

}  // namespace

TEST(ParamStreamItems, TypedValuesHaveTheirTagsAndTexts)
{
    ParamStream p;
    p << true << int32_t(-7) << uint32_t(4000000000u) << int64_t(-9000000000LL) << uint64_t(18446744073709551615ULL)
      << 2.5 << 'A' << static_cast<char>(0xE9) << u'\u20AC' << "line\nback\\" << std::string() << u"w";
    ASSERT_EQ(p.count(), 12u);
    const std::pair<int32_t, std::string> expected[] = {
        {Bool, "1"},        {Int32, "-7"}, {UInt32, "4000000000"},        {Int64, "-9000000000"},
        {UInt64, "18446744073709551615"}, {Double, "2.5"}, {Char, "65"}, {Char, "-23"},
        {WChar, "8364"},    {String, "line\\nback\\\\"}, {String, ""},    {WString, bytes({'w', 0})},
    };
    for (const auto& [type, text] : expected) {
        Primitive got;
        ASSERT_TRUE(p.getPrimitive(got));
        EXPECT_EQ(got.type, type);
        EXPECT_EQ(got.text, text);
    }
    Primitive past;
    EXPECT_FALSE(p.getPrimitive(past));
}

TEST(ParamStreamItems, ValuesComeBackUnchanged)
{
    ParamStream p;
    const std::string narrowText = "a\nb\\c\\n\x1E";
    const WideString wideText = u"x\ny\\z\u20AC";
    p << narrowText << wideText << int64_t(INT64_MIN) << uint64_t(UINT64_MAX) << -0.125 << u'\uFFFF' << 'z';
    std::string s;
    WideString w;
    int64_t i64 = 0;
    uint64_t u64 = 0;
    double d = 0;
    char16_t wc = 0;
    char c = 0;
    p >> s >> w >> i64 >> u64 >> d >> wc >> c;
    EXPECT_EQ(s, narrowText);
    EXPECT_EQ(w, wideText);
    EXPECT_EQ(i64, INT64_MIN);
    EXPECT_EQ(u64, UINT64_MAX);
    EXPECT_EQ(d, -0.125);
    EXPECT_EQ(wc, u'\uFFFF');
    EXPECT_EQ(c, 'z');
}

TEST(ParamStreamItems, TagMismatchFailsAndConsumesTheItem)
{
    ParamStream p;
    p << true << int64_t(5) << int32_t(6);
    int32_t value = 99;
    EXPECT_FALSE(p.readInt32(value));  // the bool is gone
    EXPECT_EQ(value, 99);
    EXPECT_FALSE(p.readInt32(value));  // an Int64 is not read as 32-bit
    EXPECT_TRUE(p.readInt32(value));
    EXPECT_EQ(value, 6);
    EXPECT_FALSE(p.readInt32(value));  // nothing left

    ParamStream q;
    q << true;
    bool flag = false;
    EXPECT_TRUE(q.readBool(flag));
    EXPECT_TRUE(flag);
}

TEST(ParamStreamItems, RefusesBadTagsAndEmptyNonStringTexts)
{
    ParamStream p;
    EXPECT_FALSE(p.putPrimitive(item(-1, "1")));
    EXPECT_FALSE(p.putPrimitive(item(14, "1")));
    EXPECT_FALSE(p.putPrimitive(item(Int32, "")));
    EXPECT_FALSE(p.putPrimitive(item(Stream, "")));
    EXPECT_TRUE(p.putPrimitive(item(String, "")));
    EXPECT_TRUE(p.putPrimitive(item(WString, "")));
    EXPECT_TRUE(p.putPrimitive(item(RawByte, "x")));
    EXPECT_EQ(p.count(), 3u);

    StringStream s;
    EXPECT_FALSE(s.writeStream(StringStream()));
    EXPECT_FALSE(s.putPrimitive(item(Bool, "")));
    EXPECT_FALSE(s.putPrimitive(item(99, "1")));
    // A numeric text holding the separator would break the serial form.
    EXPECT_FALSE(s.putPrimitive(item(Int32, bytes({'1', 0x1E, '2'}))));
    EXPECT_EQ(s.serial, "");
}

TEST(ParamStreamCursor, AppendingAfterTheEndNeedsARewind)
{
    ParamStream empty;
    empty << int32_t(1);  // appended to an empty stream: read at once
    int32_t value = 0;
    EXPECT_TRUE(empty.readInt32(value));
    EXPECT_EQ(value, 1);

    empty << int32_t(2);  // cursor already past the end
    EXPECT_FALSE(empty.readInt32(value));
    ParamStream copy = empty;  // a copy reads from the first item
    EXPECT_TRUE(copy.readInt32(value));
    EXPECT_EQ(value, 1);
    empty.rewind();
    EXPECT_TRUE(empty.readInt32(value));
    EXPECT_TRUE(empty.readInt32(value));
    EXPECT_EQ(value, 2);

    ParamStream assigned;
    assigned << int32_t(7);
    assigned.readInt32(value);
    assigned = empty;
    EXPECT_TRUE(assigned.readInt32(value));
    EXPECT_EQ(value, 1);
}

TEST(ParamStreamFormat, FillsPlaceholdersInOrder)
{
    EXPECT_EQ((ParamStream() << uint64_t(12)).format("ImsAgent::removeMessageHook: Removing hook %"),
              "ImsAgent::removeMessageHook: Removing hook 12");
    EXPECT_EQ(ParamStream().format("Removing hook %"), "Removing hook %");
    EXPECT_EQ((ParamStream() << "a").format("% % %"), "a  ");
    EXPECT_EQ((ParamStream() << "a" << "b" << "c").format("%-%"), "a-b");
    EXPECT_EQ((ParamStream() << 1).format("%i"), "1i");
    EXPECT_EQ((ParamStream() << 1).format(u"<%>"), u"<1>");
    EXPECT_EQ(countOf(ParamStream() << "a" << 2 << 3.0), 3u);
}

TEST(ParamStreamFormat, BackslashCopiesTheNextCharacter)
{
    ParamStream p;
    p << "x";
    EXPECT_EQ(p.format("\\%%"), "\\%x");
    EXPECT_EQ(p.format("\\\\%"), "\\\\x");
    EXPECT_EQ(p.format("end\\"), "end\\");
}

TEST(ParamStreamFormat, FormatRestartsAtTheFirstItem)
{
    ParamStream p;
    p << 1 << 2;
    EXPECT_EQ(p.format("%"), "1");
    EXPECT_EQ(p.format("%%"), "12");
    int32_t value = 0;
    EXPECT_FALSE(p.readInt32(value));  // cursor stays after the last item used
}

TEST(ParamStreamDisplay, TextFormsOfEachTag)
{
    EXPECT_EQ(item(Bool, "0").toText(), "false");
    EXPECT_EQ(item(Bool, "").toText(), "false");
    EXPECT_EQ(item(Bool, "1").toText(), "true");
    EXPECT_EQ(item(Bool, "x").toWideText(), u"true");
    EXPECT_EQ(item(Double, "2.5").toText(), "2.5");
    EXPECT_EQ(item(String, "a\\nb\\\\").toText(), "a\nb\\");
    EXPECT_EQ(item(String, "a\\nb").toWideText(), u"a\nb");
    EXPECT_EQ(item(WString, bytes({'h', 0, 'i', 0})).toText(), "hi");
    EXPECT_EQ(item(WString, bytes({0xAC, 0x20})).toWideText(), u"\u20AC");
    EXPECT_EQ(item(Char, "65").toText(), "A");
    EXPECT_EQ(item(Char, "-23").toText(), std::string(1, static_cast<char>(0xE9)));
    EXPECT_EQ(item(WChar, "66").toText(), "B");
    EXPECT_EQ(item(WChar, "8364").toWideText(), u"\u20AC");
    EXPECT_EQ(item(Stream, "abc").toText(), "");
    EXPECT_EQ(item(None, "abc").toText(), "");
}

TEST(StringStreamSerial, ExampleBytes)
{
    StringStream s;
    s << int32_t(7) << "x";
    EXPECT_EQ(s.serial, bytes({0x03, 0x37, 0x1E, 0x09, 0x78, 0x1E}));
    int32_t n = 0;
    std::string x;
    s >> n >> x;
    EXPECT_EQ(n, 7);
    EXPECT_EQ(x, "x");
}

TEST(StringStreamSerial, SeparatorAndBackslashBytesRoundTrip)
{
    StringStream s;
    const std::string tricky = bytes({'a', 0x1E, '\\', 0x1F, '\n', 0x5C});
    s << tricky << WideString(u"\x1E\\") << int32_t(3);
    // Tag 9, "a", 0x1E as 5C 1F, then the backslash (doubled as an item) as four bytes.
    EXPECT_EQ(s.serial.substr(0, 8), bytes({0x09, 'a', 0x5C, 0x1F, 0x5C, 0x5C, 0x5C, 0x5C}));
    std::string back;
    WideString wideBack;
    int32_t three = 0;
    EXPECT_TRUE(s.readString(back));
    EXPECT_TRUE(s.readWideString(wideBack));
    EXPECT_TRUE(s.readInt32(three));
    EXPECT_EQ(back, tricky);
    EXPECT_EQ(wideBack, u"\x1E\\");
    EXPECT_EQ(three, 3);
    EXPECT_EQ(s.readPosition, s.serial.size());
}

TEST(StringStreamSerial, NestedStreamsRoundTrip)
{
    StringStream inner;
    inner << "in\x1E" << int32_t(1);
    StringStream outer;
    outer << inner << "after";
    StringStream copy(outer);

    StringStream got;
    std::string after;
    copy >> got >> after;
    EXPECT_EQ(got.serial, inner.serial);
    EXPECT_EQ(got.readPosition, 0u);
    EXPECT_EQ(after, "after");
    std::string text;
    int32_t one = 0;
    got >> text >> one;
    EXPECT_EQ(text, "in\x1E");
    EXPECT_EQ(one, 1);

    // A list stream renders a nested stream as empty text.
    ParamStream p;
    EXPECT_TRUE(p.putPrimitive(item(Stream, inner.serial)));
    EXPECT_EQ(p.format("[%]"), "[]");
}

TEST(StringStreamSerial, BrokenSerialFormsFail)
{
    Primitive p;
    StringStream badTag;
    badTag.serial = bytes({14, '1', 0x1E});
    EXPECT_FALSE(badTag.getPrimitive(p));
    EXPECT_EQ(badTag.readPosition, 0u);

    StringStream unterminated;
    unterminated.serial = bytes({3, '1', '2'});
    EXPECT_FALSE(unterminated.getPrimitive(p));
    EXPECT_EQ(unterminated.readPosition, 1u);  // past the tag byte

    StringStream lone;
    lone.serial = bytes({9, 'a', 0x5C, 0x1E});  // trailing backslash stays
    ASSERT_TRUE(lone.getPrimitive(p));
    EXPECT_EQ(p.text, "a\\");

    StringStream mismatch;
    mismatch << int64_t(1) << int32_t(2);
    int32_t value = 0;
    EXPECT_FALSE(mismatch.readInt32(value));
    EXPECT_TRUE(mismatch.readInt32(value));
    EXPECT_EQ(value, 2);
}

TEST(SharedTextValues, NarrowAndWideTextsTravelAsStrings)
{
    SharedText narrowText("shared");
    SharedText wideText(WideString(u"wide\n"));
    EXPECT_FALSE(narrowText.isWide());
    EXPECT_TRUE(wideText.isWide());
    EXPECT_EQ(SharedText().narrowText(), "");

    ParamStream p;
    p << narrowText << wideText;
    SharedText a;
    SharedText b;
    p >> a >> b;
    EXPECT_EQ(a.narrowText(), "shared");
    EXPECT_EQ(b.wideText(), u"wide\n");
    EXPECT_TRUE(b.isWide());
    a.set(WideString(u"now wide"));
    EXPECT_TRUE(a.isWide());
    EXPECT_EQ(a.narrowText(), "now wide");
}

TEST(ParamStreamNumbers, ExtremeDoublesRoundTrip)
{
    ParamStream p;
    p << DBL_MAX << 1e-300 << 0.1;
    double a = 0;
    double b = 0;
    double c = 0;
    p >> a >> b >> c;
    EXPECT_EQ(a, DBL_MAX);
    EXPECT_DOUBLE_EQ(b, 1e-300);
    EXPECT_DOUBLE_EQ(c, 0.1);
}

TEST(ParamStreamDisplay, TimeItemsShowTheDateTimeText)
{
    ParamStream p;
    EXPECT_TRUE(p.writeTime(86400000));
    EXPECT_TRUE(p.writeTime(3155760000000 + 59 * 86400000LL + 43200000 + 10));
    EXPECT_EQ(p.format("% / %"), "1900-01-01T00:00:00.000Z / 2000-02-29T12:00:00.010Z");
    p.rewind();
    int64_t count = 0;
    EXPECT_TRUE(p.readTime(count));
    EXPECT_EQ(count, 86400000);
    EXPECT_EQ(item(Time, "86400000").toWideText(), u"1900-01-01T00:00:00.000Z");
}
