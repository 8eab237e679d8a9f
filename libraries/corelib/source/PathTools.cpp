// Path texts under the Windows and the POSIX rule set.
#include "corelib/PathTools.h"

#include <vector>

#include "corelib/platform/Environment.h"
#include "corelib/platform/FileSystem.h"

namespace KelvraCorelib {

namespace {

const std::string backslashText = "\\";
const std::string slashText = "/";

char separatorChar(PathStyle style)
{
    return effectiveStyle(style) == PathStyle::Windows ? '\\' : '/';
}

std::string lowerAscii(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool startsWithUnc(const std::string& path)
{
    return path.size() >= 2 && path[0] == '\\' && path[1] == '\\';
}

// The glob "\\?*\*": two backslashes, at least one character, then a backslash.
bool matchesUncForm(const std::string& path)
{
    return startsWithUnc(path) && path.size() >= 4 && path.find('\\', 3) != std::string::npos;
}

// The glob "?*:\*": a ":\" after at least one character.
bool matchesDriveForm(const std::string& path)
{
    for (size_t i = 1; i + 1 < path.size(); ++i) {
        if (path[i] == ':' && path[i + 1] == '\\') {
            return true;
        }
    }
    return false;
}

bool lookUpEnvironment(const std::string& name, std::string& value)
{
    return Platform::environmentVariable(name, value);
}

template <typename Text>
Text extensionOfText(const Text& path, PathStyle style)
{
    const bool windows = effectiveStyle(style) == PathStyle::Windows;
    const size_t dot = path.rfind(typename Text::value_type('.'));
    if (dot == Text::npos) {
        return Text();
    }
    size_t lastSeparator = path.rfind(typename Text::value_type('/'));
    if (windows) {
        const size_t backslash = path.rfind(typename Text::value_type('\\'));
        if (backslash != Text::npos && (lastSeparator == Text::npos || backslash > lastSeparator)) {
            lastSeparator = backslash;
        }
    }
    if (lastSeparator != Text::npos && dot < lastSeparator) {
        return Text();
    }
    return path.substr(dot + 1);
}

}  // namespace

PathStyle effectiveStyle(PathStyle style)
{
    if (style != PathStyle::Native) {
        return style;
    }
#ifdef _WIN32
    return PathStyle::Windows;
#else
    return PathStyle::Posix;
#endif
}

const std::string& separator(PathStyle style)
{
    return effectiveStyle(style) == PathStyle::Windows ? backslashText : slashText;
}

bool isSeparator(char c, PathStyle style)
{
    return c == '/' || (c == '\\' && effectiveStyle(style) == PathStyle::Windows);
}

void toBackslashes(std::string& path, PathStyle style)
{
    if (effectiveStyle(style) != PathStyle::Windows) {
        return;
    }
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
}

std::string addTrailingSeparator(const std::string& path, PathStyle style)
{
    if (path.empty() || isSeparator(path.back(), style)) {
        return path;
    }
    return path + separator(style);
}

std::string joinPath(const std::string& dir, const std::string& name, PathStyle style)
{
    return addTrailingSeparator(dir, style) + name;
}

std::string stripTrailingSeparators(const std::string& path, PathStyle style)
{
    std::string result = path;
    toBackslashes(result, style);
    const char sep = separatorChar(style);
    const size_t keep = (effectiveStyle(style) == PathStyle::Posix && !result.empty() && result[0] == sep) ? 1 : 0;
    while (result.size() > keep && result.back() == sep) {
        result.pop_back();
    }
    return result;
}

std::string normalisePath(const std::string& path, PathStyle style)
{
    if (path.empty()) {
        return path;
    }
    const bool windows = effectiveStyle(style) == PathStyle::Windows;
    const char sep = separatorChar(style);
    std::string text = path;
    toBackslashes(text, style);

    const bool endsWithSeparator = text.back() == sep;
    const bool startsWithSeparator = text.front() == sep;
    const bool unc = windows && startsWithUnc(text);

    std::vector<std::string> kept;
    // Segments that form the root of an absolute path and that ".." never removes.
    size_t rootSegments = 0;
    bool rooted = startsWithSeparator && !unc;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string segment = text.substr(start, end - start);
        start = end + 1;
        if (segment.empty() || segment == ".") {
            continue;
        }
        if (segment == "..") {
            if (kept.size() > rootSegments && kept.back() != "..") {
                kept.pop_back();
            } else if (!rooted || kept.size() > rootSegments) {
                kept.push_back(segment);
            }
            continue;
        }
        kept.push_back(segment);
        // "C:" followed by a separator is the root of the drive.
        if (windows && kept.size() == 1 && !startsWithSeparator && segment.size() >= 2 && segment.back() == ':' &&
            end < text.size()) {
            rootSegments = 1;
            rooted = true;
        }
    }

