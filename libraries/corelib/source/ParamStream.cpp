#include "corelib/ParamStream.h"

#include <climits>
#include <cwchar>
#include <deque>
#include <map>
#include <mutex>

#include "corelib/DateTime.h"
#include "corelib/StringTools.h"

namespace KelvraCorelib {

using namespace StringTools;

namespace {

// Item-level escaping of string items: line feed -> "\n", backslash doubled.
const char itemSpecial = '\n';
const char itemReplacement = 'n';
const char escapeByte = '\\';

// Serial escaping of tags 1, 2, 9, 10 and 11: 0x1E -> 5C 1F, 5C -> 5C 5C.
const char separatorByte = '\x1E';
const char separatorReplacement = '\x1F';

bool isSerialEscaped(int32_t type)
{
    return type == RawByte || type == RawInt || type == String || type == WString || type == Stream;
}

std::string wideToBytes(const WideString& text)
{
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (const char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    }
    return bytes;
}

WideString bytesToWide(const std::string& bytes)
{
    WideString text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto low = static_cast<unsigned char>(bytes[i]);
        const auto high = static_cast<unsigned char>(bytes[i + 1]);
        text += static_cast<char16_t>(low | (high << 8));
    }
    return text;
}

std::string escapeNarrowItem(const std::string& text)
{
    return escapeChar(text, itemSpecial, itemReplacement, escapeByte);
}

std::string unescapeNarrowItem(const std::string& text)
{
    return unescapeChar(text, itemReplacement, itemSpecial, escapeByte);
}

std::string escapeWideItem(const WideString& text)
{
    return wideToBytes(escapeChar(text, u'\n', u'n', u'\\'));
}

WideString unescapeWideItem(const std::string& text)
{
    return unescapeChar(bytesToWide(text), u'n', u'\n', u'\\');
}

// A text is acceptable for a list or serial stream: tags 0 to 13, an empty text only for
// the string tags.
bool isAcceptable(const Primitive& item)
{
    if (item.type < Bool || item.type > WChar)
        return false;
    return !item.text.empty() || item.type == String || item.type == WString;
}

// The process-wide table of shared texts; equal texts share one entry.
struct SharedTextTable {
    struct Entry {
        bool wide;
        std::string narrowText;
        WideString wideText;
    };
    std::mutex lock;
    std::deque<Entry> entries;
    std::map<std::string, uint32_t> narrowIndex;
    std::map<WideString, uint32_t> wideIndex;

    uint32_t intern(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = narrowIndex.find(text);
        if (found != narrowIndex.end())
            return found->second;
        const auto index = static_cast<uint32_t>(entries.size());
        entries.push_back(Entry{false, text, WideString()});
        narrowIndex.emplace(text, index);
        return index;
    }

    uint32_t intern(const WideString& text)
    {
        std::lock_guard<std::mutex> guard(lock);
        const auto found = wideIndex.find(text);
        if (found != wideIndex.end())
            return found->second;
        const auto index = static_cast<uint32_t>(entries.size());
        entries.push_back(Entry{true, std::string(), text});
        wideIndex.emplace(text, index);
        return index;
    }

    Entry entry(uint32_t index)
    {
        std::lock_guard<std::mutex> guard(lock);
        return entries.at(index);
    }
};

SharedTextTable& sharedTexts()
{
    static SharedTextTable* table = new SharedTextTable();  // lives until the process ends
    return *table;
}

// The stream form of a date-time: UTC fields with milliseconds, "2010-05-06T07:08:09.010Z".
std::string timeText(const std::string& countText)
{
    return DateTime(parseInt64(countText), TimeZone()).toText(true, false, false);
}

}  // namespace

// ---- Primitive ----------------------------------------------------------------------------

std::string Primitive::toText() const
{
    switch (type) {
    case Bool:
        return text.empty() || text == "0" ? "false" : "true";
    case RawByte:
    case RawInt:
    case Int32:
    case UInt32:
    case Int64:
    case UInt64:
    case Double:
        return text;
    case Time:
        return timeText(text);
    case String:
        return unescapeNarrowItem(text);
    case WString:
        return narrow(unescapeWideItem(text));
    case Char:
        return std::string(1, static_cast<char>(parseInt32(text)));
    case WChar: {
        const auto c = static_cast<wchar_t>(static_cast<char16_t>(parseInt32(text)));
        char buffer[MB_LEN_MAX > 16 ? MB_LEN_MAX : 16];
        std::mbstate_t state{};
        const size_t made = std::wcrtomb(buffer, c, &state);
        if (made == static_cast<size_t>(-1) || made == 0)
            return std::string(1, c < 256 ? static_cast<char>(c) : '?');
        return std::string(buffer, made);
    }
    default:
        return std::string();
    }
}

