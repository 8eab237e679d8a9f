// libFuzzer entry for the command-line parser: the input, cut at NUL bytes, is the argument
// vector of a parser set up as the collector's is. A parse error is a normal outcome; parsing
// the same words again, as a vector or as argc/argv, gives the same outcome.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "corelib/CmdParser.h"
#include "corelib/Logger.h"

using namespace KelvraCorelib;

namespace {

struct Outcome {
    bool parsed;
    std::string text;
    std::vector<std::string> arguments;
    std::vector<std::pair<bool, std::string>> options;
    bool operator==(const Outcome& other) const = default;
};

Outcome outcomeOf(const CmdParser& parser, bool parsed, const std::string& text)
{
    Outcome outcome{parsed, text, parser.getArguments(), {}};
    for (const CmdParser::Option& option : parser.getOptions())
        outcome.options.emplace_back(option.given, option.value);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte picks the parser's set-up; the rest are the words.
    const uint8_t setup = size > 0 ? data[0] : 0;
    const std::vector<std::string> words =
        FuzzSupport::split(size > 0 ? data + 1 : data, size > 0 ? size - 1 : 0);

    CmdParser parser;
    parser.setUpStandardOptions((setup & 1) != 0 ? "" : "Trawlex", true, (setup & 2) != 0, (setup & 4) != 0);
    parser.addOption("Target dir", 't', "target");
    parser.addOption("Module", 0, "module");
    parser.addOption("Interval", 'i', "interval");
    parser.addOption("Mode", 'm', "mode", {"plain", "zip"});
    parser.addFlag("Test mode", 'x', "testmode");
    parser.addFlag("Skip on error", 0, "skip-onerror");
    parser.addKeyValue("Key", "key");
    if ((setup & 8) != 0)
        parser.addArgument("file");
    if ((setup & 16) == 0)
        parser.addRest("Arguments to executable", "args");

    std::string text;
    const bool parsed = parser.parse(words, text);
    const Outcome first = outcomeOf(parser, parsed, text);
    // The same words once more through the argc/argv form (the executable first).
    std::vector<const char*> argv;
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    std::string againText;
    const bool again = parser.parse(static_cast<int>(argv.size()), argv.data(), againText);
    if (!(outcomeOf(parser, again, againText) == first))
        std::abort();  // an earlier parse left something behind

    for (const CmdParser::Option& option : parser.getOptions()) {
        std::string value;
        parser.isSet(option.longName);
        parser.getValue(option.longName, value);
    }
    for (const std::string& word : words) {
        std::string value;
        parser.isSet(word);
        parser.getValue(word, value);
    }
    parser.getHelpText();
    // A given "debug" option changes the level; the next input starts quiet again.
    Logger::maximumLevel = 0;
    return 0;
}
