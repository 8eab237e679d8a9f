#pragma once
// Text tools: number formatting and parsing, case folding, trimming, cutting, splitting,
// joining, escaping and padding of narrow (8-bit) and wide (16-bit) texts, and the line
// break search used to wrap long lines. None of these functions throws.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "corelib/ParamStream.h"

namespace KelvraCorelib {
namespace StringTools {

// Blank, CR, LF, tab, vertical tab, backspace and form feed.
extern const std::string whitespaceSet;
extern const WideString wideWhitespaceSet;

// Maximum part count of split meaning "no limit".
constexpr size_t unlimited = static_cast<size_t>(-1);

// ---- Numbers and truth values -------------------------------------------------------------

std::string formatInt8(int32_t value);     // narrowed to 8 bits, signed decimal
std::string formatInt16(int32_t value);    // narrowed to 16 bits, signed decimal
std::string formatUInt16(uint32_t value);  // narrowed to 16 bits, unsigned decimal
std::string formatInt32(int32_t value);
std::string formatUInt32(uint32_t value);
std::string formatInt64(int64_t value);
std::string formatUInt64(uint64_t value);
// "0" for zero; "%.15e" when |x| > 1e15 or |x| < 1e-15; otherwise "%.14f" without
// trailing fraction zeros (and without the "." when no fraction digit is left).
std::string formatDouble(double value);
std::string formatBool(bool value);  // "1" / "0"

bool parseBool(const std::string& text);        // false for "" and "0", else true
int32_t parseInt32(const std::string& text);    // strtol base 10 with a 32-bit long (saturates)
uint32_t parseUInt32(const std::string& text);  // strtoul base 10 with a 32-bit long
int64_t parseInt64(const std::string& text);    // optional "-", digits, 64-bit wrap-around
uint64_t parseUInt64(const std::string& text);  // digits from the start, no sign
double parseDouble(const std::string& text);    // atof; +infinity becomes the largest double

// ---- Case and characters ------------------------------------------------------------------

std::string& toLower(std::string& text);  // in place, returns text
WideString& toLower(WideString& text);
int compareIgnoreCase(const std::string& a, const std::string& b);  // -1, 0 or 1
int compareIgnoreCase(const WideString& a, const WideString& b);

// Each byte converted on its own with the multibyte conversion of the current locale
// (a byte that the locale does not map keeps its value).
WideString widen(const std::string& text);
// Each wide character converted with the wide-to-multibyte conversion of the current
// locale, one byte kept per character (an unmapped character below 256 keeps its value,
// any other becomes "?").
std::string narrow(const WideString& text);

std::string& replaceChar(std::string& text, char from, char to);
WideString& replaceChar(WideString& text, char16_t from, char16_t to);
// Reverses text[start, start + count) in place, clipped to the text.
std::string& reverse(std::string& text, size_t start = 0, size_t count = std::string::npos);
WideString& reverse(WideString& text, size_t start = 0, size_t count = WideString::npos);
// Removes matching enclosing "'" or '"' (text of at least 2 characters); true when removed.
bool unquote(std::string& text);
bool unquote(WideString& text);

// ---- Trimming, cutting, splitting, joining ------------------------------------------------

// Removes leading (trailing) characters of the whitespace set, or, without the set, all
// characters below 0x21. In place, returns text.
std::string& trimLeft(std::string& text, bool useWhitespaceSet = true);
std::string& trimRight(std::string& text, bool useWhitespaceSet = true);
WideString& trimLeft(WideString& text, bool useWhitespaceSet = true);
WideString& trimRight(WideString& text, bool useWhitespaceSet = true);

// Returns the part before the first separator; text keeps what follows it. Without a
// separator the whole text is returned and text becomes empty.
std::string cutHead(std::string& text, char separator);
WideString cutHead(WideString& text, char16_t separator);
// Returns the part after the last separator; text keeps what precedes it. Without a
// separator the whole text is returned and text becomes empty.
std::string cutTail(std::string& text, char separator);
WideString cutTail(WideString& text, char16_t separator);

// Splits at separator into at most maximum parts (0 and unlimited: no limit); empty parts
// are dropped when skipEmpty; a trailing separator never yields an empty part; a limited
// split leaves the rest, separators included, in the last part.
std::vector<std::string> split(const std::string& text, char separator, size_t maximum = unlimited,
                               bool skipEmpty = false);
std::vector<WideString> split(const WideString& text, char16_t separator, size_t maximum = unlimited,
                              bool skipEmpty = false);
// The same, into a list (replacing its content).
void split(const std::string& text, char separator, std::list<std::string>& parts, size_t maximum = unlimited,
           bool skipEmpty = false);
void split(const WideString& text, char16_t separator, std::list<WideString>& parts, size_t maximum = unlimited,
           bool skipEmpty = false);

std::string join(const std::vector<std::string>& parts, char separator);
std::string join(const std::list<std::string>& parts, char separator);
std::string join(const std::vector<std::string>& parts, const std::string& separator);
std::string join(const std::list<std::string>& parts, const std::string& separator);
WideString join(const std::vector<WideString>& parts, char16_t separator);
WideString join(const std::list<WideString>& parts, char16_t separator);

// Compares text[index...] with other over other's length, bytes as signed values: -1 when
// text sorts first (also when index is past the end or text runs out), 1 when other does,
// 0 when all match.
int compareAt(const std::string& text, size_t index, const std::string& other);
int compareAt(const WideString& text, size_t index, const WideString& other);

// ---- Escaping and padding -----------------------------------------------------------------

// special -> escape + replacement; escape -> escape + escape.
std::string escapeChar(const std::string& text, char special, char replacement, char escape);
WideString escapeChar(const WideString& text, char16_t special, char16_t replacement, char16_t escape);
// escape + replacement -> special; escape + escape -> escape; escape + other: both kept;
// a lone escape at the end is kept.
std::string unescapeChar(const std::string& text, char replacement, char special, char escape);
WideString unescapeChar(const WideString& text, char16_t replacement, char16_t special, char16_t escape);
// specials[i] -> escape + replacements[i] (for i within replacements); the escape itself is
// doubled only when it is one of the specials.
std::string escapeChars(const std::string& text, const std::string& specials, const std::string& replacements,
                        char escape);
WideString escapeChars(const WideString& text, const WideString& specials, const WideString& replacements,
                       char16_t escape);

std::string padLeft(const std::string& text, size_t width, char fill = ' ');
std::string padRight(const std::string& text, size_t width, char fill = ' ');
WideString padLeft(const WideString& text, size_t width, char16_t fill = u' ');
WideString padRight(const WideString& text, size_t width, char16_t fill = u' ');

// ---- Line break search --------------------------------------------------------------------

class StringSearcher {
public:
    virtual ~StringSearcher() = default;
    // Where to end the line that starts at start (looking at no more than length characters,
    // npos for all): cut is the end position, skip tells the caller to drop the character at
    // cut. False when start is at or past the end of the text.
    virtual bool findBreak(const WideString& text, size_t start, size_t length, size_t& cut,
                           bool& skip) const = 0;
    virtual bool findBreak(const std::string& text, size_t start, size_t length, size_t& cut,
                           bool& skip) const = 0;
};

// Breaks lines of at most width characters after a hyphen or at a whitespace character,
// at the first line feed, or hard at the width.
class LineSizeSearcher : public StringSearcher {
public:
    explicit LineSizeSearcher(int width);  // clamped to 0..255; 0 finds nothing

    bool findBreak(const WideString& text, size_t start, size_t length, size_t& cut, bool& skip) const override;
    bool findBreak(const std::string& text, size_t start, size_t length, size_t& cut, bool& skip) const override;

    uint8_t width;
    std::string breakChars;       // the whitespace set followed by "-"
    WideString wideBreakChars;
};

}  // namespace StringTools
}  // namespace KelvraCorelib
