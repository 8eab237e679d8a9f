// trawlex-verify [--quiet] [--json] [--seal-key FILE]... [--state FILE [--new-state]
// [--acknowledge TEXT... --by NAME]] [--silent-after N] [--metrics FILE] [--now DATE] PATH...:
// checks every signed segment of each data log file with the data log's own check, and with
// --seal-key its seal and chains. A directory stands for every regular ".data" file below it. A
// file is opened without waiting and read once, in pieces, and whatever one file holds or lacks,
// the others are still checked. With --silent-after, sources that have gone quiet are findings;
// --metrics writes the outcome for monitoring. With --print-data or --print-header the lines of
// one file read by that check are held back and printed only when the whole check succeeds.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "corelib/Codecs.h"
#include "corelib/DateTime.h"
#include "corelib/platform/FileSystem.h"
#include "datahandling/DataLogReader.h"
#include "datahandling/SealChainCheck.h"
#include "datahandling/SealCheck.h"
#include "datahandling/SealWitness.h"
#include "datahandling/SilenceCheck.h"
#include "HeldLines.h"
#include "VerifyMetrics.h"

namespace {

using KelvraCorelib::DataLogReader;
using KelvraCorelib::SealChainCheck;
using KelvraCorelib::SealCheck;
using KelvraCorelib::SealLine;
using KelvraCorelib::SilenceCheck;
namespace Platform = KelvraCorelib::Platform;

const char* const usage =
    "Usage: trawlex-verify [--quiet] [--json] [--seal-key FILE]... [--state FILE [--new-state]\n"
    "                      [--acknowledge TEXT]... [--by NAME]] [--silent-after N] [--metrics FILE]\n"
    "                      [--now DATE] [--help] [--] PATH...\n"
    "       trawlex-verify [--print-data] [--print-header] [--seal-key FILE]... [--state FILE] [--] FILE\n"
    "\n"
    "Checks the signatures of data log files. A PATH that is a directory stands for every\n"
    "regular file whose name ends in \".data\" below it, in all subdirectories, in name\n"
    "order; symbolic links, FIFOs and devices there are passed over, and so are working\n"
    "files (\".make\"). A PATH named here may be a symbolic link to a regular file.\n"
    "\n"
    "A file is a sequence of segments, each ending in a \"@SIGNATURE: \" line that signs the\n"
    "segment's lines (the current form \"C2(S2):...\" or the older lower-case form); a\n"
    "signature-like line that does not sign the lines before it is data. Every segment must\n"
    "be signed, and nothing may follow the last signature line but its line feed (which may\n"
    "be missing) and one \"@SEAL: \" line as the file's last line. A file without a\n"
    "signature line is never valid.\n"
    "\n"
    "Prints one line per file: \"FILE: OK\", \"FILE: INVALID\" or \"FILE: UNREADABLE (reason)\",\n"
    "and when more than one file was checked a last line \"N valid, M invalid, K unreadable\"\n"
    "(\", F findings\" added when there are chain findings, \", A acknowledged\" when some are\n"
    "acknowledged). In these lines a tab is printed as \\t, a line feed as \\n, a carriage\n"
    "return as \\r and any other control character as \\xhh.\n"
    "\n"
    "  --quiet     print only the files that are not valid (and the last line)\n"
    "  --json      print one JSON object per line and file instead: \"name\", \"status\"\n"
    "              (\"valid\", \"invalid\" or \"unreadable\"), \"meta\" (the meta keys of the\n"
    "              file's first header, values as text), \"time\" (its source.time as a UTC\n"
    "              date), for a sealed file \"seal\" (the\n"
    "              seal line's fields) and, when unreadable or a seal is invalid,\n"
    "              \"reason\"; \"name_bytes\" (hex) when the name is not UTF-8,\n"
    "              \"meta_incomplete\" when a meta line did not fit into 1 MiB; no last line\n"
    "  --seal-key FILE\n"
    "              a verification key file (a folder: every key file in it), may be\n"
    "              repeated: every file must also carry a valid seal under one of these\n"
    "              keys (\"FILE: INVALID (reason)\"), and the chain of each host and\n"
    "              source must be whole (one line per finding; in --json an object with\n"
    "              \"finding\")\n"
    "  --state FILE\n"
    "              with --seal-key: the witness file that keeps each chain's head; a head\n"
    "              lower than the recorded one, another file for the recorded number, a\n"
    "              chain that does not extend it, \"N missing after witnessed sequence S\"\n"
    "              and a recorded chain with no file in the check are findings; each\n"
    "              finding is kept and reported at every check until acknowledged. A\n"
    "              missing FILE is an error\n"
    "  --new-state start a new witness: FILE must not exist yet\n"
    "  --acknowledge TEXT\n"
    "              with --by: record in the witness that NAME has looked into the finding\n"
    "              printed as TEXT (a line of this check); from then on it is printed as\n"
    "              \"acknowledged by NAME on DATE: TEXT\" (in --json \"acknowledged\"), not\n"
    "              with --quiet, and no longer fails the check. Acknowledging \"... no file\n"
    "              in this check ...\" retires a chain. May be repeated\n"
    "  --by NAME   who acknowledges\n"
    "  --silent-after N\n"
    "              a finding for each host and source whose newest valid file's\n"
    "              \"source.time\" lies more than N of its own \"source.collection-interval\"\n"
    "              before the check's time (\"host H, source S: no collection since DATE,\n"
    "              K intervals of PT15M\"), and for two of its collections further apart\n"
    "              (\"... no collection from DATE to DATE, K intervals of ...\"); with --state\n"
    "              also each source the witness saw whose files are not in the check.\n"
    "              Gaps are kept in the witness until acknowledged; silence is not kept\n"
    "              and ends with the source's next file\n"
    "  --metrics FILE\n"
    "              write the outcome in the Prometheus text format to FILE, atomically:\n"
    "              files by status, findings by kind, and per host and source the newest\n"
    "              \"source.time\", seal sequence and age in intervals\n"
    "  --now DATE  the check's time (\"2026-12-09T03:15Z\", UTC) instead of the clock\n"
    "  --print-data\n"
    "              print the data lines of FILE, read by the same read that checks it, and\n"
    "              only when the exit code is 0: for each signed segment the lines after its\n"
    "              \"@DATA:\" line, without the two empty lines that close the segment, each\n"
    "              with its line feed, as they are in the file; nothing when FILE is not\n"
    "              valid. The line \"FILE: ...\" goes to standard error\n"
    "  --print-header\n"
    "              print the header lines of FILE the same way: for each segment the lines\n"
    "              before its \"@DATA:\" line (the last of them is empty); with --print-data\n"
    "              each segment's header comes before its data\n"
    "  --help, -h  print this text\n"
    "  --          end of the options: every argument after it is a path\n"
    "\n"
    "Exit codes: 0 every file is valid; 1 at least one file is invalid or a chain, gap or\n"
    "silence finding that is not acknowledged; 2 a usage error, a file or directory that\n"
    "could not be read, or output or metrics that could not be written.\n";

struct Options {
    bool quiet = false;
    bool json = false;
    bool printData = false;
    bool printHeader = false;
    std::vector<std::string> sealKeys;
    std::string state;
    bool newState = false;
    std::vector<std::string> acknowledge;
    std::string by;
    uint64_t silentAfter = 0;  // 0: no silence check
    std::string metrics;
    std::optional<int64_t> now;
};

// What a check with --silent-after or --metrics keeps of each valid file: the collections of
// each host and source, and of each seal chain its newest one.
struct Tracking {
    bool measuring = false;  // with --silent-after or --metrics; else only the chains, for the witness
    SilenceCheck silence;
    std::map<SealChainCheck::ChainId, SilenceCheck::Collection> chains;
};

// The seal checks of a run with --seal-key.
struct Sealing {
    SealCheck check;
    SealChainCheck chains;
};

struct Counts {
    unsigned valid = 0;
    unsigned invalid = 0;
    unsigned unreadable = 0;
    unsigned total() const { return valid + invalid + unreadable; }
};

// A file to check, or a directory that could not be read (reason set).
struct Item {
    std::string path;
    std::string reason;
    bool found = false;  // in a folder walk (never reached through a link)
};

// Where the text lines of the check go: standard output, or standard error when standard output
// carries the lines of a file.
std::FILE* report = stdout;

// Flushes standard output: exit code 2 with a message when any write to it failed, else code.
int finish(int code)
{
    errno = 0;
    if (std::fflush(stdout) != EOF && !std::ferror(stdout)) {
        return code;
    }
    std::fprintf(stderr, "trawlex-verify: cannot write the output (%s)\n", std::strerror(errno != 0 ? errno : EIO));
    return 2;
}

// Writes text to standard output with each control character as an escape (\t, \n, \r, else
// \xhh), so that a name, reason or finding stays on its own line; a backslash stays as it is,
// as Windows paths hold them. Allocates nothing.
void putEscaped(const std::string& text)
{
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const char* const escape = c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
        if (escape != nullptr) {
            std::fputs(escape, report);
        } else if (byte < 0x20 || byte == 0x7f) {
            std::fprintf(report, "\\x%02x", byte);
        } else {
            std::fputc(c, report);
        }
    }
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Every ".data" file below dir, and each directory that could not be listed.
void collect(const std::string& dir, std::vector<Item>& items)
{
    std::vector<Platform::DirectoryEntry> entries;
    const int error = Platform::listDirectory(dir, entries);
    if (error != 0) {
        items.push_back({dir, Platform::errorText(error)});
        return;
    }
    const std::string prefix = endsWith(dir, "/") ? dir : dir + "/";
    for (const Platform::DirectoryEntry& entry : entries) {
        if (entry.isSymbolicLink) {
            continue;
        }
        if (entry.isDirectory) {
            collect(prefix + entry.name, items);
        } else if (entry.isRegular && endsWith(entry.name, ".data")) {
            items.push_back({prefix + entry.name, "", true});
        }
    }
}

// The files named by one argument, in name order.
std::vector<Item> expand(const std::string& argument)
{
    Platform::FileStatus status;
    if (Platform::fileStatus(argument, status) != 0 || !status.isDirectory) {
        return {{argument, "", false}};
    }
    std::vector<Item> items;
    collect(argument, items);
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.path < b.path; });
    return items;
}

