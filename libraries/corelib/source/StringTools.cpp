#include "corelib/StringTools.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <type_traits>

namespace KelvraCorelib {
namespace StringTools {

const std::string whitespaceSet = " \r\n\t\v\b\f";
const WideString wideWhitespaceSet = u" \r\n\t\v\b\f";

namespace {

template <typename Text>
const Text& whitespaceOf();
template <>
const std::string& whitespaceOf<std::string>()
{
    return whitespaceSet;
}
template <>
const WideString& whitespaceOf<WideString>()
{
    return wideWhitespaceSet;
}

template <typename Text>
bool isTrimmed(typename Text::value_type c, bool useWhitespaceSet)
{
    if (useWhitespaceSet)
        return whitespaceOf<Text>().find(c) != Text::npos;
    return static_cast<uint32_t>(static_cast<std::make_unsigned_t<typename Text::value_type>>(c)) < 0x21;
}

template <typename Text>
Text& trimLeftOf(Text& text, bool useWhitespaceSet)
{
    size_t first = 0;
    while (first < text.size() && isTrimmed<Text>(text[first], useWhitespaceSet))
        ++first;
    text.erase(0, first);
    return text;
}

template <typename Text>
Text& trimRightOf(Text& text, bool useWhitespaceSet)
{
    size_t end = text.size();
    while (end > 0 && isTrimmed<Text>(text[end - 1], useWhitespaceSet))
        --end;
    text.erase(end);
    return text;
}

template <typename Text>
Text& replaceCharOf(Text& text, typename Text::value_type from, typename Text::value_type to)
{
    for (auto& c : text)
        if (c == from)
            c = to;
    return text;
}

template <typename Text>
Text& reverseOf(Text& text, size_t start, size_t count)
{
    if (start >= text.size())
        return text;
    const size_t end = count > text.size() - start ? text.size() : start + count;
    std::reverse(text.begin() + static_cast<std::ptrdiff_t>(start), text.begin() + static_cast<std::ptrdiff_t>(end));
    return text;
}

template <typename Text>
bool unquoteOf(Text& text)
{
    if (text.size() < 2)
        return false;
    const auto first = text.front();
    if ((first != '\'' && first != '"') || text.back() != first)
        return false;
    text = text.substr(1, text.size() - 2);
    return true;
}

template <typename Text>
Text cutHeadOf(Text& text, typename Text::value_type separator)
{
    const size_t at = text.find(separator);
    Text head;
    if (at == Text::npos) {
        head.swap(text);
        return head;
    }
    head = text.substr(0, at);
    text.erase(0, at + 1);
    return head;
}

template <typename Text>
Text cutTailOf(Text& text, typename Text::value_type separator)
{
    const size_t at = text.rfind(separator);
    Text tail;
    if (at == Text::npos) {
        tail.swap(text);
        return tail;
    }
    tail = text.substr(at + 1);
    text.erase(at);
    return tail;
}

template <typename Text, typename Container>
void splitInto(const Text& text, typename Text::value_type separator, Container& parts, size_t maximum,
               bool skipEmpty)
{
    parts.clear();
    if (text.empty())
        return;
    const size_t limit = maximum == 0 ? unlimited : maximum;
    size_t begin = 0;
    size_t at = text.find(separator);
    while (at != Text::npos && (limit == unlimited || parts.size() + 1 < limit)) {
        if (at > begin || !skipEmpty)
            parts.push_back(text.substr(begin, at - begin));
        begin = at + 1;
        at = text.find(separator, begin);
    }
    if (begin < text.size())
        parts.push_back(text.substr(begin));
}

template <typename Text, typename Container, typename Separator>
Text joinOf(const Container& parts, const Separator& separator)
{
    Text result;
    bool first = true;
    for (const auto& part : parts) {
        if (!first)
            result += separator;
        result += part;
        first = false;
    }
    return result;
}

template <typename Text>
int compareAtOf(const Text& text, size_t index, const Text& other)
{
    using Signed = std::make_signed_t<typename Text::value_type>;
    if (index > text.size())
        return -1;
    for (size_t i = 0; i < other.size(); ++i) {
        if (index + i >= text.size())
            return -1;
        const auto a = static_cast<Signed>(text[index + i]);
        const auto b = static_cast<Signed>(other[i]);
        if (a < b)
            return -1;
        if (a > b)
            return 1;
    }
    return 0;
}

template <typename Text>
Text escapeCharOf(const Text& text, typename Text::value_type special, typename Text::value_type replacement,
                  typename Text::value_type escape)
{
    Text result;
    result.reserve(text.size());
    for (const auto c : text) {
        if (c == special) {
            result += escape;
            result += replacement;
        } else if (c == escape) {
            result += escape;
            result += escape;
        } else {
            result += c;
        }
    }
    return result;
}

template <typename Text>
Text unescapeCharOf(const Text& text, typename Text::value_type replacement, typename Text::value_type special,
                    typename Text::value_type escape)
{
    Text result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = text[i];
        if (c != escape || i + 1 == text.size()) {
            result += c;
            continue;
        }
        const auto next = text[++i];
        if (next == replacement)
            result += special;
        else if (next == escape)
            result += escape;
        else {
            result += c;
            result += next;
        }
    }
    return result;
}

template <typename Text>
Text escapeCharsOf(const Text& text, const Text& specials, const Text& replacements,
                   typename Text::value_type escape)
{
    Text result;
    result.reserve(text.size());
    for (const auto c : text) {
        const size_t at = specials.find(c);
        if (at == Text::npos) {
            result += c;
        } else if (c == escape) {
            result += escape;
            result += escape;
        } else if (at < replacements.size()) {
            result += escape;
            result += replacements[at];
        } else {
            result += c;
        }
    }
    return result;
}

template <typename Text>
Text padOf(const Text& text, size_t width, typename Text::value_type fill, bool left)
{
    if (text.size() >= width)
        return text;
    const Text padding(width - text.size(), fill);
    return left ? padding + text : text + padding;
}

template <typename Text>
bool findBreakIn(const Text& text, const Text& breakChars, uint8_t width, size_t start, size_t length, size_t& cut,
                 bool& skip)
{
    if (width == 0 || start >= text.size())
        return false;
    const size_t avail = std::min(length, text.size() - start);
    if (avail <= width) {
        cut = start + avail;
        skip = false;
        return true;
    }
    const size_t limit = start + width;
    size_t p = text.find(typename Text::value_type('\n'), start);
    if (p == Text::npos || p >= limit)
        p = limit;
    // p < start + avail <= text.size(), so text[p] is the first character not on the line
    // (or the line feed that ends it).
    for (size_t i = p; i > start; --i) {
        const auto c = text[i];
        if (breakChars.find(c) == Text::npos)
            continue;
        if (c == '-') {
            cut = i + 1;
            skip = false;
        } else {
            cut = i;
            skip = true;
        }
        return true;
    }
    cut = p;
    skip = false;
    return true;
}

// Beyond the basic plane (never with the 16-bit wchar_t of Windows).
bool beyondBasicPlane(uint32_t code)
{
    return code > 0xFFFF;
}

// The conversions of one character in the current locale, without shared state.
char16_t widenByte(char byte)
{
    wchar_t wide = 0;
    std::mbstate_t state{};
    const size_t used = std::mbrtowc(&wide, &byte, 1, &state);
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) || beyondBasicPlane(static_cast<uint32_t>(wide)))
        return static_cast<char16_t>(static_cast<unsigned char>(byte));
    return static_cast<char16_t>(wide);
}

