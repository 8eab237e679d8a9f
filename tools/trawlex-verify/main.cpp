// trawlex-verify [--quiet] [--json] PATH...: checks every signed segment of each data log file
// with the data log's own check. A directory stands for every ".data" file below it.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "corelib/platform/FileSystem.h"
#include "datahandling/DataLog.h"

namespace {

using KelvraCorelib::DataLog;
namespace Platform = KelvraCorelib::Platform;

const char* const usage =
    "Usage: trawlex-verify [--quiet] [--json] [--help] [--] PATH...\n"
    "\n"
    "Checks the signatures of data log files. A PATH that is a directory stands for every\n"
    "file whose name ends in \".data\" below it, in all subdirectories (symbolic links to\n"
    "directories are not followed), in name order; working files (\".make\") are skipped.\n"
    "\n"
    "A file is a sequence of segments, each ending in a \"@SIGNATURE: \" line that signs the\n"
    "segment's lines (the current form \"C2(S2):...\" or the older lower-case form); a\n"
    "signature-like line that does not sign the lines before it is data. Every segment must\n"
    "be signed, and nothing may follow the last signature line but its line feed (which may\n"
    "be missing). A file without a signature line is never valid.\n"
    "\n"
    "Prints one line per file: \"FILE: OK\", \"FILE: INVALID\" or \"FILE: UNREADABLE (reason)\",\n"
    "and when more than one file was checked a last line \"N valid, M invalid, K unreadable\".\n"
    "\n"
    "  --quiet     print only the files that are not valid (and the last line)\n"
    "  --json      print one JSON object per line and file instead: \"name\", \"status\"\n"
    "              (\"valid\", \"invalid\" or \"unreadable\"), \"meta\" (the meta keys of the\n"
    "              file's first header, values as text) and, when unreadable, \"reason\";\n"
    "              no last line\n"
    "  --help, -h  print this text\n"
    "  --          end of the options: every argument after it is a path\n"
    "\n"
    "Exit codes: 0 every file is valid; 1 at least one file is invalid; 2 a usage error or a\n"
    "file or directory that could not be read.\n";

struct Options {
    bool quiet = false;
    bool json = false;
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
    // Bytes that are not UTF-8 become U+FFFD instead of failing the line.
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
}

void check(const Item& item, const Options& options, Counts& counts)
{
    std::map<std::string, std::string> meta;
    std::string reason = item.reason;
    DataLog::Check result = DataLog::Check::unreadable;
    if (reason.empty()) {
        result = DataLog::checkFileSignature(item.path, reason, &meta);
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
        text = item.path + ": INVALID";
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
    Counts counts;
    for (const std::string& argument : arguments) {
        for (const Item& item : expand(argument)) {
            check(item, options, counts);
        }
    }
    if (counts.total() > 1 && !options.json) {
        std::printf("%u valid, %u invalid, %u unreadable\n", counts.valid, counts.invalid, counts.unreadable);
    }
    std::fflush(stdout);
    return counts.unreadable > 0 ? 2 : counts.invalid > 0 ? 1 : 0;
}
