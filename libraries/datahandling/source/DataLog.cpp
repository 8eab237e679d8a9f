#include "datahandling/DataLog.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "corelib/FileTools.h"
#include "corelib/MatchGlob.h"
#include "corelib/PathTools.h"
#include "corelib/StringTools.h"
#include "corelib/platform/DataLogFiles.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/Process.h"
#include "datahandling/DataLogFormat.h"
#include "datahandling/DataLogName.h"
#include "datahandling/DataLogReader.h"

namespace KelvraCorelib {

namespace {

Logger& fileLogger()
{
    static Logger* logger = new Logger();  // lives until the process ends
    return *logger;
}

const std::string signaturePrefix(DataLogFormat::signaturePrefix);
const std::string metaLine(DataLogFormat::metaMark);
// Before the first data text: an empty line and the data mark.
const std::string dataStartLines = "\n" + std::string(DataLogFormat::dataMark);

// Pieces of this size go to the file and the digest in turn, so that each piece is still in
// the cache for the second pass.
constexpr size_t writePiece = 1024 * 1024;
constexpr size_t writeBufferSize = 64 * 1024;

TimeZone localZone()
{
    TimeZone zone;
    zone.setLocal();
    return zone;
}

// Opens an existing regular file of this account for reading and writing under an exclusive
// lock, never through a link. Gives the error number; a file that another process holds
// locked gives an error accepted by isLockedElsewhere.
int openExistingLocked(const Platform::Folder& folder, const std::string& name, Platform::ScopedFile& handle)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        Platform::ScopedFile owned;
        Platform::EntryRefusal refusal = Platform::EntryRefusal::none;
        const int error = folder.openOwnRegularFile(name, Platform::EntryAccess::readWrite, owned.value, refusal);
        if (error != 0) {
            return error;
        }
        const int lockError = Platform::lockFile(owned.get());
        if (lockError != 0) {
            return lockError;
        }
        // Still the name of the file locked: not renamed or replaced between opening and locking.
        if (folder.namesOpenFile(name, owned.get())) {
            handle = std::move(owned);
            return 0;
        }
    }
    return -1;
}

const char* refusalText(Platform::EntryRefusal refusal)
{
    switch (refusal) {
    case Platform::EntryRefusal::symbolicLink:
        return "a symbolic link";
    case Platform::EntryRefusal::notRegularFile:
        return "not a regular file";
    case Platform::EntryRefusal::otherOwner:
        return "owned by another account";
    default:
        return "unknown";
    }
}

// Renames the folder's entry from without replacing: to first (unless counted only), then to
// first's counter forms 00, 01, ... while the name is taken. Gives the error number; finalName
// receives the last name tried.
enum class FreeName { firstThenCounted, countedOnly };
int renameToFreeName(const Platform::Folder& folder, const std::string& from, const DataLogName& first,
                     FreeName tried, DataLogName& finalName)
{
    int error = 0;
    if (tried == FreeName::firstThenCounted) {
        finalName = first;
        error = folder.renameNoReplace(from, first.text());
        if (!Platform::isAlreadyExists(error)) {
            return error;
        }
    }
    for (uint32_t n = 0; n < DataLogName::counters; ++n) {
        finalName = first.withCounter(n);
        const std::string to = finalName.text();
        if (folder.hasEntry(to)) {
            continue;
        }
        error = folder.renameNoReplace(from, to);
        if (!Platform::isAlreadyExists(error)) {
            return error;
        }
    }
    return error;
}

}  // namespace

// Takes each write to the file and to every digest that is open: the signature of the signed
// lines and the sealer's digests of every byte before the seal line. Bytes reach a digest only
// with their write, and a new output starts the sealer afresh, so that no digest holds bytes
// of an earlier, failed attempt. After a failed write the file's content is unknown (a part of
// the bytes may be in it, buffered bytes are lost): every later write fails, so that it is
// never signed.
class DataLog::SignedOutput {
public:
    SignedOutput(Platform::ScopedFile opened, Sealer* sealer) : handle(std::move(opened)), sealer(sealer)
    {
        if (sealer != nullptr) {
            sealer->startFile();
        }
    }

