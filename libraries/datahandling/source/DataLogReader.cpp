#include "datahandling/DataLogReader.h"

#include <cstring>
#include <memory>
#include <optional>

#include "corelib/Crypto.h"
#include "corelib/MatchGlob.h"
#include "corelib/StringTools.h"
#include "corelib/platform/DataLogFiles.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/SealCrypto.h"
#include "datahandling/DataLogFormat.h"

namespace KelvraCorelib {

namespace {

using DataLogFormat::signaturePrefix;

constexpr size_t readPiece = 256 * 1024;

// A line that starts with the signature prefix is held until its end only up to this length;
// a longer one is data at once. It holds the longest text of either signature form: "C2(S2):"
// and the hexadecimal AES blocks of the framed MD5 digest (length "32", a line feed and 32
// bytes when every byte is escaped), or the older form's 16 enciphered bytes.
constexpr size_t longestSignature = 256;
constexpr size_t md5Size = 16;
constexpr size_t aesBlock = 16;
constexpr size_t framedDigest = (3 + 2 * md5Size + aesBlock - 1) / aesBlock * aesBlock;
static_assert(longestSignature >= std::string_view("C2(S2):").size() + 2 * framedDigest);
static_assert(longestSignature >= 2 * md5Size);

// The longest last line that may be a seal line, with its line feed (one is held back this
// long while a file is read); with the line feed before it, 512 bytes.
constexpr size_t longestSealLine = 511;

// Reads a file from its start as a sequence of signed segments. Every line, with its line
// feed, goes to the digests of the current segment; a line that starts with "@SIGNATURE: "
// ends the segment when the rest of it is the signature of the segment's lines, and counts as
// data otherwise. With firstOnly the reading stops at the end of the first segment; on
// request the first header ("@META:" up to "@DATA:") is collected, within metaBudget bytes:
// a meta line that does not fit is passed over (and noted), never held whole, so that the
// memory a scan needs is bounded whatever the file holds. The verdict never depends on it.
//
// The older signature form needs a second digest from the standard start state; it is kept
// only when withOlderForm is set (a second pass, when the first one met that form).
//
// With a sink, the lines of each segment go to it as they are read (see LineSink).
class SegmentScan {
public:
    using Sink = DataLogReader::LineSink;

    SegmentScan(bool firstOnly, bool withOlderForm, std::map<std::string, std::string>* header,
                Sink* sink = nullptr)
        : firstOnly(firstOnly), current(2, true), meta(header), sink(sink)
    {
        if (withOlderForm) {
            older.emplace(2, false);
        }
    }

    void feed(const char* data, size_t size)
    {
        while (size > 0 && !done) {
            if (state == LineState::candidate) {
                const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
                const size_t n = end ? size_t(end - data) : size;
                if (stored.size() + n > longestSignature) {
                    // Too long for a signature: an ordinary line.
                    update(signaturePrefix.data(), signaturePrefix.size());
                    update(stored.data(), stored.size());
                    startLongLine();
                    put(signaturePrefix.data(), signaturePrefix.size());
                    put(stored.data(), stored.size());
                    if (keepingLine()) {
                        keep(signaturePrefix.data(), signaturePrefix.size());
                        keep(stored.data(), stored.size());
                    }
                    stored.clear();
                    state = LineState::data;
                    continue;
                }
                stored.append(data, n);
                data += n;
                size -= n;
                if (end) {
                    data += 1;
                    size -= 1;
                    endCandidate();
                }
                continue;
            }
            if (state == LineState::start) {
                // The first bytes of a line tell whether it may be a signature line.
                size_t n = 0;
                while (n < size && head.size() < signaturePrefix.size() && data[n] != '\n') {
                    head += data[n++];
                }
                data += n;
                size -= n;
                if (head.size() == signaturePrefix.size()) {
                    if (head == signaturePrefix) {
                        state = LineState::candidate;
                        continue;
                    }
                    state = LineState::data;
                    update(head.data(), head.size());
                    startLongLine();
                    put(head.data(), head.size());
                    if (keepingLine()) {
                        keep(head.data(), head.size());
                    }
                    continue;
                }
                if (size > 0) {  // a line feed ends a short line
                    update(head.data(), head.size());
                    update("\n", 1);
                    putLine(head);
                    endLine(head);
                    data += 1;
                    size -= 1;
                }
                continue;
            }
            const char* end = static_cast<const char*>(std::memchr(data, '\n', size));
            const size_t n = end ? size_t(end - data) : size;
            update(data, n);
            put(data, n);
            if (keepingLine()) {
                keep(data, n);
            }
            data += n;
            size -= n;
            if (end) {
                update("\n", 1);
                put("\n", 1);
                endLine(line);
                data += 1;
                size -= 1;
            }
        }
    }

