// Test helper: starts a grandchild that keeps standard output open and sleeps, then either
// exits at once or hangs.
//   proc_grandchild MODE PIDFILE SECONDS [EXITCODE]
// MODE "exit": the child exits with EXITCODE (default 0) right away; "hang": the child sleeps
// 120 s; "stubborn": like hang, and both ignore SIGTERM; "mixed": like hang, and only the
// grandchild ignores SIGTERM. The grandchild's pid goes to PIDFILE
// before the child writes "child" to standard output.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <unistd.h>

static void sleepSeconds(long seconds)
{
    timespec rest{seconds, 0};
    while (nanosleep(&rest, &rest) != 0) {
    }
}

int main(int argc, char** argv)
{
    if (argc < 4) {
        return 100;
    }
    const bool stubborn = std::strcmp(argv[1], "stubborn") == 0;
    const bool exitAtOnce = std::strcmp(argv[1], "exit") == 0;
    const long seconds = std::atol(argv[3]);
    const int exitCode = argc > 4 ? std::atoi(argv[4]) : 0;
    const bool mixed = std::strcmp(argv[1], "mixed") == 0;
    if (stubborn || mixed) {
        std::signal(SIGTERM, SIG_IGN);
    }
    std::fflush(stdout);
    const pid_t grandchild = fork();
    if (grandchild < 0) {
        return 101;
    }
    if (grandchild == 0) {
        sleepSeconds(seconds);
        _exit(0);
    }
    if (mixed) {
        std::signal(SIGTERM, SIG_DFL);
    }
    const std::string pidFile = argv[2];
    const std::string temporary = pidFile + ".part";
    if (FILE* file = std::fopen(temporary.c_str(), "w")) {
        std::fprintf(file, "%d\n", static_cast<int>(grandchild));
        std::fclose(file);
        std::rename(temporary.c_str(), pidFile.c_str());
    }
    std::printf("child\n");
    std::fflush(stdout);
    if (exitAtOnce) {
        return exitCode;
    }
    sleepSeconds(120);
    return 0;
}
