// The file facade: forwards to a plain or a compressed implementation chosen by the name.
#include "corelib/File.h"

#include <new>

#include "corelib/BasicFile.h"
#include "corelib/ZFile.h"

namespace KelvraCorelib {

int File::kindForName(const std::string& name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || name.size() - dot != 3) {
        return KindBasic;
    }
    const char g = name[dot + 1];
    const char z = name[dot + 2];
    return ((g == 'g' || g == 'G') && (z == 'z' || z == 'Z')) ? KindCompressed : KindBasic;
}

File::File(const std::string& name)
{
    if (kindForName(name) == KindCompressed) {
        compressed.reset(new (std::nothrow) ZFile(name));
        implementationKind = compressed ? KindCompressed : KindNone;
    } else {
        basic.reset(new (std::nothrow) BasicFile(name));
        implementationKind = basic ? KindBasic : KindNone;
    }
}

File::~File()
{
    close();
}

template <typename Result, typename Operation>
Result File::forward(Result fallback, Operation operation) const
{
    if (basic) {
        return operation(*basic);
    }
    if (compressed) {
        return operation(*compressed);
    }
    return fallback;
}

bool File::openRead()
{
    return forward(false, [](auto& file) { return file.openRead(); });
}

bool File::openWrite()
{
    return forward(false, [](auto& file) { return file.openWrite(); });
}

bool File::openWriteNew()
{
    return forward(false, [](auto& file) { return file.openWriteNew(); });
}

bool File::openAppend()
{
    return forward(false, [](auto& file) { return file.openAppend(); });
}

bool File::close()
{
    return forward(false, [](auto& file) { return file.close(); });
}

std::string File::name() const
{
    return forward(std::string(), [](auto& file) { return file.name(); });
}

bool File::seek(uint64_t position)
{
    return forward(false, [position](auto& file) { return file.seek(position); });
}

uint64_t File::tell()
{
    return forward(uint64_t(0), [](auto& file) { return file.tell(); });
}

bool File::seekFromEnd(uint64_t n)
{
    return forward(false, [n](auto& file) { return file.seekFromEnd(n); });
}

bool File::readChar(char& c)
{
    return forward(false, [&c](auto& file) { return file.readChar(c); });
}

bool File::readLine(std::string& text, char delimiter)
{
    return forward(false, [&text, delimiter](auto& file) { return file.readLine(text, delimiter); });
}

bool File::atEnd()
{
    return forward(true, [](auto& file) { return file.atEnd(); });
}

bool File::writeChar(char c)
{
    return forward(false, [c](auto& file) { return file.writeChar(c); });
}

bool File::writeText(const std::string& text)
{
    return forward(false, [&text](auto& file) { return file.writeText(text); });
}

bool File::flush()
{
    return forward(false, [](auto& file) { return file.flush(); });
}

bool File::sync()
{
    return forward(false, [](auto& file) { return file.sync(); });
}

bool File::isOpenForReading() const
{
    return forward(false, [](auto& file) { return file.isOpenForReading(); });
}

bool File::hasFailed() const
{
    return forward(false, [](auto& file) { return file.hasFailed(); });
}

bool File::isOpenForWriting() const
{
    return forward(false, [](auto& file) { return file.isOpenForWriting(); });
}

uint64_t File::lineNumber() const
{
    return forward(uint64_t(0), [](auto& file) { return file.lineNumber(); });
}

}  // namespace KelvraCorelib
