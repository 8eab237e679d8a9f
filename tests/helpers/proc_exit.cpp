// Test helper: "proc_exit CODE [TEXT]" writes TEXT and exits with CODE;
// "proc_exit signal NUMBER" ends itself with that signal.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[1], "signal") == 0) {
        const int number = std::atoi(argv[2]);
        std::signal(number, SIG_DFL);
        std::raise(number);
        return 99;
    }
    if (argc > 2) {
        std::fputs(argv[2], stdout);
    }
    return argc > 1 ? std::atoi(argv[1]) : 0;
}
