#pragma once
// Streams of typed text items: the parameters of errors, log records and hub messages.
//
//   ParamStream p; p << std::string("x") << 7;   // items (String "x"), (Int32 "7")
//   p.format("% and %")                          // "x and 7"
//   StringStream s; s << int32_t(7) << "x";      // serial bytes 03 37 1E 09 78 1E

#include <cstdint>
#include <list>
#include <string>

namespace KelvraCorelib {

// 16-bit text, as the class library's wide strings are on every platform.
using WideString = std::u16string;

enum PrimitiveType : int32_t {
    Bool = 0,
    RawByte = 1,   // reserved: produced by nothing
    RawInt = 2,    // reserved: produced by nothing
    Int32 = 3,
    UInt32 = 4,
    Int64 = 5,
    UInt64 = 6,
    Double = 7,
    Time = 8,
    String = 9,
    WString = 10,
    Stream = 11,
    Char = 12,
    WChar = 13,
    None = 14,
};

struct Primitive {
    int32_t type = None;
    std::string text;

    std::string toText() const;
    WideString toWideText() const;
};

// A text kept in a process-wide table, narrow or wide.
class SharedText {
public:
    SharedText();
    explicit SharedText(const std::string& text);
    explicit SharedText(const WideString& text);
    bool isWide() const;
    std::string narrowText() const;
    WideString wideText() const;
    void set(const std::string& text);
    void set(const WideString& text);

private:
    uint32_t index;
};

class PrimitiveStream {
public:
    virtual ~PrimitiveStream() = default;
    virtual bool getPrimitive(Primitive& item) = 0;
    virtual bool putPrimitive(const Primitive& item) = 0;
    virtual void beforeWriteWide(WideString& text);
    virtual void beforeWriteNarrow(std::string& text);
    virtual void afterReadWide(WideString& text);
    virtual void afterReadNarrow(std::string& text);
};

class StreamBase : public PrimitiveStream {
public:
    virtual StreamBase& operator<<(const SharedText& value);
    virtual StreamBase& operator<<(const WideString& value);
    virtual StreamBase& operator<<(const std::string& value);
    virtual StreamBase& operator<<(const char16_t* value);
    virtual StreamBase& operator<<(const char* value);
    virtual StreamBase& operator<<(double value);
    virtual StreamBase& operator<<(uint64_t value);
    virtual StreamBase& operator<<(int64_t value);
    virtual StreamBase& operator<<(uint32_t value);
    virtual StreamBase& operator<<(int32_t value);
    virtual StreamBase& operator<<(char16_t value);
    virtual StreamBase& operator<<(char value);
    virtual StreamBase& operator<<(bool value);

    virtual StreamBase& operator>>(SharedText& value);
    virtual StreamBase& operator>>(WideString& value);
    virtual StreamBase& operator>>(std::string& value);
    virtual StreamBase& operator>>(double& value);
    virtual StreamBase& operator>>(uint64_t& value);
    virtual StreamBase& operator>>(int64_t& value);
    virtual StreamBase& operator>>(uint32_t& value);
    virtual StreamBase& operator>>(int32_t& value);
    virtual StreamBase& operator>>(char16_t& value);
    virtual StreamBase& operator>>(char& value);
    virtual StreamBase& operator>>(bool& value);

    // Non-virtual forms that tell whether the item was written or read.
    bool writeSharedText(const SharedText& value);
    bool writeWideString(const WideString& value);
    bool writeString(const std::string& value);
    bool writeDouble(double value);
    bool writeUInt64(uint64_t value);
    bool writeInt64(int64_t value);
    bool writeUInt32(uint32_t value);
    bool writeInt32(int32_t value);
    bool writeWideChar(char16_t value);
    bool writeChar(char value);
    bool writeBool(bool value);
    bool writeTime(int64_t dateTimeCount);

