// Test helper: writes "started", then sleeps for argv[1] seconds (default 120) and exits 0.
#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char** argv)
{
    const long seconds = argc > 1 ? std::atol(argv[1]) : 120;
    std::printf("started\n");
    std::fflush(stdout);
    timespec rest{seconds, 0};
    while (nanosleep(&rest, &rest) != 0) {
    }
    return 0;
}