// The length of the well-formed UTF-8 sequence at text[at], or 0.
size_t utf8Length(const std::string& text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return 1;
    }
    const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    const unsigned char second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second > 0x8F)) {
        return 0;  // overlong, a surrogate, or beyond U+10FFFF
    }
    return length;
}

// Sets "name": the path itself when it is UTF-8; otherwise, for reading, the path with each
// byte outside a UTF-8 sequence as the text \xHH, and "name_bytes", every byte of the path
// in hexadecimal, which is exact.
void setName(nlohmann::json& line, const std::string& path)
{
    static const char digits[] = "0123456789abcdef";
    std::string shown;
    bool exact = true;
    for (size_t at = 0; at < path.size();) {
        const size_t length = utf8Length(path, at);
        if (length == 0) {
            const unsigned char byte = static_cast<unsigned char>(path[at]);
            shown += {'\\', 'x', digits[byte >> 4], digits[byte & 15]};
            exact = false;
            ++at;
        } else {
            shown.append(path, at, length);
            at += length;
        }
    }
    line["name"] = shown;
    if (!exact) {
        line["name_bytes"] = KelvraCorelib::toHex(path);
    }
}

// What a valid seal says of a file: the key and host that sealed it, and what it does not prove.
struct SealedBy {
    std::string keyId;
    std::string host;
    std::string note;
};

