// Settings texts of the system, the same on every platform (see parseAssignments,
// canonicalNameInHosts and resolverDomain in MachineFacts.h).
#include "corelib/platform/MachineFacts.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace KelvraCorelib::Platform {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

bool isNameCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The lines of a text without their line feeds (a last line needs none).
std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t begin = 0; begin < text.size();) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

// The words of a line, between blanks of any kind.
std::vector<std::string> wordsOf(const std::string& line)
{
    constexpr const char* blanks = " \t\n\v\f\r";
    std::vector<std::string> words;
    for (size_t begin = line.find_first_not_of(blanks); begin != std::string::npos;) {
        const size_t end = std::min(line.find_first_of(blanks, begin), line.size());
        words.push_back(line.substr(begin, end - begin));
        begin = line.find_first_not_of(blanks, end);
    }
    return words;
}

}  // namespace

std::map<std::string, std::string> parseAssignments(const std::string& text)
{
    std::map<std::string, std::string> settings;
    for (const std::string& line : linesOf(text)) {
        size_t position = 0;
        while (position < line.size() && isSpace(line[position]))
            ++position;
        if (line.compare(position, 7, "export ") == 0)
            position += 7;
        const size_t keyStart = position;
        while (position < line.size() && isNameCharacter(line[position]))
            ++position;
        if (position == keyStart || position >= line.size() || line[position] != '=')
            continue;
        const std::string key = line.substr(keyStart, position - keyStart);
        ++position;
        std::string value;
        char quote = 0;
        for (; position < line.size(); ++position) {
            const char c = line[position];
            if (quote == '\'') {
                if (c == '\'')
                    quote = 0;
                else
                    value += c;
            } else if (quote == '"') {
                if (c == '"')
                    quote = 0;
                else if (c == '\\' && position + 1 < line.size() && std::strchr("$`\"\\", line[position + 1]))
                    value += line[++position];
                else
                    value += c;
            } else if (c == '\\' && position + 1 < line.size()) {
                value += line[++position];
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (isSpace(c) || c == '#') {
                break;
            } else {
                value += c;
            }
        }
        settings[key] = value;
    }
    return settings;
}

// The canonical name of the host in a hosts file: the first name of the first line that
// lists the host.
std::string canonicalNameInHosts(const std::string& text, const std::string& host)
{
    for (std::string line : linesOf(text)) {
        const size_t comment = line.find('#');
        if (comment != std::string::npos)
            line.erase(comment);
        const std::vector<std::string> words = wordsOf(line);
        if (words.size() < 2)
            continue;
        if (std::find(words.begin() + 1, words.end(), host) != words.end())
            return words[1];
    }
    return std::string();
}

// The "domain" line of the resolver's settings.
std::string resolverDomain(const std::string& text)
{
    for (const std::string& line : linesOf(text)) {
        const std::vector<std::string> words = wordsOf(line);
        if (words.size() >= 2 && words[0] == "domain")
            return words[1];
    }
    return std::string();
}

}  // namespace KelvraCorelib::Platform
