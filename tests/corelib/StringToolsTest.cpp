#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "corelib/StringTools.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
using namespace KelvraCorelib::StringTools;

namespace {

using TestSupport::bytes;

}  // namespace

TEST(StringToolsFormat, Integers)
{
    EXPECT_EQ(formatInt32(INT32_MIN), "-2147483648");
    EXPECT_EQ(formatUInt32(UINT32_MAX), "4294967295");
    EXPECT_EQ(formatInt64(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(formatInt64(0), "0");
    EXPECT_EQ(formatUInt64(0), "0");
    EXPECT_EQ(formatUInt64(UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(formatInt8(0xE9), "-23");
    EXPECT_EQ(formatInt16(0x18000), "-32768");
    EXPECT_EQ(formatUInt16(0x1FFFF), "65535");
    EXPECT_EQ(formatBool(true), "1");
    EXPECT_EQ(formatBool(false), "0");
}

TEST(StringToolsFormat, Doubles)
{
    EXPECT_EQ(formatDouble(0.0), "0");
    EXPECT_EQ(formatDouble(-0.0), "0");
    EXPECT_EQ(formatDouble(0.1), "0.1");
    EXPECT_EQ(formatDouble(-2.5), "-2.5");
    EXPECT_EQ(formatDouble(3.0), "3");
    EXPECT_EQ(formatDouble(1e15), "1000000000000000");
    EXPECT_EQ(formatDouble(1e16), "1.000000000000000e+16");
    EXPECT_EQ(formatDouble(1e-16), "1.000000000000000e-16");
    EXPECT_EQ(formatDouble(-1.5e300), "-1.500000000000000e+300");
}

TEST(StringToolsParse, TruthValuesAnd32BitNumbers)
{
    EXPECT_FALSE(parseBool(""));
    EXPECT_FALSE(parseBool("0"));
    EXPECT_TRUE(parseBool("00"));
    EXPECT_TRUE(parseBool("false"));

    EXPECT_EQ(parseInt32("  -42xyz"), -42);
    EXPECT_EQ(parseInt32("+7"), 7);
    EXPECT_EQ(parseInt32("abc"), 0);
    EXPECT_EQ(parseInt32(""), 0);
    EXPECT_EQ(parseInt32("99999999999"), INT32_MAX);
    EXPECT_EQ(parseInt32("-99999999999"), INT32_MIN);
    EXPECT_EQ(parseUInt32("4294967295"), UINT32_MAX);
    EXPECT_EQ(parseUInt32("4294967296"), UINT32_MAX);
    EXPECT_EQ(parseUInt32("-1"), UINT32_MAX);
    EXPECT_EQ(parseUInt32(" 12 "), 12u);
}

TEST(StringToolsParse, SixtyFourBitNumbers)
{
    EXPECT_EQ(parseInt64("-12ab"), -12);
    EXPECT_EQ(parseInt64(""), 0);
    EXPECT_EQ(parseInt64("-"), 0);
    EXPECT_EQ(parseInt64(" 5"), 0);  // no leading blanks
    EXPECT_EQ(parseInt64("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(parseInt64("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(parseInt64("9223372036854775808"), INT64_MIN);  // wraps around
    EXPECT_EQ(parseUInt64("-12"), 0u);
    EXPECT_EQ(parseUInt64(""), 0u);
    EXPECT_EQ(parseUInt64("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parseUInt64("18446744073709551616"), 0u);  // wraps around
    EXPECT_EQ(parseUInt64("12.5"), 12u);
}

TEST(StringToolsParse, DoublesClampAtTheLargestValue)
{
    EXPECT_EQ(parseDouble("2.5"), 2.5);
    EXPECT_EQ(parseDouble("junk"), 0.0);
    EXPECT_EQ(parseDouble("1e999"), DBL_MAX);
    EXPECT_EQ(parseDouble("1.7976931348623157e308"), DBL_MAX);
    EXPECT_EQ(parseDouble("-1e999"), -HUGE_VAL);
    EXPECT_EQ(parseDouble(formatDouble(DBL_MAX)), DBL_MAX);
}

TEST(StringToolsCase, LowerCaseAndComparison)
{
    std::string text = "MiXeD 123";
    EXPECT_EQ(toLower(text), "mixed 123");
    WideString wide = u"ABC";
    EXPECT_EQ(toLower(wide), u"abc");
    EXPECT_EQ(compareIgnoreCase("Hello", "hELLO"), 0);
    EXPECT_EQ(compareIgnoreCase("abc", "ABD"), -1);
    EXPECT_EQ(compareIgnoreCase("b", "A"), 1);
    EXPECT_EQ(compareIgnoreCase(WideString(u"X"), WideString(u"x")), 0);
}

TEST(StringToolsCharacters, WidenNarrowReplaceReverseUnquote)
{
    EXPECT_EQ(widen(std::string("ab\0c", 4)), WideString(u"ab\0c", 4));
    EXPECT_EQ(narrow(u"abc"), "abc");
    EXPECT_EQ(narrow(widen("plain")), "plain");

    std::string path = "a\\b\\c";
    EXPECT_EQ(replaceChar(path, '\\', '/'), "a/b/c");

    std::string text = "abcdef";
    EXPECT_EQ(reverse(text, 1, 3), "adcbef");
    EXPECT_EQ(reverse(text, 4, 100), "adcbfe");
    EXPECT_EQ(reverse(text, 10, 2), "adcbfe");
    EXPECT_EQ(reverse(text), "efbcda");

    std::string quoted = "\"x y\"";
    EXPECT_TRUE(unquote(quoted));
    EXPECT_EQ(quoted, "x y");
    std::string single = "'a'";
    EXPECT_TRUE(unquote(single));
    EXPECT_EQ(single, "a");
    std::string mixed = "'a\"";
    EXPECT_FALSE(unquote(mixed));
    std::string lone = "\"";
    EXPECT_FALSE(unquote(lone));
    std::string pair = "\"\"";
    EXPECT_TRUE(unquote(pair));
    EXPECT_EQ(pair, "");
}

TEST(StringToolsTrim, WhitespaceSetOrControlCharacters)
{
    std::string text = " \r\n\t\v\b\fvalue \x01 \f";
    EXPECT_EQ(trimLeft(text), "value \x01 \f");
    EXPECT_EQ(trimRight(text), "value \x01");
    std::string control = "\x01\x1F value\x7F\x02";
    EXPECT_EQ(trimLeft(control, false), "value\x7F\x02");
    EXPECT_EQ(trimRight(control, false), "value\x7F");
    std::string blank = "   ";
    EXPECT_EQ(trimRight(blank), "");
    WideString wide = u"\t wide \n";
    EXPECT_EQ(trimRight(trimLeft(wide)), u"wide");
    // A high byte is not a control character.
    std::string high = bytes({0xE9, ' '});
    EXPECT_EQ(trimLeft(high, false), high);
}

TEST(StringToolsCut, HeadAndTail)
{
    std::string text = "k=v=w";
    EXPECT_EQ(cutHead(text, '='), "k");
    EXPECT_EQ(text, "v=w");
    text = "a.b.c";
    EXPECT_EQ(cutTail(text, '.'), "c");
    EXPECT_EQ(text, "a.b");
    text = "none";
    EXPECT_EQ(cutHead(text, '='), "none");
    EXPECT_EQ(text, "");
    text = "none";
    EXPECT_EQ(cutTail(text, '.'), "none");
    EXPECT_EQ(text, "");
    text = "=x";
    EXPECT_EQ(cutHead(text, '='), "");
    EXPECT_EQ(text, "x");
    WideString wide = u"a/b";
    EXPECT_EQ(cutTail(wide, u'/'), u"b");
    EXPECT_EQ(wide, u"a");
}

TEST(StringToolsSplit, PartsAndLimits)
{
    using Parts = std::vector<std::string>;
    EXPECT_EQ(split("a,,b,", ','), (Parts{"a", "", "b"}));
    EXPECT_EQ(split("a,,b,", ',', unlimited, true), (Parts{"a", "b"}));
    EXPECT_EQ(split("", ','), Parts{});
    EXPECT_EQ(split(",", ','), Parts{""});
    EXPECT_EQ(split(",", ',', unlimited, true), Parts{});
    EXPECT_EQ(split("abc", ','), Parts{"abc"});
    EXPECT_EQ(split("a,b,c,d", ',', 2), (Parts{"a", "b,c,d"}));
    EXPECT_EQ(split("a,b,c,d", ',', 3), (Parts{"a", "b", "c,d"}));
    EXPECT_EQ(split("a,b", ',', 1), Parts{"a,b"});
    EXPECT_EQ(split("a,b", ',', 0), (Parts{"a", "b"}));
    // Skipped empty parts do not count against the limit.
    EXPECT_EQ(split(",,a,b,c", ',', 2, true), (Parts{"a", "b,c"}));

    std::list<std::string> list = {"stale"};
    split("x y", ' ', list);
    EXPECT_EQ(list, (std::list<std::string>{"x", "y"}));
    EXPECT_EQ(split(WideString(u"p;q"), u';'), (std::vector<WideString>{u"p", u"q"}));
}

TEST(StringToolsJoin, WithSeparators)
{
    EXPECT_EQ(join(std::vector<std::string>{"a", "", "b"}, ','), "a,,b");
    EXPECT_EQ(join(std::vector<std::string>{}, ','), "");
    EXPECT_EQ(join(std::list<std::string>{"one"}, ','), "one");
    EXPECT_EQ(join(std::vector<std::string>{"x", "y"}, std::string(", ")), "x, y");
    EXPECT_EQ(join(std::vector<WideString>{u"a", u"b"}, u' '), u"a b");
    // split undoes join when no part is empty and none holds the separator
    EXPECT_EQ(join(split("p.q.r", '.'), '.'), "p.q.r");
}

TEST(StringToolsCompareAt, SignedBytesAndBounds)
{
    EXPECT_EQ(compareAt("hello world", 6, "world"), 0);
    EXPECT_EQ(compareAt("hello world", 6, "wor"), 0);
    EXPECT_EQ(compareAt("hello world", 6, "worlds"), -1);  // text runs out
    EXPECT_EQ(compareAt("abc", 4, "a"), -1);
    EXPECT_EQ(compareAt("abc", 3, ""), 0);
    EXPECT_EQ(compareAt("abc", 0, "abd"), -1);
    EXPECT_EQ(compareAt("abd", 0, "abc"), 1);
    // 0xE9 is negative as a signed byte, so it sorts before "a".
    EXPECT_EQ(compareAt(bytes({0xE9}), 0, "a"), -1);
    EXPECT_EQ(compareAt("a", 0, bytes({0xE9})), 1);
}

TEST(StringToolsEscape, SingleCharacter)
{
    EXPECT_EQ(escapeChar("a\nb\\c", '\n', 'n', '\\'), "a\\nb\\\\c");
    EXPECT_EQ(unescapeChar("a\\nb\\\\c", 'n', '\n', '\\'), "a\nb\\c");
    EXPECT_EQ(unescapeChar("a\\tb\\", 'n', '\n', '\\'), "a\\tb\\");
    // Round trip of every byte value.
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    EXPECT_EQ(unescapeChar(escapeChar(all, '\x1E', '\x1F', '\\'), '\x1F', '\x1E', '\\'), all);
    EXPECT_EQ(escapeChar(WideString(u"x\n\\"), u'\n', u'n', u'\\'), u"x\\n\\\\");
    EXPECT_EQ(unescapeChar(WideString(u"x\\n\\\\"), u'n', u'\n', u'\\'), u"x\n\\");
}

TEST(StringToolsEscape, SeveralCharacters)
{
    EXPECT_EQ(escapeChars(bytes({0x41, 0x00, 0x42}), std::string(1, '\0'), "0", '\\'),
              bytes({0x41, 0x5C, 0x30, 0x42}));
    // The escape is left alone unless it is one of the specials.
    EXPECT_EQ(escapeChars("a\\b\tc", "\t", "t", '\\'), "a\\b\\tc");
    EXPECT_EQ(escapeChars("a\\b\tc", "\t\\", "t\\", '\\'), "a\\\\b\\tc");
    // A special without a replacement stays as it is.
    EXPECT_EQ(escapeChars("a\nb\rc", "\n\r", "n", '\\'), "a\\nb\rc");
}

TEST(StringToolsPad, LeftAndRight)
{
    EXPECT_EQ(padLeft("7", 3, '0'), "007");
    EXPECT_EQ(padRight("ab", 4), "ab  ");
    EXPECT_EQ(padLeft("long", 2), "long");
    EXPECT_EQ(padRight(WideString(u"w"), 2, u'.'), u"w.");
}

TEST(LineSizeSearcherBreaks, ExamplesFromTheHelpPrinter)
{
    const LineSizeSearcher searcher(10);
    size_t cut = 0;
    bool skip = false;
    ASSERT_TRUE(searcher.findBreak(std::string("hello world again"), 0, std::string::npos, cut, skip));
    EXPECT_EQ(cut, 5u);
    EXPECT_TRUE(skip);
    ASSERT_TRUE(searcher.findBreak(std::string("abc-defghijkl"), 0, std::string::npos, cut, skip));
    EXPECT_EQ(cut, 4u);
    EXPECT_FALSE(skip);
    ASSERT_TRUE(searcher.findBreak(std::string("abcdefghijklmnop"), 0, std::string::npos, cut, skip));
    EXPECT_EQ(cut, 10u);
    EXPECT_FALSE(skip);
    ASSERT_TRUE(searcher.findBreak(WideString(u"hello world again"), 6, std::string::npos, cut, skip));
    EXPECT_EQ(cut, 11u);
    EXPECT_TRUE(skip);
}

TEST(LineSizeSearcherBreaks, ShortRestsLineFeedsAndLimits)
{
    const LineSizeSearcher searcher(10);
    size_t cut = 0;
    bool skip = true;
    ASSERT_TRUE(searcher.findBreak(std::string("short"), 0, std::string::npos, cut, skip));
    EXPECT_EQ(cut, 5u);
    EXPECT_FALSE(skip);
    // The length limits the look-ahead.
    ASSERT_TRUE(searcher.findBreak(std::string("a long text here"), 2, 4, cut, skip));
    EXPECT_EQ(cut, 6u);
    // A line feed inside the width ends the line there.
    ASSERT_TRUE(searcher.findBreak(std::string("ab\ncd efghijklm"), 0, std::string::npos, cut, skip));
    EXPECT_EQ(cut, 2u);
    EXPECT_TRUE(skip);
    // A blank right after exactly width characters.
    ASSERT_TRUE(searcher.findBreak(std::string("abcdefghij klm"), 0, std::string::npos, cut, skip));
    EXPECT_EQ(cut, 10u);
    EXPECT_TRUE(skip);
    // A blank at the very start is not a break.
    ASSERT_TRUE(searcher.findBreak(std::string(" bcdefghijklm"), 0, std::string::npos, cut, skip));
    EXPECT_EQ(cut, 10u);
    EXPECT_FALSE(skip);

    EXPECT_FALSE(searcher.findBreak(std::string("abc"), 3, std::string::npos, cut, skip));
    EXPECT_FALSE(searcher.findBreak(std::string("abc"), 7, std::string::npos, cut, skip));
    EXPECT_FALSE(LineSizeSearcher(0).findBreak(std::string("abc"), 0, std::string::npos, cut, skip));
    EXPECT_EQ(LineSizeSearcher(300).width, 255);
    EXPECT_EQ(LineSizeSearcher(-5).width, 0);
}

TEST(LineSizeSearcherBreaks, WrappingLoopCoversTheText)
{
    const std::string text = "one two-three four five six seven eight nine ten";
    const LineSizeSearcher searcher(9);
    std::vector<std::string> lines;
    size_t start = 0;
    size_t cut = 0;
    bool skip = false;
    while (searcher.findBreak(text, start, std::string::npos, cut, skip)) {
        lines.push_back(text.substr(start, cut - start));
        start = cut + (skip ? 1 : 0);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"one two-", "three", "four five", "six seven", "eight", "nine ten"}));
}
