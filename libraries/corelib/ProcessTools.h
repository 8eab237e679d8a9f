#pragma once
// Runs an external program with an argument text, captures its standard output, enforces a
// time limit and reports the exit code.
//
//   std::unique_ptr<ProcessTools::Process> process = ProcessTools::create("/usr/bin/df", "-k /", true);
//   std::string output;
//   if (ProcessTools::runAndWait(*process, 60000, &output)) {
//       use(output, process->exitCode);
//   }
//
// The caller owns the process object. Destroying it while its program still runs kills the
// program's process group and collects the program; a program that ended is left alone, and
// so are the children it left behind.
//
// The program runs in a process group of its own: a time-out asks the whole group to quit
// and, after a grace of 500 ms, kills the group, so that the children it started go as well.
// A program ended by a signal reports 128 plus the signal number as its exit code. The path is
// run as given, never searched on the PATH: a name without "/" is the file in the working
// directory.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corelib/ParamStream.h"

namespace KelvraCorelib {

class OutputBuffer;

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
        ~Process();  // closes the pipe; a child that still runs is killed with its group

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
        int32_t childWatch = -1;  // becomes ready when the child ends; -1 when the platform has none
        // Most bytes of output runAndWait keeps; passing it stops the program as a time-out does.
        size_t outputLimit = SIZE_MAX;
        bool outputLimitPassed = false;  // the last run stopped because of outputLimit
        bool deadlinePassed = false;     // the last run stopped because its time ran out
        int32_t errorDescriptor = -1;    // the program's standard error when not -1; else this program's

        // Creates the capture pipe. True when capturing (also when it already was); false
        // while the process runs or when the pipe cannot be made.
        bool setUpCapture();
        // Starts the program (the capture pipe, if any, as its standard output; errorDescriptor,
        // if any, as its standard error). False when
        // it already runs or cannot be started.
        bool start();
        // Running in state 1; otherwise, or when the query fails, false. Seeing the end
        // stores the exit code and moves to state 6.
        bool isRunning();
        // Asks the program's process group to quit. True when the request was delivered.
        bool askToQuit();
        // Kills the program's process group and collects the child: state 5, ids cleared.
        bool terminate();

    private:
        friend class ProcessTools;
        void closePipe();
        void closeWatch();
        // What the pipe did at the end of a readChunk.
        enum class PipeState {
            data,        // stopped with data perhaps still waiting (budget, clock or limit)
            nothingYet,  // empty for now, the writers are still there
            ended,       // end of data
            failed,      // a read error (the pipe then counts as ended) or not capturing
        };
        struct ReadResult {
            size_t bytes;
            PipeState pipe;
        };
        // Appends what the pipe holds now to output: up to a few MiB, less once the clock
        // passes until (ms of the steady clock) or the output passes its limit. Throws
        // std::bad_alloc when the output cannot grow.
        ReadResult readChunk(OutputBuffer& output, int64_t until);
        // Waits up to timeoutMs for data, the pipe's end or the child's end. False only when
        // the child's end watch is there and did not fire (the child surely still runs).
        bool waitForActivity(int64_t timeoutMs, bool watchPipe);
        // How capture ended.
        enum class CaptureEnd { programEnded, deadlinePassed, limitPassed };
        // Captures into output (when given) and waits until the program has ended and the
        // pipe is done, the deadline passes or the output passes its limit. Leaves the pipe open.
        CaptureEnd capture(int64_t deadline, OutputBuffer* output);
        enum class Grace { given, none };
        // Empties output (when given) and ends the program's group: with the grace, asks it to
        // quit and drains and drops what the pipe brings meanwhile; then kills the group and
        // closes the pipe.
        void stop(std::string* output, Grace grace);
        // Captures and waits until the program ends or the deadline passes (then the group is
        // asked to quit and killed after the grace). True when it ended in time.
        bool waitForEnd(int64_t deadline, std::string* output);
        // Kills the program's group whether or not the program itself still runs, and
        // collects the program.
        void killGroup();
    };

    // A new process object for path with the argument text split into arguments.
    static std::unique_ptr<Process> create(const std::string& path, const std::string& argumentText,
                                           bool inheritHandles);

    // Starts the process and waits up to timeoutMs. With output, the program's standard
    // output is appended to it. True when the program ended in time (exitCode is then set);
    // false when it could not be started, the time ran out, the output grew past the
    // process's outputLimit (outputLimitPassed is then set) or the memory for the output ran
    // out (output is then emptied, and the program's group asked to quit and killed). The
    // output's room never grows much past outputLimit. Never throws.
    static bool runAndWait(Process& process, uint64_t timeoutMs, std::string* output);

    // The output limit for a program whose output is kept in memory: 1 GiB, or a quarter of
    // the machine's physical memory when that is less.
    static size_t defaultOutputLimit();

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
