// trawlex-verify [--quiet] [--json] [--seal-key FILE]... [--state FILE] PATH...: checks every
// signed segment of each data log file with the data log's own check, and with --seal-key its
// seal and chains. A directory stands for every ".data" file below it.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "corelib/platform/FileSystem.h"
#include "datahandling/DataLog.h"
#include "datahandling/SealChainCheck.h"
#include "datahandling/SealCheck.h"
#include "datahandling/SealWitness.h"

namespace {

using KelvraCorelib::DataLog;
using KelvraCorelib::SealChainCheck;
using KelvraCorelib::SealCheck;
using KelvraCorelib::SealLine;
namespace Platform = KelvraCorelib::Platform;

const char* const usage =
    "Usage: trawlex-verify [--quiet] [--json] [--seal-key FILE]... [--state FILE] [--help] [--] PATH...\n"
    "\n"
    "Checks the signatures of data log files. A PATH that is a directory stands for every\n"
    "file whose name ends in \".data\" below it, in all subdirectories (symbolic links to\n"
    "directories are not followed), in name order; working files (\".make\") are skipped.\n"
    "\n"
    "A file is a sequence of segments, each ending in a \"@SIGNATURE: \" line that signs the\n"
    "segment's lines (the current form \"C2(S2):...\" or the older lower-case form); a\n"
    "signature-like line that does not sign the lines before it is data. Every segment must\n"
    "be signed, and nothing may follow the last signature line but its line feed (which may\n"
    "be missing) and one \"@SEAL: \" line as the file's last line. A file without a\n"
    "signature line is never valid.\n"
    "\n"
    "Prints one line per file: \"FILE: OK\", \"FILE: INVALID\" or \"FILE: UNREADABLE (reason)\",\n"
    "and when more than one file was checked a last line \"N valid, M invalid, K unreadable\".\n"
    "\n"
    "  --quiet     print only the files that are not valid (and the last line)\n"
    "  --json      print one JSON object per line and file instead: \"name\", \"status\"\n"
    "              (\"valid\", \"invalid\" or \"unreadable\"), \"meta\" (the meta keys of the\n"
    "              file's first header, values as text), for a sealed file \"seal\" (the\n"
    "              seal line's fields) and, when unreadable or a seal is invalid,\n"
    "              \"reason\"; no last line\n"
    "  --seal-key FILE\n"
    "              a verification key file (a folder: every key file in it), may be\n"
    "              repeated: every file must also carry a valid seal under one of these\n"
    "              keys (\"FILE: INVALID (reason)\"), and the chain of each host and\n"
    "              source must be whole (one line per finding; in --json an object with\n"
    "              \"finding\")\n"
    "  --state FILE\n"
    "              with --seal-key: the witness file that keeps each chain's head; a head\n"
    "              lower than the recorded one, another file for the recorded number or a\n"
    "              chain that does not extend it is a finding\n"
    "  --help, -h  print this text\n"
    "  --          end of the options: every argument after it is a path\n"
    "\n"
    "Exit codes: 0 every file is valid; 1 at least one file is invalid or a chain finding;\n"
    "2 a usage error or a file or directory that could not be read.\n";

struct Options {
    bool quiet = false;
    bool json = false;
    std::vector<std::string> sealKeys;
    std::string state;
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
};

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
        if (entry.isDirectory) {
            if (!entry.isSymbolicLink) {
                collect(prefix + entry.name, items);
            }
        } else if (endsWith(entry.name, ".data")) {
            items.push_back({prefix + entry.name, ""});
        }
    }
}

// The files named by one argument, in name order.
std::vector<Item> expand(const std::string& argument)
{
    Platform::FileStatus status;
    if (Platform::fileStatus(argument, status) != 0 || !status.isDirectory) {
        return {{argument, ""}};
    }
    std::vector<Item> items;
    collect(argument, items);
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.path < b.path; });
    return items;
}

