// The file tools on a folder that holds links, for the black-box tests under wine:
//   win_links list DIR    one line per entry of DIR: its name, "dir" or "file", "link" or "-"
//   win_links clear DIR   empties DIR recursively; prints "cleared" or "not cleared"
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "corelib/FileTools.h"
#include "corelib/platform/FileSystem.h"

int main(int argc, char** argv)
{
    const std::string mode = argc > 2 ? argv[1] : "";
    if (mode == "list") {
        std::vector<KelvraCorelib::Platform::DirectoryEntry> entries;
        if (KelvraCorelib::Platform::listDirectory(argv[2], entries) != 0)
            return 1;
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
        for (const auto& entry : entries)
            std::printf("%s %s %s\n", entry.name.c_str(), entry.isDirectory ? "dir" : "file",
                        entry.isSymbolicLink ? "link" : "-");
        return 0;
    }
    if (mode == "clear") {
        std::printf(KelvraCorelib::clearDirectory(argv[2], true) ? "cleared\n" : "not cleared\n");
        return 0;
    }
    std::fprintf(stderr, "usage: win_links list|clear DIR\n");
    return 2;
}
