// trawlex-verify FILE...: checks every signed segment of each data log file with the data
// log's own check and prints one line per file.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datahandling/DataLog.h"

namespace {

const char* const usage =
    "Usage: trawlex-verify [--help] [--] FILE...\n"
    "\n"
    "Checks the signatures of each data log file. A file is a sequence of segments, each\n"
    "ending in a \"@SIGNATURE: \" line that signs the segment's lines (the current form\n"
    "\"C2(S2):...\" or the older lower-case form); a signature-like line that does not sign\n"
    "the lines before it is data. Every segment must be signed, and nothing may follow the\n"
    "last signature line but its line feed (which may be missing). A file without a\n"
    "signature line is never valid.\n"
    "\n"
    "Prints one line per file: \"FILE: OK\", \"FILE: INVALID\" or \"FILE: UNREADABLE (reason)\".\n"
    "\n"
    "Exit codes: 0 every file is valid; 1 at least one file is invalid; 2 a usage error or a\n"
    "file that could not be read.\n";

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> files;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (argument == "--help" || argument == "-h")) {
            std::fputs(usage, stdout);
            return 0;
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            std::fprintf(stderr, "trawlex-verify: unknown option \"%s\"\n\n%s", argument.c_str(), usage);
            return 2;
        } else {
            files.push_back(argument);
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "trawlex-verify: no file given\n\n%s", usage);
        return 2;
    }
    bool anyInvalid = false;
    bool anyUnreadable = false;
    for (const std::string& file : files) {
        std::string reason;
        switch (KelvraCorelib::DataLog::checkFileSignature(file, reason)) {
        case KelvraCorelib::DataLog::Check::valid:
            std::printf("%s: OK\n", file.c_str());
            break;
        case KelvraCorelib::DataLog::Check::invalid:
            std::printf("%s: INVALID\n", file.c_str());
            anyInvalid = true;
            break;
        case KelvraCorelib::DataLog::Check::unreadable:
            std::printf("%s: UNREADABLE (%s)\n", file.c_str(), reason.c_str());
            anyUnreadable = true;
            break;
        }
    }
    std::fflush(stdout);
    return anyUnreadable ? 2 : anyInvalid ? 1 : 0;
}