WideString Primitive::toWideText() const
{
    switch (type) {
    case Bool:
        return text.empty() || text == "0" ? u"false" : u"true";
    case RawByte:
    case RawInt:
    case Int32:
    case UInt32:
    case Int64:
    case UInt64:
    case Double:
        return widen(text);
    case Time:
        return widen(timeText(text));
    case String:
        return widen(unescapeNarrowItem(text));
    case WString:
        return unescapeWideItem(text);
    case Char:
        return widen(std::string(1, static_cast<char>(parseInt32(text))));
    case WChar:
        return WideString(1, static_cast<char16_t>(parseInt32(text)));
    default:
        return WideString();
    }
}

// ---- SharedText ---------------------------------------------------------------------------

SharedText::SharedText() : index(sharedTexts().intern(std::string())) {}

SharedText::SharedText(const std::string& text) : index(sharedTexts().intern(text)) {}

SharedText::SharedText(const WideString& text) : index(sharedTexts().intern(text)) {}

bool SharedText::isWide() const
{
    return sharedTexts().entry(index).wide;
}

std::string SharedText::narrowText() const
{
    const auto entry = sharedTexts().entry(index);
    return entry.wide ? narrow(entry.wideText) : entry.narrowText;
}

WideString SharedText::wideText() const
{
    const auto entry = sharedTexts().entry(index);
    return entry.wide ? entry.wideText : widen(entry.narrowText);
}

void SharedText::set(const std::string& text)
{
    index = sharedTexts().intern(text);
}

void SharedText::set(const WideString& text)
{
    index = sharedTexts().intern(text);
}

// ---- PrimitiveStream ----------------------------------------------------------------------

void PrimitiveStream::beforeWriteWide(WideString&) {}
void PrimitiveStream::beforeWriteNarrow(std::string&) {}
void PrimitiveStream::afterReadWide(WideString&) {}
void PrimitiveStream::afterReadNarrow(std::string&) {}

// ---- StreamBase: writing ------------------------------------------------------------------

namespace {

bool put(PrimitiveStream& stream, int32_t type, std::string text)
{
    Primitive item;
    item.type = type;
    item.text = std::move(text);
    return stream.putPrimitive(item);
}

// Reads the next item; true only when it has the required tag. The item is consumed
// either way.
bool take(PrimitiveStream& stream, int32_t type, std::string& text)
{
    Primitive item;
    item.type = None;
    if (!stream.getPrimitive(item) || item.type != type)
        return false;
    text = std::move(item.text);
    return true;
}

}  // namespace

bool StreamBase::writeSharedText(const SharedText& value)
{
    if (value.isWide())
        return put(*this, WString, escapeWideItem(value.wideText()));
    return put(*this, String, escapeNarrowItem(value.narrowText()));
}

bool StreamBase::writeWideString(const WideString& value)
{
    WideString text = value;
    beforeWriteWide(text);
    return put(*this, WString, escapeWideItem(text));
}

bool StreamBase::writeString(const std::string& value)
{
    std::string text = value;
    beforeWriteNarrow(text);
    return put(*this, String, escapeNarrowItem(text));
}

bool StreamBase::writeDouble(double value)
{
    return put(*this, Double, formatDouble(value));
}

bool StreamBase::writeUInt64(uint64_t value)
{
    return put(*this, UInt64, formatUInt64(value));
}

bool StreamBase::writeInt64(int64_t value)
{
    return put(*this, Int64, formatInt64(value));
}

bool StreamBase::writeUInt32(uint32_t value)
{
    return put(*this, UInt32, formatUInt32(value));
}

bool StreamBase::writeInt32(int32_t value)
{
    return put(*this, Int32, formatInt32(value));
}

bool StreamBase::writeWideChar(char16_t value)
{
    return put(*this, WChar, formatUInt32(value));
}

bool StreamBase::writeChar(char value)
{
    return put(*this, Char, formatInt8(static_cast<signed char>(value)));
}

bool StreamBase::writeBool(bool value)
{
    return put(*this, Bool, formatBool(value));
}

bool StreamBase::writeTime(int64_t dateTimeCount)
{
    return put(*this, Time, formatInt64(dateTimeCount));
}

// ---- StreamBase: reading ------------------------------------------------------------------

bool StreamBase::readSharedText(SharedText& value)
{
    Primitive item;
    item.type = None;
    if (!getPrimitive(item))
        return false;
    if (item.type == String) {
        value.set(unescapeNarrowItem(item.text));
        return true;
    }
    if (item.type == WString) {
        value.set(unescapeWideItem(item.text));
        return true;
    }
    return false;
}

