// POSIX code only: child processes and capture pipes.
#include "corelib/platform/Process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

extern char** environ;

namespace KelvraCorelib::Platform {

namespace {

constexpr int pipeCapacity = 1 << 20;

// A child id that names one real process: never 0 or 1, which kill and waitpid read as
// "my own group" or "everybody".
bool validChild(uint32_t processId)
{
    return processId > 1 && processId <= static_cast<uint32_t>(INT_MAX);
}

// Moves a descriptor to 3 or above (close-on-exec), so that handing it over as standard output
// always means a real duplication.
int moveAboveStandard(int& descriptor)
{
    if (descriptor > 2) {
        return 0;
    }
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) {
        return errno;
    }
    close(descriptor);
    descriptor = moved;
    return 0;
}

// With SIGCHLD ignored (a scheduler or shell may hand that down) ended children are collected
// by the system and can no longer be waited for; the default disposition keeps them for us.
void keepChildrenForWaiting()
{
    struct sigaction current {};
    if (sigaction(SIGCHLD, nullptr, &current) != 0) {
        return;
    }
    const bool ignored = (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN;
    if (ignored) {
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        sigemptyset(&defaults.sa_mask);
        (void)sigaction(SIGCHLD, &defaults, nullptr);
    } else if ((current.sa_flags & SA_NOCLDWAIT) != 0) {
        current.sa_flags &= ~SA_NOCLDWAIT;
        (void)sigaction(SIGCHLD, &current, nullptr);
    }
}

int makeCloseOnExec(int descriptor)
{
    const int flags = fcntl(descriptor, F_GETFD);
    if (flags < 0 || fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC) < 0) {
        return errno;
    }
    return 0;
}

// The child's side of spawnProcess, between vfork and exec: system calls only, which change
// nothing of the parent's memory but errno (the report goes through the pipe). Never returns.
[[noreturn]] void runChild(const char* path, char* const* argv, int outputDescriptor, int errorDescriptor, pid_t parent,
                           int report)
{
    auto fail = [report](int error) {
        (void)!write(report, &error, sizeof error);
        _exit(127);
    };
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (signalNumber != SIGKILL && signalNumber != SIGSTOP) {
            (void)sigaction(signalNumber, &defaults, nullptr);  // some numbers are the runtime's own
        }
    }
    if (setpgid(0, 0) != 0) {
        fail(errno);
    }
#if defined(__linux__)
    // Ended with this program, even when it is killed. When it died before this point the
    // child already belongs to another parent and must not run.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        fail(errno);
    }
    if (getppid() != parent) {
        _exit(127);
    }
#else
    (void)parent;
#endif
    if (outputDescriptor != -1 && dup2(outputDescriptor, STDOUT_FILENO) < 0) {
        fail(errno);
    }
    if (errorDescriptor != -1 && dup2(errorDescriptor, STDERR_FILENO) < 0) {
        fail(errno);
    }
    sigset_t none;
    sigemptyset(&none);
    if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0) {
        fail(errno);
    }
    // The path as given, never a search: a name without "/" is the file in the working
    // directory, the same file that was checked before.
    execve(path, argv, environ);
    fail(errno);
    _exit(127);
}

// vfork: the child borrows this process's memory until it execs, so no page of this program
// is copied or marked for copying (a fork's cost grows with the program's size). The calling
// thread waits meanwhile. A function of its own, so that no caller's variable lives across it.
__attribute__((noinline)) pid_t startChild(const char* path, char* const* argv, int outputDescriptor,
                                           int errorDescriptor, pid_t parent, const int report[2])
{
    const pid_t child = vfork();
    if (child == 0) {
        close(report[0]);
        runChild(path, argv, outputDescriptor, errorDescriptor, parent, report[1]);
    }
    return child;
}

}  // namespace

int createScratchFile(size_t capacity, int& descriptor)
{
#if defined(__linux__)
    int file = memfd_create("trawlex-scratch", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (file < 0) {
        return errno;
    }
    // Sized and sealed: a write past the size fails (EPERM) instead of growing the file.
    if (ftruncate(file, static_cast<off_t>(capacity)) != 0 ||
        fcntl(file, F_ADD_SEALS, F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0) {
        const int error = errno;
        close(file);
        return error;
    }
#else
    (void)capacity;
    const char* folder = getenv("TMPDIR");
    std::string name = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/trawlex-scratch.XXXXXX";
    int file = mkstemp(name.data());
    if (file < 0) {
        return errno;
    }
    unlink(name.c_str());
    int error = makeCloseOnExec(file);
    if (error != 0) {
        close(file);
        return error;
    }
#endif
    const int moved = moveAboveStandard(file);
    if (moved != 0) {
        close(file);
        return moved;
    }
    descriptor = file;
    return 0;
}

int readScratchFile(int descriptor, size_t limit, std::string& text)
{
    // The writers share the file's offset: it stands where the last write ended.
    const off_t written = lseek(descriptor, 0, SEEK_CUR);
    if (written < 0) {
        return errno;
    }
    text.resize(std::min(static_cast<size_t>(written), limit));
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = pread(descriptor, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            const int error = count < 0 ? errno : 0;
            text.resize(done);
            return error;
        }
        done += static_cast<size_t>(count);
    }
    return 0;
}

int createCapturePipe(int& readEnd, int& writeEnd)
{
    int ends[2];
#if defined(__linux__)
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return errno;
    }
#else
    if (pipe(ends) != 0) {
        return errno;
    }
#endif
    int error = 0;
    for (int& end : ends) {
        if (error == 0) {
            error = makeCloseOnExec(end);
        }
        if (error == 0) {
            error = moveAboveStandard(end);
        }
    }
    if (error == 0) {
        const int flags = fcntl(ends[0], F_GETFL);
        if (flags < 0 || fcntl(ends[0], F_SETFL, flags | O_NONBLOCK) < 0) {
            error = errno;
        }
    }
    if (error != 0) {
        close(ends[0]);
        close(ends[1]);
        return error;
    }
#if defined(F_SETPIPE_SZ)
    // Fewer wake-ups per megabyte; the default size stays when the system refuses.
    (void)fcntl(ends[1], F_SETPIPE_SZ, pipeCapacity);
#endif
    readEnd = ends[0];
    writeEnd = ends[1];
    return 0;
}

