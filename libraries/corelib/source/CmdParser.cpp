#include "corelib/CmdParser.h"

#include <algorithm>

#include "corelib/Logger.h"
#include "corelib/StringTools.h"

namespace KelvraCorelib {

const char* const programVersionText = "6.3.0.0";
const char* const programRevisionText = "16501";

namespace {

// Help lines of the allowed words are at most this wide less the option column, and never
// narrower than the floor (so that very long option names do not squeeze them to nothing).
constexpr int allowedWordsLineLimit = 69;
constexpr int allowedWordsLineFloor = 20;

bool isNameStart(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isNameChar(char c)
{
    return isNameStart(c) || (c >= '0' && c <= '9');
}

// "name=value" with a name of letters, digits and underscores that starts with a letter or
// an underscore.
bool isKeyValueWord(const std::string& word)
{
    if (word.empty() || !isNameStart(word[0]))
        return false;
    for (size_t i = 1; i < word.size(); ++i) {
        if (word[i] == '=')
            return true;
        if (!isNameChar(word[i]))
            return false;
    }
    return false;
}

// A value of more than one character enclosed in double quotes loses them.
void removeDoubleQuotes(std::string& value)
{
    if (value.size() > 1 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
}

}  // namespace

CmdParser::CmdParser() : versionText(programVersionText), revisionText(programRevisionText) {}

void CmdParser::setUpStandardOptions(const std::string& name, bool standardOptions, bool acceptExtra,
                                     bool configurationOption)
{
    if (configured)
        return;
    configured = true;
    programName = name;
    if (standardOptions) {
        addFlag("Display this help text", '?', "help");
        if (!versionText.empty())
            addFlag("Display version information", 0, "version");
        if (!revisionText.empty())
            addFlag("Display SVN revision information", 0, "revision");
        addOption("Set debug level", 0, "debug");
        if (configurationOption)
            addOption("Specify configuration file explicitly", 'c', "");
    }
    acceptExtraArguments = acceptExtra;
}

void CmdParser::setVersionTexts(const std::string& version, const std::string& revision)
{
    versionText = version;
    revisionText = revision;
}

void CmdParser::addDefinition(Option option)
{
    if (option.shortLetter == 0 && option.longName.empty())
        return;
    widestColumn = std::max(widestColumn, option.longName.size() + 4);
    // An option is known by its long name, or by its short letter when it has no long name.
    for (Option& existing : options) {
        const bool same = option.longName.empty()
                              ? existing.longName.empty() && existing.shortLetter == option.shortLetter
                              : existing.longName == option.longName;
        if (same) {
            existing = std::move(option);
            return;
        }
    }
    options.push_back(std::move(option));
}

void CmdParser::addFlag(const std::string& help, char shortLetter, const std::string& longName)
{
    addDefinition({FlagKind, shortLetter, longName, help, {}, false, {}});
}

void CmdParser::addOption(const std::string& help, char shortLetter, const std::string& longName,
                          const std::vector<std::string>& allowedWords)
{
    addDefinition({allowedWords.empty() ? ValueKind : ChoiceKind, shortLetter, longName, help, allowedWords, false, {}});
}

void CmdParser::addKeyValue(const std::string& help, const std::string& name)
{
    addDefinition({KeyValueKind, 0, name, help, {}, false, {}});
}

void CmdParser::addRest(const std::string& help, const std::string& longName)
{
    addDefinition({RestKind, 0, longName, help, {}, false, {}});
}

void CmdParser::addArgument(const std::string& name)
{
    argumentNames.push_back(name);
}

void CmdParser::addHelpParagraph(const std::string& text)
{
    helpParagraphs.push_back(text);
}

CmdParser::Option* CmdParser::findLong(const std::string& name)
{
    if (name.empty())
        return nullptr;
    for (Option& option : options) {
        if (option.longName == name)
            return &option;
    }
    return nullptr;
}

CmdParser::Option* CmdParser::findLetter(char letter)
{
    if (letter == 0)
        return nullptr;
    for (Option& option : options) {
        if (option.shortLetter == letter)
            return &option;
    }
    return nullptr;
}

const CmdParser::Option* CmdParser::find(const std::string& name) const
{
    for (const Option& option : options) {
        if (!name.empty() && option.longName == name)
            return &option;
    }
    for (const Option& option : options) {
        if (name.size() == 1 && option.shortLetter != 0 && option.shortLetter == name[0])
            return &option;
    }
    return nullptr;
}

bool CmdParser::isSet(const std::string& name) const
{
    const Option* option = find(name);
    return option != nullptr && option->given;
}

bool CmdParser::getValue(const std::string& name, std::string& value) const
{
    const Option* option = find(name);
    if (option == nullptr || !option->given)
        return false;
    value = option->value;
    return true;
}

bool CmdParser::parse(int argc, const char* const* argv, std::string& errorText)
{
    std::vector<std::string> words;
    for (int i = 0; argv != nullptr && i < argc; ++i)
        words.emplace_back(argv[i] != nullptr ? argv[i] : "");
    return parse(words, errorText);
}

bool CmdParser::parse(const std::vector<std::string>& words, std::string& errorText)
{
    errorText.clear();
    for (Option& option : options) {
        option.given = false;
        option.value.clear();
    }
    arguments.clear();

    size_t index = 0;
    if (!programName.empty()) {
        if (words.empty()) {
            errorText = "Missing executable argument";
            return false;
        }
        // An empty first word leaves the name as it was, so that later parses still treat
        // their first word as the executable.
        if (!words[0].empty())
            programName = words[0];
        index = 1;
    }

    bool recognizeOptions = true;
    for (; index < words.size(); ++index) {
        const std::string& word = words[index];
        if (word.empty() || word == "-")
            continue;
        if (!recognizeOptions) {
            if (!takePositional(word, errorText))
                return false;
        } else if (word == "--") {
            recognizeOptions = false;
        } else if (word[0] == '-') {
            const WordOutcome outcome = parseOptionWord(words, index, errorText);
            if (outcome == WordOutcome::Failed)
                return false;
            if (outcome == WordOutcome::EndOfParse)
                break;
        } else if (isKeyValueWord(word)) {
            if (!parseKeyValueWord(word, errorText))
                return false;
        } else if (!takePositional(word, errorText)) {
            return false;
        }
    }

    answerStandardOptions(errorText);
    return true;
}

bool CmdParser::takePositional(const std::string& word, std::string& errorText)
{
    if (arguments.size() >= argumentNames.size() && !acceptExtraArguments) {
        errorText = "Too many arguments";
        return false;
    }
    arguments.push_back(word);
    return true;
}

CmdParser::WordOutcome CmdParser::parseOptionWord(const std::vector<std::string>& words, size_t& index,
                                                  std::string& errorText)
{
    const std::string& word = words[index];
    const bool byLetter = word.compare(0, 2, "--") != 0;
    std::string name = byLetter ? word.substr(1, 1) : word.substr(2);
    std::string pending = byLetter ? word.substr(2) : std::string();

    for (;;) {
        Option* option = byLetter ? findLetter(name[0]) : findLong(name);
        if (option == nullptr) {
            if (acceptExtraArguments) {
                // The name alone is kept; letters pending after it are dropped with the word.
                arguments.push_back(name);
                return WordOutcome::Done;
            }
            errorText = "Unknown option '" + name + "'";
            return WordOutcome::Failed;
        }
        if (option->kind == KeyValueKind) {
            errorText = "Option '" + name + "' must be option=value";
            return WordOutcome::Failed;
        }
        if (option->kind == FlagKind) {
            option->given = true;
        } else {
            if (!pending.empty()) {
                errorText = "Option '" + name + "' requires argument but is located inside an options token";
                return WordOutcome::Failed;
            }
            if (index + 1 >= words.size()) {
                errorText = "Missing argument to '" + name + "' option";
                return WordOutcome::Failed;
            }
            std::string value = words[++index];
            if (option->kind == RestKind) {
                while (++index < words.size())
                    value += " " + words[index];
                option->given = true;
                option->value = std::move(value);
                return WordOutcome::EndOfParse;
            }
            if (option->kind == ChoiceKind &&
                std::find(option->allowedWords.begin(), option->allowedWords.end(), value) ==
                    option->allowedWords.end()) {
                errorText = "Invalid argument to '" + name + "' option";
                return WordOutcome::Failed;
            }
            removeDoubleQuotes(value);
            option->given = true;
            option->value = std::move(value);
        }
        if (pending.empty())
            return WordOutcome::Done;
        name = pending.substr(0, 1);
        pending.erase(0, 1);
    }
}

bool CmdParser::parseKeyValueWord(const std::string& word, std::string& errorText)
{
    const size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    Option* option = findLong(name);
    if (option == nullptr) {
        errorText = "Unknown option '" + name + "'";
        return false;
    }
    if (option->kind != KeyValueKind) {
        errorText = "Option '" + name + "' must be option=value";
        return false;
    }
    option->given = true;
    option->value = word.substr(equals + 1);
    return true;
}

void CmdParser::answerStandardOptions(std::string& text) const
{
    std::string debugValue;
    if (isSet("help") || isSet("?"))
        text = getHelpText();
    else if (isSet("version"))
        text = versionText;
    else if (isSet("revision"))
        text = revisionText;
    else if (getValue("debug", debugValue))
        Logger::maximumLevel = Logger::levelFromName(debugValue);
}

std::string CmdParser::getHelpText() const
{
    std::string text = "Usage:";
    if (!programName.empty())
        text += " " + programName;
    if (!options.empty())
        text += " [options]";
    for (const std::string& name : argumentNames)
        text += " <" + name + ">";

    if (!options.empty()) {
        text += "\nOptions:\n";
        const size_t helpColumn = widestColumn + 9;
        const std::string wordsIndent(widestColumn + 11, ' ');
        const StringTools::LineSizeSearcher searcher(
            std::max(allowedWordsLineLimit - static_cast<int>(widestColumn), allowedWordsLineFloor));
        bool first = true;
        for (const Option& option : options) {
            if (!first)
                text += "\n";
            first = false;
            size_t lineStart = text.size();
            text += "  ";
            if (option.shortLetter != 0) {
                text += '-';
                text += option.shortLetter;
                if (option.kind >= ValueKind)
                    text += " <arg>";
                if (!option.longName.empty()) {
                    text += "\n";
                    lineStart = text.size();
                    text += "    --" + option.longName;
                    if (option.kind >= ValueKind)
                        text += " <arg>";
                }
            } else if (option.kind == KeyValueKind) {
                text += option.longName + "=<value>";
            } else {
                text += "--" + option.longName;
                if (option.kind >= ValueKind)
                    text += " <arg>";
            }
            const size_t lineLength = text.size() - lineStart;
            if (lineLength < helpColumn)
                text.append(helpColumn - lineLength, ' ');
            text += ": " + option.help;

            if (option.kind == ChoiceKind) {
                const std::string words = "(One of: " + StringTools::join(option.allowedWords, ", ") + ")";
                size_t start = 0;
                size_t cut = 0;
                bool skip = false;
                while (searcher.findBreak(words, start, std::string::npos, cut, skip)) {
                    if (cut <= start) {
                        // A line feed at the start of a line: the line break is already there.
                        start = start + 1;
                        continue;
                    }
                    text += "\n" + wordsIndent + words.substr(start, cut - start);
                    start = skip ? cut + 1 : cut;
                }
            }
        }
    }

    if (!helpParagraphs.empty())
        text += "\n\n" + StringTools::join(helpParagraphs, "\n");
    if (text.empty() || text.back() != '\n')
        text += "\n";
    return text;
}

}  // namespace KelvraCorelib
