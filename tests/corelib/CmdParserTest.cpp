#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corelib/CmdParser.h"
#include "corelib/Logger.h"

using namespace KelvraCorelib;

namespace {

// A parser with the standard options and one option of every kind.
class CmdParserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        parser.setUpStandardOptions("trawlex", true, false, false);
        parser.addFlag("Verbose", 'v', "verbose");
        parser.addFlag("Quiet", 'q', "");
        parser.addOption("Target dir", 't', "target");
        parser.addOption("Mode", 0, "mode", {"fast", "slow"});
        parser.addKeyValue("Level", "level");
        parser.addRest("Arguments to executable", "args");
    }
    void TearDown() override { Logger::maximumLevel = LogTrace; }

    // Parses "prog" followed by the words.
    bool parse(std::vector<std::string> words)
    {
        words.insert(words.begin(), "prog");
        return parser.parse(words, text);
    }
    std::string value(const std::string& name)
    {
        std::string result = "(not given)";
        parser.getValue(name, result);
        return result;
    }

    CmdParser parser;
    std::string text;
};

TEST_F(CmdParserTest, EveryErrorTextKeepsWhatCameBeforeTheFailingWord)
{
    EXPECT_FALSE(parser.parse(std::vector<std::string>{}, text));
    EXPECT_EQ(text, "Missing executable argument");

    EXPECT_FALSE(parse({"-v", "--target", "a", "--nope", "--mode", "fast"}));
    EXPECT_EQ(text, "Unknown option 'nope'");
    EXPECT_TRUE(parser.isSet("verbose"));
    EXPECT_EQ(value("t"), "a");
    EXPECT_FALSE(parser.isSet("mode"));
    EXPECT_TRUE(parse({}));  // forgets the earlier results
    EXPECT_FALSE(parser.isSet("v") || parser.isSet("target"));

    const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
        {{"-x"}, "Unknown option 'x'"},
        {{"size=3"}, "Unknown option 'size'"},
        {{"target=dir"}, "Option 'target' must be option=value"},
        {{"--level", "3"}, "Option 'level' must be option=value"},
        {{"-qt"}, "Missing argument to 't' option"},  // the last letter may take the next word
        {{"--args"}, "Missing argument to 'args' option"},
        {{"--mode", "\"fast\""}, "Invalid argument to 'mode' option"},
        // Without slots and extra arguments every positional word is one too many; so are
        // words that only look like key=value words.
        {{"bare"}, "Too many arguments"},
        {{"9x=1"}, "Too many arguments"},
        {{"a-b=1"}, "Too many arguments"},
    };
    for (const auto& [words, message] : failures) {
        EXPECT_FALSE(parse(words)) << words[0];
        EXPECT_EQ(text, message);
    }

    EXPECT_FALSE(parse({"-vtq", "dir"}));
    EXPECT_EQ(text, "Option 't' requires argument but is located inside an options token");
    EXPECT_TRUE(parser.isSet("v"));
    EXPECT_FALSE(parser.isSet("q") || parser.isSet("t"));

    parser.addArgument("input");
    EXPECT_FALSE(parse({"first", "-v", "second"}));
    EXPECT_EQ(text, "Too many arguments");
    EXPECT_EQ(parser.getArguments(), std::vector<std::string>{"first"});
    EXPECT_TRUE(parser.isSet("v"));
}

TEST_F(CmdParserTest, LetterTokensDashesAndExtraArguments)
{
    ASSERT_TRUE(parse({"-vqt", "dir"})) << text;
    EXPECT_TRUE(parser.isSet("verbose") && parser.isSet("q"));
    EXPECT_EQ(value("target"), "dir");
    EXPECT_EQ(value("v"), "");

    // Empty words and a lone "-" are skipped; after "--" nothing is an option.
    parser.setAcceptExtraArguments(true);
    ASSERT_TRUE(parse({"", "-", "-q", "--", "--verbose", "-v", "level=1", "", "-"})) << text;
    EXPECT_TRUE(parser.isSet("q"));
    EXPECT_FALSE(parser.isSet("verbose") || parser.isSet("level"));
    EXPECT_EQ(parser.getArguments(), (std::vector<std::string>{"--verbose", "-v", "level=1"}));

    // Unknown options become extra words without their dashes; unknown key=value names
    // stay errors.
    ASSERT_TRUE(parse({"--nope", "bare", "-vz", "--skip-onerror", "true", "-t", "dir"})) << text;
    EXPECT_EQ(parser.getArguments(), (std::vector<std::string>{"nope", "bare", "z", "skip-onerror", "true"}));
    EXPECT_TRUE(parser.isSet("v"));
    EXPECT_EQ(value("t"), "dir");
    EXPECT_FALSE(parse({"size=3"}));
}

