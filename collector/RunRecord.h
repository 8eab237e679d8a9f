#pragma once
// The outcome of a run for monitoring: "trawlex_<source>.prom" in a folder that a textfile
// collector reads (TRAWLEX_METRICS_DIR), in the Prometheus text exposition format, replaced
// atomically (a temporary name in the folder, renamed over the file). The time of the last
// success is carried over from the file the previous run left.
//
//   RunRecord::Values values;
//   values.host = "web1";  values.module = "os";  values.dataType = "df";  values.exitCode = 0; ...
//   std::string problem;
//   if (!RunRecord::write("/var/lib/prometheus/node-exporter", "Trawlex.os.df", values, problem)) warn(problem);

#include <cstdint>
#include <optional>
#include <string>

namespace Kelvra {

class RunRecord {
public:
    // The setting that names the folder; unset or empty writes nothing.
    static constexpr const char* folderSetting = "TRAWLEX_METRICS_DIR";

    // The outcomes a run reports, one gauge each (1 for this run's, 0 for the others).
    static constexpr const char* outcomes[] = {"stored", "skipped_on_error", "skipped_on_exit_value",
                                               "skipped_on_regex", "failed"};

    struct Values {
        std::string host;
        std::string module;
        std::string dataType;
        int64_t time = 0;             // start of the run, milliseconds since 1970
        int64_t durationMilliseconds = 0;
        int32_t exitCode = 0;         // the program's exit code
        std::string outcome;          // one of outcomes
        std::optional<int64_t> utilityExitValue;  // when the utility ran to its end
        uint64_t bytes = 0;           // bytes of output stored
        std::optional<uint64_t> sealSequence;    // the stored file's seal sequence
        std::optional<int64_t> sealKeysUntil;    // end of the seal store's last epoch, milliseconds since 1970
    };

    // "trawlex_<source>.prom", every byte of source but letters, digits, ".", "-" and "_" as "_".
    static std::string fileName(const std::string& source);
    // The exposition; lastSuccess (milliseconds since 1970) is the time of the last run that
    // ended with exit code 0 before this one, if any.
    static std::string text(const Values& values, std::optional<int64_t> lastSuccess);
    // The time of the last success in an exposition this class wrote.
    static std::optional<int64_t> lastSuccessIn(const std::string& text);
    // Writes the file; false with problem set when the folder is missing, not a folder,
    // another account could change it or the way to it, or the file cannot be written.
    static bool write(const std::string& folder, const std::string& source, const Values& values,
                      std::string& problem);

};

}  // namespace Kelvra
