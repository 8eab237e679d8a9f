#pragma once
// One line from anything with bool readChar(char&): the shared rule of the file classes.

#include <string>

namespace KelvraCorelib {

// Reads up to the delimiter (not kept). True when the delimiter was met or anything was
// read, so a last line without delimiter counts and a final delimiter adds no empty line.
template <class CharReader>
bool readDelimitedLine(CharReader& reader, std::string& text, char delimiter)
{
    text.clear();
    bool anything = false;
    char c;
    while (reader.readChar(c)) {
        if (c == delimiter) {
            return true;
        }
        text.push_back(c);
        anything = true;
    }
    return anything;
}

}  // namespace KelvraCorelib
