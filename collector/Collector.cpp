#include "collector/Collector.h"

#include <algorithm>

#include <boost/regex.hpp>

#include "corelib/CapturedLines.h"
#include "corelib/FileTools.h"
#include "corelib/Logger.h"
#include "corelib/OwnInputFile.h"
#include "corelib/PathTools.h"
#include "corelib/ProcessTools.h"
#include "corelib/StringTools.h"
#include "corelib/Unicode.h"
#include "datahandling/DataLog.h"
#include "datahandling/DataLogName.h"
#include "datahandling/SealWriter.h"

namespace Kelvra {

using namespace KelvraCorelib;

namespace {

std::string trimmed(std::string text)
{
    StringTools::trimRight(text);
    StringTools::trimLeft(text);
    return text;
}

// True for a name that may go into a file name: no path separator, no control character.
bool isPlainName(const std::string& name)
{
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F;
    });
}

// True for a byte below 0x20 other than tab, or DEL: in a meta value such a byte would end
// its header line or start another.
bool hasControlCharacter(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t') || byte == 0x7F;
    });
}

// How often a collection moves its source time on when its working name is taken.
constexpr int nameAttempts = 1000;

// ": " and the system's reason for the data log's last failure, when it gave one.
std::string withReason(const DataLog& dataLog)
{
    return dataLog.failureReason().empty() ? std::string() : ": " + dataLog.failureReason();
}

const char* const separatorLine = "--------------------------------------------------";

// The text of the failure that ended a run of the utility.
std::string failureText(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& error) {
        return error.messageTemplate;
    } catch (...) {
        return "unknown failure";
    }
}

}  // namespace

const char* const Collector::storedSealed = "Stored \"%\": exit value %, % bytes, sealed";
const char* const Collector::storedUnsealed = "Stored \"%\": exit value %, % bytes, not sealed: no seal store";
const char* const Collector::storedNotSealed = "Stored \"%\": exit value %, % bytes, not sealed: %";
const char* const Collector::skippedOnError = "Skipped by the skip-on-error rule: %";
const char* const Collector::skippedOnExitValue =
    "Skipped by the skip-on-error rule: \"%\" exited with exit value %";
const char* const Collector::skippedOnRegex = "Skipped by the skip-on-regex rule: the output matches \"%\"";
const char* const Collector::timedOutAndKilled = "\"%\" timed out after % and was killed; nothing stored";
const char* const Collector::utilityErrorLine = "Standard error of \"%\": %";
const char* const Collector::utilityErrorLinesDropped = "Standard error of \"%\": % more lines not recorded";

Collector::Collector() : maxOutput(ProcessTools::defaultOutputLimit()) {}

void Collector::setTargetDir(const std::string& directory)
{
    if (trimmed(directory).empty()) {
        // Would mean the working directory, or a folder named with blanks.
        targetDir.clear();
        throw Target_BadDir("Invalid target directory: \"" + directory + "\"");
    }
    targetDir = stripTrailingSeparators(fullNormalise(directory));
    // As the superuser, a target that another account could swap or empty is refused: the
    // levels that exist are checked before any is created, and all of them afterwards.
    const bool checked = Platform::runsAsSuperuser();
    if (checked) {
        refuseUntrustedTarget(false);
    }
    if (!isDirectory(targetDir) && !createDirectory(targetDir + separator()) && !isDirectory(targetDir)) {
        throw Target_BadDir("Invalid target directory: \"" + targetDir + "\"");
    }
    if (checked) {
        refuseUntrustedTarget(true);
    }
}

void Collector::refuseUntrustedTarget(bool complete)
{
    const Platform::AccessFinding finding = Platform::examineDirectoryChain(targetDir);
    using Platform::AccessFault;
    // Before creating, what is not there or not a directory is left to the creation to report.
    const bool untrusted = finding.fault == AccessFault::foreignOwner || finding.fault == AccessFault::openToOthers ||
                           finding.fault == AccessFault::foreignLink || finding.fault == AccessFault::link ||
                           finding.fault == AccessFault::foreignMountPoint;
    if (finding.fault == AccessFault::none || (!complete && !untrusted)) {
        return;
    }
    const std::string reason = accessRefusal(finding);
    throw Target_BadDir("Invalid target directory: \"" + targetDir + "\"" + (reason.empty() ? "" : ": " + reason));
}

void Collector::setInterval(const std::string& pNotation)
{
    interval = TimeSpan(pNotation);
    if (interval.totalSeconds() < 1.0) {
        throw Target_TooShortInterval("Interval cannot be less than PT1S");
    }
}

void Collector::setOffset(const std::string& pNotation)
{
    offset = TimeSpan(pNotation);
}