void printJson(const Item& item, const char* status, const std::string& reason,
               const std::map<std::string, std::string>& meta)
{
    nlohmann::json line = {{"name", item.path}, {"status", status}, {"meta", meta}};
    if (!reason.empty()) {
        line["reason"] = reason;
    }
    if (const auto seal = SealCheck::readSealLine(item.path)) {
        line["seal"] = {{"key-id", seal->keyId},
                        {"epoch", seal->epoch},
                        {"start", seal->start},
                        {"end", seal->end},
                        {"epoch-key", SealLine::toBase64(seal->epochKey)},
                        {"certificate", SealLine::toBase64(seal->certificate)},
                        {"signature", SealLine::toBase64(seal->signature)}};
    }
    // Bytes that are not UTF-8 become U+FFFD instead of failing the line.
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
}

void check(const Item& item, const Options& options, Counts& counts, Sealing* sealing)
{
    std::map<std::string, std::string> meta;
    std::string reason = item.reason;
    DataLog::Check result = DataLog::Check::unreadable;
    if (reason.empty()) {
        result = DataLog::checkFileSignature(item.path, reason, &meta);
    }
    if (result == DataLog::Check::valid && sealing != nullptr) {
        const SealCheck::Result seal = sealing->check.check(item.path, meta);
        if (seal.valid) {
            sealing->chains.add(seal, item.path);
        } else {
            result = DataLog::Check::invalid;
            reason = seal.reason;
        }
    }
    const char* status = "unreadable";
    std::string text = item.path + ": UNREADABLE (" + reason + ")";
    switch (result) {
    case DataLog::Check::valid:
        ++counts.valid;
        status = "valid";
        text = item.path + ": OK";
        break;
    case DataLog::Check::invalid:
        ++counts.invalid;
        status = "invalid";
        text = item.path + (reason.empty() ? ": INVALID" : ": INVALID (" + reason + ")");
        break;
    case DataLog::Check::unreadable:
        ++counts.unreadable;
        break;
    }
    if (options.quiet && result == DataLog::Check::valid) {
        return;
    }
    if (options.json) {
        printJson(item, status, reason, meta);
    } else {
        std::printf("%s\n", text.c_str());
    }
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
            return 0;
        } else if (!optionsEnded && argument == "--quiet") {
            options.quiet = true;
        } else if (!optionsEnded && argument == "--json") {
            options.json = true;
        } else if (!optionsEnded && (argument == "--seal-key" || argument == "--state")) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "trawlex-verify: \"%s\" needs a value\n\n%s", argument.c_str(), usage);
                return 2;
            }
            if (argument == "--state") {
                options.state = argv[++i];
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
        if (!options.state.empty() && !witness.load(options.state, problem)) {
            std::fprintf(stderr, "trawlex-verify: %s\n", problem.c_str());
            return 2;
        }
    }
    Counts counts;
    for (const std::string& argument : arguments) {
        for (const Item& item : expand(argument)) {
            check(item, options, counts, sealing.get());
        }
    }
    std::vector<SealChainCheck::Finding> findings;
    if (sealing) {
        findings = sealing->chains.findings();
        if (!options.state.empty()) {
            const std::vector<SealChainCheck::Finding> witnessed = witness.compare(sealing->chains);
            findings.insert(findings.end(), witnessed.begin(), witnessed.end());
            std::string problem;
            if (!witness.save(options.state, problem)) {
                std::fprintf(stderr, "trawlex-verify: %s\n", problem.c_str());
                ++counts.unreadable;
            }
        }
    }
    for (const SealChainCheck::Finding& finding : findings) {
        if (options.json) {
            const nlohmann::json line = {{"finding", finding.text},
                                         {"host", std::get<0>(finding.chain)},
                                         {"source", std::get<1>(finding.chain)},
                                         {"key-id", std::get<2>(finding.chain)}};
            std::printf("%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        } else {
            std::printf("%s\n", finding.text.c_str());
        }
    }
    if (counts.total() > 1 && !options.json) {
        std::printf("%u valid, %u invalid, %u unreadable\n", counts.valid, counts.invalid, counts.unreadable);
    }
    std::fflush(stdout);
    return counts.unreadable > 0 ? 2 : counts.invalid > 0 || !findings.empty() ? 1 : 0;
}
