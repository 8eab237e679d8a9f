#pragma once
// CmdParser: the option definitions of a program, the parse of its argument vector, the
// queries about what was given, and the help text.
//
//   CmdParser parser;
//   parser.setUpStandardOptions("Trawlex", true, false, false);
//   parser.addOption("Target dir", 0, "target");
//   parser.addRest("Arguments to executable", "args");
//   std::string text;
//   if (!parser.parse(argc, argv, text))
//       printf("ERROR: %s\n", text.c_str());
//
// Words: "--name" and "-x" are options ("-xy" is "-x -y"); an option that takes an argument
// takes the next word; "name=value" is a key=value option; "--" ends option recognition;
// empty words and a lone "-" are skipped; anything else fills a positional slot.
// Parse errors are reported by a false result and one message text, never thrown.

#include <cstdint>
#include <string>
#include <vector>

namespace KelvraCorelib {

// The program's version and revision, the texts of the standard options "version" and
// "revision".
extern const char* const programVersionText;   // "6.3.0.0"
extern const char* const programRevisionText;  // "16501"

class CmdParser {
public:
    enum OptionKind : int32_t {
        FlagKind = 1,      // no argument
        ValueKind = 2,     // the next word is its argument
        ChoiceKind = 3,    // as ValueKind, the argument must be one of the allowed words
        KeyValueKind = 4,  // a word name=value, without dashes
        RestKind = 5,      // takes every following word; parsing ends there
    };

    struct Option {
        int32_t kind = FlagKind;
        char shortLetter = 0;  // 0: none
        std::string longName;  // empty: none
        std::string help;
        std::vector<std::string> allowedWords;  // ChoiceKind, in the order given
        bool given = false;
        std::string value;  // the argument once given (rest: the words joined by blanks)
    };

    // Version and revision texts from programVersionText and programRevisionText.
    CmdParser();

    // Only the first call has an effect. Stores the program name; with standardOptions,
    // registers "help" ("?"), "version" and "revision" (when their texts are not empty),
    // "debug" and, with configurationOption, the short option "c"; stores
    // acceptExtraArguments.
    void setUpStandardOptions(const std::string& programName, bool standardOptions, bool acceptExtraArguments,
                              bool configurationOption);
    // On: unknown options (their names without dashes) and words beyond the positional
    // slots are kept as extra arguments instead of failing the parse.
    void setAcceptExtraArguments(bool accept) { acceptExtraArguments = accept; }
    bool acceptsExtraArguments() const { return acceptExtraArguments; }

    // A short letter of 0 means none, an empty long name means none; a definition with
    // neither is ignored. A definition whose long name (or, without one, short letter) is
    // already defined replaces the earlier one in its place.
    void addFlag(const std::string& help, char shortLetter, const std::string& longName);
    // ValueKind, or ChoiceKind when allowedWords is not empty.
    void addOption(const std::string& help, char shortLetter, const std::string& longName,
                   const std::vector<std::string>& allowedWords = {});
    // KeyValueKind: given as the word name=value; its value is the part after the "=".
    void addKeyValue(const std::string& help, const std::string& name);
    void addRest(const std::string& help, const std::string& longName);
    // A named positional slot, shown as " <name>" on the usage line.
    void addArgument(const std::string& name);
    // A paragraph printed after the options, on a line of its own.
    void addHelpParagraph(const std::string& text);

    // Parses the whole vector after forgetting earlier results. When a program name is set,
    // the first word is the executable and becomes the program name. False on failure, with
    // the message in errorText; what was recorded before the failing word stays recorded.
    // On success, errorText receives the help text, the version text or the revision text
    // when "help", "version" or "revision" was given (the first of them in this order);
    // otherwise a given "debug" value sets Logger::maximumLevel by Logger::levelFromName.
    bool parse(int argc, const char* const* argv, std::string& errorText);
    bool parse(const std::vector<std::string>& words, std::string& errorText);

    // By long name, or by short letter for a one-character name that is no long name.
    bool isSet(const std::string& name) const;
    // False when the option was not given.
    bool getValue(const std::string& name, std::string& value) const;
    // The positional words of the last parse, extra arguments included, in order.
    const std::vector<std::string>& getArguments() const { return arguments; }

    std::string getHelpText() const;

    const std::string& getProgramName() const { return programName; }
    const std::string& getVersionText() const { return versionText; }
    const std::string& getRevisionText() const { return revisionText; }
    // Takes effect for the standard options when called before setUpStandardOptions.
    void setVersionTexts(const std::string& version, const std::string& revision);

    const std::vector<Option>& getOptions() const { return options; }

private:
    enum class WordOutcome { Done, Failed, EndOfParse };

    void addDefinition(Option option);
    Option* findLong(const std::string& name);
    Option* findLetter(char letter);
    const Option* find(const std::string& name) const;
    bool takePositional(const std::string& word, std::string& errorText);
    WordOutcome parseOptionWord(const std::vector<std::string>& words, size_t& index, std::string& errorText);
    bool parseKeyValueWord(const std::string& word, std::string& errorText);
    void answerStandardOptions(std::string& text) const;

    std::vector<std::string> argumentNames;  // the positional slots
    std::vector<Option> options;             // in the order of registration
    std::vector<std::string> arguments;      // the positional words of the last parse
    bool acceptExtraArguments = false;
    std::string programName;
    size_t widestColumn = 0;  // the longest long name + 4
    std::string versionText;
    std::string revisionText;
    std::vector<std::string> helpParagraphs;
    bool configured = false;
};

}  // namespace KelvraCorelib