int spawnProcess(const std::string& path, const std::vector<std::string>& arguments, int outputDescriptor,
                 uint32_t& processId, int errorDescriptor)
{
    // Everything the child needs is made here: between vfork and exec it may only make
    // system calls (another thread may hold the allocator's lock).
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    // The child reports a failure before or of exec through this pipe; exec closes it.
    int report[2];
    if (pipe(report) != 0) {
        return errno;
    }
    int error = 0;
    for (int& end : report) {
        if (error == 0) {
            error = makeCloseOnExec(end);
        }
        if (error == 0) {
            error = moveAboveStandard(end);
        }
    }
    if (error != 0) {
        close(report[0]);
        close(report[1]);
        return error;
    }

    keepChildrenForWaiting();
    // No handler of this program may run in the child before its dispositions are reset.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t child = startChild(path.c_str(), argv.data(), outputDescriptor, errorDescriptor, getpid(), report);
    const int forkError = child < 0 ? errno : 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(report[1]);
    if (forkError != 0) {
        close(report[0]);
        return forkError;
    }

    int childError = 0;
    ssize_t count;
    do {
        count = read(report[0], &childError, sizeof childError);
    } while (count < 0 && errno == EINTR);
    close(report[0]);
    if (count == static_cast<ssize_t>(sizeof childError)) {
        // The child never ran the program: collect it, and report the reason, not its exit code.
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return childError != 0 ? childError : ECHILD;
    }
    processId = static_cast<uint32_t>(child);
    return 0;
}

int queryChild(uint32_t processId, int32_t& exitCode, int& error)
{
    if (!validChild(processId)) {
        error = ESRCH;
        return -1;
    }
    int status = 0;
    pid_t result;
    do {
        result = waitpid(static_cast<pid_t>(processId), &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        return 1;
    }
    if (result < 0) {
        error = errno;
        return -1;
    }
    if (WIFSIGNALED(status)) {
        exitCode = 128 + WTERMSIG(status);
    } else {
        exitCode = WEXITSTATUS(status);
    }
    return 0;
}

bool signalChildGroup(uint32_t processId, GroupSignal signal)
{
    if (!validChild(processId)) {
        return false;
    }
    return kill(-static_cast<pid_t>(processId), signal == GroupSignal::kill ? SIGKILL : SIGTERM) == 0;
}

int openChildWatch(uint32_t processId)
{
    if (!validChild(processId)) {
        return -1;
    }
#if defined(SYS_pidfd_open)
    const long descriptor = syscall(SYS_pidfd_open, static_cast<pid_t>(processId), 0);
    if (descriptor >= 0) {
        return static_cast<int>(descriptor);
    }
#endif
    return -1;
}

int waitForEvents(int inputDescriptor, int watchDescriptor, int timeoutMs, bool& inputReady, bool& watchReady)
{
    inputReady = false;
    watchReady = false;
    pollfd descriptors[2] = {{inputDescriptor, POLLIN, 0}, {watchDescriptor, POLLIN, 0}};
    const int result = poll(descriptors, 2, timeoutMs < 0 ? 0 : timeoutMs);
    if (result < 0) {
        return errno == EINTR ? 0 : errno;
    }
    const short ready = POLLIN | POLLHUP | POLLERR | POLLNVAL;
    inputReady = inputDescriptor >= 0 && (descriptors[0].revents & ready) != 0;
    watchReady = watchDescriptor >= 0 && (descriptors[1].revents & ready) != 0;
    return 0;
}

int64_t readAvailable(int descriptor, char* buffer, size_t size, int& error)
{
    for (;;) {
        const ssize_t count = read(descriptor, buffer, size);
        if (count >= 0) {
            return count;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return ReadNothingYet;
        }
        error = errno;
        return ReadFailed;
    }
}

void adviseCaptureBuffer(char* start, size_t length)
{
#if defined(MADV_HUGEPAGE)
    constexpr uintptr_t largePage = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(start) + largePage - 1) & ~(largePage - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + length) & ~(largePage - 1);
    if (end > begin) {
        (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#else
    (void)start;
    (void)length;
#endif
}

void closeDescriptor(int descriptor)
{
    if (descriptor >= 0) {
        close(descriptor);
    }
}

uint64_t physicalMemoryBytes()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) {
        return 0;
    }
    const auto count = static_cast<uint64_t>(pages);
    const auto size = static_cast<uint64_t>(pageSize);
    return count > UINT64_MAX / size ? UINT64_MAX : count * size;
}

namespace {

// The process id, asked of the system once; a forked child forgets its parent's.
std::atomic<uint32_t> cachedProcessId{0};

void forgetProcessIdInChild()
{
    cachedProcessId.store(0, std::memory_order_relaxed);
}

}  // namespace

uint32_t currentProcessId()
{
    static const bool cacheable = pthread_atfork(nullptr, nullptr, forgetProcessIdInChild) == 0;
    const uint32_t cached = cachedProcessId.load(std::memory_order_relaxed);
    if (cached != 0) {
        return cached;
    }
    const auto id = static_cast<uint32_t>(getpid());
    if (cacheable) {
        cachedProcessId.store(id, std::memory_order_relaxed);
    }
    return id;
}

}  // namespace KelvraCorelib::Platform