// seal is the seal line that the check read, if any.
void printJson(const Item& item, const char* status, const std::string& reason,
               const std::map<std::string, std::string>& meta, bool metaCut, const SealLine* seal = nullptr,
               const SealedBy* sealedBy = nullptr)
{
    nlohmann::json line = {{"status", status}, {"meta", meta}};
    setName(line, item.path);
    if (!reason.empty()) {
        line["reason"] = reason;
    }
    if (sealedBy != nullptr) {
        line["sealed_by"] = {{"key-id", sealedBy->keyId}, {"host", sealedBy->host}};
        if (!sealedBy->note.empty()) {
            line["note"] = sealedBy->note;
        }
    }
    if (metaCut) {
        line["meta_incomplete"] = true;
    }
    // The collection time as people read it, beside the header's milliseconds.
    const auto time = meta.find("source.time");
    uint64_t milliseconds = 0;
    if (time != meta.end() && KelvraCorelib::parseDecimal(time->second, milliseconds) && milliseconds > 0 &&
        milliseconds < (uint64_t(1) << 62)) {
        line["time"] = KelvraCorelib::DateTime(int64_t(milliseconds)).toText();
    }
    if (seal != nullptr) {
        line["seal"] = {{"key-id", seal->keyId},
                        {"epoch", seal->epoch},
                        {"start", seal->start},
                        {"end", seal->end},
                        {"epoch-key", KelvraCorelib::toBase64(seal->epochKey)},
                        {"certificate", KelvraCorelib::toBase64(seal->certificate)},
                        {"signature", KelvraCorelib::toBase64(seal->signature)}};
    }
    // Bytes that are not UTF-8 become U+FFFD instead of failing the line.
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
}