    std::string result;
    if (unc) {
        result.append(2, sep);
    } else if (startsWithSeparator) {
        result.push_back(sep);
    }
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) {
            result.push_back(sep);
        }
        result += kept[i];
    }
    if (endsWithSeparator && !result.empty() && result.back() != sep) {
        result.push_back(sep);
    }
    return result;
}

bool isAbsolutePath(const std::string& path, PathStyle style)
{
    if (effectiveStyle(style) == PathStyle::Posix) {
        return !path.empty() && path[0] == '/';
    }
    std::string text = path;
    toBackslashes(text, style);
    const size_t colon = text.find(':');
    if (colon != std::string::npos && colon >= 1) {
        return true;
    }
    return matchesUncForm(text);
}

std::string makeAbsolute(const std::string& path, const std::string& base, PathStyle style)
{
    std::string text = path;
    std::string baseText = base;
    toBackslashes(text, style);
    toBackslashes(baseText, style);
    if (!isAbsolutePath(text, style)) {
        const bool rootRelative = effectiveStyle(style) == PathStyle::Windows && !text.empty() && text[0] == '\\';
        const std::string baseRoot = rootRelative ? rootOf(baseText, style) : std::string();
        if (!baseRoot.empty()) {
            text = baseRoot + text;  // a path from the root stays on the base's drive
        } else {
            text = addTrailingSeparator(baseText, style) + text;
        }
    }
    return normalisePath(text, style);
}

std::string rootOf(const std::string& path, PathStyle style)
{
    if (effectiveStyle(style) == PathStyle::Posix) {
        return (!path.empty() && path[0] == '/') ? slashText : std::string();
    }
    std::string text = path;
    toBackslashes(text, style);
    if (matchesDriveForm(text)) {
        return text.substr(0, text.find(':') + 1);
    }
    if (matchesUncForm(text)) {
        return text.substr(0, text.find('\\', 3));
    }
    return std::string();
}

std::string extensionOf(const std::string& path, PathStyle style)
{
    return extensionOfText(path, style);
}

WideString extensionOf(const WideString& path, PathStyle style)
{
    return extensionOfText(path, style);
}

std::string parentDirectory(const std::string& path, PathStyle style)
{
    std::string text = path;
    toBackslashes(text, style);
    const char sep = separatorChar(style);
    if (!text.empty() && text.back() == sep) {
        text.pop_back();
    }
    const size_t last = text.rfind(sep);
    if (last == std::string::npos) {
        return std::string();
    }
    if (last == 0 && effectiveStyle(style) == PathStyle::Posix) {
        return slashText;
    }
    return text.substr(0, last);
}

std::string expandPath(const std::string& path, PathStyle style, const EnvironmentLookup& lookup)
{
    if (path.empty()) {
        return path;
    }
    const EnvironmentLookup& find = lookup ? lookup : EnvironmentLookup(lookUpEnvironment);
    const char sep = separatorChar(style);
    std::string text = path;
    toBackslashes(text, style);
    std::string value;

    // %NAME%: an unknown name leaves its closing "%" free to open the next reference.
    size_t position = 0;
    while ((position = text.find('%', position)) != std::string::npos) {
        const size_t close = text.find('%', position + 1);
        if (close == std::string::npos) {
            break;
        }
        const std::string name = text.substr(position + 1, close - position - 1);
        if (!name.empty() && find(name, value)) {
            text.replace(position, close - position + 1, value);
            position += value.size();
        } else {
            position = close;
        }
    }

    // $NAME followed by a separator.
    position = 0;
    while ((position = text.find('$', position)) != std::string::npos) {
        const size_t end = text.find(sep, position + 1);
        if (end == std::string::npos) {
            break;
        }
        const std::string name = text.substr(position + 1, end - position - 1);
        if (!name.empty() && find(name, value)) {
            text.replace(position, end - position, value);
            position += value.size();
        } else {
            position += 1;
        }
    }

    if (effectiveStyle(style) == PathStyle::Windows) {
        const std::string lower = lowerAscii(text);
        if (lower == "\\c:") {
            text = "C:";
        } else if (lower == "\\systemroot") {
            const std::string windowsDirectory = Platform::windowsDirectory();
            if (!windowsDirectory.empty()) {
                text = windowsDirectory;
            }
        } else if (text == "\\??") {
            text.clear();
        }
    }
    return text;
}

std::string longPath(const std::string& path, PathStyle style)
{
    if (effectiveStyle(style) != PathStyle::Windows || path.empty() || startsWithUnc(path)) {
        return path;
    }
    std::string result;
    if (Platform::longPathName(path, result) != 0 || result.empty()) {
        return path;
    }
    return result;
}

std::string fullNormalise(const std::string& path, PathStyle style)
{
    return longPath(normalisePath(expandPath(path, style), style), style);
}

std::string currentDirectory()
{
    std::string path;
    if (Platform::currentDirectory(path) != 0) {
        return std::string();
    }
    return path;
}

}  // namespace KelvraCorelib
