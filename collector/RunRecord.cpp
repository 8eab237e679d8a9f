#include "collector/RunRecord.h"

#include <cstdlib>

#include "corelib/FileTools.h"
#include "corelib/OwnInputFile.h"
#include "corelib/PathTools.h"
#include "corelib/PrometheusText.h"
#include "corelib/platform/AccessChecks.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/Process.h"

namespace Kelvra {

namespace {

namespace Platform = KelvraCorelib::Platform;
using KelvraCorelib::prometheusFamily;
using KelvraCorelib::prometheusLabelValue;
using KelvraCorelib::prometheusSeconds;

const char* const lastSuccessName = "trawlex_last_success_timestamp_seconds";
// A previous file larger than this is not read back.
constexpr uint64_t previousLimit = 65536;


bool isSafeNameByte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

}  // namespace

std::string RunRecord::fileName(const std::string& source)
{
    std::string name = "trawlex_";
    for (const char c : source)
        name += isSafeNameByte(c) ? c : '_';
    return name + ".prom";
}

std::string RunRecord::text(const Values& values, std::optional<int64_t> lastSuccess)
{
    const std::string labels = "host=\"" + prometheusLabelValue(values.host) + "\",module=\"" +
                               prometheusLabelValue(values.module) + "\",datatype=\"" +
                               prometheusLabelValue(values.dataType) + "\"";
    auto sample = [&labels](const char* name, const std::string& value) {
        return std::string(name) + "{" + labels + "} " + value + "\n";
    };
    if (values.exitCode == 0)
        lastSuccess = values.time;
    std::string text;
    prometheusFamily(text, "trawlex_last_run_timestamp_seconds", "gauge", "Start of the last run, seconds since 1970.",
                     sample("trawlex_last_run_timestamp_seconds", prometheusSeconds(values.time)));
    if (lastSuccess)
        prometheusFamily(text, lastSuccessName, "gauge",
                         "Start of the last run that ended with exit code 0, seconds since 1970.",
                         sample(lastSuccessName, prometheusSeconds(*lastSuccess)));
    prometheusFamily(text, "trawlex_run_exit_code", "gauge", "Exit code of the last run.",
                     sample("trawlex_run_exit_code", std::to_string(values.exitCode)));
    std::string byOutcome;
    for (const char* outcome : outcomes) {
        byOutcome += "trawlex_run_outcome{" + labels + ",outcome=\"" + outcome + "\"} " +
                     (values.outcome == outcome ? "1" : "0") + "\n";
    }
    prometheusFamily(text, "trawlex_run_outcome", "gauge", "Outcome of the last run: 1 for the one it had.", byOutcome);
    prometheusFamily(text, "trawlex_run_duration_seconds", "gauge", "Duration of the last run.",
                     sample("trawlex_run_duration_seconds", prometheusSeconds(values.durationMilliseconds)));
    if (values.utilityExitValue)
        prometheusFamily(text, "trawlex_utility_exit_value", "gauge", "Exit value of the utility in the last run.",
                         sample("trawlex_utility_exit_value", std::to_string(*values.utilityExitValue)));
    prometheusFamily(text, "trawlex_collected_bytes", "gauge", "Bytes of output the last run stored.",
                     sample("trawlex_collected_bytes", std::to_string(values.bytes)));
    if (values.sealSequence)
        prometheusFamily(text, "trawlex_seal_sequence", "gauge", "Seal sequence of the file the last run stored.",
                         sample("trawlex_seal_sequence", std::to_string(*values.sealSequence)));
    if (values.sealKeysUntil)
        prometheusFamily(text, "trawlex_seal_keys_end_timestamp_seconds", "gauge",
                         "End of the seal store's last epoch, seconds since 1970: no key seals later files.",
                         sample("trawlex_seal_keys_end_timestamp_seconds", prometheusSeconds(*values.sealKeysUntil)));
    return text;
}

std::optional<int64_t> RunRecord::lastSuccessIn(const std::string& text)
{
    const std::string start = std::string("\n") + lastSuccessName + "{";
    const size_t at = ("\n" + text).find(start);
    if (at == std::string::npos)
        return std::nullopt;
    const size_t end = text.find('\n', at);
    const size_t space = text.rfind(' ', end);
    if (space == std::string::npos || space < at)
        return std::nullopt;
    const std::string number = text.substr(space + 1, end == std::string::npos ? std::string::npos : end - space - 1);
    char* rest = nullptr;
    const double value = std::strtod(number.c_str(), &rest);
    if (number.empty() || *rest != '\0' || !(value > 0 && value < 1e12))
        return std::nullopt;
    return int64_t(value * 1000.0 + 0.5);
}

bool RunRecord::write(const std::string& folder, const std::string& source, const Values& values,
                      std::string& problem)
{
    const std::string dir = KelvraCorelib::stripTrailingSeparators(KelvraCorelib::fullNormalise(folder));
    // The checks of the target: as the superuser, a folder that another account could swap
    // or fill is refused.
    const Platform::AccessFinding finding = Platform::examineDirectoryChain(dir);
    using Platform::AccessFault;
    const bool fatal = finding.fault == AccessFault::missing || finding.fault == AccessFault::notDirectory ||
                       finding.fault == AccessFault::unexaminable;
    if (finding.fault != AccessFault::none && (fatal || Platform::runsAsSuperuser())) {
        const std::string reason = finding.fault == AccessFault::missing
                                       ? "\"" + finding.path + "\" does not exist"
                                       : KelvraCorelib::accessRefusal(finding);
        problem = "Cannot write the run record in \"" + dir + "\"" + (reason.empty() ? "" : ": " + reason);
        return false;
    }
    const std::string path = KelvraCorelib::joinPath(dir, fileName(source));
    std::optional<int64_t> lastSuccess;
    {
        KelvraCorelib::OwnInputFile previous(path);
        std::string bytes;
        bool tooLarge = false;
        if (previous.readAll(bytes, previousLimit, tooLarge))
            lastSuccess = lastSuccessIn(bytes);
    }
    const std::string bytes = text(values, lastSuccess);
    std::string failure;
    if (!KelvraCorelib::writeAtomically(path, bytes, failure, KelvraCorelib::Readers::asUmaskAllows)) {
        problem = "Cannot write the run record: " + failure;
        return false;
    }
    return true;
}

}  // namespace Kelvra
