#pragma once
// The file facade every reader and writer uses. The name chooses the implementation: an
// extension "gz" (any case) gives a compressed ZFile, anything else a plain BasicFile. Every
// operation forwards to the implementation and gives false (0, an empty text) without one.
//
//   File file("settings.conf.gz");
//   std::string line;
//   if (file.openRead()) while (file.readLine(line)) ...

#include <cstdint>
#include <memory>
#include <string>

namespace KelvraCorelib {

class BasicFile;
class ZFile;

class File {
public:
    static constexpr int KindNone = 0;
    static constexpr int KindBasic = 1;
    static constexpr int KindCompressed = 2;

    // KindCompressed when the text after the last "." is "gz" ignoring case, else KindBasic.
    static int kindForName(const std::string& name);

    explicit File(const std::string& name);
    // Closes the file.
    virtual ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    int kind() const { return implementationKind; }

    bool openRead();
    // Creates or truncates.
    bool openWrite();
    // Creates; fails when the file exists.
    bool openWriteNew();
    // Plain files only: creates a missing file; writes go to the end, reads anywhere.
    bool openAppend();
    bool close();

    std::string name() const;

    bool seek(uint64_t position);
    uint64_t tell();
    // Plain files only: when the position is at least n, to n bytes before the end.
    bool seekFromEnd(uint64_t n);

    bool readChar(char& c);
    bool readLine(std::string& text, char delimiter = '\n');
    bool atEnd();
    // True after a failed read or write; for compressed files also when the stream read so
    // far is damaged or ends before its end mark.
    bool hasFailed() const;

    bool writeChar(char c);
    bool writeText(const std::string& text);
    bool flush();
    // Plain files only: flushes and forces the data to the storage device.
    bool sync();

    bool isOpenForReading() const;
    bool isOpenForWriting() const;
    // 1 after opening, plus one for every line feed read.
    uint64_t lineNumber() const;

private:
    template <typename Result, typename Operation>
    Result forward(Result fallback, Operation operation) const;

    std::unique_ptr<BasicFile> basic;
    std::unique_ptr<ZFile> compressed;
    int implementationKind = KindNone;
};

}  // namespace KelvraCorelib
