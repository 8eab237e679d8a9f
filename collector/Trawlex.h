#pragma once
// The collector application: takes its settings from the command line or a configuration
// file, runs one collection and maps the outcome to the program's exit code.
//
//   trawlex --target /srv/data --module os --datatype df --interval PT15M
//           --exe /bin/df --timeout PT30S --args -k
//   trawlex -c /etc/trawlex/df.conf --target /srv/other

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "collector/Collector.h"
#include "corelib/AppFrame.h"
#include "corelib/ConfBase.h"
#include "corelib/SystemLogSink.h"

namespace Kelvra {

class Trawlex : public KelvraCorelib::AppFrame {
public:
    // Exit codes of the run.
    static constexpr int32_t exitDone = 0;
    static constexpr int32_t exitFailed = 2;
    static constexpr int32_t exitBadTargetDir = 4;
    static constexpr int32_t exitBadSetting = 5;
    static constexpr int32_t exitExeNotFound = 6;
    static constexpr int32_t exitExeNotStarted = 7;
    static constexpr int32_t exitExeFailed = 8;

    // The setting that picks the system log's channel or turns it off (SystemLogSink::channelFromName).
    static constexpr const char* systemLogSetting = "TRAWLEX_LOG";
    // "pass" keeps the utility's standard error on this program's instead of the system log.
    static constexpr const char* utilityErrorSetting = "TRAWLEX_UTILITY_STDERR";

    // Sets up the options, parses the kept command line and starts the system log sink.
    Trawlex();
    // Ends the run ("Ending run" in the log).
    ~Trawlex() override;

    bool setUpOptions() override;
    bool endRun() override;
    int32_t run() override;

    // Settings step: false ends the run with settingsExitCode, or 2 when it is 0.
    bool readSettings();
    bool loadConfigurationFile();
    void registerConfigurationKeys();
    void verifyConfiguration();
    bool readTargetSettings();
    bool readExecutableSettings();
    // The sink of the log records, unless the setting turns it off: warnings and errors, or
    // the level --debug names.
    void startSystemLog();
    // The source and target fields of the later records, as far as the settings are read.
    void nameSourceInSystemLog();
    // The run's one record of what it decided and why; failures that the collector did not
    // describe are told by their error.
    void recordOutcome(int32_t exitCode, const KelvraCorelib::Exception* error);
    // The run record for monitoring in the folder RunRecord::folderSetting names (nothing when
    // it names none or the source is not known yet); a problem is a warning record, never a
    // change of the run's outcome.
    void writeRunRecord(int32_t exitCode);

    int32_t settingsExitCode = 0;
    // The configuration's target directory and utility as verifyConfiguration tested them
    // (a shortcut replaced by its target); empty until then.
    std::string configuredTargetDir;
    std::string configuredExePath;
    Collector collector;
    bool testMode = false;
    KelvraCorelib::ConfBase confBase;
    std::unique_ptr<KelvraCorelib::SystemLogSink> systemLog;
    std::string metricsFolder;
    int64_t startedAt = 0;  // milliseconds since 1970, when metricsFolder is set
    std::chrono::steady_clock::time_point started;
};

}  // namespace Kelvra