// Checks one file without waiting on it: a file named on the command line may be reached
// through a link, one found in a folder walk never is, and only a regular file is read. A
// failure of any kind, also a want of memory, makes the file unreadable with its reason. The
// reading asks for what is printed or checked.
DataLogReader::Check checkFile(const Item& item, DataLogReader::Reading& reading, std::string& reason)
{
    try {
        KelvraCorelib::Platform::ScopedFile file;
        const int error = DataLogReader::openForCheck(item.path, !item.found, file.value);
        if (error != 0) {
            reason = KelvraCorelib::Platform::errorText(error);
            return DataLogReader::Check::unreadable;
        }
        return DataLogReader::checkOpenFile(file.value, reason, reading);
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    } catch (const std::exception& error) {
        reason = error.what();
    }
    if (reading.header != nullptr) {
        reading.header->clear();
    }
    reading.headerCut = false;
    reading.seal.reset();
    return DataLogReader::Check::unreadable;
}

// held, when given, receives the file's lines.
void check(const Item& item, const Options& options, Counts& counts, Sealing* sealing, Tracking* tracking,
           HeldLines* held = nullptr)
{
    std::map<std::string, std::string> meta;
    std::string reason = item.reason;
    DataLogReader::Check result = DataLogReader::Check::unreadable;
    // Read once: the header, the signature, the seal and the lines all come from that read.
    DataLogReader::Reading reading;
    if (options.json || sealing != nullptr || tracking != nullptr) {
        reading.header = &meta;
    }
    reading.sealDigests = sealing != nullptr;
    reading.lines = held;
    if (reason.empty()) {
        result = checkFile(item, reading, reason);
    }
    if (held != nullptr && result != DataLogReader::Check::unreadable && !held->problem().empty()) {
        result = DataLogReader::Check::unreadable;
        reason = held->problem();
    }
    const bool metaCut = reading.headerCut;
    std::optional<SealedBy> sealedBy;
    std::optional<SealChainCheck::ChainId> chain;
    if (result == DataLogReader::Check::valid && sealing != nullptr) {
        const SealCheck::Result seal = sealing->check.check(reading, meta);
        if (seal.valid) {
            sealing->chains.add(seal, item.path);
            sealedBy = SealedBy{seal.keyId, seal.keyHost, seal.note};
            chain = {seal.host, seal.source, seal.keyId};
        } else {
            result = DataLogReader::Check::invalid;
            reason = seal.reason;
        }
    }
    SilenceCheck::Collection collection;
    if (tracking != nullptr && result == DataLogReader::Check::valid && SilenceCheck::collectionOf(meta, collection)) {
        if (tracking->measuring) {
            tracking->silence.add(SilenceCheck::sourceOf(meta), collection);
        }
        if (chain && collection.time > tracking->chains[*chain].time) {
            tracking->chains[*chain] = collection;
        }
    }
    const char* status = "unreadable";
    unsigned* count = &counts.unreadable;
    const char* verdict = ": UNREADABLE";
    switch (result) {
    case DataLogReader::Check::valid:
        count = &counts.valid;
        status = "valid";
        verdict = ": OK";
        break;
    case DataLogReader::Check::invalid:
        count = &counts.invalid;
        status = "invalid";
        verdict = ": INVALID";
        break;
    case DataLogReader::Check::unreadable:
        break;
    }
    if (!options.quiet || result != DataLogReader::Check::valid) {
        if (options.json) {
            printJson(item, status, reason, meta, metaCut, reading.seal ? &*reading.seal : nullptr,
                      sealedBy ? &*sealedBy : nullptr);
        } else {
            putEscaped(item.path);
            std::fputs(verdict, report);
            const std::string& said = sealedBy && !sealedBy->note.empty() ? sealedBy->note : reason;
            if (result == DataLogReader::Check::unreadable || !said.empty()) {
                std::fputs(" (", report);
                putEscaped(said);
                std::fputc(')', report);
            }
            std::fputc('\n', report);
        }
    }
    ++*count;  // only once the line is out: a failure before it makes the file unreadable
}

