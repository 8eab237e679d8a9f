// Test helper: writes each argument after the program name in square brackets, one a line.
#include <cstdio>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::printf("[%s]\n", argv[i]);
    }
    return 0;
}
