// Makes a shell link for the black-box tests of trawlex.exe:
//   win_shortcut LINK TARGET   saves LINK (a shortcut file) leading to TARGET; exits 0 when saved
#include <cstdio>

#include "ShellLinkMaker.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: win_shortcut LINK TARGET\n");
        return 2;
    }
    if (!TrawlexTests::makeShellLink(argv[1], argv[2])) {
        std::fprintf(stderr, "win_shortcut: cannot save %s\n", argv[1]);
        return 1;
    }
    return 0;
}
