#pragma once
// Child processes and the pipe that captures their standard output.
//
// Descriptors are the C runtime's file descriptor numbers; a child is named by its process id.
// Functions that can fail return 0 or the platform's error number.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace KelvraCorelib::Platform {

// A pipe for capturing a child's output. Both ends are closed in started programs unless
// handed over explicitly, both are numbered 3 or above (never a standard descriptor), and
// the read end does not block. The pipe's buffer is enlarged where the platform allows it.
int createCapturePipe(int& readEnd, int& writeEnd);

// Starts `path` with `arguments` (argument 0 is the path itself; there is no PATH search, a
// path without a slash names the file in the working directory) in a process group of its
// own, with the signal dispositions reset to their defaults and no signal blocked. A SIGCHLD
// disposition of this program that would keep its children from being waited for (ignored,
// or no-wait) is reset first. When `outputDescriptor` is not -1 it becomes the
// child's standard output, and when `errorDescriptor` is not -1 its standard error; standard
// input (and otherwise standard error) are this program's.
// On Linux the child is killed when the calling thread ends (parent-death signal), so a
// program that is killed does not leave it behind; the children it starts are not covered.
// A failure to run the program (missing, not executable, bad format) is the returned error,
// never an exit code of the child.
int spawnProcess(const std::string& path, const std::vector<std::string>& arguments, int outputDescriptor,
                 uint32_t& processId, int errorDescriptor = -1);

// Looks at a child without waiting. Returns 1 while it runs; 0 once it has ended (the child is
// collected and `exitCode` set: its exit status, or 128 plus the signal number when a signal
// ended it); -1 when the query fails (`error` set).
int queryChild(uint32_t processId, int32_t& exitCode, int& error);

// What signalChildGroup sends: the request to quit, or the kill.
enum class GroupSignal { askToQuit, kill };

// Sends the child's whole process group the signal. True when it was delivered.
bool signalChildGroup(uint32_t processId, GroupSignal signal);

// A descriptor that becomes ready when the child ends, or -1 when the platform offers none
// (callers then look with queryChild at short intervals).
int openChildWatch(uint32_t processId);

// Waits up to `timeoutMs` until `inputDescriptor` has data or reached its end, or
// `watchDescriptor` reports the child's end; a descriptor of -1 is not watched (with both -1
// this only sleeps). Returns 0 (a timeout leaves both flags false) or the error number;
// an interrupted wait returns 0 early.
int waitForEvents(int inputDescriptor, int watchDescriptor, int timeoutMs, bool& inputReady, bool& watchReady);

// Results of readAvailable besides a byte count.
constexpr int64_t ReadNothingYet = -1;  // no data for now, the writers are still there
constexpr int64_t ReadFailed = -2;      // `error` holds the reason

// One read from a non-blocking descriptor: the count of bytes read (0 at the end of data),
// ReadNothingYet or ReadFailed.
int64_t readAvailable(int descriptor, char* buffer, size_t size, int& error);

// Tells the system that the memory range will be filled with captured output soon, so that
// it backs it with large pages where it can. Only whole large pages inside the range are
// concerned; the contents stay as they are.
void adviseCaptureBuffer(char* start, size_t length);

// A file without a name for a child's standard error, closed in started programs unless
// handed over: it never blocks a writer, and writes past `capacity` bytes fail where the
// platform can refuse them (Linux), so that a program's chatter cannot fill memory or disk.
int createScratchFile(size_t capacity, int& descriptor);

// What was written to the scratch file through any descriptor of it, up to `limit` bytes.
int readScratchFile(int descriptor, size_t limit, std::string& text);

void closeDescriptor(int descriptor);

// The machine's physical memory in bytes; 0 when the system does not tell.
uint64_t physicalMemoryBytes();

uint32_t currentProcessId();

}  // namespace KelvraCorelib::Platform