// The line of a file whose check ran out of memory: the usual one now that the check's memory
// is free again, or else one written without allocating.
void printOutOfMemory(const Item& item, const Options& options)
{
    if (!options.json) {
        putEscaped(item.path);
        std::fputs(": UNREADABLE (out of memory)\n", report);
        return;
    }
    try {
        printJson(item, "unreadable", "out of memory", {}, false);
        return;
    } catch (const std::exception&) {
    }
    std::fputs("{\"meta\":{},\"name_bytes\":\"", stdout);
    for (const char c : item.path) {
        std::printf("%02x", static_cast<unsigned char>(c));
    }
    std::fputs("\",\"reason\":\"out of memory\",\"status\":\"unreadable\"}\n", stdout);
}

// Adds the newest collection the witness noted of each chain to the silence check, so that a
// gap since the last check and a chain with no file in this one show (a retired chain aside),
// then notes this check's newest collections in the witness.
void noteWitnessed(KelvraCorelib::SealWitness& witness, const SealChainCheck& chains, Tracking& tracking, bool start)
{
    for (const auto& [id, head] : witness.recorded()) {
        const auto checked = chains.chains().find(id);
        const bool absent = checked == chains.chains().end() || checked->second.empty();
        if (head.time > 0 && head.interval > 0 && !(absent && witness.retired(id))) {
            tracking.silence.add({std::get<0>(id), std::get<1>(id)}, {head.time, head.interval});
        }
    }
    for (const auto& [id, collection] : tracking.chains) {
        witness.see(id, collection.time, collection.interval, start);
    }
}