void Collector::setAppName(const std::string& name)
{
    appName = trimmed(name);
    if (appName.empty()) {
        throw Target_VoidAppName("Application name cannot be empty");
    }
}

void Collector::setModule(const std::string& name)
{
    module = trimmed(name);
    if (module.empty()) {
        throw Target_VoidModule("Module cannot be empty");
    }
    if (!isPlainName(module)) {
        module.clear();  // never kept for a file name
        throw Target_InvalidModule("Module cannot contain path separators or control characters");
    }
}

void Collector::setDataType(const std::string& name)
{
    dataType = trimmed(name);
    if (dataType.empty()) {
        throw Target_VoidDataType("Data type cannot be empty");
    }
    if (!isPlainName(dataType)) {
        dataType.clear();  // never kept for a file name
        throw Target_InvalidDataType("Data type cannot contain path separators or control characters");
    }
}

std::string Collector::getSourceName() const
{
    if (appName.empty() || module.empty() || dataType.empty())
        return "";
    return DataLogName::sourceOf(appName, module, dataType);
}

void Collector::checkNameLength() const
{
    // A collection never appends, so it makes no moved-aside name; its final name is the longest.
    const DataLogName name{appName, DataLogName::sourceOf(appName, module, dataType),
                           StringTools::formatUInt64(uint64_t(DateTime::now().count))};
    const size_t longest = name.longestFinalLength();
    const size_t allowed = longestNameIn(targetDir);
    if (longest > allowed) {
        throw Target_NameTooLong("Module and data type make data log file names too long for the target directory (" +
                                 std::to_string(longest) + " bytes, at most " + std::to_string(allowed) + ")");
    }
}

bool Collector::setExePath(const std::string& path)
{
    exePath = trimmed(fullNormalise(path));
    if (hasControlCharacter(exePath)) {
        exePath.clear();  // never kept for the header
        throw Exe_InvalidPath("Executable path cannot contain control characters other than tab");
    }
    if (isFile(exePath)) {
        return true;
    }
    if (skipOnError) {
        return false;  // a missing utility is a silent skip at collection time
    }
    throw Exe_NotFound("Could not find \"" + exePath + "\"");
}

void Collector::setExeArgs(const std::string& arguments)
{
    if (hasControlCharacter(arguments)) {
        exeArgs.clear();  // never kept for the header
        throw Exe_InvalidArgs("Executable arguments cannot contain control characters other than tab");
    }
    exeArgs = arguments;
}

void Collector::setTimeout(const std::string& pNotation)
{
    timeout = TimeSpan(pNotation);
    if (timeout.totalSeconds() < 1.0) {
        throw Exe_TooShortTimeout("Executable timeout cannot be less than PT1S");
    }
}

void Collector::setInFile(const std::string& path)
{
    if (path.empty()) {
        throw Exe_InvalidFileName("Executable's output file name can't be empty");
    }
    inFile = path;
}

void Collector::setMaxOutput(const std::string& bytes)
{
    const std::string digits = trimmed(bytes);
    size_t value = 0;
    bool valid = !digits.empty() && digits.size() <= 19;
    for (const char c : digits) {
        valid = valid && c >= '0' && c <= '9';
        value = valid ? value * 10 + static_cast<size_t>(c - '0') : 0;
    }
    if (!valid || value == 0 || value == SIZE_MAX) {
        throw Exe_InvalidMaxOutput("Maximum output must be a positive number of bytes: \"" + bytes + "\"");
    }
    maxOutput = value;
}

std::string Collector::errorBlock(const std::string& exePath, const std::string& exeArgs, int64_t exitCode)
{
    return std::string(separatorLine) + "\nEXECUTABLE ERROR" + "\nExecutable=" + exePath + "\nArguments=" + exeArgs +
           "\nExit-value=" + std::to_string(exitCode) + "\n" + separatorLine;
}

std::string Collector::decodeInputText(std::string bytes)
{
    auto startsWith = [&bytes](const char* mark, size_t size) { return bytes.compare(0, size, mark, size) == 0; };
    if (bytes.size() >= 3 && startsWith("\xEF\xBB\xBF", 3)) {
        bytes.erase(0, 3);
    } else if (bytes.size() >= 2 && startsWith("\xFF\xFE", 2)) {
        Unicode text;
        text.setFromUtf16LE(bytes.data() + 2, bytes.size() - 2);
        bytes = text.toUtf8();
    } else if (bytes.size() >= 2 && startsWith("\xFE\xFF", 2)) {
        Unicode text;
        text.setFromUtf16BE(bytes.data() + 2, bytes.size() - 2);
        bytes = text.toUtf8();
    }
    std::erase(bytes, '\r');
    return bytes;
}