std::string narrowChar(char16_t c)
{
    char buffer[MB_LEN_MAX > 16 ? MB_LEN_MAX : 16];
    std::mbstate_t state{};
    const size_t made = std::wcrtomb(buffer, static_cast<wchar_t>(c), &state);
    if (made == static_cast<size_t>(-1) || made == 0)
        return std::string(1, c < 256 ? static_cast<char>(c) : '?');
    return std::string(buffer, made);
}

template <typename Signed, typename Unsigned>
std::string formatSigned(Signed value)
{
    Unsigned magnitude = value < 0 ? Unsigned(0) - static_cast<Unsigned>(value) : static_cast<Unsigned>(value);
    char digits[32];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::string text;
    if (value < 0)
        text += '-';
    while (n > 0)
        text += digits[--n];
    return text;
}

bool isCSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

// ---- Numbers and truth values -------------------------------------------------------------

std::string formatInt8(int32_t value)
{
    return formatSigned<int64_t, uint64_t>(static_cast<int8_t>(value));
}

std::string formatInt16(int32_t value)
{
    return formatSigned<int64_t, uint64_t>(static_cast<int16_t>(value));
}

std::string formatUInt16(uint32_t value)
{
    return formatUInt64(static_cast<uint16_t>(value));
}

std::string formatInt32(int32_t value)
{
    return formatSigned<int64_t, uint64_t>(value);
}

std::string formatUInt32(uint32_t value)
{
    return formatUInt64(value);
}

std::string formatInt64(int64_t value)
{
    return formatSigned<int64_t, uint64_t>(value);
}

