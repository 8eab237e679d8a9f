#pragma once
// Reads data log files back: the signature check of every signed segment (or of the first,
// before appending), the meta keys of the first header, and the seal line that may end a file.
//
//   std::string reason;
//   std::map<std::string, std::string> header;
//   if (DataLogReader::checkFile(path, reason, &header) == DataLogReader::Check::valid) ...
//
// A file is a sequence of segments, each ending with a line "@SIGNATURE: " and the signature
// of the segment's lines; a signature-like line that does not sign the lines before it is data.
// A well-formed seal line (SealLine.h) after the last signature line is not part of any segment.
//
// The check of a whole file reads it once: the verdict, the meta keys, the seal line, the
// digests a seal check needs and the lines handed out all come from that one read.
//
//   DataLogReader::Reading reading;
//   reading.header = &header;
//   reading.sealDigests = true;
//   DataLogReader::checkOpenFile(handle, reason, reading);   // then SealCheck::check(reading, header)

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "datahandling/SealLine.h"

namespace KelvraCorelib {

class DataLogReader {
public:
    // Result of checking a file's signature.
    enum class Check { valid, invalid, unreadable };

    // The most bytes a check keeps for the meta keys of a header (a check needs this, its read
    // buffer and a few kilobytes, whatever the file holds).
    static constexpr size_t metaBudget = 1024 * 1024;

    // The check of a finished file by name, as a reader of kept files does it: every segment
    // must be signed, and nothing may follow the last signature line but its line feed (which
    // may be missing) and, after that, one well-formed seal line as the file's last line.
    // header, when given, receives the meta keys of the first segment's header, as many as
    // metaBudget holds; headerCut, when given, tells whether a meta line was left out. The open
    // never waits (a FIFO opens at once), a final symbolic link is followed only with
    // followLink, and only a regular file is read (anything else is unreadable with a reason).
    static Check checkFile(const std::string& path, std::string& reason,
                           std::map<std::string, std::string>* header = nullptr, bool followLink = true,
                           bool* headerCut = nullptr);
    // The open such a check makes: without waiting, a final link followed only with
    // followLink. 0 or the error number.
    static int openForCheck(const std::string& path, bool followLink, int& handle);
    // The same check of an open file, read from its start.
    static Check checkOpenFile(int handle, std::string& reason, std::map<std::string, std::string>* header = nullptr,
                               bool* headerCut = nullptr);

    // Receives the lines of a file's segments as the check reads them: for each segment, the
    // lines before its first "@DATA:" line (the header; all its lines when it has none) and the
    // lines after it (the data), never that line itself, the signature line or the two empty
    // lines that close a segment (fewer when it ends in fewer). Each line comes with its line
    // feed, possibly in pieces. The lines are handed out before the verdict is known: a
    // receiver keeps them until then.
    class LineSink {
    public:
        enum class Part { header, data };
        virtual ~LineSink() = default;
        virtual void put(Part part, const char* data, size_t size) = 0;
        // A new read of the file begins (the older signature form needs one): what was put so
        // far is void.
        virtual void restart() = 0;
    };

    // What the check of a whole file gives besides its verdict, all from its one read.
    struct Reading {
        // Asked for: the meta keys of the first header (as many as metaBudget holds), the
        // digests of a seal check, the lines.
        std::map<std::string, std::string>* header = nullptr;
        bool sealDigests = false;
        LineSink* lines = nullptr;

        // Given.
        bool headerCut = false;  // a meta line was left out
        // The well-formed seal line that is the file's last line (after a line feed, at most
        // one line feed after it, which sealEndsInLineFeed tells).
        std::optional<SealLine> seal;
        bool sealEndsInLineFeed = false;
        // With sealDigests: SHA-512 of the bytes before the seal line (all bytes without one)
        // and SHA-256 of all bytes read, raw.
        std::string sealedDigest;
        std::string wholeDigest;
    };
    static Check checkOpenFile(int handle, std::string& reason, Reading& reading);

    // The check before appending: the first segment of an open file, read from its start, and
    // the meta keys of its header when header is given. False when the file cannot be read.
    static bool checkFirstSegment(int handle, std::map<std::string, std::string>* header, bool& valid);
};

}  // namespace KelvraCorelib
