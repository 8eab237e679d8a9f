/* bare-launcher PROGRAM: starts PROGRAM, waits for it and exits with 0 when it did. The least
   any program that runs a utility adds: the start of a second process, and nothing else. */
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

int main(int argc, char** argv)
{
    pid_t child;
    int status;
    if (argc < 2 || posix_spawn(&child, argv[1], 0, 0, argv + 1, environ) != 0) {
        return 2;
    }
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
