#include "VerifyMetrics.h"

#include <cstdio>

#include "corelib/DateTime.h"
#include "corelib/PathTools.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/Process.h"

namespace {

namespace Platform = KelvraCorelib::Platform;

// 1900epoch milliseconds as seconds since 1970, to the millisecond.
std::string unixSeconds(int64_t time)
{
    const int64_t since = time - KelvraCorelib::DateTime::unixEpochCount;
    const int64_t magnitude = since < 0 ? -since : since;
    const std::string fraction = std::to_string(1000 + magnitude % 1000).substr(1);
    return (since < 0 ? "-" : "") + std::to_string(magnitude / 1000) + "." + fraction;
}

// A family's HELP and TYPE lines and its samples; nothing for a family without samples.
void family(std::string& text, const char* name, const char* type, const char* help, const std::string& samples)
{
    if (!samples.empty()) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + samples;
    }
}

std::string sourceLabels(const std::pair<std::string, std::string>& source)
{
    return "{host=\"" + VerifyMetrics::escaped(source.first) + "\",source=\"" + VerifyMetrics::escaped(source.second) +
           "\"}";
}

}  // namespace

std::string VerifyMetrics::escaped(const std::string& value)
{
    std::string result;
    for (const char c : value) {
        if (c == '\\') {
            result += "\\\\";
        } else if (c == '"') {
            result += "\\\"";
        } else if (c == '\n') {
            result += "\\n";
        } else {
            result += c;
        }
    }
    return result;
}

std::string VerifyMetrics::text() const
{
    std::string text;
    family(text, "trawlex_verify_timestamp_seconds", "gauge", "Time of the check, seconds since 1970.",
           "trawlex_verify_timestamp_seconds " + unixSeconds(now) + "\n");
    family(text, "trawlex_verify_exit_code", "gauge", "Exit code of the check.",
           "trawlex_verify_exit_code " + std::to_string(exitCode) + "\n");
    family(text, "trawlex_verify_files", "gauge", "Files checked, by status.",
           "trawlex_verify_files{status=\"valid\"} " + std::to_string(valid) + "\n" +
               "trawlex_verify_files{status=\"invalid\"} " + std::to_string(invalid) + "\n" +
               "trawlex_verify_files{status=\"unreadable\"} " + std::to_string(unreadable) + "\n");
    std::string byKind;
    for (const char* kind : {"chain", "witness", "earlier", "gap", "silence"}) {
        const auto found = findings.find(kind);
        byKind += std::string("trawlex_verify_findings{kind=\"") + kind + "\"} " +
                  std::to_string(found == findings.end() ? 0 : found->second) + "\n";
    }
    family(text, "trawlex_verify_findings", "gauge", "Findings not acknowledged, by kind.", byKind);
    family(text, "trawlex_verify_findings_acknowledged", "gauge", "Findings reported as acknowledged.",
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
    family(text, "trawlex_verify_source_last_collection_timestamp_seconds", "gauge",
           "Newest source.time of a host's source, seconds since 1970.", times);
    family(text, "trawlex_verify_source_interval_seconds", "gauge", "Collection interval of a host's source.",
           intervals);
    family(text, "trawlex_verify_source_age_intervals", "gauge",
           "Time from the newest collection of a host's source to the check, in its collection intervals.", ages);
    family(text, "trawlex_verify_source_seal_sequence", "gauge", "Newest seal sequence of a host's source.",
           sequences);
    return text;
}

bool VerifyMetrics::write(const std::string& path, std::string& problem) const
{
    const std::string bytes = text();
    const std::string temporary = path + "." + std::to_string(Platform::currentProcessId()) + ".new";
    Platform::removeFile(temporary);  // a left-over of a crashed check with this process id
    int error = 0;
    {
        Platform::ScopedFile file;
        error = Platform::createExclusive(temporary, file.value);
        if (error == 0) {
            error = Platform::writeFile(file.get(), bytes.data(), bytes.size());
        }
        if (error == 0) {
            error = Platform::syncFile(file.get());
        }
    }
    if (error == 0) {
        error = Platform::renameReplacing(temporary, path);
    }
    if (error != 0) {
        Platform::removeFile(temporary);
        problem = "cannot write the metrics \"" + path + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    const std::string parent = KelvraCorelib::parentDirectory(path);
    Platform::syncDirectory(parent.empty() ? std::string(".") : parent);
    return true;
}