std::string formatUInt64(uint64_t value)
{
    if (value == 0)
        return "0";
    std::string text;
    while (value != 0) {
        text += static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return std::string(text.rbegin(), text.rend());
}

std::string formatDouble(double value)
{
    if (value == 0)
        return "0";
    char buffer[512];
    const double magnitude = std::fabs(value);
    if (magnitude > 1e15 || magnitude < 1e-15) {
        std::snprintf(buffer, sizeof buffer, "%.15e", value);
        return buffer;
    }
    std::snprintf(buffer, sizeof buffer, "%.14f", value);
    std::string text = buffer;
    const size_t point = text.find('.');
    if (point != std::string::npos) {
        size_t end = text.size();
        while (end > point + 1 && text[end - 1] == '0')
            --end;
        if (end == point + 1)
            end = point;
        text.erase(end);
    }
    return text;
}

std::string formatBool(bool value)
{
    return value ? "1" : "0";
}

bool parseBool(const std::string& text)
{
    return !text.empty() && text != "0";
}

int32_t parseInt32(const std::string& text)
{
    // strtol with a 32-bit long: leading space, optional sign, digits; saturates on overflow.
    size_t i = 0;
    while (i < text.size() && isCSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t magnitude = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > int64_t(INT32_MAX) + 1)
            magnitude = int64_t(INT32_MAX) + 1;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX)
        return INT32_MAX;
    return static_cast<int32_t>(value);
}

uint32_t parseUInt32(const std::string& text)
{
    // strtoul with a 32-bit long: a negative number is negated in unsigned arithmetic, an
    // overflowing magnitude gives the maximum.
    size_t i = 0;
    while (i < text.size() && isCSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        if (magnitude > UINT32_MAX) {
            overflow = true;
            magnitude = UINT32_MAX;
        }
    }
    if (overflow)
        return UINT32_MAX;
    const uint32_t value = static_cast<uint32_t>(magnitude);
    return negative ? uint32_t(0) - value : value;
}

int64_t parseInt64(const std::string& text)
{
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative)
        i = 1;
    uint64_t value = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (negative)
        value = uint64_t(0) - value;
    return static_cast<int64_t>(value);
}

uint64_t parseUInt64(const std::string& text)
{
    uint64_t value = 0;
    for (size_t i = 0; i < text.size() && isDigit(text[i]); ++i)
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    return value;
}

double parseDouble(const std::string& text)
{
    const double value = std::strtod(text.c_str(), nullptr);
    if (value > DBL_MAX)
        return DBL_MAX;
    return value;
}

// ---- Case and characters ------------------------------------------------------------------