TEST_F(CmdParserTest, RestQuotesChoicesAndKeyValues)
{
    ASSERT_TRUE(parse({"--target", "\"C:\\Data dir\"", "--args", "-v", "--help", "x=1", "--", "last"})) << text;
    EXPECT_EQ(value("target"), "C:\\Data dir");
    EXPECT_EQ(value("args"), "-v --help x=1 -- last");
    EXPECT_FALSE(parser.isSet("v") || parser.isSet("help"));
    EXPECT_EQ(text, "");

    const std::pair<std::string, std::string> values[] = {
        {"\"", "\""}, {"\"\"", ""}, {"\"half", "\"half"}, {"-v", "-v"}};
    for (const auto& [given, kept] : values) {
        ASSERT_TRUE(parse({"-t", given})) << text;
        EXPECT_EQ(value("t"), kept) << given;
    }
    EXPECT_FALSE(parser.isSet("v"));

    ASSERT_TRUE(parse({"--mode", "slow", "level=high=3"})) << text;
    EXPECT_EQ(value("mode"), "slow");
    EXPECT_EQ(value("level"), "high=3");
    ASSERT_TRUE(parse({"level="})) << text;
    EXPECT_EQ(value("level"), "");
}

std::vector<std::string> optionNames(const CmdParser& parser)
{
    std::vector<std::string> names;
    for (const CmdParser::Option& option : parser.getOptions())
        names.push_back(option.shortLetter == 0 ? option.longName : option.shortLetter + option.longName);
    return names;
}

TEST_F(CmdParserTest, StandardOptionsAndTheirPrecedence)
{
    EXPECT_EQ(optionNames(parser), (std::vector<std::string>{"?help", "version", "revision", "debug", "vverbose",
                                                             "q", "ttarget", "mode", "level", "args"}));
    // Only the first set-up counts.
    parser.setUpStandardOptions("other", true, true, true);
    EXPECT_EQ(parser.getOptions().size(), 10u);
    EXPECT_EQ(parser.getProgramName(), "trawlex");
    EXPECT_FALSE(parser.acceptsExtraArguments());

    ASSERT_TRUE(parse({"--revision", "--version"}));
    EXPECT_EQ(text, "6.3.0.0");
    ASSERT_TRUE(parse({"--revision"}));
    EXPECT_EQ(text, "16501");

    // Help wins; the usage line shows the program as it was invoked.
    ASSERT_TRUE(parser.parse(std::vector<std::string>{"./build/trawlex", "--version", "-?"}, text));
    EXPECT_EQ(text, parser.getHelpText());
    EXPECT_EQ(text.substr(0, 41), "Usage: ./build/trawlex [options]\nOptions:");
    EXPECT_TRUE(parser.isSet("version") && parser.isSet("help") && parser.isSet("?"));
    const char* const argv[] = {"/opt/trawlex", "--help", nullptr};
    ASSERT_TRUE(parser.parse(2, argv, text));
    EXPECT_EQ(text.substr(0, 20), "Usage: /opt/trawlex ");

    // Without version and revision texts those options are missing; "c" on request.
    CmdParser bare;
    bare.setVersionTexts("", "");
    bare.setUpStandardOptions("tool", true, true, true);
    EXPECT_EQ(optionNames(bare), (std::vector<std::string>{"?help", "debug", "c"}));
    ASSERT_TRUE(bare.parse(std::vector<std::string>{"tool", "--version", "-c", "a.conf"}, text));
    EXPECT_EQ(bare.getArguments(), std::vector<std::string>{"version"});
    EXPECT_EQ(text, "");
    std::string file;
    EXPECT_TRUE(bare.getValue("c", file));
    EXPECT_EQ(file, "a.conf");

    // Without a program name every word is parsed.
    CmdParser plain;
    plain.addFlag("Verbose", 'v', "");
    ASSERT_TRUE(plain.parse(std::vector<std::string>{"-v"}, text));
    EXPECT_TRUE(plain.isSet("v"));
}