    bool put(const char* data, size_t size, Feed feed)
    {
        const bool signs = feed == Feed::signedAndSealed;
        Sealer* const seal = feed == Feed::fileOnly ? nullptr : sealer;
        if (size < parallelDigestSize || (signs && signature.isFinalized())) {
            // Piece by piece, each piece digested while it is still in the cache.
            for (size_t offset = 0; offset < size; offset += writePiece) {
                const size_t n = std::min(writePiece, size - offset);
                if (!write(data + offset, n)) {
                    return false;
                }
                if (signs) {
                    signature.update(data + offset, n);
                }
                if (seal != nullptr) {
                    seal->add(data + offset, n);
                }
            }
            return true;
        }
        // A large text is sealed and digested (MD5) on threads of their own while this one
        // writes it and takes its polynomial hash: all only read the text, none copies it.
        bool written = false;
        const auto writeAndHash = [&] {
            written = write(data, size);
            if (signs) {
                signature.updateHash(data, size);
            }
        };
        const auto signing = [&] {
            if (signs) {
                runBeside([&] { signature.updateMd5(data, size); }, writeAndHash);
            } else {
                writeAndHash();
            }
        };
        if (seal != nullptr) {
            runBeside([&] { seal->add(data, size); }, signing);
        } else {
            signing();
        }
        return written;
    }

    bool flush()
    {
        if (!handle.isOpen() || error != 0) {
            return false;
        }
        if (buffer.empty()) {
            return true;
        }
        const bool ok = noted(Platform::writeFile(handle.get(), buffer.data(), buffer.size()));
        buffer.clear();
        return ok;
    }

    // Flushes and closes; true when both went well.
    bool close()
    {
        if (!handle.isOpen()) {
            return true;
        }
        const bool flushed = flush();
        return handle.reset() == 0 && flushed;
    }

    int descriptor() const { return handle.get(); }
    void setSealer(Sealer* newSealer) { sealer = newSealer; }
    int writeError() const { return error; }

    Crypto::Signature signature{2, true};

private:
    bool write(const char* data, size_t size)
    {
        if (!handle.isOpen() || error != 0) {
            return false;
        }
        if (buffer.size() + size <= writeBufferSize) {
            buffer.append(data, size);
            return true;
        }
        return flush() && noted(Platform::writeFile(handle.get(), data, size));
    }

    bool noted(int result)
    {
        if (result != 0 && error == 0) {
            error = result;
        }
        return result == 0;
    }

    Platform::ScopedFile handle;
    Sealer* sealer;
    std::string buffer;
    int error = 0;  // the first failed write's error number
};

// One open working file under its exclusive lock: everything that lasts as long as the file.
// A file this run created is removed when dropped before it holds its header. Its name changes
// act through the folder it was opened in.
struct DataLog::WorkFile {
    WorkFile(std::shared_ptr<const Platform::Folder> in, std::string folderPath, DataLogName named,
             Platform::ScopedFile handle, bool createdNow, Sealer* sealer)
        : folder(std::move(in)), dir(std::move(folderPath)), name(std::move(named)), path(dir + name.text()),
          created(createdNow), sealed(sealer != nullptr), output(std::move(handle), sealer)
    {
    }
    ~WorkFile()
    {
        if (created && !ready && output.descriptor() >= 0) {
            folder->remove(name.text());  // still under this run's lock
        }
        output.close();
    }
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;

    bool isOpen() const { return output.descriptor() >= 0; }
    bool flush() { return output.flush(); }

    const std::shared_ptr<const Platform::Folder> folder;
    const std::string dir;  // the folder's path, for messages
    const DataLogName name;
    const std::string path;  // dir and name
    const bool created;
    const bool sealed;  // a sealer was set when it was opened
    OpenMode mode = OpenMode::createNew;
    bool ready = false;  // the header is written
    SignedOutput output;
    std::map<std::string, std::string> existingMeta;  // the header of the file appended to
    DateTime openTime = DateTime::now();
    bool inData = false;        // the data mark is written
    uint64_t bytesWritten = 0;  // of data texts
};

struct DataLog::Opened {
    std::unique_ptr<WorkFile> file;
    int error = 0;
};