bool StreamBase::readWideString(WideString& value)
{
    std::string text;
    if (!take(*this, WString, text))
        return false;
    value = unescapeWideItem(text);
    afterReadWide(value);
    return true;
}

bool StreamBase::readString(std::string& value)
{
    std::string text;
    if (!take(*this, String, text))
        return false;
    value = unescapeNarrowItem(text);
    afterReadNarrow(value);
    return true;
}

bool StreamBase::readDouble(double& value)
{
    std::string text;
    if (!take(*this, Double, text))
        return false;
    value = parseDouble(text);
    return true;
}

bool StreamBase::readUInt64(uint64_t& value)
{
    std::string text;
    if (!take(*this, UInt64, text))
        return false;
    value = parseUInt64(text);
    return true;
}

bool StreamBase::readInt64(int64_t& value)
{
    std::string text;
    if (!take(*this, Int64, text))
        return false;
    value = parseInt64(text);
    return true;
}

bool StreamBase::readUInt32(uint32_t& value)
{
    std::string text;
    if (!take(*this, UInt32, text))
        return false;
    value = parseUInt32(text);
    return true;
}

bool StreamBase::readInt32(int32_t& value)
{
    std::string text;
    if (!take(*this, Int32, text))
        return false;
    value = parseInt32(text);
    return true;
}

bool StreamBase::readWideChar(char16_t& value)
{
    std::string text;
    if (!take(*this, WChar, text))
        return false;
    value = static_cast<char16_t>(parseInt32(text));
    return true;
}

bool StreamBase::readChar(char& value)
{
    std::string text;
    if (!take(*this, Char, text))
        return false;
    value = static_cast<char>(parseInt32(text));
    return true;
}

bool StreamBase::readBool(bool& value)
{
    std::string text;
    if (!take(*this, Bool, text))
        return false;
    value = parseBool(text);
    return true;
}

bool StreamBase::readTime(int64_t& dateTimeCount)
{
    std::string text;
    if (!take(*this, Time, text))
        return false;
    dateTimeCount = parseInt64(text);
    return true;
}

// ---- Chaining operators -------------------------------------------------------------------

