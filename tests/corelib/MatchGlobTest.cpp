#include <gtest/gtest.h>

#include <string>

#include "corelib/MatchGlob.h"

using KelvraCorelib::matchGlob;

TEST(MatchGlob, StarMatchesAnyRunAndQuestionMarkOneCharacter)
{
    for (const char* text : {"", "a", "abc", "*", "?"}) {
        EXPECT_TRUE(matchGlob(text, "*")) << text;
    }
    EXPECT_TRUE(matchGlob("abc", "a*"));
    EXPECT_TRUE(matchGlob("abc", "*c"));
    EXPECT_TRUE(matchGlob("abc", "a*c"));
    EXPECT_TRUE(matchGlob("ac", "a*c"));
    EXPECT_FALSE(matchGlob("abd", "a*c"));
    EXPECT_TRUE(matchGlob("abc", "a?c"));
    EXPECT_FALSE(matchGlob("ac", "a?c"));
    EXPECT_FALSE(matchGlob("abbc", "a?c"));
    EXPECT_TRUE(matchGlob("abc", "???"));
    EXPECT_FALSE(matchGlob("abc", "??"));
    EXPECT_TRUE(matchGlob("trawlex-20240101-00.data", "trawlex-*-??.data"));
    EXPECT_FALSE(matchGlob("trawlex-20240101-00.data.make", "trawlex-*-??.data"));
}

TEST(MatchGlob, WholeTextMustMatch)
{
    EXPECT_FALSE(matchGlob("abc", "ab"));
    EXPECT_FALSE(matchGlob("abc", "bc"));
    EXPECT_FALSE(matchGlob("ab", "abc"));
    EXPECT_TRUE(matchGlob("+01:00", "+??:??"));
    EXPECT_FALSE(matchGlob("+1:00", "+??:??"));
    EXPECT_FALSE(matchGlob("+01:000", "+??:??"));
}

TEST(MatchGlob, BytesCompareExactlyWithoutEscapesOrClasses)
{
    EXPECT_FALSE(matchGlob("abc", "ABC"));
    EXPECT_FALSE(matchGlob("ABC", "abc"));
    EXPECT_TRUE(matchGlob("a\\b", "a\\b"));
    EXPECT_FALSE(matchGlob("a*", "a\\*"));
    EXPECT_TRUE(matchGlob("[a]", "[a]"));
    EXPECT_FALSE(matchGlob("a", "[a]"));
    EXPECT_TRUE(matchGlob("\xE9t\xE9", "\xE9?\xE9"));
    EXPECT_TRUE(matchGlob(std::string("a\0b", 3), std::string("a?b")));
    EXPECT_FALSE(matchGlob(std::string("a\0b", 3), std::string("a\0c", 3)));
}

TEST(MatchGlob, EmptyTextAndEmptyGlob)
{
    EXPECT_TRUE(matchGlob("", ""));
    EXPECT_TRUE(matchGlob("", "*"));
    EXPECT_FALSE(matchGlob("", "?*"));
    EXPECT_FALSE(matchGlob("", "?"));
    EXPECT_FALSE(matchGlob("", "a"));
    // Only the single star matches the empty text; a run of stars collapses for non-empty texts only.
    EXPECT_FALSE(matchGlob("", "**"));
    EXPECT_FALSE(matchGlob("a", ""));
    EXPECT_FALSE(matchGlob(" ", ""));
}

TEST(MatchGlob, RunsOfStarsCountAsOne)
{
    for (const char* text : {"x", "yx", "xx", "abcx", "x", "y", "xy", "abc"}) {
        EXPECT_EQ(matchGlob(text, "**x"), matchGlob(text, "*x")) << text;
        EXPECT_EQ(matchGlob(text, "x***"), matchGlob(text, "x*")) << text;
        EXPECT_EQ(matchGlob(text, "a**b***c"), matchGlob(text, "a*b*c")) << text;
    }
    EXPECT_TRUE(matchGlob("x", "**x"));
    EXPECT_TRUE(matchGlob("yx", "**x"));
    EXPECT_TRUE(matchGlob("abc", "***"));
    EXPECT_TRUE(matchGlob("a", "?*"));
    EXPECT_TRUE(matchGlob("abc", "?*"));
    EXPECT_TRUE(matchGlob("abc", "?**"));
}

TEST(MatchGlob, StarsNeedBacktracking)
{
    EXPECT_TRUE(matchGlob("f(x)", "*(*)*"));
    EXPECT_TRUE(matchGlob("()", "*(*)*"));
    EXPECT_TRUE(matchGlob("a)b(c)d", "*(*)*"));
    EXPECT_FALSE(matchGlob(")(", "*(*)*"));
    EXPECT_FALSE(matchGlob("((", "*(*)*"));
    EXPECT_TRUE(matchGlob("aaab", "*ab"));
    EXPECT_TRUE(matchGlob("abab", "*ab"));
    EXPECT_TRUE(matchGlob("mississippi", "*sip*"));
    EXPECT_TRUE(matchGlob("mississippi", "m*iss*ppi"));
    EXPECT_FALSE(matchGlob("mississippi", "m*iss*ppx"));
    EXPECT_TRUE(matchGlob("abcabd", "*ab?"));
    EXPECT_TRUE(matchGlob("aXbXc", "a*?*c"));
    EXPECT_FALSE(matchGlob("ac", "a*?*?c"));
}

// A user pattern that makes naive recursive matchers exponential must still be answered quickly.
TEST(MatchGlob, PathologicalPatternEndsPromptly)
{
    std::string glob;
    for (int i = 0; i < 30; ++i) {
        glob += "*a";
    }
    const std::string text(100000, 'a');
    EXPECT_FALSE(matchGlob(text, glob + "b"));
    EXPECT_TRUE(matchGlob(text, glob));
    EXPECT_TRUE(matchGlob(text + "b", glob + "b"));
    EXPECT_FALSE(matchGlob(text, std::string(1000, '*') + "?" + std::string(1000, '*') + "b"));
}