std::string& toLower(std::string& text)
{
    for (auto& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

WideString& toLower(WideString& text)
{
    for (auto& c : text)
        c = static_cast<char16_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

int compareIgnoreCase(const std::string& a, const std::string& b)
{
    std::string lowerA = a;
    std::string lowerB = b;
    const int result = toLower(lowerA).compare(toLower(lowerB));
    return result < 0 ? -1 : result > 0 ? 1 : 0;
}

int compareIgnoreCase(const WideString& a, const WideString& b)
{
    WideString lowerA = a;
    WideString lowerB = b;
    const int result = toLower(lowerA).compare(toLower(lowerB));
    return result < 0 ? -1 : result > 0 ? 1 : 0;
}

WideString widen(const std::string& text)
{
    WideString result;
    result.reserve(text.size());
    for (const char c : text)
        result += widenByte(c);
    return result;
}

std::string narrow(const WideString& text)
{
    std::string result;
    result.reserve(text.size());
    for (const char16_t c : text)
        result += narrowChar(c)[0];
    return result;
}

std::string& replaceChar(std::string& text, char from, char to)
{
    return replaceCharOf(text, from, to);
}

WideString& replaceChar(WideString& text, char16_t from, char16_t to)
{
    return replaceCharOf(text, from, to);
}

std::string& reverse(std::string& text, size_t start, size_t count)
{
    return reverseOf(text, start, count);
}

WideString& reverse(WideString& text, size_t start, size_t count)
{
    return reverseOf(text, start, count);
}

bool unquote(std::string& text)
{
    return unquoteOf(text);
}

bool unquote(WideString& text)
{
    return unquoteOf(text);
}

// ---- Trimming, cutting, splitting, joining ------------------------------------------------

std::string& trimLeft(std::string& text, bool useWhitespaceSet)
{
    return trimLeftOf(text, useWhitespaceSet);
}

std::string& trimRight(std::string& text, bool useWhitespaceSet)
{
    return trimRightOf(text, useWhitespaceSet);
}

WideString& trimLeft(WideString& text, bool useWhitespaceSet)
{
    return trimLeftOf(text, useWhitespaceSet);
}

WideString& trimRight(WideString& text, bool useWhitespaceSet)
{
    return trimRightOf(text, useWhitespaceSet);
}

std::string cutHead(std::string& text, char separator)
{
    return cutHeadOf(text, separator);
}

WideString cutHead(WideString& text, char16_t separator)
{
    return cutHeadOf(text, separator);
}

std::string cutTail(std::string& text, char separator)
{
    return cutTailOf(text, separator);
}

WideString cutTail(WideString& text, char16_t separator)
{
    return cutTailOf(text, separator);
}

std::vector<std::string> split(const std::string& text, char separator, size_t maximum, bool skipEmpty)
{
    std::vector<std::string> parts;
    splitInto(text, separator, parts, maximum, skipEmpty);
    return parts;
}

std::vector<WideString> split(const WideString& text, char16_t separator, size_t maximum, bool skipEmpty)
{
    std::vector<WideString> parts;
    splitInto(text, separator, parts, maximum, skipEmpty);
    return parts;
}

void split(const std::string& text, char separator, std::list<std::string>& parts, size_t maximum, bool skipEmpty)
{
    splitInto(text, separator, parts, maximum, skipEmpty);
}

void split(const WideString& text, char16_t separator, std::list<WideString>& parts, size_t maximum, bool skipEmpty)
{
    splitInto(text, separator, parts, maximum, skipEmpty);
}

std::string join(const std::vector<std::string>& parts, char separator)
{
    return joinOf<std::string>(parts, separator);
}

std::string join(const std::list<std::string>& parts, char separator)
{
    return joinOf<std::string>(parts, separator);
}

std::string join(const std::vector<std::string>& parts, const std::string& separator)
{
    return joinOf<std::string>(parts, separator);
}

std::string join(const std::list<std::string>& parts, const std::string& separator)
{
    return joinOf<std::string>(parts, separator);
}

WideString join(const std::vector<WideString>& parts, char16_t separator)
{
    return joinOf<WideString>(parts, separator);
}

WideString join(const std::list<WideString>& parts, char16_t separator)
{
    return joinOf<WideString>(parts, separator);
}

int compareAt(const std::string& text, size_t index, const std::string& other)
{
    return compareAtOf(text, index, other);
}

int compareAt(const WideString& text, size_t index, const WideString& other)
{
    return compareAtOf(text, index, other);
}

// ---- Escaping and padding -----------------------------------------------------------------

std::string escapeChar(const std::string& text, char special, char replacement, char escape)
{
    return escapeCharOf(text, special, replacement, escape);
}

WideString escapeChar(const WideString& text, char16_t special, char16_t replacement, char16_t escape)
{
    return escapeCharOf(text, special, replacement, escape);
}

std::string unescapeChar(const std::string& text, char replacement, char special, char escape)
{
    return unescapeCharOf(text, replacement, special, escape);
}

WideString unescapeChar(const WideString& text, char16_t replacement, char16_t special, char16_t escape)
{
    return unescapeCharOf(text, replacement, special, escape);
}

std::string escapeChars(const std::string& text, const std::string& specials, const std::string& replacements,
                        char escape)
{
    return escapeCharsOf(text, specials, replacements, escape);
}

WideString escapeChars(const WideString& text, const WideString& specials, const WideString& replacements,
                       char16_t escape)
{
    return escapeCharsOf(text, specials, replacements, escape);
}

std::string padLeft(const std::string& text, size_t width, char fill)
{
    return padOf(text, width, fill, true);
}

std::string padRight(const std::string& text, size_t width, char fill)
{
    return padOf(text, width, fill, false);
}

WideString padLeft(const WideString& text, size_t width, char16_t fill)
{
    return padOf(text, width, fill, true);
}

WideString padRight(const WideString& text, size_t width, char16_t fill)
{
    return padOf(text, width, fill, false);
}

// ---- Line break search --------------------------------------------------------------------

LineSizeSearcher::LineSizeSearcher(int width)
    : width(static_cast<uint8_t>(width < 0 ? 0 : width > 255 ? 255 : width)),
      breakChars(whitespaceSet + "-"),
      wideBreakChars(wideWhitespaceSet + u"-")
{
}

bool LineSizeSearcher::findBreak(const WideString& text, size_t start, size_t length, size_t& cut,
                                 bool& skip) const
{
    return findBreakIn(text, wideBreakChars, width, start, length, cut, skip);
}

bool LineSizeSearcher::findBreak(const std::string& text, size_t start, size_t length, size_t& cut,
                                 bool& skip) const
{
    return findBreakIn(text, breakChars, width, start, length, cut, skip);
}

}  // namespace StringTools
}  // namespace KelvraCorelib
