#include "VerifyMetrics.h"

#include <cstdio>

#include "corelib/DateTime.h"
#include "corelib/FileTools.h"
#include "corelib/PathTools.h"
#include "corelib/PrometheusText.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/Process.h"

namespace {

namespace Platform = KelvraCorelib::Platform;
using KelvraCorelib::prometheusFamily;
using KelvraCorelib::prometheusLabelValue;

// 1900epoch milliseconds as seconds since 1970, to the millisecond.
std::string unixSeconds(int64_t time)
{
    return KelvraCorelib::prometheusSeconds(time - KelvraCorelib::DateTime::unixEpochCount);
}

std::string sourceLabels(const std::pair<std::string, std::string>& source)
{
    return "{host=\"" + prometheusLabelValue(source.first) + "\",source=\"" + prometheusLabelValue(source.second) +
           "\"}";
}

}  // namespace

std::string VerifyMetrics::text() const
{
    std::string text;
    prometheusFamily(text, "trawlex_verify_timestamp_seconds", "gauge", "Time of the check, seconds since 1970.",
                     "trawlex_verify_timestamp_seconds " + unixSeconds(now) + "\n");
    prometheusFamily(text, "trawlex_verify_exit_code", "gauge", "Exit code of the check.",
                     "trawlex_verify_exit_code " + std::to_string(exitCode) + "\n");
    prometheusFamily(text, "trawlex_verify_files", "gauge", "Files checked, by status.",
                     "trawlex_verify_files{status=\"valid\"} " + std::to_string(valid) + "\n" +
                         "trawlex_verify_files{status=\"invalid\"} " + std::to_string(invalid) + "\n" +
                         "trawlex_verify_files{status=\"unreadable\"} " + std::to_string(unreadable) + "\n");
    std::string byKind;
    for (const char* kind : {"chain", "witness", "earlier", "gap", "silence"}) {
        const auto found = findings.find(kind);
        byKind += std::string("trawlex_verify_findings{kind=\"") + kind + "\"} " +
                  std::to_string(found == findings.end() ? 0 : found->second) + "\n";
    }
    prometheusFamily(text, "trawlex_verify_findings", "gauge", "Findings not acknowledged, by kind.", byKind);
    prometheusFamily(text, "trawlex_verify_findings_acknowledged", "gauge", "Findings reported as acknowledged.",
                     "trawlex_verify_findings_acknowledged " + std::to_string(acknowledged) + "\n");
    std::string times;
    std::string intervals;
    std::string ages;
    std::string sequences;
    for (const auto& [id, source] : sources) {
        const std::string labels = sourceLabels(id);
        if (source.time > 0) {
            times += "trawlex_verify_source_last_collection_timestamp_seconds" + labels + " " +
                     unixSeconds(source.time) + "\n";
        }
        if (source.time > 0 && source.interval > 0) {
            char number[64];
            std::snprintf(number, sizeof number, "%.3f", double(source.interval) / 1000.0);
            intervals += "trawlex_verify_source_interval_seconds" + labels + " " + number + "\n";
            std::snprintf(number, sizeof number, "%.3f", double(now - source.time) / double(source.interval));
            ages += "trawlex_verify_source_age_intervals" + labels + " " + number + "\n";
        }
        if (source.sequence) {
            sequences += "trawlex_verify_source_seal_sequence" + labels + " " + std::to_string(*source.sequence) + "\n";
        }
    }
    prometheusFamily(text, "trawlex_verify_source_last_collection_timestamp_seconds", "gauge",
                     "Newest source.time of a host's source, seconds since 1970.", times);
    prometheusFamily(text, "trawlex_verify_source_interval_seconds", "gauge", "Collection interval of a host's source.",
                     intervals);
    prometheusFamily(text, "trawlex_verify_source_age_intervals", "gauge",
                     "Time from the newest collection of a host's source to the check, in its collection intervals.",
                     ages);
    prometheusFamily(text, "trawlex_verify_source_seal_sequence", "gauge", "Newest seal sequence of a host's source.",
                     sequences);
    return text;
}

bool VerifyMetrics::write(const std::string& path, std::string& problem) const
{
    const std::string bytes = text();
    std::string failure;
    if (!KelvraCorelib::writeAtomically(path, bytes, failure, KelvraCorelib::Readers::asUmaskAllows)) {
        problem = "cannot write the metrics \"" + path + "\" (" + failure + ")";
        return false;
    }
    return true;
}