void DataLog::runBeside(const std::function<void()>& beside, const std::function<void()>& here)
{
    std::exception_ptr failure;
    std::thread second;
    try {
        second = std::thread([&] {
            try {
                beside();
            } catch (...) {
                failure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
    }
    try {
        here();
    } catch (...) {
        if (second.joinable()) {
            second.join();
        }
        throw;
    }
    if (second.joinable()) {
        second.join();
    } else {
        beside();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

DataLog::DataLog()
{
    logger.setModuleName("datalog");
}

DataLog::~DataLog()
{
    try {
        if (file) {
            closeFile(false);
        }
    } catch (...) {
    }
    file.reset();
}

void DataLog::setSealer(Sealer* newSealer)
{
    sealer = newSealer;
    if (file) {
        file->output.setSealer(newSealer);
    }
}

const std::string& DataLog::currentFileName() const
{
    static const std::string none;
    return file ? file->path : none;
}

// ---- Columns ----------------------------------------------------------------------------

void DataLog::rebuildRowValues()
{
    rowValues.assign(columns.size(), std::nullopt);
}

bool DataLog::parseColumns(const std::string& definition)
{
    if (!DataCommons::parseColumns(definition)) {
        return false;
    }
    rebuildRowValues();
    return true;
}

bool DataLog::copyColumns(const std::vector<Column>& newColumns, const std::set<uint32_t>& newKeyColumns)
{
    if (!DataCommons::copyColumns(newColumns, newKeyColumns)) {
        return false;
    }
    rebuildRowValues();
    return true;
}

bool DataLog::setColumns(const std::string& definition)
{
    try {
        return DataCommons::setColumns(definition);
    } catch (const Exception& e) {
        Exception located(e);
        located.annotations.push_back(KELVRA_HERE);
        throw located;
    }
}

bool DataLog::setRowValue(uint32_t column, const std::optional<RowValue>& value)
{
    if (column >= rowValues.size()) {
        return false;
    }
    rowValues[column] = value;
    return true;
}

std::optional<DateTime> DataLog::currentRowTime() const
{
    const int32_t index = columnIndexOf("time");
    if (index < 0 || size_t(index) >= rowValues.size() || !rowValues[size_t(index)]) {
        return std::nullopt;
    }
    const RowValue& value = *rowValues[size_t(index)];
    if (const auto* time = std::get_if<DateTime>(&value)) {
        return *time;
    }
    if (const auto* number = std::get_if<int64_t>(&value)) {
        return DateTime(*number);
    }
    if (const auto* number = std::get_if<uint64_t>(&value)) {
        return DateTime(int64_t(*number));
    }
    return std::nullopt;
}

// ---- Names ------------------------------------------------------------------------------

std::string DataLog::sourceName() const
{
    return DataLogName::sourceOf(getSourceMeta("application"), getSourceMeta("module"), getSourceMeta("datatype"));
}

std::string DataLog::sourceKey() const
{
    return DataLogName::sourceKeyOf(getSourceMeta("application"), getSourceMeta("module"), getSourceMeta("datatype"));
}

int64_t DataLog::fileTime(const DateTime& time) const
{
    int64_t t = time.count;
    if (rotationMode == rotateByDataTime) {
        if (const auto rowTime = currentRowTime()) {
            t = rowTime->count;
        }
    }
    if (t == 0 && hasMeta("source", "time")) {
        t = getSourceTime().count;
    }
    const TimeSpan interval = getCollectionInterval();
    const TimeSpan period = getRotationPeriod();
    if (interval.milliseconds != 0 && interval.compare(period) < 0) {
        const int64_t p = period.totalMilliseconds(false);
        if (p > 0) {
            t -= t % p;
        }
    }
    return t;
}

DataLogName DataLog::nameAt(const DateTime& time) const
{
    return DataLogName{lead, sourceName(), StringTools::formatUInt64(uint64_t(fileTime(time)))};
}

std::string DataLog::stem(const DateTime& time) const
{
    const DataLogName working = nameAt(time);
    return working.prefix() + working.time;
}

std::string DataLog::workingName(const DateTime& time) const
{
    return dir + nameAt(time).text();
}

// ---- Preparing --------------------------------------------------------------------------

bool DataLog::makeReadyToOpenWriteFile(const std::string& directoryPath, const std::string& leadText, bool force,
                                       bool finalizeOld)
{
    if (debugEnabled()) {
        logger.debug("DataLog::makeReadyToOpenWriteFile: Preparing with dir=\"%\", lead=\"%\", force=%, "
                     "finalize-old=%",
                     ParamStream() << directoryPath << leadText << (force ? "yes" : "no")
                                   << (finalizeOld ? "yes" : "no"));
    }
    dir = directoryPath.empty() ? std::string() : addTrailingSeparator(normalisePath(directoryPath));
    lead = leadText;
    if (force && !dir.empty() && !isDirectory(dir) && !createDirectory(dir)) {
        return raise(MakeReady_BadSaveDir("@data-log.make-ready.bad-savedir{Could not access/create save directory "
                                          "\"%\"};",
                                          KELVRA_HERE, ParamStream() << dir),
                     fileLogger());
    }
    // Opened once: later calls act on the folder checked now, whatever its path names then.
    folder.reset();
    openFolder();
    if (finalizeOld) {
        finaliseOldFiles();
    }
    logger.debug("DataLog::makeReadyToOpenWriteFile: Prepared" + KELVRA_HERE);
    return true;
}

int DataLog::openFolder()
{
    if (folder) {
        return 0;
    }
    auto opened = std::make_shared<Platform::Folder>();
    const int error = opened->open(dir);
    if (error == 0) {
        folder = std::move(opened);
    }
    return error;
}

void DataLog::finaliseOldFiles()
{
    if (openFolder() != 0) {
        return;
    }
    const DataLogName own = nameAt(DateTime(int64_t(0)));
    std::vector<Platform::DirectoryEntry> entries;
    folder->list(entries, own.prefix());
    std::sort(entries.begin(), entries.end(),
              [](const Platform::DirectoryEntry& a, const Platform::DirectoryEntry& b) { return a.name < b.name; });
    const std::string ownText = own.text();
    bool moved = false;
    for (const Platform::DirectoryEntry& entry : entries) {
        std::optional<DataLogName> left = DataLogName::parse(entry.name, lead, own.source);
        if (entry.name == ownText || !left || left->kind != DataLogName::Kind::working) {
            continue;
        }
        const std::string from = dir + entry.name;
        left->kind = DataLogName::Kind::final;
        // Only a regular file of this account, opened without following links or waiting;
        // for writing, as network file systems lock only such files.
        Platform::ScopedFile handle;
        Platform::EntryRefusal refusal = Platform::EntryRefusal::none;
        if (folder->openOwnRegularFile(entry.name, Platform::EntryAccess::readWrite, handle.value, refusal) != 0) {
            if (refusal != Platform::EntryRefusal::none) {
                fileLogger().warning("@data-log.finalise.skipped{Left \"%\" as it is: %};",
                                     ParamStream() << from << refusalText(refusal));
            }
            continue;  // or gone meanwhile
        }
        // A working file that another run holds locked is still being written.
        const int lockError = Platform::lockFile(handle.get());
        if (lockError != 0 || !folder->namesOpenFile(entry.name, handle.get())) {
            if (lockError != 0 && debugEnabled()) {
                logger.debug("DataLog: Working file \"%\" is in use, not finalised", ParamStream() << from);
            }
            continue;
        }
        DataLogName to;
        const int error = renameToFreeName(*folder, entry.name, *left, FreeName::firstThenCounted, to);
        handle.reset();
        if (error != 0) {
            fileLogger().warning("@file.move.file.fail{Failed to rename old file \"%\" to \"%\"};",
                                 ParamStream() << from << dir + to.text());
        } else {
            moved = true;
        }
    }
    if (moved) {
        folder->sync();
    }
}

// ---- Opening ----------------------------------------------------------------------------

DataLog::Opened DataLog::createWorkingFile(const DataLogName& name)
{
    Opened opened;
    opened.error = openFolder();
    if (opened.error != 0) {
        return opened;
    }
    Platform::ScopedFile owned;
    opened.error = folder->createLockedExclusive(name.text(), owned.value, creation);
    if (opened.error == 0) {
        // A file left at its creation mode (owner only) is stricter still: not a failure.
        Platform::setFileReaders(owned.get(), readers);
        opened.file = std::make_unique<WorkFile>(folder, dir, name, std::move(owned), true, sealer);
    }
    return opened;
}

// An existing file is opened under its lock (never one that another run holds); a missing one
// is created, and a race between the two is tried again.
DataLog::Opened DataLog::openExistingOrCreate(const DataLogName& name, bool truncate)
{
    Opened opened;
    opened.error = openFolder();
    if (opened.error != 0) {
        return opened;
    }
    for (int tries = 0; tries < 5; ++tries) {
        Platform::ScopedFile owned;
        opened.error = openExistingLocked(*folder, name.text(), owned);
        if (opened.error == 0) {
            if (truncate && Platform::truncateFile(owned.get(), 0) != 0) {
                opened.error = -1;
            } else {
                opened.file = std::make_unique<WorkFile>(folder, dir, name, std::move(owned), false, sealer);
            }
            return opened;
        }
        if (!Platform::isNotFound(opened.error)) {
            return opened;
        }
        opened = createWorkingFile(name);
        if (!Platform::isAlreadyExists(opened.error)) {
            return opened;
        }
    }
    return opened;
}

bool DataLog::openWriteFile(OpenMode mode, const DateTime& time)
{
    logger.debug("DataLog::openWriteFile: Opening" + KELVRA_HERE);
    if (file) {
        return raise(OpenWriteFile_HaveFileAlready("@data-log.open-write-file.have-file-already{Attempting to "
                                                   "open file when file is already open};",
                                                   KELVRA_HERE),
                     fileLogger());
    }
    const DataLogName working = nameAt(time);
    const std::string name = dir + working.text();
    Opened opened;
    try {
        opened = mode == OpenMode::createNew ? createWorkingFile(working)
                                             : openExistingOrCreate(working, mode == OpenMode::replace);
    } catch (const std::bad_alloc&) {
        return raise(OpenWriteFile_OutOfMemory("@out-of-memory{Out of memory};", KELVRA_HERE), fileLogger());
    }
    if (!opened.file) {
        failure = opened.error > 0 ? Platform::errorText(opened.error) : std::string();
        return openFailed(name);
    }
    opened.file->mode = mode;
    file = std::move(opened.file);
    // Until its header is written the file is this attempt's: any way out drops it.
    bool started = false;
    try {
        started = finishOpening(mode);
    } catch (...) {
        file.reset();
        throw;
    }
    if (!started) {
        file.reset();
        return false;
    }
    if (debugEnabled()) {
        logger.debug("DataLog::openWriteFile: Opened \"%\"", ParamStream() << file->path);
    }
    return true;
}

bool DataLog::openFailed(const std::string& name)
{
    return raise(OpenWriteFile_FileError("@data-log.open-write-file.file-error{Failed to open file \"%\" for writing};",
                                         KELVRA_HERE, ParamStream() << name),
                 fileLogger());
}

// Checks a file opened for appending and writes the header of the open file; false (the file
// to be dropped) on a failure.
bool DataLog::finishOpening(OpenMode mode)
{
    if (mode == OpenMode::append && !file->created) {
        const Appended appended = appendToExisting();
        if (appended == Appended::movedAside) {
            // Again with a zero time: the name from "source.time", now free, gets a fresh file.
            file.reset();
            return openWriteFile(mode, DateTime(int64_t(0)));
        }
        if (appended == Appended::failed) {
            return false;
        }
    }
    try {
        if (!writeHeader(*file) || !flushFile(*file)) {
            return false;
        }
    } catch (const Exception& e) {
        throw OpenWriteFile_WriteError(KELVRA_HERE, e);
    }
    file->ready = true;
    return true;
}

DataLog::Appended DataLog::appendToExisting()
{
    const std::string name = file->path;
    std::optional<bool> valid;
    try {
        valid = firstSegmentValid();
    } catch (const Exception& e) {
        throw OpenWriteFile_InvalidSignature(KELVRA_HERE, e);
    }
    if (!valid) {
        raise(OpenWriteFile_InvalidSignature("@data-log.open-write-file.invalid-signature{Invalid signature in "
                                             "existing (append) file \"%\"};",
                                             KELVRA_HERE, ParamStream() << name),
              fileLogger());
        return Appended::failed;
    }
    invalidSignature = !*valid;  // for hasInvalidSignature
    if (*valid) {
        // Writing continues at the end of the file.
        int64_t position = 0;
        if (!file->flush() ||
            Platform::seekFile(file->output.descriptor(), 0, Platform::SeekOrigin::end, position) != 0) {
            openFailed(name);
            return Appended::failed;
        }
        return Appended::continued;
    }
    logger.error("@data-log.append.invalid-signature{Invalid signature on file \"%\" - cannot append new data to "
                 "this file - will rename it};",
                 ParamStream() << name);
    // Moved aside while still locked, so that no other run takes it in between; an earlier
    // backup of the same name is kept.
    DataLogName aside = file->name;
    aside.process = std::to_string(Platform::currentProcessId());
    DataLogName backup;
    const int error = renameToFreeName(*file->folder, file->name.text(), aside, FreeName::firstThenCounted, backup);
    if (error != 0) {
        raise(OpenWriteFile_BackupFailure("@data-log.open-write-file.backup-failure{Failed to back up existing "
                                          "file \"%\" (with incorrect signature) to \"%\"};",
                                          KELVRA_HERE, ParamStream() << name << file->dir + backup.text()),
              fileLogger());
        return Appended::failed;
    }
    return Appended::movedAside;
}

bool DataLog::writeHeader(WorkFile& to)
{
    if (to.existingMeta.empty()) {
        if (!writeLine(to, metaLine, Feed::signedAndSealed)) {
            return false;
        }
        for (const auto& [key, value] : meta) {
            if (!writeLine(to, key + "=" + value, Feed::signedAndSealed)) {
                return false;
            }
        }
        return true;
    }
    bool first = true;
    for (const auto& [key, value] : meta) {
        const auto found = to.existingMeta.find(key);
        if (found != to.existingMeta.end() && found->second == value) {
            continue;
        }
        if (first && !writeLine(to, metaLine, Feed::signedAndSealed)) {
            return false;
        }
        first = false;
        if (!writeLine(to, key + "=" + value, Feed::signedAndSealed)) {
            return false;
        }
    }
    return true;
}

// ---- Signature check --------------------------------------------------------------------

bool DataLog::checkSignature()
{
    if (!file || !file->isOpen()) {
        return raise(GetSignature_CannotRead("@data-log.get-signature.cannot-read{Current file is not open for "
                                             "reading};",
                                             KELVRA_HERE),
                     fileLogger());
    }
    const std::optional<bool> valid = firstSegmentValid();
    if (valid) {
        invalidSignature = !*valid;
    }
    return valid.has_value();
}

std::optional<bool> DataLog::firstSegmentValid()
{
    int64_t position = 0;
    if (!file->flush() ||
        Platform::seekFile(file->output.descriptor(), 0, Platform::SeekOrigin::current, position) != 0) {
        return std::nullopt;
    }
    bool valid = false;
    const bool read = DataLogReader::checkFirstSegment(
        file->output.descriptor(), file->mode == OpenMode::append ? &file->existingMeta : nullptr, valid);
    int64_t ignored = 0;
    const bool restored =
        Platform::seekFile(file->output.descriptor(), position, Platform::SeekOrigin::start, ignored) == 0;
    if (!read || !restored) {
        return std::nullopt;
    }
    return valid;
}

DataLog::Check DataLog::checkFileSignature(const std::string& path, std::string& reason,
                                           std::map<std::string, std::string>* header, bool followLink,
                                           bool* headerCut)
{
    return DataLogReader::checkFile(path, reason, header, followLink, headerCut);
}

DataLog::Check DataLog::checkOpenFileSignature(int handle, std::string& reason,
                                               std::map<std::string, std::string>* header, bool* headerCut)
{
    return DataLogReader::checkOpenFile(handle, reason, header, headerCut);
}

// ---- Writing ----------------------------------------------------------------------------

bool DataLog::writeLine(WorkFile& to, const std::string& text, Feed feed)
{
    if (!to.isOpen()) {
        return raise(WriteLine_NotOpenForWriting("@data-log.write-line.not-open-for-reading{Attempting to write to "
                                                 "file \"%s\", but it is not open for writing};",
                                                 KELVRA_HERE, ParamStream() << to.path),
                     fileLogger());
    }
    if (!to.output.put(text.data(), text.size(), feed) || !to.output.put("\n", 1, feed)) {
        return writeFailed(to);
    }
    return true;
}

bool DataLog::writeFailed(const WorkFile& to)
{
    const int error = to.output.writeError();
    failure = error != 0 ? Platform::errorText(error) : std::string();
    return raise(WriteLine_WriteError("@data-log.write-line.write-error{Failed to write to file \"%\"};", KELVRA_HERE,
                                      ParamStream() << to.path),
                 fileLogger());
}

bool DataLog::flushFile(WorkFile& to)
{
    return to.output.flush() || writeFailed(to);
}

bool DataLog::setRawLine(const std::string& text)
{
    if (getLogType() != logRaw) {
        return false;
    }
    rawLine = text;
    return true;
}

bool DataLog::setRawLine(std::string&& text)
{
    if (getLogType() != logRaw) {
        return false;
    }
    rawLine = std::move(text);
    return true;
}

bool DataLog::writeRaw()
{
    if (getLogType() != logRaw) {
        return raise(Write_TypeNotRaw("@data-log.write.type-not-raw{Trying to write raw line for non-raw data};",
                                      KELVRA_HERE),
                     fileLogger());
    }
    try {
        if (autoRotate && !ensureOpen()) {
            return false;
        }
        if (!file) {
            return raise(WriteLine_NoFile("@data-log.write-line.no-file{Attemting to write, but have no file};",
                                          KELVRA_HERE),
                         fileLogger());
        }
        if (!file->inData && !writeLine(*file, dataStartLines, Feed::signedAndSealed)) {
            return false;
        }
        file->inData = true;
    } catch (const Exception& e) {
        throw Write_FileError(KELVRA_HERE, e);
    }
    bool written = false;
    try {
        written = writeLine(*file, rawLine, Feed::signedAndSealed);
    } catch (const Exception& e) {
        throw Write_FileError(KELVRA_HERE, e);
    }
    if (!written) {
        return false;
    }
    file->bytesWritten += rawLine.size() + 1;
    std::string().swap(rawLine);
    return true;
}

// ---- Rotation ---------------------------------------------------------------------------

bool DataLog::rotationAligned(const DateTime& at, DateTime& aligned) const
{
    const int64_t period = StringTools::parseInt64(getSourceMeta("rotation-period"));
    aligned = period != 0 ? at.floorTo(period, localZone()) : at;
    return period != 0;
}

bool DataLog::ensureOpen()
{
    if (file) {
        try {
            rotateIfNeeded();
        } catch (const Exception& e) {
            throw UpdateWriteFile_CloseError(KELVRA_HERE, e);
        }
        if (file) {
            return true;
        }
    }
    DateTime start;
    rotationAligned(DateTime::now(), start);
    try {
        return openWriteFile(replace, start);
    } catch (const Exception& e) {
        throw UpdateWriteFile_OpenError(KELVRA_HERE, e);
    }
}

void DataLog::rotateIfNeeded()
{
    if (!file) {
        return;
    }
    const int64_t period = StringTools::parseInt64(getSourceMeta("rotation-period"));
    bool rotate = false;
    switch (rotationMode) {
    case rotateByOpenTime:
        if (period != 0) {
            const DateTime start = file->openTime.floorTo(period, localZone());
            rotate = DateTime::now().count > start.count + period;
        }
        break;
    case rotateByDataTime: {
        const auto t = currentRowTime();
        if (t && period != 0) {
            if (lastDataTime.count != 0) {
                const DateTime start = lastDataTime.floorTo(period, localZone());
                lastDataTime = *t;
                rotate = t->count > start.count + period;
            } else {
                lastDataTime = *t;
            }
        }
        break;
    }
    case rotateBySize:
        rotate = file->bytesWritten >= maxBytes && matchGlob(rawLine, rotationPattern);
        break;
    default:
        break;
    }
    if (!rotate) {
        return;
    }
    try {
        closeFile(false);
    } catch (const Exception& e) {
        throw Rotate_CloseError(KELVRA_HERE, e);
    }
    DateTime start;
    rotationAligned(DateTime::now(), start);
    setSourceMeta("time", StringTools::formatUInt64(uint64_t(start.count)));
}

// ---- Closing ----------------------------------------------------------------------------

bool DataLog::closeFile(bool keepIfRotating)
{
    if (!file) {
        return raise(CloseFile_NoFile("@data-log.close-file.no-file{Attempting to close file when there is no file};",
                                      KELVRA_HERE),
                     fileLogger());
    }
    // The file is dropped on every way out, also after a failure: it is never signed twice. A
    // file left behind keeps its working name and is finalised by a later run.
    const std::unique_ptr<WorkFile> closing = std::move(file);
    if (!closing->isOpen()) {
        return raise(CloseFile_InvalidFile("@data-log.close-file.invalid-file{Attempting to close file that is not "
                                           "valid (%)};",
                                           KELVRA_HERE, ParamStream() << closing->path),
                     fileLogger());
    }
    return signAndFinalise(*closing, keepIfRotating);
}

void DataLog::dropUnfinished(WorkFile& closing, bool sealGiven)
{
    if (!closing.sealed) {
        return;
    }
    // A number the chain cannot take back keeps its file, for the gap to be explained.
    const bool givenBack = !sealGiven || sealer == nullptr || sealer->fileDropped();
    if (givenBack && closing.created && closing.isOpen()) {
        closing.folder->remove(closing.name.text());  // still under this run's lock
    }
}

bool DataLog::signAndFinalise(WorkFile& closing, bool keepIfRotating)
{
    bool written = false;
    bool sealGiven = false;  // the chain holds this file's number
    try {
        written = writeLine(closing, "\n", Feed::signedAndSealed) &&
                  writeLine(closing, signaturePrefix + closing.output.signature.signatureText(2, true, 0),
                            Feed::sealedOnly);
        if (written && sealer != nullptr) {
            // The seal line is the one line no digest takes.
            const std::optional<std::string> seal = sealer->lastLine(*this);
            sealGiven = seal && !seal->empty();
            if (!seal) {
                written = raise(CloseFile_WriteError("@data-log.close-file.not-sealed{File \"%\" cannot be sealed};",
                                                     KELVRA_HERE, ParamStream() << closing.path),
                                fileLogger());
            } else if (sealGiven) {
                written = writeLine(closing, *seal, Feed::fileOnly);
            }
        }
        written = written && flushFile(closing);
    } catch (const Exception& e) {
        dropUnfinished(closing, sealGiven);
        throw CloseFile_WriteError(KELVRA_HERE, e);
    }
    if (!written) {
        dropUnfinished(closing, sealGiven);
        return false;
    }
    if (keepIfRotating && getCollectionInterval().compare(getRotationPeriod()) != 0) {
        return true;
    }
    // The content reaches the disk before the name says the file is complete; the rename
    // happens under the lock and never replaces a file.
    const std::string& working = closing.path;
    DataLogName completed = closing.name;
    completed.kind = DataLogName::Kind::final;
    DataLogName finalName = completed.withCounter(0);
    int error = Platform::syncFile(closing.output.descriptor());
    if (error == 0) {
        error = renameToFreeName(*closing.folder, closing.name.text(), completed, FreeName::countedOnly, finalName);
    }
    if (error == 0) {
        closing.folder->sync();
        finishedPath = closing.dir + finalName.text();
        return true;
    }
    dropUnfinished(closing, sealGiven);
    closing.output.close();
    failure = Platform::errorText(error);
    return raise(CloseFile_FailedToMakeFinal("@data-log.close-file.failed-to-make-final{Failed to finalize file "
                                             "from \"%\" to \"%\"};",
                                             KELVRA_HERE, ParamStream() << working << closing.dir + finalName.text()),
                 fileLogger());
}

// ---- Reset ------------------------------------------------------------------------------

void DataLog::reset()
{
    logger.debug("DataLog::reset: Resetting" + KELVRA_HERE);
    if (file) {
        try {
            closeFile(false);
        } catch (const Exception&) {
        }
        file.reset();
    }
    rowValues.clear();
    meta.clear();
    columns.clear();
    columnIndex.clear();
    keyColumns.clear();
    rawLine.clear();
    dir.clear();
    folder.reset();
    lead.clear();
    failure.clear();
    invalidSignature = true;
    lastDataTime = DateTime(int64_t(0));
}

}  // namespace KelvraCorelib
