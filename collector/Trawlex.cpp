#include "collector/Trawlex.h"

#include <string>

#include "collector/RunRecord.h"

#include "corelib/ConfOldFile.h"
#include "corelib/DateTime.h"
#include "corelib/PathTools.h"
#include "corelib/StringTools.h"
#include "corelib/TimeSpan.h"
#include "corelib/WinRegistry.h"
#include "corelib/platform/MachineFacts.h"

namespace Kelvra {

using KelvraCorelib::Exception;
using KelvraCorelib::TimeSpan;
using KelvraCorelib::writeToOutput;

namespace {

// The record of a run that ended by an error the collector did not describe.
const char* const runFailed = "Ended with exit code %: %: %";

// Option names and configuration keywords.
const char* const optionConfigurationFile = "c";

// The steps of a run whose failures are reported.
enum class Step { configuration, target, executable, collection };

// How a failure is shown.
enum class Rendering {
    messageTemplate,  // "ERROR: <template>"
    withHelpHint,     // "ERROR: ", the message with its class, ". Please see --help."
    classAndTemplate  // "ERROR: <class>", then the template on a line of its own
};

// How a failure of a step ends the run, by the error's class name; the row without a class is
// for any other class of that step (in the settings steps the refusals such as
// Target_NameTooLong, Exe_InvalidPath and Exe_InvalidArgs; the target trust refusals are
// Target_BadDir).
struct FailureReport {
    Step step;
    const char* className;
    Rendering rendering;
    int32_t exitCode;
    int32_t testModeExitCode;  // the exit code in test mode
};

const FailureReport failureReports[] = {
    {Step::configuration, "", Rendering::classAndTemplate, Trawlex::exitFailed, Trawlex::exitFailed},
    {Step::target, "Target_BadDir", Rendering::messageTemplate, Trawlex::exitBadTargetDir, Trawlex::exitBadTargetDir},
    {Step::target, "", Rendering::withHelpHint, Trawlex::exitBadSetting, Trawlex::exitBadSetting},
    {Step::executable, "Exe_NotFound", Rendering::messageTemplate, Trawlex::exitExeNotFound, Trawlex::exitExeNotFound},
    {Step::executable, "", Rendering::withHelpHint, Trawlex::exitBadSetting, Trawlex::exitBadSetting},
    {Step::collection, "Collect_FailedToStartExe", Rendering::messageTemplate, Trawlex::exitExeNotStarted,
     Trawlex::exitExeNotStarted},
    {Step::collection, "Collect_OutputTooLarge", Rendering::messageTemplate, Trawlex::exitExeNotStarted,
     Trawlex::exitExeNotStarted},
    {Step::collection, "Collect_FailedToRunExe", Rendering::messageTemplate, Trawlex::exitExeFailed,
     Trawlex::exitDone},
    {Step::collection, "", Rendering::messageTemplate, Trawlex::exitFailed, Trawlex::exitFailed},
};

// Shows the failure and gives the exit code that ends the run.
int32_t reportFailure(Step step, const Exception& error, bool testMode)
{
    const FailureReport* report = nullptr;
    for (const FailureReport& row : failureReports) {
        if (row.step == step && (error.className == row.className || *row.className == '\0')) {
            report = &row;
            break;
        }
    }
    switch (report->rendering) {
    case Rendering::messageTemplate:
        writeToOutput("ERROR: " + error.messageTemplate + "\n");
        break;
    case Rendering::withHelpHint:
        writeToOutput("ERROR: " + error.getMessage(true) + ". Please see --help.\n");
        break;
    case Rendering::classAndTemplate:
        writeToOutput("ERROR: " + error.className + "\n" + error.messageTemplate + "\n");
        break;
    }
    return testMode ? report->testModeExitCode : report->exitCode;
}

}  // namespace

Trawlex::Trawlex() : AppFrame("Trawlex", "Trawlex", "1", true, "Kelvra, Inc.")
{
    if (!setUpOptions())
        runState = setUpFailed;
    parseCommandLine();
    startSystemLog();
    KelvraCorelib::getEnvironmentVariable(RunRecord::folderSetting, metricsFolder);
    if (!metricsFolder.empty()) {
        started = std::chrono::steady_clock::now();
        startedAt = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    }
}

void Trawlex::startSystemLog()
{
    std::string setting;
    KelvraCorelib::getEnvironmentVariable(systemLogSetting, setting);
    KelvraCorelib::Platform::SystemLogChannel channel{};
    bool unknown = false;
    if (!KelvraCorelib::SystemLogSink::channelFromName(setting, channel, unknown) && !unknown)
        return;
    std::string levelName;
    const int32_t level = cmdParser.getValue("debug", levelName) ? KelvraCorelib::Logger::levelFromName(levelName)
                                                                 : int32_t(KelvraCorelib::LogWarning);
    systemLog = std::make_unique<KelvraCorelib::SystemLogSink>("trawlex", level, channel);
    const std::pair<const char*, uint32_t> decisions[] = {
        {Collector::storedSealed, 2001},     {Collector::storedUnsealed, 2002}, {Collector::storedNotSealed, 2003},
        {Collector::skippedOnError, 2004},   {Collector::skippedOnExitValue, 2005},
        {Collector::skippedOnRegex, 2006},   {Collector::timedOutAndKilled, 2007}, {runFailed, 2008},
        {Collector::utilityErrorLine, 2009}, {Collector::utilityErrorLinesDropped, 2010},
    };
    for (const auto& [messageTemplate, eventId] : decisions)
        systemLog->setEventId(messageTemplate, eventId);
    std::string utilityErrors;
    KelvraCorelib::getEnvironmentVariable(utilityErrorSetting, utilityErrors);
    collector.setRecordUtilityErrors(utilityErrors != "pass");
    if (unknown)
        runLogger.warning("% has the unknown value \"%\": records go to the system log as by default",
                          KelvraCorelib::ParamStream() << systemLogSetting << setting);
}

void Trawlex::nameSourceInSystemLog()
{
    if (systemLog == nullptr)
        return;
    systemLog->setField("TRAWLEX_SOURCE", collector.getSourceName());
    systemLog->setField("TRAWLEX_TARGET", collector.getTargetDir());
}

void Trawlex::recordOutcome(int32_t exitCode, const Exception* error)
{
    const Collector::Decision& decision = collector.decision();
    nameSourceInSystemLog();
    if (systemLog != nullptr && !decision.file.empty())
        systemLog->setField("TRAWLEX_FILE", decision.file);
    KelvraCorelib::Logger outcomeLogger;
    outcomeLogger.setModuleName("collector");
    // The utility's standard error: information after a run that went well, else a warning.
    const int32_t errorLevel = decision.utilityFailed ? KelvraCorelib::LogWarning : KelvraCorelib::LogInfo;
    auto record = [&outcomeLogger, errorLevel](const char* messageTemplate, const KelvraCorelib::ParamStream& values) {
        if (errorLevel == KelvraCorelib::LogWarning)
            outcomeLogger.warning(messageTemplate, values);
        else
            outcomeLogger.info(messageTemplate, values);
    };
    if (outcomeLogger.isLogging(errorLevel)) {
        for (const std::string& line : decision.errorLines)
            record(Collector::utilityErrorLine, KelvraCorelib::ParamStream() << collector.getExePath() << line);
        if (decision.errorLinesDropped != 0)
            record(Collector::utilityErrorLinesDropped,
                   KelvraCorelib::ParamStream() << collector.getExePath() << uint64_t(decision.errorLinesDropped));
    }
    if (!decision.messageTemplate.empty()) {
        if (decision.level <= KelvraCorelib::LogError)
            outcomeLogger.error(decision.messageTemplate, decision.values);
        else if (decision.level == KelvraCorelib::LogWarning)
            outcomeLogger.warning(decision.messageTemplate, decision.values);
        else
            outcomeLogger.info(decision.messageTemplate, decision.values);
    } else if (error != nullptr) {
        std::string message = error->getMessage(false);
        KelvraCorelib::StringTools::trimLeft(message);
        runLogger.error(runFailed, KelvraCorelib::ParamStream() << exitCode << error->className << message);
    }
    writeRunRecord(exitCode);
}

void Trawlex::writeRunRecord(int32_t exitCode)
{
    const std::string source = collector.getSourceName();
    if (metricsFolder.empty() || source.empty())
        return;
    const Collector::Decision& decision = collector.decision();
    RunRecord::Values values;
    KelvraCorelib::Platform::hostName(values.host);
    values.module = collector.getModule();
    values.dataType = collector.getDataType();
    values.time = startedAt;
    values.durationMilliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    values.exitCode = exitCode;
    if (exitCode != exitDone)
        values.outcome = "failed";
    else if (decision.messageTemplate == Collector::skippedOnError)
        values.outcome = "skipped_on_error";
    else if (decision.messageTemplate == Collector::skippedOnExitValue)
        values.outcome = "skipped_on_exit_value";
    else if (decision.messageTemplate == Collector::skippedOnRegex)
        values.outcome = "skipped_on_regex";
    else if (!decision.file.empty())
        values.outcome = "stored";
    values.utilityExitValue = decision.exitValue;
    values.bytes = decision.bytes;
    values.sealSequence = decision.sealSequence;
    if (decision.sealKeysUntil)
        values.sealKeysUntil = *decision.sealKeysUntil - KelvraCorelib::DateTime::unixEpochCount;
    std::string problem;
    if (!RunRecord::write(metricsFolder, source, values, problem))
        runLogger.warning("%", KelvraCorelib::ParamStream() << problem);
}

Trawlex::~Trawlex()
{
    try {
        if (!endRun() && runState == goOn)
            runState = setUpFailed;
    } catch (...) {
        // Ending is best effort: the exit code is chosen already.
    }
}

bool Trawlex::setUpOptions()
{
    KelvraCorelib::setErrorModeThrows(false);
    runLogger.setModuleName("main");
    runLogger.verbose("Constructing application");
    cmdParser.setAcceptExtraArguments(true);

    cmdParser.addFlag("Run in test mode", 0, "testmode");
    cmdParser.addOption("Configuration file", 'c', "");
    cmdParser.addOption("Target dir", 0, "target");
    cmdParser.addOption("Module (general type)", 0, "module");
    cmdParser.addOption("Data type (specific type)", 0, "datatype");
    cmdParser.addOption("Time between collector runs (P-notation)", 0, "interval");
    cmdParser.addOption("Offset from aligned time (optional, P-notation)", 0, "offset");
    cmdParser.addOption("Path to executable for utility", 0, "exe");
    cmdParser.addOption("Executable timeout (P-notation)", 0, "timeout");
    cmdParser.addOption("File name of exe-output / trawlex-input", 0, "infile");
    cmdParser.addOption("Skip polling if output matches regex", 0, "skip-onregex");
    cmdParser.addFlag("Skip polling data on exe error", 0, "skip-onerror");
    cmdParser.addRest("Arguments to executable", "args");

    cmdParser.addHelpParagraph("Everything following --args will be passed on to the executable.");
    cmdParser.addHelpParagraph(
        "The executable timeout value is the longest time the executable is allowed to run. If it has not ended by "
        "this time, it will be killed.");
    cmdParser.addHelpParagraph(
        "If --infile is set the content of this file will be read instead of the executable's stdout; it is then "
        "assumed that the executable will write to this file, i.e. that there is match with executable's command "
        "line. The file will be deleted after reading unless test mode is used.");
    cmdParser.addHelpParagraph("If run in test mode, trawlex will not return error code when the utility fails.");
    cmdParser.addHelpParagraph(
        "If --skip-onerror true is set, no data will be collected if the utility returns a non-zero exit code.");

    testMode = false;
    settingsExitCode = 0;
    return true;
}

bool Trawlex::endRun()
{
    runLogger.verbose("Ending run");
    return true;
}

int32_t Trawlex::run()
{
    runLogger.verbose("Running application");
    if (!readSettings())
        return settingsExitCode != 0 ? settingsExitCode : exitFailed;
    try {
        collector.collect();
        recordOutcome(exitDone, nullptr);
        return exitDone;
    } catch (const Exception& error) {
        const int32_t exitCode = reportFailure(Step::collection, error, testMode);
        recordOutcome(exitCode, &error);
        return exitCode;
    }
}

bool Trawlex::readSettings()
{
    if (cmdParser.isSet(optionConfigurationFile) && !loadConfigurationFile())
        return false;
    if (!readTargetSettings())
        return false;
    nameSourceInSystemLog();
    if (!readExecutableSettings())
        return false;
    testMode = cmdParser.isSet("testmode");
    if (testMode)
        collector.setTestMode();
    return true;
}

bool Trawlex::loadConfigurationFile()
{
    try {
        std::string fileName;
        cmdParser.getValue(optionConfigurationFile, fileName);
        fileName = KelvraCorelib::fullNormalise(fileName);
        KelvraCorelib::ConfOldFile loader;
        loader.load(fileName, false);
        registerConfigurationKeys();
        verifyConfiguration();
        return true;
    } catch (const Exception& error) {
        settingsExitCode = reportFailure(Step::configuration, error, testMode);
        recordOutcome(settingsExitCode, &error);
        return false;
    }
}

void Trawlex::registerConfigurationKeys()
{
    runLogger.verbose("Trawlex::registerConfigurationKeys");
    confAgent.registerKeyword("target", "trawlex.target.dir");
    confAgent.registerKeyword("module", "trawlex.target.module");
    confAgent.registerKeyword("datatype", "trawlex.target.datatype");
    confAgent.registerKeyword("interval", "trawlex.target.interval");
    confAgent.registerKeyword("offset", "trawlex.target.offset");
    confAgent.registerKeyword("exe", "trawlex.executable.path");
    confAgent.registerKeyword("args", "trawlex.executable.args");
    confAgent.registerKeyword("timeout", "trawlex.executable.timeout");
}

void Trawlex::verifyConfiguration()
{
    runLogger.verbose("Trawlex::verifyConfiguration");
    const TimeSpan ninetyNineYears("P99Y");
    configuredTargetDir = confAgent.testDir("%target%", 1);
    confAgent.testGlob("%module%", "?*");
    confAgent.testGlob("%datatype%", "?*");
    confAgent.testTimeSpanRange("%interval%", TimeSpan("PT1S"), ninetyNineYears);
    configuredExePath = confAgent.testFile("%exe%", 0);
    confAgent.testGlob("%args%", "*");
    confAgent.testTimeSpanRange("%timeout%", TimeSpan(), ninetyNineYears);
}

bool Trawlex::readTargetSettings()
{
    try {
        std::string value;
        if (cmdParser.getValue("target", value))
            collector.setTargetDir(value);
        else
            collector.setTargetDir(!configuredTargetDir.empty() ? configuredTargetDir : confAgent.queryDir("%target%"));
        collector.setInterval(cmdParser.getValue("interval", value) ? value
                                                                    : confAgent.queryTimeSpan("%interval%").toText());
        if (cmdParser.getValue("offset", value)) {
            collector.setOffset(value);
        } else {
            // Optional: anything that fails here falls back to no offset.
            TimeSpan configured;
            bool found = false;
            try {
                found = confAgent.findTimeSpan("%offset%", configured);
                if (found)
                    collector.setOffset(configured.toText());
            } catch (...) {
                found = false;
            }
            if (!found)
                collector.setOffset("PT0S");
        }
        collector.setModule(cmdParser.getValue("module", value) ? value : confAgent.queryString("%module%"));
        collector.setDataType(cmdParser.getValue("datatype", value) ? value : confAgent.queryString("%datatype%"));
        collector.setAppName(KelvraCorelib::applicationNames().internalName);
        collector.checkNameLength();
        return true;
    } catch (const Exception& error) {
        settingsExitCode = reportFailure(Step::target, error, testMode);
        recordOutcome(settingsExitCode, &error);
    }
    return false;
}

bool Trawlex::readExecutableSettings()
{
    try {
        std::string value;
        collector.setSkipOnError(cmdParser.isSet("skip-onerror"));
        if (cmdParser.getValue("exe", value))
            collector.setExePath(value);
        else
            collector.setExePath(!configuredExePath.empty() ? configuredExePath : confAgent.queryFile("%exe%"));
        collector.setExeArgs(cmdParser.getValue("args", value) ? value : confAgent.queryString("%args%"));
        collector.setTimeout(cmdParser.getValue("timeout", value) ? value
                                                                  : confAgent.queryTimeSpan("%timeout%").toText());
        if (cmdParser.getValue("infile", value))
            collector.setInFile(value);
        if (cmdParser.getValue("skip-onregex", value))
            collector.setSkipOnRegex(value);
        if (KelvraCorelib::getEnvironmentVariable("TRAWLEX_MAX_OUTPUT", value) && !value.empty())
            collector.setMaxOutput(value);
        return true;
    } catch (const Exception& error) {
        settingsExitCode = reportFailure(Step::executable, error, testMode);
        recordOutcome(settingsExitCode, &error);
    }
    return false;
}

}  // namespace Kelvra
