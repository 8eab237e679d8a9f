// Test helper: reports how it was started, one "key=value" a line:
//   group     own | shared        (leader of its own process group)
//   readend   inherited | closed  (another descriptor on the pipe that is standard output)
//   sigterm   default | other     (SIGTERM disposition)
//   mask      empty | blocked     (signals blocked at start)
#include <csignal>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

int main()
{
    std::printf("group=%s\n", getpgrp() == getpid() ? "own" : "shared");

    bool inherited = false;
    struct stat output {};
    if (fstat(STDOUT_FILENO, &output) == 0 && S_ISFIFO(output.st_mode)) {
        for (int descriptor = 3; descriptor < 1024; ++descriptor) {
            struct stat other {};
            if (fstat(descriptor, &other) == 0 && S_ISFIFO(other.st_mode) && other.st_ino == output.st_ino &&
                other.st_dev == output.st_dev) {
                inherited = true;
            }
        }
    }
    std::printf("readend=%s\n", inherited ? "inherited" : "closed");

    struct sigaction action {};
    sigaction(SIGTERM, nullptr, &action);
    std::printf("sigterm=%s\n", action.sa_handler == SIG_DFL ? "default" : "other");

    sigset_t blocked;
    sigemptyset(&blocked);
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    bool any = false;
    for (int number = 1; number < 32; ++number) {
        if (sigismember(&blocked, number) == 1) {
            any = true;
        }
    }
    std::printf("mask=%s\n", any ? "blocked" : "empty");
    return 0;
}