TEST_F(CmdParserTest, DebugSetsTheProcessWideLevel)
{
    const std::pair<const char*, int32_t> cases[] = {
        {"trace", 7}, {"VERBOSE", 5}, {"Fatal", 1}, {"flood", 8}, {"9", 0}, {"7", 0}, {"loud", 0}};
    for (const auto& [name, level] : cases) {
        Logger::maximumLevel = LogInfo;
        ASSERT_TRUE(parse({"--debug", name}));
        EXPECT_EQ(Logger::maximumLevel.load(), level) << name;
    }
    // Not given, answered by help, or a failed parse: the level stays.
    Logger::maximumLevel = LogInfo;
    ASSERT_TRUE(parse({"-v"}));
    ASSERT_TRUE(parse({"--debug", "flood", "--help"}));
    EXPECT_FALSE(parse({"--debug", "flood", "--nope"}));
    EXPECT_EQ(Logger::maximumLevel.load(), LogInfo);
}

TEST(CmdParserHelpText, LayoutByteForByte)
{
    CmdParser parser;
    parser.setUpStandardOptions("trawlex", true, false, true);
    parser.addOption("Target dir", 't', "target");
    parser.addFlag("Run in test mode", 0, "testmode");
    parser.addKeyValue("Extra setting", "level");
    parser.addOption("Compression", 0, "compression",
                     {"none", "fastest", "fast", "normal", "good", "better", "best", "ultimate", "extreme", "maximum",
                      "super-compressed-archive"});
    parser.addRest("Arguments to executable", "args");
    parser.addArgument("input");
    parser.addHelpParagraph("Everything following --args will be passed on to the executable.");
    parser.addHelpParagraph("Second paragraph.");

    // Widest column: "compression" + 4 = 15; help at 24; allowed words indented by 26 in
    // lines of at most 54 characters.
    const std::string expected =
        "Usage: trawlex [options] <input>\n"
        "Options:\n"
        "  -?\n"
        "    --help              : Display this help text\n"
        "  --version             : Display version information\n"
        "  --revision            : Display SVN revision information\n"
        "  --debug <arg>         : Set debug level\n"
        "  -c <arg>              : Specify configuration file explicitly\n"
        "  -t <arg>\n"
        "    --target <arg>      : Target dir\n"
        "  --testmode            : Run in test mode\n"
        "  level=<value>         : Extra setting\n"
        "  --compression <arg>   : Compression\n"
        "                          (One of: none, fastest, fast, normal, good, better,\n"
        "                          best, ultimate, extreme, maximum, super-compressed-\n"
        "                          archive)\n"
        "  --args <arg>          : Arguments to executable\n"
        "\n"
        "Everything following --args will be passed on to the executable.\n"
        "Second paragraph.\n";
    EXPECT_EQ(parser.getHelpText(), expected);

    // Short letters only: the column is 4, the help starts at 13.
    CmdParser letters;
    letters.addFlag("Verbose", 'v', "");
    letters.addOption("Level", 'l', "", {"low", "high"});
    EXPECT_EQ(letters.getHelpText(),
              "Usage: [options]\n"
              "Options:\n"
              "  -v         : Verbose\n"
              "  -l <arg>   : Level\n"
              "               (One of: low, high)\n");

    CmdParser empty;
    EXPECT_EQ(empty.getHelpText(), "Usage:\n");
    empty.setUpStandardOptions("tool", false, false, false);
    empty.addHelpParagraph("Only a paragraph.");
    EXPECT_EQ(empty.getHelpText(), "Usage: tool\n\nOnly a paragraph.\n");
}

}  // namespace
