#pragma once
// The data log writer: signed, line-oriented text files with a header of meta keys, the
// collected data and a signature line.
//
//   DataLog log;
//   log.setLogType(DataCommons::logRaw);
//   log.setSource(source);
//   log.makeReadyToOpenWriteFile("/var/data", "app", true, true);
//   log.openWriteFile(0);                 // dir/app-<source>-<time>.make
//   log.setRawLine(std::move(output));
//   log.writeRaw();
//   log.closeFile();                      // signed, renamed to dir/app-<source>-<time>-00.data
//
// File format: "@META:", one "key=value" line per meta key, then before the first data text
// "" and "@DATA:", each data text and a line feed, and at close "", "" and
// "@SIGNATURE: C2(S2):<hex>". Every line but the signature line is signed.
//
// While a working file is open this object holds an exclusive advisory lock on it; working
// files locked by another process are never finalised, replaced or appended to.
//
// Failures follow the process-wide error mode (see DataCommons.h).

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "corelib/Crypto.h"
#include "corelib/DateTime.h"
#include "corelib/platform/AccessChecks.h"
#include "corelib/platform/DataLogFiles.h"
#include "datahandling/DataCommons.h"
#include "datahandling/DataLogName.h"
#include "datahandling/DataLogReader.h"

namespace KelvraCorelib {

class DataLog : public DataCommons {
public:
    KELVRA_ERROR_CLASS(MakeReady_BadSaveDir);
    KELVRA_ERROR_CLASS(OpenWriteFile_HaveFileAlready);
    KELVRA_ERROR_CLASS(OpenWriteFile_OutOfMemory);
    KELVRA_ERROR_CLASS(OpenWriteFile_FileError);
    KELVRA_ERROR_CLASS(OpenWriteFile_InvalidSignature);
    KELVRA_ERROR_CLASS(OpenWriteFile_BackupFailure);
    KELVRA_ERROR_CLASS(OpenWriteFile_WriteError);
    KELVRA_ERROR_CLASS(CloseFile_NoFile);
    KELVRA_ERROR_CLASS(CloseFile_InvalidFile);
    KELVRA_ERROR_CLASS(CloseFile_FailedToMakeFinal);
    KELVRA_ERROR_CLASS(CloseFile_WriteError);
    KELVRA_ERROR_CLASS(WriteLine_NoFile);
    KELVRA_ERROR_CLASS(WriteLine_NotOpenForWriting);
    KELVRA_ERROR_CLASS(WriteLine_AppendSeekError);
    KELVRA_ERROR_CLASS(WriteLine_WriteError);
    KELVRA_ERROR_CLASS(Write_TypeNotRaw);
    KELVRA_ERROR_CLASS(Write_FileError);
    KELVRA_ERROR_CLASS(Rotate_CloseError);
    KELVRA_ERROR_CLASS(UpdateWriteFile_CloseError);
    KELVRA_ERROR_CLASS(UpdateWriteFile_OpenError);
    KELVRA_ERROR_CLASS(GetSignature_CannotRead);

    // Open modes.
    enum class OpenMode {
        createNew,  // fails when the file exists
        append,     // continues a file whose signature checks
        replace     // creates, replacing an existing file
    };
    static constexpr OpenMode createNew = OpenMode::createNew;
    static constexpr OpenMode append = OpenMode::append;
    static constexpr OpenMode replace = OpenMode::replace;

    // Rotation modes.
    static constexpr int32_t rotateByOpenTime = 0;
    static constexpr int32_t rotateByDataTime = 1;
    static constexpr int32_t rotateBySize = 2;

    // A value of the current row: a text for "string" columns, a number or a DateTime else.
    using RowValue = std::variant<std::string, int64_t, uint64_t, double, DateTime>;

    // Sees every byte that goes into the file before its own line and, after the signature
    // line, gives that last line ("" for none; nothing when the file cannot get the seal its
    // header names, and is then not kept). startFile comes before the first byte of each file
    // opened (bytes given before belong to no file); add may run on a thread of its own while
    // the file is written. fileDropped: the file of the last line given is not kept, so its
    // place in the chain is given back; false when it cannot be (the file is then left as a
    // working file).
    //
    // A file created while a sealer is set is removed when it is not completed, also after
    // its header is written.
    class Sealer {
    public:
        virtual ~Sealer() = default;
        virtual void startFile() = 0;
        virtual void add(const char* data, size_t size) = 0;
        virtual std::optional<std::string> lastLine(const DataLog& log) = 0;
        virtual bool fileDropped() = 0;
    };

    using Check = DataLogReader::Check;

    DataLog();
    ~DataLog() override;

    bool parseColumns(const std::string& definition) override;
    bool copyColumns(const std::vector<Column>& newColumns, const std::set<uint32_t>& newKeyColumns) override;
    bool setColumns(const std::string& definition) override;

    // Remembers dir and lead, creates the directory (force) and finalises the working files
    // that an earlier run left behind (finalizeOld).
    bool makeReadyToOpenWriteFile(const std::string& dir, const std::string& lead, bool force, bool finalizeOld);
    // Opens a new working file (mode: createNew, append or replace) and writes its header.
    // A zero time takes the file time from "source.time".
    bool openWriteFile(OpenMode mode, const DateTime& time = DateTime(int64_t(0)));

    // Only for raw logs. The text is kept until writeRaw; pass a temporary (or std::move) to
    // hand over a large text without copying it.
    bool setRawLine(const std::string& text);
    bool setRawLine(std::string&& text);
    bool writeRaw();