    // At the end of the file: a signature line may lack its line feed; any other last line
    // without one is fed with one.
    void finish()
    {
        if (done) {
            return;
        }
        if (state == LineState::candidate) {
            endCandidate();
        } else if (state == LineState::data || !head.empty()) {
            if (state == LineState::start) {
                update(head.data(), head.size());
            }
            update("\n", 1);
        }
        done = true;
    }

    bool isDone() const { return done; }
    // True when a meta line of the first header was passed over for want of room.
    bool metaCut() const { return cut; }
    // At least one signed segment, and (unless firstOnly) nothing after the last one.
    bool isValid() const { return segments > 0 && (firstOnly || !unsignedBytes); }
    bool metOlderForm() const { return olderFormSeen; }

private:
    enum class LineState { start, candidate, data };
    // Where a line stands to the first header, "@META:" up to "@DATA:".
    enum class HeaderState { beforeFirst, inFirst, afterFirst };
    static constexpr size_t metaEntryCost = 64;  // what a kept key costs beyond its text

    bool keepingLine() const { return meta != nullptr && headerState == HeaderState::inFirst && !lineDropped; }

    void put(const char* data, size_t size)
    {
        if (sink != nullptr && size > 0) {
            sink->put(part, data, size);
        }
    }

    // Empty lines are held back, as the last two of a segment close it.
    void putHeldEmptyLines()
    {
        for (; heldEmptyLines > 0; --heldEmptyLines) {
            put("\n", 1);
        }
    }

    // A line that is read in pieces (never empty, never "@DATA:") begins.
    void startLongLine() { putHeldEmptyLines(); }

    // A whole line read at once (without its line feed).
    void putLine(const std::string& text)
    {
        if (sink == nullptr) {
            return;
        }
        if (text.empty()) {
            if (heldEmptyLines == 2) {
                put("\n", 1);
            } else {
                ++heldEmptyLines;
            }
            return;
        }
        putHeldEmptyLines();
        if (part == Sink::Part::header && text == DataLogFormat::dataMark) {
            part = Sink::Part::data;
            return;
        }
        put(text.data(), text.size());
        put("\n", 1);
    }

    // Appends to the meta line being collected, or drops it when the budget does not hold it.
    void keep(const char* data, size_t size)
    {
        if (metaBytes + metaEntryCost + line.size() + size > DataLogReader::metaBudget) {
            lineDropped = true;
            cut = true;
            std::string().swap(line);
            return;
        }
        line.append(data, size);
    }

    void update(const char* data, size_t size)
    {
        if (size == 0) {
            return;
        }
        current.update(data, size);
        if (older) {
            older->update(data, size);
        }
        unsignedBytes = true;
    }

    // The current form "C2(S2):..." against the private start state, the older form (no
    // parentheses) in lower case against the standard one. Digest errors (an empty segment)
    // count as a mismatch. Copies are asked, so that the segment can go on.
    bool signs(const std::string& text)
    {
        try {
            if (matchGlob(text, "*(*)*")) {
                Crypto::Signature copy = current;
                return text == copy.signatureText(2, true, 0);
            }
            olderFormSeen = true;
            if (!older) {
                return false;
            }
            Crypto::Signature copy = *older;
            std::string expected = copy.signatureText(3, false, 0);
            StringTools::toLower(expected);
            return text == expected;
        } catch (const Exception&) {
            return false;
        }
    }

    void endCandidate()
    {
        if (signs(stored)) {
            ++segments;
            unsignedBytes = false;
            headerState = HeaderState::afterFirst;
            current.reset();
            if (older) {
                older->reset();
            }
            done = firstOnly;
            head.clear();
            stored.clear();
            state = LineState::start;
            heldEmptyLines = 0;  // the lines that close the segment
            part = Sink::Part::header;
            return;
        }
        // A signature-like line in the data.
        std::string text = std::string(signaturePrefix) + stored;
        update(text.data(), text.size());
        update("\n", 1);
        stored.clear();
        putLine(text);
        endLine(text);
    }

    void endLine(const std::string& text)
    {
        if (meta != nullptr && headerState == HeaderState::beforeFirst && text == DataLogFormat::metaMark) {
            headerState = HeaderState::inFirst;
        } else if (meta != nullptr && headerState == HeaderState::inFirst && !lineDropped) {
            if (text == DataLogFormat::dataMark) {
                headerState = HeaderState::afterFirst;
            } else {
                addMetaLine(text);
            }
        }
        head.clear();
        line.clear();
        lineDropped = false;
        state = LineState::start;
    }