    bool readSharedText(SharedText& value);
    bool readWideString(WideString& value);
    bool readString(std::string& value);
    bool readDouble(double& value);
    bool readUInt64(uint64_t& value);
    bool readInt64(int64_t& value);
    bool readUInt32(uint32_t& value);
    bool readInt32(int32_t& value);
    bool readWideChar(char16_t& value);
    bool readChar(char& value);
    bool readBool(bool& value);
    bool readTime(int64_t& dateTimeCount);
};

// Items in an in-memory list with a read cursor.
class ParamStream : public StreamBase {
public:
    ParamStream();
    ParamStream(const ParamStream& other);
    ParamStream& operator=(const ParamStream& other);
    ~ParamStream() override;

    // Same operators, returning this class so that a temporary can be built and passed in one expression.
    ParamStream& operator<<(const SharedText& value) override;
    ParamStream& operator<<(const WideString& value) override;
    ParamStream& operator<<(const std::string& value) override;
    ParamStream& operator<<(const char16_t* value) override;
    ParamStream& operator<<(const char* value) override;
    ParamStream& operator<<(double value) override;
    ParamStream& operator<<(uint64_t value) override;
    ParamStream& operator<<(int64_t value) override;
    ParamStream& operator<<(uint32_t value) override;
    ParamStream& operator<<(int32_t value) override;
    ParamStream& operator<<(char16_t value) override;
    ParamStream& operator<<(char value) override;
    ParamStream& operator<<(bool value) override;
    ParamStream& operator>>(SharedText& value) override;
    ParamStream& operator>>(WideString& value) override;
    ParamStream& operator>>(std::string& value) override;
    ParamStream& operator>>(double& value) override;
    ParamStream& operator>>(uint64_t& value) override;
    ParamStream& operator>>(int64_t& value) override;
    ParamStream& operator>>(uint32_t& value) override;
    ParamStream& operator>>(int32_t& value) override;
    ParamStream& operator>>(char16_t& value) override;
    ParamStream& operator>>(char& value) override;
    ParamStream& operator>>(bool& value) override;

    bool getPrimitive(Primitive& item) override;
    bool putPrimitive(const Primitive& item) override;

    std::string format(const std::string& messageTemplate);
    WideString format(const WideString& messageTemplate);

    size_t count() const;
    bool empty() const;
    void rewind();

private:
    std::list<Primitive> items;
    std::list<Primitive>::iterator cursor;
};

// Items in one serial byte string: tag byte, (escaped) text, 0x1E.
class StringStream : public StreamBase {
public:
    StringStream();
    StringStream(const StringStream& other);
    StringStream& operator=(const StringStream& other);
    ~StringStream() override;

    // Same operators, returning this class so that a temporary can be built and passed in one expression.
    StringStream& operator<<(const SharedText& value) override;
    StringStream& operator<<(const WideString& value) override;
    StringStream& operator<<(const std::string& value) override;
    StringStream& operator<<(const char16_t* value) override;
    StringStream& operator<<(const char* value) override;
    StringStream& operator<<(double value) override;
    StringStream& operator<<(uint64_t value) override;
    StringStream& operator<<(int64_t value) override;
    StringStream& operator<<(uint32_t value) override;
    StringStream& operator<<(int32_t value) override;
    StringStream& operator<<(char16_t value) override;
    StringStream& operator<<(char value) override;
    StringStream& operator<<(bool value) override;
    StringStream& operator>>(SharedText& value) override;
    StringStream& operator>>(WideString& value) override;
    StringStream& operator>>(std::string& value) override;
    StringStream& operator>>(double& value) override;
    StringStream& operator>>(uint64_t& value) override;
    StringStream& operator>>(int64_t& value) override;
    StringStream& operator>>(uint32_t& value) override;
    StringStream& operator>>(int32_t& value) override;
    StringStream& operator>>(char16_t& value) override;
    StringStream& operator>>(char& value) override;
    StringStream& operator>>(bool& value) override;

    bool getPrimitive(Primitive& item) override;
    bool putPrimitive(const Primitive& item) override;

    virtual StringStream& operator<<(const StringStream& value);
    virtual StringStream& operator>>(StringStream& value);
    bool writeStream(const StringStream& value);
    bool readStream(StringStream& value);

    std::string serial;
    size_t readPosition = 0;
};

}  // namespace KelvraCorelib
