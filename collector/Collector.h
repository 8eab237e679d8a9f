#pragma once
// One collection: run the utility with its time-out, take its output (or the file it wrote),
// apply the skip rules and store the text in a new signed data log in the target directory.
//
//   Collector c;
//   c.setTargetDir("/var/data");  c.setAppName("trawlex");  c.setModule("os");
//   c.setDataType("df");  c.setInterval("PT1H");  c.setTimeout("PT30S");
//   c.setExePath("/bin/df");  c.setExeArgs("-k");
//   c.collect();   // one ".data" file, or a skip, or a Collect_ error

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "corelib/Exception.h"
#include "corelib/OwnInputFile.h"
#include "corelib/ParamStream.h"
#include "corelib/TimeSpan.h"

namespace KelvraCorelib {
class DataLog;
}

namespace Kelvra {

class Collector {
public:
    KELVRA_ERROR_CLASS(Target_BadDir);
    KELVRA_ERROR_CLASS(Target_TooShortInterval);
    KELVRA_ERROR_CLASS(Target_VoidAppName);
    KELVRA_ERROR_CLASS(Target_VoidModule);
    KELVRA_ERROR_CLASS(Target_VoidDataType);
    KELVRA_ERROR_CLASS(Target_InvalidModule);
    KELVRA_ERROR_CLASS(Target_InvalidDataType);
    KELVRA_ERROR_CLASS(Target_NameTooLong);
    KELVRA_ERROR_CLASS(Exe_NotFound);
    KELVRA_ERROR_CLASS(Exe_InvalidPath);
    KELVRA_ERROR_CLASS(Exe_InvalidArgs);
    KELVRA_ERROR_CLASS(Exe_TooShortTimeout);
    KELVRA_ERROR_CLASS(Exe_InvalidFileName);
    KELVRA_ERROR_CLASS(Collect_FailedToStartExe);
    KELVRA_ERROR_CLASS(Collect_FailedToPrepareDataLog);
    KELVRA_ERROR_CLASS(Collect_FailedToOpenDataLog);
    KELVRA_ERROR_CLASS(Collect_FailedToReadDataLog);
    KELVRA_ERROR_CLASS(Collect_FailedToWriteDataLog);
    KELVRA_ERROR_CLASS(Collect_FailedToRunExe);
    KELVRA_ERROR_CLASS(Exe_InvalidMaxOutput);
    KELVRA_ERROR_CLASS(Collect_OutputTooLarge);
    KELVRA_ERROR_CLASS(Collect_FailedToSeal);

    Collector();
    virtual ~Collector() = default;

    // An empty or blank directory is Target_BadDir.
    void setTargetDir(const std::string& directory);
    void setInterval(const std::string& pNotation);
    void setOffset(const std::string& pNotation);
    void setAppName(const std::string& name);
    // Module and data type are part of the file name: after trimming they may not be empty
    // (Target_Void...) nor contain "/", a backslash or a control character (Target_Invalid...).
    void setModule(const std::string& name);
    void setDataType(const std::string& name);
    // The longest name a data log of this source can get (lead, source, time, a five-digit
    // counter, ".data") must fit in the target directory: else Target_NameTooLong. Called
    // once target, module, data type and application name are set.
    void checkNameLength() const;
    // Path and argument text go into the header: a control character other than tab in
    // either is Exe_InvalidPath or Exe_InvalidArgs. A missing file is Exe_NotFound, or
    // false (without error) when skipOnError is set.
    bool setExePath(const std::string& path);
    void setExeArgs(const std::string& arguments);
    void setTimeout(const std::string& pNotation);
    void setInFile(const std::string& path);
    void setSkipOnError(bool skip) { skipOnError = skip; }
    void setSkipOnRegex(const std::string& pattern) { skipOnRegex = pattern; }
    void setTestMode() { testMode = true; }
    // The utility's standard error is read by lines for decision() instead of passing through to
    // this program's.
    void setRecordUtilityErrors(bool record) { recordUtilityErrors = record; }
    // The most bytes of output (or of the input file) a collection keeps: a positive decimal
    // byte count, else Exe_InvalidMaxOutput. Defaults to ProcessTools::defaultOutputLimit().
    // More is Collect_OutputTooLarge (the utility's process group is stopped, nothing is
    // written; with skipOnError a silent skip).
    void setMaxOutput(const std::string& bytes);
    size_t getMaxOutput() const { return maxOutput; }

