#include "collector/RunRecord.h"

#include <cstdlib>

#include "corelib/OwnInputFile.h"
#include "corelib/PathTools.h"
#include "corelib/platform/AccessChecks.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/Process.h"

namespace Kelvra {

namespace {

namespace Platform = KelvraCorelib::Platform;

const char* const lastSuccessName = "trawlex_last_success_timestamp_seconds";
// A previous file larger than this is not read back.
constexpr uint64_t previousLimit = 65536;

// Milliseconds as seconds, to the millisecond.
std::string seconds(int64_t milliseconds)
{
    const int64_t magnitude = milliseconds < 0 ? -milliseconds : milliseconds;
    const std::string fraction = std::to_string(1000 + magnitude % 1000).substr(1);
    return (milliseconds < 0 ? "-" : "") + std::to_string(magnitude / 1000) + "." + fraction;
}

// A gauge family's HELP and TYPE lines and its samples.
void family(std::string& text, const char* name, const char* help, const std::string& samples)
{
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n" + samples;
}

bool isSafeNameByte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

}  // namespace

std::string RunRecord::escaped(const std::string& value)
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

std::string RunRecord::fileName(const std::string& source)
{
    std::string name = "trawlex_";
    for (const char c : source)
        name += isSafeNameByte(c) ? c : '_';
    return name + ".prom";
}

std::string RunRecord::text(const Values& values, std::optional<int64_t> lastSuccess)
{
    const std::string labels = "host=\"" + escaped(values.host) + "\",module=\"" + escaped(values.module) +
                               "\",datatype=\"" + escaped(values.dataType) + "\"";
    auto sample = [&labels](const char* name, const std::string& value) {
        return std::string(name) + "{" + labels + "} " + value + "\n";
    };
    if (values.exitCode == 0)
        lastSuccess = values.time;
    std::string text;
    family(text, "trawlex_last_run_timestamp_seconds", "Start of the last run, seconds since 1970.",
           sample("trawlex_last_run_timestamp_seconds", seconds(values.time)));
    if (lastSuccess)
        family(text, lastSuccessName, "Start of the last run that ended with exit code 0, seconds since 1970.",
               sample(lastSuccessName, seconds(*lastSuccess)));
    family(text, "trawlex_run_exit_code", "Exit code of the last run.",
           sample("trawlex_run_exit_code", std::to_string(values.exitCode)));
    std::string byOutcome;
    for (const char* outcome : outcomes) {
        byOutcome += "trawlex_run_outcome{" + labels + ",outcome=\"" + outcome + "\"} " +
                     (values.outcome == outcome ? "1" : "0") + "\n";
    }
    family(text, "trawlex_run_outcome", "Outcome of the last run: 1 for the one it had.", byOutcome);
    family(text, "trawlex_run_duration_seconds", "Duration of the last run.",
           sample("trawlex_run_duration_seconds", seconds(values.durationMilliseconds)));
    if (values.utilityExitValue)
        family(text, "trawlex_utility_exit_value", "Exit value of the utility in the last run.",
               sample("trawlex_utility_exit_value", std::to_string(*values.utilityExitValue)));
    family(text, "trawlex_collected_bytes", "Bytes of output the last run stored.",
           sample("trawlex_collected_bytes", std::to_string(values.bytes)));
    if (values.sealSequence)
        family(text, "trawlex_seal_sequence", "Seal sequence of the file the last run stored.",
               sample("trawlex_seal_sequence", std::to_string(*values.sealSequence)));
    if (values.sealKeysUntil)
        family(text, "trawlex_seal_keys_end_timestamp_seconds",
               "End of the seal store's last epoch, seconds since 1970: no key seals later files.",
               sample("trawlex_seal_keys_end_timestamp_seconds", seconds(*values.sealKeysUntil)));
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
    const std::string temporary = path + "." + std::to_string(Platform::currentProcessId()) + ".new";
    Platform::removeFile(temporary);  // a left-over of a crashed run with this process id
    int error = 0;
    {
        Platform::ScopedFile file;
        error = Platform::createExclusive(temporary, file.value);
        if (error == 0)
            error = Platform::writeFile(file.get(), bytes.data(), bytes.size());
        if (error == 0)
            error = Platform::syncFile(file.get());
    }
    if (error == 0)
        error = Platform::renameReplacing(temporary, path);
    if (error != 0) {
        Platform::removeFile(temporary);
        problem = "Cannot write the run record \"" + path + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    Platform::syncDirectory(dir);
    return true;
}

}  // namespace Kelvra
