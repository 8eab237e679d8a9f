// Test helper: ignores SIGTERM, writes its pid to the file argv[1], then sleeps for 120 s.
#include <csignal>
#include <cstdio>
#include <ctime>

#include <unistd.h>

int main(int argc, char** argv)
{
    std::signal(SIGTERM, SIG_IGN);
    if (argc > 1) {
        if (FILE* file = std::fopen(argv[1], "w")) {
            std::fprintf(file, "%d\n", static_cast<int>(getpid()));
            std::fclose(file);
        }
    }
    std::printf("ignoring\n");
    std::fflush(stdout);
    timespec rest{120, 0};
    while (nanosleep(&rest, &rest) != 0) {
    }
    return 0;
}