// The outcome as metrics: per host and source the newest collection and, where sealed, the
// highest sequence of its chains (the witness's heads included).
bool writeMetrics(const std::string& path, int64_t now, int code, const Counts& counts,
                  const std::map<std::string, size_t>& openByKind, size_t acknowledged, const Tracking& tracking,
                  const Sealing* sealing, const KelvraCorelib::SealWitness* witness, std::string& problem)
{
    VerifyMetrics metrics;
    metrics.now = now;
    metrics.exitCode = code;
    metrics.valid = counts.valid;
    metrics.invalid = counts.invalid;
    metrics.unreadable = counts.unreadable;
    metrics.findings = openByKind;
    metrics.acknowledged = acknowledged;
    for (const auto& [id, collection] : tracking.silence.newest()) {
        metrics.sources[id] = {collection.time, collection.interval, std::nullopt};
    }
    const auto sequence = [&](const SealChainCheck::ChainId& id, uint64_t number) {
        auto& source = metrics.sources[{std::get<0>(id), std::get<1>(id)}];
        source.sequence = std::max(source.sequence.value_or(0), number);
    };
    if (sealing != nullptr) {
        for (const auto& [id, links] : sealing->chains.chains()) {
            if (!links.empty()) {
                sequence(id, links.back().sequence);
            }
        }
    }
    if (witness != nullptr) {
        for (const auto& [id, head] : witness->recorded()) {
            if (!(witness->retired(id) && sealing->chains.chains().count(id) == 0)) {
                sequence(id, head.sequence);
            }
        }
    }
    return metrics.write(path, problem);
}