    void addMetaLine(std::string text)
    {
        StringTools::trimLeft(text);
        StringTools::trimRight(text);
        if (text.empty()) {  // the blank line before "@DATA:"
            return;
        }
        if (metaBytes + metaEntryCost + text.size() > DataLogReader::metaBudget) {
            cut = true;
            return;
        }
        metaBytes += metaEntryCost + text.size();
        const size_t equals = text.find('=');
        if (equals == std::string::npos) {
            (*meta)[text] = "";
            return;
        }
        std::string key = text.substr(0, equals);
        std::string value = text.substr(equals + 1);
        StringTools::trimRight(key);
        StringTools::trimLeft(value);
        (*meta)[key] = value;
    }

    const bool firstOnly;
    Crypto::Signature current;
    std::optional<Crypto::Signature> older;
    std::map<std::string, std::string>* meta;
    Sink* sink;
    Sink::Part part = Sink::Part::header;  // of the current segment's lines
    unsigned heldEmptyLines = 0;           // at most 2
    LineState state = LineState::start;
    std::string head;
    std::string line;
    std::string stored;
    uint32_t segments = 0;
    bool unsignedBytes = false;  // bytes since the end of the last signed segment
    bool olderFormSeen = false;
    bool done = false;
    HeaderState headerState = HeaderState::beforeFirst;
    size_t metaBytes = 0;     // charged for the meta lines kept so far
    bool lineDropped = false; // the current meta line did not fit
    bool cut = false;
};

// The read buffer of the scans on this thread, made once and kept: checking many small files
// then neither allocates nor clears a large area per file.
char* scanBuffer()
{
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer) {
        buffer.reset(new char[readPiece]);
    }
    return buffer.get();
}

// Scans an open file from its start until the scan is done; false when it cannot be read.
bool scanHandle(int handle, SegmentScan& scan)
{
    int64_t position = 0;
    if (Platform::seekFile(handle, 0, Platform::SeekOrigin::start, position) != 0) {
        return false;
    }
    char* const buffer = scanBuffer();
    while (!scan.isDone()) {
        size_t count = 0;
        if (Platform::readFile(handle, buffer, readPiece, count) != 0) {
            return false;
        }
        if (count == 0) {
            break;
        }
        scan.feed(buffer, count);
    }
    scan.finish();
    return true;
}

// Checks the first segment of an open file; false when it cannot be read. The older form's
// digest is only computed when a first pass met that form.
bool checkFirst(int handle, std::map<std::string, std::string>* header, bool& valid)
{
    SegmentScan scan(true, false, header);
    if (!scanHandle(handle, scan)) {
        return false;
    }
    valid = scan.isValid();
    if (!valid && scan.metOlderForm()) {
        if (header != nullptr) {
            header->clear();
        }
        SegmentScan withOlderForm(true, true, header);
        if (!scanHandle(handle, withOlderForm)) {
            return false;
        }
        valid = withOlderForm.isValid();
    }
    return true;
}

// One read of a whole file from its start. Every byte goes to the SHA-256, and every byte
// but a final seal line to the segment scan and the SHA-512, in the order read. The latest
// line is held back from them until the next line begins, so that at the end of the file the
// last line is known before it would be fed: a well-formed seal line after a line feed is then
// left out. A line too long for a seal line is no longer held.
class WholeFileRead {
public:
    WholeFileRead(SegmentScan& scan, bool digests) : scan(scan)
    {
        if (digests) {
            sealed.emplace(Platform::HashDigest::Kind::sha512);
            whole.emplace(Platform::HashDigest::Kind::sha256);
        }
    }

    void take(const char* data, size_t size)
    {
        if (size == 0) {
            return;
        }
        if (whole) {
            whole->update(data, size);
        }
        if (lineEnded) {  // a new line begins: the one held is not the last
            passHeld();
        }
        // Up to the start of the latest line, every line is whole and not the last.
        size_t latest = size - 1;
        while (latest > 0 && data[latest - 1] != '\n') {
            --latest;
        }
        if (latest > 0) {
            passHeld();
            pass(data, latest);
        }
        if (longLine) {
            pass(data + latest, size - latest);
        } else {
            held.append(data + latest, size - latest);
            if (held.size() > longestSealLine) {
                passHeld();
                longLine = true;
            }
        }
        lineEnded = data[size - 1] == '\n';
    }

    void finish(DataLogReader::Reading& reading)
    {
        if (!held.empty() && passed > 0) {
            const bool lineFeed = held.back() == '\n';
            reading.seal = SealLine::parse(held.substr(0, held.size() - (lineFeed ? 1 : 0)));
            if (reading.seal) {
                reading.sealEndsInLineFeed = lineFeed;
                held.clear();
            }
        }
        passHeld();
        scan.finish();
        if (sealed) {
            reading.sealedDigest = sealed->finish();
            reading.wholeDigest = whole->finish();
        }
    }

private:
    void pass(const char* data, size_t size)
    {
        if (size == 0) {
            return;
        }
        scan.feed(data, size);
        if (sealed) {
            sealed->update(data, size);
        }
        passed += size;
    }