    // One collection run. Skips return normally; failures throw a Collect_ class, an
    // Exception of a lower layer, or boost::regex_error for a malformed skip pattern.
    void collect();

    // What the last collect() decided and why, for the run's log record: its level, a template
    // whose "%" the values fill, and the data log it stored ("" when none). An empty template
    // when the collection ended by an error that says it all.
    struct Decision {
        int32_t level = 0;
        std::string messageTemplate;
        KelvraCorelib::ParamStream values;
        std::string file;
        // The utility's standard error by lines (when recorded), and how many more it wrote.
        std::vector<std::string> errorLines;
        size_t errorLinesDropped = 0;
        bool utilityFailed = false;  // it did not start, timed out or exited with a non-zero value
        std::optional<int64_t> exitValue;  // the utility's, when it ran to its end
        uint64_t bytes = 0;                // of output stored
        std::optional<uint64_t> sealSequence;  // of the file stored sealed
        std::optional<int64_t> sealKeysUntil;  // SealWriter::keysUntil of that file's store
    };
    const Decision& decision() const { return lastDecision; }
    // The templates of the decisions.
    static const char* const storedSealed;
    static const char* const storedUnsealed;
    static const char* const storedNotSealed;
    static const char* const skippedOnError;
    static const char* const skippedOnExitValue;
    static const char* const skippedOnRegex;
    static const char* const timedOutAndKilled;
    static const char* const utilityErrorLine;
    static const char* const utilityErrorLinesDropped;

    const std::string& getTargetDir() const { return targetDir; }
    const std::string& getExePath() const { return exePath; }
    const std::string& getModule() const { return module; }
    const std::string& getDataType() const { return dataType; }
    // The source's name in data log names ("" until application, module and data type are set).
    std::string getSourceName() const;
    bool isTestMode() const { return testMode; }

    // The text stored after the output when the utility exits with a non-zero code.
    static std::string errorBlock(const std::string& exePath, const std::string& exeArgs, int64_t exitCode);
    // An input file's bytes as UTF-8 without CR: byte-order marks decoded (UTF-8 mark removed,
    // UTF-16 LE/BE re-encoded).
    static std::string decodeInputText(std::string bytes);

private:
    // Throws Target_BadDir naming the level that another account could change; before the
    // target is complete, a missing level or one that is no directory passes.
    void refuseUntrustedTarget(bool complete);
    // The input file's text; inputReaders receives who may read it besides its owner.
    std::string readInputFile(KelvraCorelib::FileReaders& inputReaders);
    void openDataLog(KelvraCorelib::DataLog& dataLog);

    // What running the utility gave: the text to store (its output or the input file's text),
    // who may read it, its exit value, or the failure that ends the collection.
    struct Outcome {
        std::string output;
        KelvraCorelib::FileReaders readers = KelvraCorelib::FileReaders::everyone;
        int64_t exitCode = 0;
        std::exception_ptr failure;
        bool timedOut = false;  // the failure: killed after the time-out
        bool exited = false;    // the utility ran to its end: exitCode is its exit value
        std::vector<std::string> errorLines;
        size_t errorLinesDropped = 0;
    };
    // Runs the utility and takes its text; stops at the first failure that skips.
    Outcome runUtility();
    // Whether the collection ends quietly here: a failed run under the skip-on-error rule.
    bool skips(const Outcome& outcome) const { return skipOnError && (outcome.failure || outcome.exitCode != 0); }
    // Stores the text (and the error block after a non-zero exit) in a new data log file.
    void store(Outcome& outcome);
    void decide(int32_t level, const char* messageTemplate, const KelvraCorelib::ParamStream& values);

    std::string targetDir;
    std::string appName;
    std::string module;
    std::string dataType;
    KelvraCorelib::TimeSpan interval;
    KelvraCorelib::TimeSpan offset;
    std::string exePath;
    std::string exeArgs;
    KelvraCorelib::TimeSpan timeout;
    bool skipOnError = false;
    std::string skipOnRegex;
    std::string inFile;
    bool testMode = false;
    size_t maxOutput;
    Decision lastDecision;
    bool recordUtilityErrors = false;
};

}  // namespace Kelvra