#define KELVRA_STREAM_OPERATORS(Class)                                                        \
    Class& Class::operator<<(const SharedText& value)                                         \
    {                                                                                         \
        writeSharedText(value);                                                               \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(const WideString& value)                                         \
    {                                                                                         \
        writeWideString(value);                                                               \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(const std::string& value)                                        \
    {                                                                                         \
        writeString(value);                                                                   \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(const char16_t* value)                                           \
    {                                                                                         \
        put(*this, WString, escapeWideItem(value == nullptr ? WideString() : WideString(value))); \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(const char* value)                                               \
    {                                                                                         \
        put(*this, String, escapeNarrowItem(value == nullptr ? std::string() : std::string(value))); \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(double value)                                                    \
    {                                                                                         \
        writeDouble(value);                                                                   \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(uint64_t value)                                                  \
    {                                                                                         \
        writeUInt64(value);                                                                   \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(int64_t value)                                                   \
    {                                                                                         \
        writeInt64(value);                                                                    \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(uint32_t value)                                                  \
    {                                                                                         \
        writeUInt32(value);                                                                   \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(int32_t value)                                                   \
    {                                                                                         \
        writeInt32(value);                                                                    \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(char16_t value)                                                  \
    {                                                                                         \
        writeWideChar(value);                                                                 \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(char value)                                                      \
    {                                                                                         \
        writeChar(value);                                                                     \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator<<(bool value)                                                      \
    {                                                                                         \
        writeBool(value);                                                                     \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(SharedText& value)                                               \
    {                                                                                         \
        readSharedText(value);                                                                \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(WideString& value)                                               \
    {                                                                                         \
        readWideString(value);                                                                \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(std::string& value)                                              \
    {                                                                                         \
        readString(value);                                                                    \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(double& value)                                                   \
    {                                                                                         \
        readDouble(value);                                                                    \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(uint64_t& value)                                                 \
    {                                                                                         \
        readUInt64(value);                                                                    \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(int64_t& value)                                                  \
    {                                                                                         \
        readInt64(value);                                                                     \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(uint32_t& value)                                                 \
    {                                                                                         \
        readUInt32(value);                                                                    \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(int32_t& value)                                                  \
    {                                                                                         \
        readInt32(value);                                                                     \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(char16_t& value)                                                 \
    {                                                                                         \
        readWideChar(value);                                                                  \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(char& value)                                                     \
    {                                                                                         \
        readChar(value);                                                                      \
        return *this;                                                                         \
    }                                                                                         \
    Class& Class::operator>>(bool& value)                                                     \
    {                                                                                         \
        readBool(value);                                                                      \
        return *this;                                                                         \
    }

KELVRA_STREAM_OPERATORS(StreamBase)
KELVRA_STREAM_OPERATORS(ParamStream)
KELVRA_STREAM_OPERATORS(StringStream)

#undef KELVRA_STREAM_OPERATORS

// ---- ParamStream --------------------------------------------------------------------------

ParamStream::ParamStream() : cursor(items.begin()) {}

ParamStream::ParamStream(const ParamStream& other) : StreamBase(other), items(other.items), cursor(items.begin()) {}

ParamStream& ParamStream::operator=(const ParamStream& other)
{
    if (this != &other)
        items = other.items;
    cursor = items.begin();
    return *this;
}

ParamStream::~ParamStream() = default;

bool ParamStream::putPrimitive(const Primitive& item)
{
    if (!isAcceptable(item))
        return false;
    items.push_back(item);
    if (items.size() == 1)
        cursor = items.begin();
    return true;
}

bool ParamStream::getPrimitive(Primitive& item)
{
    if (cursor == items.end())
        return false;
    item.type = cursor->type;
    item.text = cursor->text;
    ++cursor;
    return true;
}

namespace {

template <typename Text>
Text formatWith(ParamStream& stream, const Text& messageTemplate, Text (Primitive::*render)() const)
{
    Text result;
    result.reserve(messageTemplate.size());
    for (size_t i = 0; i < messageTemplate.size(); ++i) {
        const auto c = messageTemplate[i];
        if (c == '%') {
            Primitive item;
            item.type = None;
            if (stream.getPrimitive(item))
                result += (item.*render)();
        } else if (c == '\\') {
            result += c;
            if (i + 1 < messageTemplate.size())
                result += messageTemplate[++i];
        } else {
            result += c;
        }
    }
    return result;
}

}  // namespace

std::string ParamStream::format(const std::string& messageTemplate)
{
    if (items.empty())
        return messageTemplate;
    rewind();
    return formatWith(*this, messageTemplate, &Primitive::toText);
}

WideString ParamStream::format(const WideString& messageTemplate)
{
    if (items.empty())
        return messageTemplate;
    rewind();
    return formatWith(*this, messageTemplate, &Primitive::toWideText);
}

size_t ParamStream::count() const
{
    return items.size();
}

bool ParamStream::empty() const
{
    return items.empty();
}

void ParamStream::rewind()
{
    cursor = items.begin();
}

// ---- StringStream -------------------------------------------------------------------------

StringStream::StringStream() = default;

StringStream::StringStream(const StringStream& other)
    : StreamBase(other), serial(other.serial), readPosition(other.readPosition)
{
}

StringStream& StringStream::operator=(const StringStream& other)
{
    serial = other.serial;
    readPosition = other.readPosition;
    return *this;
}

StringStream::~StringStream() = default;

bool StringStream::putPrimitive(const Primitive& item)
{
    if (!isAcceptable(item))
        return false;
    if (isSerialEscaped(item.type)) {
        serial += static_cast<char>(item.type);
        serial += escapeChar(item.text, separatorByte, separatorReplacement, escapeByte);
    } else {
        // These texts are numbers; one holding the separator would break the serial form.
        if (item.text.find(separatorByte) != std::string::npos)
            return false;
        serial += static_cast<char>(item.type);
        serial += item.text;
    }
    serial += separatorByte;
    return true;
}

bool StringStream::getPrimitive(Primitive& item)
{
    if (readPosition >= serial.size())
        return false;
    const auto tag = static_cast<unsigned char>(serial[readPosition]);
    if (tag > WChar)
        return false;
    ++readPosition;
    const size_t end = serial.find(separatorByte, readPosition);
    if (end == std::string::npos)
        return false;
    item.type = tag;
    item.text = serial.substr(readPosition, end - readPosition);
    readPosition = end + 1;
    if (isSerialEscaped(item.type))
        item.text = unescapeChar(item.text, separatorReplacement, separatorByte, escapeByte);
    return true;
}

StringStream& StringStream::operator<<(const StringStream& value)
{
    writeStream(value);
    return *this;
}

StringStream& StringStream::operator>>(StringStream& value)
{
    readStream(value);
    return *this;
}

bool StringStream::writeStream(const StringStream& value)
{
    return put(*this, Stream, value.serial);
}

bool StringStream::readStream(StringStream& value)
{
    std::string text;
    if (!take(*this, Stream, text))
        return false;
    value.serial = std::move(text);
    value.readPosition = 0;
    return true;
}

}  // namespace KelvraCorelib
