#pragma once
// Runs an external program with an argument text, captures its standard output, enforces a
// time limit and reports the exit code.
//
//   ProcessTools::Process* process = ProcessTools::create("/usr/bin/df", "-k /", true);
//   std::string output;
//   if (ProcessTools::runAndWait(process, 60000, &output)) {
//       use(output, process->exitCode);
//   }
//   ProcessTools::discard(process);      // or: releaseFinished() for every finished run
//
// Started processes belong to a process-wide registry (keyed by child process id) until
// releaseFinished sees them finished and deletes them. An object that was never started
// (state 0, e.g. the program could not be started) still belongs to its creator.
//
// The program runs in a process group of its own: a time-out asks the whole group to quit
// and, after a grace of 500 ms, kills the group, so that the children it started go as well.
// A program ended by a signal reports 128 plus the signal number as its exit code. The path is
// run as given, never searched on the PATH: a name without "/" is the file in the working
// directory.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "corelib/ParamStream.h"

namespace KelvraCorelib {

class ProcessTools {
public:
    // State values of a process object.
    static constexpr int32_t stateCreated = 0;
    static constexpr int32_t stateRunning = 1;
    static constexpr int32_t stateTerminated = 5;  // killed by this runner after a time-out
    static constexpr int32_t stateFinished = 6;    // exit code known

    class Process {
    public:
        Process() = default;
        Process(const Process&) = delete;
        Process& operator=(const Process&) = delete;
        ~Process();  // closes the pipe; a child that still runs is left running

        std::string path;
        WideString widePath;
        std::vector<std::string> arguments;
        std::vector<WideString> wideArguments;
        bool inheritHandles = false;
        int32_t pipeRead = -1;
        int32_t pipeWrite = -1;
        bool capturing = false;
        bool pipeEnded = false;  // the read end reported the end of data
        uint32_t processId = 0;
        uint32_t ownProcessId = 0;
        int32_t state = stateCreated;
        int32_t exitCode = -1;
        bool registered = false;
        int32_t childWatch = -1;  // becomes ready when the child ends; -1 when the platform has none
        // Most bytes of output runAndWait keeps; passing it stops the program as a time-out does.
        size_t outputLimit = SIZE_MAX;
        bool outputLimitPassed = false;  // the last run stopped because of outputLimit

        // Creates the capture pipe. True when capturing (also when it already was); false
        // while the process runs or when the pipe cannot be made.
        bool setUpCapture();
        // Starts the program (the capture pipe, if any, as its standard output). False when
        // it already runs or cannot be started.
        bool start();
        // Running in state 1; otherwise, or when the query fails, false. Seeing the end
        // stores the exit code and moves to state 6.
        bool isRunning();
        // Appends what the pipe holds now to output: up to a few MiB, less once the clock
        // passes until (ms of the steady clock), and never more than one byte past limit
        // (SIZE_MAX: none); output longer than limit is left as it is. True for zero or more
        // bytes (pipeEnded tells the end of data), false for a read error or when not
        // capturing. Throws std::bad_alloc when the output cannot grow.
        bool readChunk(std::string& output, size_t limit, int64_t until);
        // Asks the program's process group to quit. True when the request was delivered.
        bool askToQuit();
        // Kills the program's process group and collects the child: state 5, ids cleared.
        bool terminate();

    private:
        friend class ProcessTools;
        void closePipe();
        void closeWatch();
        // Waits up to timeoutMs for data, the pipe's end or the child's end. False only when
        // the child's end watch is there and did not fire (the child surely still runs).
        bool waitForActivity(int64_t timeoutMs, bool watchPipe);
        // How capture ended.
        enum class CaptureEnd { programEnded, deadlinePassed, limitPassed };
        // Captures into output (when given) and waits until the program has ended and the
        // pipe is done, the deadline passes or the output passes limit. Leaves the pipe open.
        CaptureEnd capture(int64_t deadline, std::string* output, size_t limit);
        // Asks the program's group to quit, drains and drops what the pipe brings during the
        // grace, then kills the group and closes the pipe. Empties output (when given).
        void stop(std::string* output);
        // Captures and waits until the program ends or the deadline passes (then the group is
        // asked to quit and killed after the grace). True when it ended in time.
        bool waitForEnd(int64_t deadline, std::string* output);
        // Kills the program's group whether or not the program itself still runs, and
        // collects the program.
        void killGroup();
        size_t readHint = 0;  // how much readChunk asks the pipe for next
        bool drained = false;  // the last readChunk stopped because the pipe was empty
    };

    // A new process object for path with the argument text split into arguments; marked
    // registered. The caller owns it until it is started.
    static Process* create(const std::string& path, const std::string& argumentText, bool inheritHandles);

    // Starts the process and waits up to timeoutMs. With output, the program's standard
    // output is appended to it. True when the program ended in time (exitCode is then set);
    // false when it could not be started, the time ran out, the output grew past the
    // process's outputLimit (outputLimitPassed is then set) or the memory for the output ran
    // out (output is then emptied, and the program's group asked to quit and killed). The
    // output's room never grows much past outputLimit. Never throws.
    static bool runAndWait(Process* process, uint64_t timeoutMs, std::string* output);

    // The output limit for a program whose output is kept in memory: 1 GiB, or a quarter of
    // the machine's physical memory when that is less.
    static size_t defaultOutputLimit();

    // Deletes every registered process object whose program has finished.
    static void releaseFinished();

    // Deletes an object that is not in the registry (one that was never started); a
    // registered one is left to releaseFinished. Accepts nullptr.
    static void discard(Process* process);

    // Number of objects in the registry.
    static size_t registeredCount();

    // Splits an argument text at spaces outside double quotes (quotes around an argument are
    // removed; around the last argument single quotes are removed as well).
    static std::vector<std::string> splitArguments(const std::string& text);
    // Joins non-empty arguments with single spaces, enclosing in double quotes those with a
    // space or tab outside double quotes:
    //   {one, two words}   =>  one "two words"
    //   {--name="a b"}     =>  --name="a b"
    static WideString joinArguments(const std::vector<WideString>& arguments);
    // Splits a command line (without the program name) as the C runtime does for a program:
    // blanks outside double quotes separate, quotes group and are removed, "" inside quotes
    // is a quote, 2n backslashes before a quote give n and 2n + 1 give n and the quote;
    // other backslashes stay. A program started by start() receives
    // splitCommandLine(joined arguments).
    //   one "two words"     =>  {one, two words}
    //   --name="a b"        =>  {--name=a b}
    //   "say \"hi\"" a\\b  =>  {say "hi", a\\b}
    static std::vector<std::string> splitCommandLine(const std::string& commandLine);
};

}  // namespace KelvraCorelib