std::string Collector::readInputFile(FileReaders& inputReaders)
{
    std::string bytes;
    bool readOk = false;
    bool tooLarge = false;
    {
        // Only a file that no other account can have placed or swapped is read and deleted.
        OwnInputFile input(inFile);
        if (!input.isOpen()) {
            const std::string reason = input.refusal().empty() ? std::string() : ": " + input.refusal();
            throw Collect_FailedToReadDataLog("Failed to open data log \"" + inFile + "\"" + reason);
        }
        inputReaders = input.readers();
        readOk = input.readAll(bytes, maxOutput, tooLarge);
        if (!testMode) {
            input.remove();  // deleted whether or not it could be read
        }
    }
    if (tooLarge) {
        throw Collect_OutputTooLarge("\"" + inFile + "\" written by \"" + exePath + "\" is larger than the limit of " +
                                     std::to_string(maxOutput) + " bytes");
    }
    if (!readOk) {
        throw Collect_FailedToReadDataLog("Failed to open data log \"" + inFile + "\"");
    }
    return decodeInputText(std::move(bytes));
}

// Opens a new working file named from the source time. When another run holds that name (a
// collection of the same source that started in the same millisecond), the source time moves
// on by one millisecond, in the header and the name alike, and the open is tried again.
void Collector::openDataLog(DataLog& dataLog)
{
    int failuresOnAFreeName = 0;  // the other run may have finished in between
    for (int attempt = 1;; ++attempt) {
        if (dataLog.openWriteFile(DataLog::createNew, DateTime(int64_t(0)))) {
            return;
        }
        const DateTime sourceTime = dataLog.getSourceTime();
        const bool taken = exists(dataLog.workingName(DateTime(int64_t(0))));
        if (attempt == nameAttempts || (!taken && ++failuresOnAFreeName > 2)) {
            throw Collect_FailedToOpenDataLog("Failed to open data log file for target dir \"" + targetDir + "\"" +
                                              withReason(dataLog));
        }
        // The time that finally names the file also picks the seal's epoch (SealWriter::lastLine).
        dataLog.setSourceMeta("time", StringTools::formatUInt64(uint64_t(sourceTime.count + 1)));
    }
}

Collector::Outcome Collector::runUtility()
{
    Outcome outcome;
    if (!isFile(exePath) && skipOnError) {
        outcome.failure = std::make_exception_ptr(
            Collect_FailedToStartExe("Failed to start \"" + exePath + "\" with arguments \"" + exeArgs + "\""));
        return outcome;
    }
    {
        const std::unique_ptr<ProcessTools::Process> process = ProcessTools::create(exePath, exeArgs, true);
        process->outputLimit = maxOutput;
        CapturedLines errorLines;
        if (recordUtilityErrors && errorLines.open()) {
            process->errorDescriptor = errorLines.descriptor();
        }
        const bool ended = ProcessTools::runAndWait(
            *process, static_cast<uint64_t>(timeout.totalMilliseconds(true)), &outcome.output);
        outcome.errorLines = errorLines.take();
        outcome.errorLinesDropped = errorLines.dropped();
        if (!ended) {
            if (process->outputLimitPassed) {
                outcome.failure = std::make_exception_ptr(
                    Collect_OutputTooLarge("Output of \"" + exePath + "\" with arguments \"" + exeArgs +
                                           "\" passed the limit of " + std::to_string(maxOutput) + " bytes"));
            } else {
                outcome.timedOut = process->deadlinePassed;
                outcome.failure = std::make_exception_ptr(Collect_FailedToStartExe(
                    "Failed to start \"" + exePath + "\" with arguments \"" + exeArgs + "\""));
            }
            return outcome;
        }
        outcome.exitCode = process->exitCode;
        outcome.exited = true;
    }

    // A skipped run leaves the input file as it is.
    if (!inFile.empty() && !skips(outcome)) {
        try {
            outcome.output = readInputFile(outcome.readers);
        } catch (const Collect_OutputTooLarge&) {
            outcome.failure = std::current_exception();
        }
    }
    return outcome;
}