    void passHeld()
    {
        pass(held.data(), held.size());
        held.clear();
        longLine = false;
        lineEnded = false;
    }

    SegmentScan& scan;
    std::optional<Platform::HashDigest> sealed;
    std::optional<Platform::HashDigest> whole;
    std::string held;       // the latest line while it may be a seal line
    bool longLine = false;  // the latest line is too long for one
    bool lineEnded = false; // the latest line has its line feed
    uint64_t passed = 0;
};

// Reads the whole open file once for the check; false when it cannot be read.
bool readWhole(int handle, SegmentScan& scan, DataLogReader::Reading& reading)
{
    int64_t position = 0;
    if (Platform::seekFile(handle, 0, Platform::SeekOrigin::start, position) != 0) {
        return false;
    }
    WholeFileRead read(scan, reading.sealDigests);
    char* const buffer = scanBuffer();
    for (;;) {
        size_t count = 0;
        if (Platform::readFile(handle, buffer, readPiece, count) != 0) {
            return false;
        }
        if (count == 0) {
            break;
        }
        read.take(buffer, count);
    }
    read.finish(reading);
    return true;
}

// Checks every segment of an open file; false when it cannot be read. A file that meets the
// older signature form and is not valid without it is read once more with that form's digest,
// and everything the reading gives then comes from that second read.
bool checkWhole(int handle, DataLogReader::Reading& reading, bool& valid)
{
    SegmentScan scan(false, false, reading.header, reading.lines);
    if (!readWhole(handle, scan, reading)) {
        return false;
    }
    valid = scan.isValid();
    reading.headerCut = scan.metaCut();
    if (!valid && scan.metOlderForm()) {
        DataLogReader::Reading again;
        again.header = reading.header;
        again.sealDigests = reading.sealDigests;
        again.lines = reading.lines;
        reading = std::move(again);
        if (reading.header != nullptr) {
            reading.header->clear();
        }
        if (reading.lines != nullptr) {
            reading.lines->restart();
        }
        SegmentScan withOlderForm(false, true, reading.header, reading.lines);
        if (!readWhole(handle, withOlderForm, reading)) {
            return false;
        }
        valid = withOlderForm.isValid();
        reading.headerCut = withOlderForm.metaCut();
    }
    return true;
}

}  // namespace

DataLogReader::Check DataLogReader::checkFile(const std::string& path, std::string& reason,
                                              std::map<std::string, std::string>* header, bool followLink,
                                              bool* headerCut)
{
    Platform::ScopedFile file;
    const int error = openForCheck(path, followLink, file.value);
    if (error != 0) {
        reason = Platform::errorText(error);
        return Check::unreadable;
    }
    return checkOpenFile(file.value, reason, header, headerCut);
}

int DataLogReader::openForCheck(const std::string& path, bool followLink, int& handle)
{
    const Platform::OpenFlags flags =
        Platform::OpenRead | Platform::OpenNonBlocking | (followLink ? Platform::OpenNone : Platform::OpenNoFollow);
    return Platform::openFile(path, flags, handle);
}

DataLogReader::Check DataLogReader::checkOpenFile(int handle, std::string& reason,
                                                  std::map<std::string, std::string>* header, bool* headerCut)
{
    Reading reading;
    reading.header = header;
    const Check result = checkOpenFile(handle, reason, reading);
    if (headerCut != nullptr) {
        *headerCut = reading.headerCut;
    }
    return result;
}

DataLogReader::Check DataLogReader::checkOpenFile(int handle, std::string& reason, Reading& reading)
{
    Platform::FileStatus status;
    const int error = Platform::handleStatus(handle, status);
    if (error != 0 || !status.isRegular) {
        reason = error != 0 ? Platform::errorText(error) : status.isDirectory ? "is a directory" : "not a regular file";
        return Check::unreadable;
    }
    bool valid = false;
    if (!checkWhole(handle, reading, valid)) {
        if (reading.header != nullptr) {
            reading.header->clear();
        }
        if (reading.lines != nullptr) {
            reading.lines->restart();
        }
        reading.headerCut = false;
        reading.seal.reset();
        reason = "read error";
        return Check::unreadable;
    }
    reason.clear();
    return valid ? Check::valid : Check::invalid;
}

bool DataLogReader::checkFirstSegment(int handle, std::map<std::string, std::string>* header, bool& valid)
{
    return checkFirst(handle, header, valid);
}

}  // namespace KelvraCorelib
