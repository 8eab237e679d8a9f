// Shell-style settings texts, the same on every platform (see parseAssignments in
// MachineFacts.h).
#include "corelib/platform/MachineFacts.h"

#include <cstring>

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

}  // namespace

std::map<std::string, std::string> parseAssignments(const std::string& text)
{
    std::map<std::string, std::string> settings;
    for (size_t lineStart = 0; lineStart < text.size();) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            lineEnd = text.size();
        const std::string line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
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

}  // namespace KelvraCorelib::Platform