// Reads a positive count of intervals; false for anything else.
bool parseLimit(const std::string& text, uint64_t& limit)
{
    return KelvraCorelib::parseDecimal(text, limit) && limit > 0 && limit <= 1000000000;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    std::vector<std::string> arguments;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (argument == "--help" || argument == "-h")) {
            std::fputs(usage, stdout);
            return finish(0);
        } else if (!optionsEnded && argument == "--quiet") {
            options.quiet = true;
        } else if (!optionsEnded && argument == "--json") {
            options.json = true;
        } else if (!optionsEnded && argument == "--new-state") {
            options.newState = true;
        } else if (!optionsEnded && argument == "--print-data") {
            options.printData = true;
        } else if (!optionsEnded && argument == "--print-header") {
            options.printHeader = true;
        } else if (!optionsEnded && (argument == "--seal-key" || argument == "--state" || argument == "--acknowledge" ||
                                     argument == "--by" || argument == "--silent-after" || argument == "--metrics" ||
                                     argument == "--now")) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "trawlex-verify: \"%s\" needs a value\n\n%s", argument.c_str(), usage);
                return 2;
            }
            if (argument == "--state") {
                options.state = argv[++i];
            } else if (argument == "--acknowledge") {
                options.acknowledge.push_back(argv[++i]);
            } else if (argument == "--by") {
                options.by = argv[++i];
            } else if (argument == "--metrics") {
                options.metrics = argv[++i];
            } else if (argument == "--silent-after") {
                if (!parseLimit(argv[++i], options.silentAfter)) {
                    std::fprintf(stderr, "trawlex-verify: --silent-after takes a count of intervals from 1 on\n\n%s",
                                 usage);
                    return 2;
                }
            } else if (argument == "--now") {
                int64_t now = 0;
                if (!SilenceCheck::parseTime(argv[++i], now)) {
                    std::fprintf(stderr, "trawlex-verify: --now takes a UTC time such as 2026-12-09T03:15Z\n\n%s",
                                 usage);
                    return 2;
                }
                options.now = now;
            } else {
                options.sealKeys.push_back(argv[++i]);
            }
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            std::fprintf(stderr, "trawlex-verify: unknown option \"%s\"\n\n%s", argument.c_str(), usage);
            return 2;
        } else {
            arguments.push_back(argument);
        }
    }
    if (arguments.empty()) {
        std::fprintf(stderr, "trawlex-verify: no file given\n\n%s", usage);
        return 2;
    }
    if (!options.state.empty() && options.sealKeys.empty()) {
        std::fprintf(stderr, "trawlex-verify: --state needs --seal-key\n\n%s", usage);
        return 2;
    }
    if (options.state.empty() && (options.newState || !options.acknowledge.empty() || !options.by.empty())) {
        std::fprintf(stderr, "trawlex-verify: --new-state, --acknowledge and --by need --state\n\n%s", usage);
        return 2;
    }
    if (options.acknowledge.empty() != options.by.empty()) {
        std::fprintf(stderr, "trawlex-verify: --acknowledge and --by go together\n\n%s", usage);
        return 2;
    }
    if (options.now && options.silentAfter == 0 && options.metrics.empty()) {
        std::fprintf(stderr, "trawlex-verify: --now needs --silent-after or --metrics\n\n%s", usage);
        return 2;
    }
    const bool printing = options.printData || options.printHeader;
    std::optional<HeldLines> held;
    if (printing) {
        Platform::FileStatus status;
        if (options.json || arguments.size() != 1 ||
            (Platform::fileStatus(arguments[0], status) == 0 && status.isDirectory)) {
            std::fprintf(stderr, "trawlex-verify: --print-data and --print-header take one FILE, without --json\n\n%s",
                         usage);
            return 2;
        }
        report = stderr;
        held.emplace(options.printHeader, options.printData);
    }
    std::unique_ptr<Sealing> sealing;
    KelvraCorelib::SealWitness witness;
    if (!options.sealKeys.empty()) {
        sealing = std::make_unique<Sealing>();
        std::string problem;
        for (const std::string& key : options.sealKeys) {
            if (!sealing->check.addKeys(key, problem)) {
                std::fprintf(stderr, "trawlex-verify: %s\n", problem.c_str());
                return 2;
            }
        }
        if (!options.state.empty() && !witness.load(options.state, problem, options.newState)) {
            std::fprintf(stderr, "trawlex-verify: %s\n", problem.c_str());
            return 2;
        }
        for (const std::string& text : options.acknowledge) {
            if (!witness.acknowledge(text, options.by, problem)) {
                std::fprintf(stderr, "trawlex-verify: %s\n", problem.c_str());
                return 2;
            }
        }
    }
    std::unique_ptr<Tracking> tracking;
    if (options.silentAfter > 0 || !options.metrics.empty() || !options.state.empty()) {
        tracking = std::make_unique<Tracking>();
        tracking->measuring = options.silentAfter > 0 || !options.metrics.empty();
    }
    const int64_t now = options.now ? *options.now : KelvraCorelib::DateTime::nowCount();
    Counts counts;
    for (const std::string& argument : arguments) {
        for (const Item& item : expand(argument)) {
            try {
                check(item, options, counts, sealing.get(), tracking.get(), held ? &*held : nullptr);
            } catch (const std::exception&) {
                ++counts.unreadable;
                printOutOfMemory(item, options);
            }
        }
    }
    std::vector<SealChainCheck::Finding> findings;
    std::vector<std::string> kinds;  // of each finding, for the metrics
    if (sealing) {
        findings = sealing->chains.findings();
        kinds.assign(findings.size(), "chain");
        if (!options.state.empty()) {
            const std::vector<SealChainCheck::Finding> witnessed = witness.compare(sealing->chains);
            findings.insert(findings.end(), witnessed.begin(), witnessed.end());
            kinds.resize(findings.size(), "witness");
            noteWitnessed(witness, sealing->chains, *tracking, tracking->measuring);
        }
    }
    // Gaps are kept by the witness like the chain findings; silence is measured anew each time.
    std::vector<SilenceCheck::Finding> silent;
    if (options.silentAfter > 0) {
        for (const SilenceCheck::Finding& finding : tracking->silence.findings(now, options.silentAfter)) {
            if (finding.gap) {
                findings.push_back({{finding.source.first, finding.source.second, ""}, finding.text});
                kinds.push_back("gap");
            } else {
                silent.push_back(finding);
            }
        }
    }
    if (sealing) {
        if (!options.state.empty()) {
            std::string problem;
            if (!witness.review(findings, problem)) {
                std::fprintf(stderr, "trawlex-verify: %s\n", problem.c_str());
                return finish(2);
            }
            if (!witness.save(options.state, problem)) {
                std::fprintf(stderr, "trawlex-verify: %s\n", problem.c_str());
                ++counts.unreadable;
            }
        }
    }
    kinds.resize(findings.size(), "earlier");
    for (const SilenceCheck::Finding& finding : silent) {
        findings.push_back({{finding.source.first, finding.source.second, ""}, finding.text});
        kinds.push_back("silence");
    }
    size_t acknowledged = 0;
    std::map<std::string, size_t> openByKind;
    for (size_t i = 0; i < findings.size(); ++i) {
        const SealChainCheck::Finding& finding = findings[i];
        const bool isAcknowledged = !finding.acknowledgedBy.empty();
        acknowledged += isAcknowledged ? 1 : 0;
        openByKind[kinds[i]] += isAcknowledged ? 0 : 1;
        if (isAcknowledged && options.quiet) {
            continue;
        }
        if (options.json) {
            nlohmann::json line = {{"finding", finding.text},
                                   {"host", std::get<0>(finding.chain)},
                                   {"source", std::get<1>(finding.chain)}};
            if (kinds[i] == "gap" || kinds[i] == "silence") {
                line["kind"] = kinds[i];
            } else {
                line["key-id"] = std::get<2>(finding.chain);
            }
            if (isAcknowledged) {
                line["acknowledged"] = {{"by", finding.acknowledgedBy}, {"on", finding.acknowledgedOn}};
            }
            std::printf("%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        } else {
            if (isAcknowledged) {
                std::fputs("acknowledged by ", report);
                putEscaped(finding.acknowledgedBy + " on " + finding.acknowledgedOn + ": ");
            }
            putEscaped(finding.text);
            std::fputc('\n', report);
        }
    }
    if (sealing && options.json) {
        // A host whose files carry more than one key had its store made anew: each key has chains
        // of its own.
        std::map<std::string, std::set<std::string>> keysOfHost;
        for (const auto& [chain, links] : sealing->chains.chains()) {
            keysOfHost[std::get<0>(chain)].insert(std::get<2>(chain));
        }
        for (const auto& [host, keys] : keysOfHost) {
            if (keys.size() > 1) {
                const nlohmann::json line = {
                    {"host", host},
                    {"keys", keys},
                    {"note", "the host's files are sealed under " + std::to_string(keys.size()) +
                                 " keys (a store made anew): each key's chains are checked on their own"}};
                std::printf("%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            }
        }
    }
    if (counts.total() > 1 && !options.json) {
        std::fprintf(report, "%u valid, %u invalid, %u unreadable", counts.valid, counts.invalid, counts.unreadable);
        const size_t open = findings.size() - acknowledged;
        if (open > 0) {
            std::fprintf(report, ", %s finding%s", std::to_string(open).c_str(), open == 1 ? "" : "s");
        }
        if (acknowledged > 0) {
            std::fprintf(report, ", %s acknowledged", std::to_string(acknowledged).c_str());
        }
        std::fprintf(report, "\n");
    }
    int code = counts.unreadable > 0 ? 2 : counts.invalid > 0 || findings.size() > acknowledged ? 1 : 0;
    if (!options.metrics.empty()) {
        std::string problem;
        if (!writeMetrics(options.metrics, now, code, counts, openByKind, acknowledged, *tracking, sealing.get(),
                          options.state.empty() ? nullptr : &witness, problem)) {
            std::fprintf(stderr, "trawlex-verify: %s\n", problem.c_str());
            code = 2;
        }
    }
    if (held && code == 0) {
        // The lines of a file that passed every check, from the read that checked it.
        std::string problem;
        if (!held->writeTo(stdout, problem)) {
            std::fprintf(stderr, "trawlex-verify: %s\n", problem.c_str());
            return 2;
        }
    }
    return finish(code);
}
