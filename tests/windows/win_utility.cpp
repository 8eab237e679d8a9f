// A utility for the black-box tests of trawlex.exe, by its first argument:
//   echo ARGS...   prints "hello", then each further argument as "[arg]"; exits 0
//   fail           prints "partial", exits 3
//   spawn FILE     starts "tick FILE" as its own child, then sleeps a minute
//   tick FILE      appends a byte to FILE every 50 ms for a minute
// Output lines end in a line feed alone.
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

int spawnTicker(const char* file)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" tick \"";
    for (const char* c = file; *c != '\0'; ++c)
        line += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    line += L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        return 1;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    std::printf("spawned %lu\n", static_cast<unsigned long>(started.dwProcessId));
    std::fflush(stdout);
    Sleep(60000);
    return 0;
}

int tick(const char* file)
{
    for (int i = 0; i < 1200; ++i) {
        if (std::FILE* out = std::fopen(file, "ab")) {
            std::fputc('.', out);
            std::fclose(out);
        }
        Sleep(50);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    _setmode(_fileno(stdout), _O_BINARY);  // line feeds only, as a POSIX utility writes them
    if (mode == "echo") {
        std::printf("hello\n");
        for (int i = 2; i < argc; ++i)
            std::printf("[%s]\n", argv[i]);
        return 0;
    }
    if (mode == "fail") {
        std::printf("partial\n");
        return 3;
    }
    if (mode == "spawn" && argc > 2)
        return spawnTicker(argv[2]);
    if (mode == "tick" && argc > 2)
        return tick(argv[2]);
    std::fprintf(stderr, "usage: win_utility echo|fail|spawn FILE|tick FILE\n");
    return 2;
}