    // Signs, closes and finalises the file. keepIfRotating leaves it as a signed working file
    // when the collection interval differs from the rotation period.
    bool closeFile(bool keepIfRotating = false);

    void setRotationMode(int32_t mode) { rotationMode = mode; }
    void setMaxBytes(uint64_t bytes) { maxBytes = bytes; }
    void setRotationPattern(const std::string& pattern) { rotationPattern = pattern; }
    void setAutoRotate(bool on) { autoRotate = on; }
    // Who may read the files created from now on besides their owner (default everyone);
    // nobody but the owner may ever write them.
    void setReaders(Platform::FileReaders allowed) { readers = allowed; }
    // How working files are created (Platform::Folder::createLockedExclusive); tests take the named way.
    void setFileCreation(Platform::FileCreation way) { creation = way; }
    // The sealer of the files this object writes (not owned; nullptr for none).
    void setSealer(Sealer* newSealer);

    // Sets (or, with an empty value, clears) a value of the current row.
    bool setRowValue(uint32_t column, const std::optional<RowValue>& value);

    // Closes any open file (errors swallowed) and clears all state.
    void reset();

    // Names (DataLogName). sourceName: application[.module][.datatype]; stem: lead-source-filetime.
    std::string sourceName() const;
    // The key of the source's seal chain (DataLogName::sourceKeyOf).
    std::string sourceKey() const;
    // The working file's name for this time (a zero time: "source.time"), without the folder.
    DataLogName nameAt(const DateTime& time) const;
    std::string stem(const DateTime& time) const;
    std::string workingName(const DateTime& time) const;
    const std::string& currentFileName() const;
    const std::string& directory() const { return dir; }
    bool hasInvalidSignature() const { return invalidSignature; }
    bool isOpen() const { return file != nullptr; }
    // The system's text for the last failed open, write or finalising of a file ("" if none).
    const std::string& failureReason() const { return failure; }
    // The path of the last file closeFile made final ("" before the first).
    const std::string& finishedFilePath() const { return finishedPath; }

    // The signature check of the open file before appending: its first segment, which ends at
    // the first signature line that signs the lines before it (signature-like lines in the
    // data that do not are data). Sets the result that hasInvalidSignature reports. False
    // when the file cannot be read.
    bool checkSignature();

    // The checks of DataLogReader, for the callers that hold a DataLog.
    static Check checkFileSignature(const std::string& path, std::string& reason,
                                    std::map<std::string, std::string>* header = nullptr, bool followLink = true,
                                    bool* headerCut = nullptr);
    static Check checkOpenFileSignature(int handle, std::string& reason,
                                        std::map<std::string, std::string>* header = nullptr,
                                        bool* headerCut = nullptr);

    // From this size on a text goes to its digests on threads of their own while it is written.
    static constexpr size_t parallelDigestSize = 4 * 1024 * 1024;
    // Runs beside on a thread of its own while here runs on this one (both on this one when no
    // thread can be started); an exception of either is passed on once both have ended.
    static void runBeside(const std::function<void()>& beside, const std::function<void()>& here);

    struct WorkFile;

private:
    // Which digests take a line besides the file.
    enum class Feed { signedAndSealed, sealedOnly, fileOnly };
    class SignedOutput;
    // An opened working file, or the error number why there is none.
    struct Opened;

    // The folder of dir, opened once (0 or the error number).
    int openFolder();
    Opened createWorkingFile(const DataLogName& name);
    Opened openExistingOrCreate(const DataLogName& name, bool truncate);
    bool finishOpening(OpenMode mode);
    bool writeLine(WorkFile& to, const std::string& text, Feed feed);
    bool flushFile(WorkFile& to);
    bool writeFailed(const WorkFile& to);
    bool openFailed(const std::string& name);
    // Whether the open file's first segment is signed; nothing when it cannot be read.
    std::optional<bool> firstSegmentValid();
    bool ensureOpen();
    void rotateIfNeeded();
    bool signAndFinalise(WorkFile& closing, bool keepIfRotating);
    // After a failure: a sealed file of this run is removed, its number given back.
    void dropUnfinished(WorkFile& closing, bool sealGiven);
    bool writeHeader(WorkFile& to);
    // How an open for appending goes on: at the end of the valid file, again after moving a
    // tampered one aside, or not at all.
    enum class Appended { continued, movedAside, failed };
    Appended appendToExisting();
    void finaliseOldFiles();
    bool rotationAligned(const DateTime& at, DateTime& aligned) const;
    int64_t fileTime(const DateTime& time) const;
    std::optional<DateTime> currentRowTime() const;
    void rebuildRowValues();

    std::vector<std::optional<RowValue>> rowValues;
    std::string rawLine;
    bool invalidSignature = true;
    std::string dir;
    std::shared_ptr<const Platform::Folder> folder;  // dir's folder, held from makeReadyToOpenWriteFile on
    std::string lead;
    std::unique_ptr<WorkFile> file;
    bool autoRotate = true;
    int32_t rotationMode = rotateByOpenTime;
    DateTime lastDataTime;
    uint64_t maxBytes = 10000000;
    std::string rotationPattern;
    std::string failure;
    std::string finishedPath;
    Platform::FileReaders readers = Platform::FileReaders::everyone;
    Sealer* sealer = nullptr;
    Platform::FileCreation creation = Platform::FileCreation::unnamedWhereAvailable;
};

}  // namespace KelvraCorelib