void Collector::collect()
{
    lastDecision = Decision();
    Outcome outcome = runUtility();
    lastDecision.errorLines = std::move(outcome.errorLines);
    lastDecision.errorLinesDropped = outcome.errorLinesDropped;
    lastDecision.utilityFailed = outcome.failure || outcome.exitCode != 0;
    if (outcome.exited)
        lastDecision.exitValue = outcome.exitCode;
    const std::string timedOutText = "\"" + exePath + "\" timed out after " + timeout.toText() + " and was killed";
    if (skips(outcome)) {
        if (!outcome.failure) {
            decide(LogInfo, skippedOnExitValue, ParamStream() << exePath << outcome.exitCode);
        } else {
            decide(LogInfo, skippedOnError,
                   ParamStream() << (outcome.timedOut ? timedOutText : failureText(outcome.failure)));
        }
        return;
    }
    if (outcome.failure) {
        if (outcome.timedOut) {
            decide(LogError, timedOutAndKilled, ParamStream() << exePath << timeout.toText());
        }
        std::rethrow_exception(outcome.failure);
    }
    if (!skipOnRegex.empty()) {
        const boost::regex pattern(skipOnRegex);
        if (boost::regex_search(outcome.output, pattern)) {
            decide(LogInfo, skippedOnRegex, ParamStream() << skipOnRegex);
            return;
        }
    }
    store(outcome);
}

void Collector::decide(int32_t level, const char* messageTemplate, const ParamStream& values)
{
    lastDecision.level = level;
    lastDecision.messageTemplate = messageTemplate;
    lastDecision.values = values;
}

void Collector::store(Outcome& outcome)
{
    DataLog dataLog;
    dataLog.setLogType(DataCommons::logRaw);
    DataCommons::SourceInfo source;
    source.application = appName;
    source.module = module;
    source.datatype = dataType;
    source.collectionInterval = TimeSpan(interval.totalMilliseconds(true));  // months and years by their average length
    source.rotationPeriod = TimeSpan();
    dataLog.setSource(source);
    dataLog.setSourceMeta("exe", exePath);
    dataLog.setSourceMeta("exeargs", exeArgs);
    dataLog.setSourceMeta("offset", std::to_string(offset.totalMilliseconds(true)));
    dataLog.setRotationMode(DataLog::rotateBySize);
    dataLog.setReaders(outcome.readers);  // no more readers than the input file had
    if (!dataLog.makeReadyToOpenWriteFile(targetDir, appName, true, true)) {
        throw Collect_FailedToPrepareDataLog("Failed to prepare for log file in target dir \"" + targetDir + "\"");
    }
    SealWriter seal;  // before the header: it adds the seal keys
    seal.begin(dataLog);
    const bool sealing = seal.active();
    const uint64_t sequence = sealing ? seal.sequence() : 0;
    openDataLog(dataLog);
    const uint64_t bytes = outcome.output.size();
    const std::string writeFailure = "Failed to write to data log file for target dir \"" + targetDir + "\"";
    if (!dataLog.setRawLine(std::move(outcome.output)) || !dataLog.writeRaw()) {
        throw Collect_FailedToWriteDataLog(writeFailure + withReason(dataLog));
    }
    if (outcome.exitCode != 0) {
        if (!dataLog.setRawLine(errorBlock(exePath, exeArgs, outcome.exitCode)) || !dataLog.writeRaw()) {
            throw Collect_FailedToWriteDataLog(writeFailure + withReason(dataLog));
        }
    }
    // A file that could not be signed or named is not a collection: the run fails (the working
    // file stays behind, unsigned or unrenamed, for the next run to finalise; a sealed one is
    // removed). A file that names a seal it cannot get is not kept.
    if (!dataLog.closeFile(false)) {
        if (sealing && !seal.problem().empty()) {
            throw Collect_FailedToSeal(seal.problem());
        }
        throw Collect_FailedToWriteDataLog(writeFailure + withReason(dataLog));
    }
    // The collection is kept, unsealed, when sealing failed.
    const int32_t level = outcome.exitCode != 0 ? LogWarning : LogInfo;
    if (!seal.problem().empty()) {
        decide(LogError, storedNotSealed, ParamStream() << dataLog.finishedFilePath() << outcome.exitCode << bytes
                                                         << seal.problem());
        lastDecision.file = dataLog.finishedFilePath();
        lastDecision.bytes = bytes;
        throw Collect_FailedToSeal(seal.problem());
    }
    decide(level, sealing ? storedSealed : storedUnsealed,
           ParamStream() << dataLog.finishedFilePath() << outcome.exitCode << bytes);
    lastDecision.file = dataLog.finishedFilePath();
    lastDecision.bytes = bytes;
    if (sealing) {
        lastDecision.sealSequence = sequence;
        lastDecision.sealKeysUntil = seal.keysUntil();
    }

    if (outcome.exitCode != 0) {
        throw Collect_FailedToRunExe("\"" + exePath + "\" with arguments \"" + exeArgs + "\" exited with exit value " +
                                     std::to_string(outcome.exitCode));
    }
}

}  // namespace Kelvra
