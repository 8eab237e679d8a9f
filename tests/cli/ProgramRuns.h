#pragma once
// Starting the built trawlex program from black-box tests: a temporary folder, the program
// started in it with its output in files, and the parts of a data log file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ProgramRuns {

namespace fs = std::filesystem;

inline const std::string programPath = std::string(TEST_BINARY_DIR) + "/collector/trawlex";
inline const std::string verifierPath = std::string(TEST_BINARY_DIR) + "/tools/trawlex-verify/trawlex-verify";

inline std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Starts program with arguments in folder, standard output and error to the given files.
// Gives the process id, or -1. beforeExec runs in the child (resource limits and the like).
template <typename Prepare>
pid_t start(const fs::path& folder, const std::string& program, const std::vector<std::string>& arguments,
            const fs::path& outPath, const fs::path& errPath, Prepare beforeExec)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0)
            _exit(120);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(121);
        beforeExec();
        execv(program.c_str(), argv.data());
        _exit(122);
    }
    return pid;
}

struct Outcome {
    std::string out;
    std::string err;
    int exitCode = -1;
};

// Runs the program to its end; the exit code is -1 when it did not exit normally.
template <typename Prepare>
Outcome run(const fs::path& folder, const std::string& program, const std::vector<std::string>& arguments,
            Prepare beforeExec)
{
    const fs::path outPath = folder / ".stdout";
    const fs::path errPath = folder / ".stderr";
    const pid_t pid = start(folder, program, arguments, outPath, errPath, beforeExec);
    Outcome outcome;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        outcome.exitCode = WEXITSTATUS(status);
    outcome.out = readFile(outPath);
    outcome.err = readFile(errPath);
    fs::remove(outPath);
    fs::remove(errPath);
    return outcome;
}

inline Outcome run(const fs::path& folder, const std::string& program, const std::vector<std::string>& arguments)
{
    return run(folder, program, arguments, [] {});
}

// The raw data text of a data log file written by one collection: what lies between the
// data section mark and the trailer. False when the file has not that form.
inline bool rawData(const std::string& file, std::string& data)
{
    const std::string mark = "\n@DATA:\n";
    const std::string trailer = "\n\n\n@SIGNATURE: ";
    const size_t start = file.find(mark);
    const size_t end = file.rfind(trailer);
    if (start == std::string::npos || end == std::string::npos || end < start + mark.size())
        return false;
    data = file.substr(start + mark.size(), end - (start + mark.size()));
    return true;
}

// The value of a meta key in the first header, or "" when missing.
inline std::string metaValue(const std::string& file, const std::string& key)
{
    const std::string line = "\n" + key + "=";
    const size_t header = file.find("\n@DATA:\n");
    const size_t at = file.find(line);
    if (at == std::string::npos || (header != std::string::npos && at > header))
        return "";
    const size_t start = at + line.size();
    return file.substr(start, file.find('\n', start) - start);
}

}  // namespace ProgramRuns
