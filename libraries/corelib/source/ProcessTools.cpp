#include "corelib/ProcessTools.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <exception>
#include <map>
#include <new>
#include <thread>

#include "corelib/StringTools.h"
#include "corelib/ThreadLock.h"
#include "corelib/platform/Process.h"

namespace KelvraCorelib {

namespace {

// Capture reads: at least this much per read into the output's spare room, at most the pipe's
// capacity, and no more than readBudget per readChunk so that the waiting loop keeps an eye on
// the clock and the child while data flows.
constexpr size_t minimumRead = 64 * 1024;
constexpr size_t maximumRead = 1024 * 1024;
constexpr size_t readBudget = 4 * 1024 * 1024;
// Growth of the output when it is full, and the size from which its room is worth backing
// with large memory pages.
constexpr size_t growthFactor = 4;
constexpr size_t largeBuffer = 8 * 1024 * 1024;

// A program that streams (a drain brought at least streamingRead, but left the pipe far from
// full) is read after a pause of streamingPauseMs rather than at each of its writes: its
// writes then seldom wake this process, and each read takes a larger piece. The pause ends
// early when the program ends.
constexpr size_t streamingRead = 64 * 1024;
constexpr size_t nearlyFullPipe = maximumRead / 4 * 3;
constexpr int64_t streamingPauseMs = 1;
// After the child has ended, capture stops once the pipe stays silent this long (a program
// the child started may hold the pipe open for much longer).
constexpr int64_t quietPeriodMs = 20;
// How often to look at the child where the platform cannot signal its end.
constexpr int64_t lookIntervalMs = 10;
// Grace between the request to quit and the kill.
constexpr int64_t quitGraceMs = 500;
// How long to wait for a killed child to be collected.
constexpr int64_t killCollectMs = 5000;

int64_t clockMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t deadlineAfter(int64_t now, uint64_t timeoutMs)
{
    const uint64_t room = static_cast<uint64_t>(INT64_MAX - now);
    return timeoutMs >= room ? INT64_MAX : now + static_cast<int64_t>(timeoutMs);
}

struct Registry {
    ThreadLock lock;
    std::map<uint32_t, ProcessTools::Process*> entries;
};

// Lives until the process ends (never destroyed, so its objects stay reachable).
Registry& registry()
{
    static Registry* instance = new Registry();
    return *instance;
}

// Removes every entry that holds process; true when there was one.
bool unregister(ProcessTools::Process* process)
{
    bool found = false;
    auto& entries = registry().entries;
    for (auto entry = entries.begin(); entry != entries.end();) {
        if (entry->second == process) {
            entry = entries.erase(entry);
            found = true;
        } else {
            ++entry;
        }
    }
    return found;
}

// Grows output's capacity so that it can take `more` bytes. Capacity that is never written
// costs no memory, only address space, so the room grows in few, large steps: first to the
// pipe's capacity, then by growthFactor, and once it passes largeBuffer straight to the limit
// (one byte past it is all there is to keep), so that a large output is copied at most once
// more and its memory is written once. When that much is refused the room grows by
// growthFactor (by less when the memory is refused, but always geometrically), keeping the
// memory in use at most about twice the output. Small steps would copy the whole output for
// every few kilobytes read, so when even the smallest factor is refused this gives up: false.
// The room never grows past limit + 1 bytes (SIZE_MAX: no limit).
bool makeRoom(std::string& output, size_t more, size_t limit)
{
    const size_t needed = output.size() + more;
    if (needed <= output.capacity()) {
        return true;
    }
    struct Factor {
        size_t numerator;
        size_t denominator;
    };
    const size_t capacity = output.capacity();
    size_t candidates[5];
    size_t count = 0;
    if (capacity < maximumRead) {
        candidates[count++] = maximumRead;
    }
    for (const Factor factor : {Factor{growthFactor, 1}, Factor{2, 1}, Factor{3, 2}}) {
        const size_t grown =
            capacity <= SIZE_MAX / factor.numerator ? capacity * factor.numerator / factor.denominator : SIZE_MAX;
        if (limit != SIZE_MAX && count == 0 && grown >= largeBuffer) {
            candidates[count++] = limit + 1;
        }
        candidates[count++] = grown;
    }
    for (size_t index = 0; index < count; ++index) {
        const size_t candidate = candidates[index];
        const size_t wanted = std::max(needed, limit != SIZE_MAX ? std::min(candidate, limit + 1) : candidate);
        try {
            // The new room is advised before the bytes are copied over, so that the copy
            // already lands in large pages.
            std::string larger;
            larger.reserve(wanted);
            if (larger.capacity() >= largeBuffer) {
                Platform::adviseCaptureBuffer(larger.data(), larger.capacity());
            }
            larger.append(output);
            output.swap(larger);
        } catch (const std::exception&) {
            continue;
        }
        return true;
    }
    return false;
}

// True when the command-line rules would split text at a blank: a space or tab outside double
// quotes (a quote after an odd run of backslashes is a character, not a quote).
template <class Text>
bool hasBareBlank(const Text& text)
{
    bool insideQuotes = false;
    size_t backslashes = 0;
    for (const auto c : text) {
        if (c == '"' && backslashes % 2 == 0) {
            insideQuotes = !insideQuotes;
        } else if ((c == ' ' || c == '\t') && !insideQuotes) {
            return true;
        }
        backslashes = c == '\\' ? backslashes + 1 : 0;
    }
    return false;
}

// Non-empty arguments joined by single spaces; one that the command-line rules would split is
// enclosed in double quotes ("two words" is enclosed, --name="a b" is left as it is).
template <class Text>
Text joinTexts(const std::vector<Text>& arguments)
{
    Text result;
    for (const Text& argument : arguments) {
        if (argument.empty()) {
            continue;
        }
        if (!result.empty()) {
            result += ' ';
        }
        if (hasBareBlank(argument)) {
            result += '"';
            result += argument;
            result += '"';
        } else {
            result += argument;
        }
    }
    return result;
}

WideString widenText(const std::string& text)
{
    return StringTools::widen(text);
}

}  // namespace

// ---- Process --------------------------------------------------------------------------------

ProcessTools::Process::~Process()
{
    closePipe();
    closeWatch();
    if (registered) {
        ThreadLockScope guard(registry().lock);
        unregister(this);
    }
}

void ProcessTools::Process::closePipe()
{
    Platform::closeDescriptor(pipeRead);
    Platform::closeDescriptor(pipeWrite);
    pipeRead = -1;
    pipeWrite = -1;
    capturing = false;
}

void ProcessTools::Process::closeWatch()
{
    Platform::closeDescriptor(childWatch);
    childWatch = -1;
}

bool ProcessTools::Process::setUpCapture()
{
    if (capturing) {
        return true;
    }
    if (isRunning()) {
        return false;
    }
    int readEnd = -1;
    int writeEnd = -1;
    if (Platform::createCapturePipe(readEnd, writeEnd) != 0) {
        return false;
    }
    pipeRead = readEnd;
    pipeWrite = writeEnd;
    pipeEnded = false;
    readHint = minimumRead;
    inheritHandles = true;
    capturing = true;
    return true;
}

bool ProcessTools::Process::start()
{
    if (isRunning()) {
        return false;
    }
    // The program receives what it would read from the command line that joinArguments builds.
    const std::vector<std::string> childArguments = splitCommandLine(joinTexts(arguments));
    uint32_t child = 0;
    const int error = Platform::spawnProcess(path, childArguments, capturing ? pipeWrite : -1, child);
    // The child holds its own copy of the write end; ours would keep the pipe from ending.
    Platform::closeDescriptor(pipeWrite);
    pipeWrite = -1;
    if (error != 0) {
        closePipe();
        return false;
    }
    closeWatch();
    state = stateRunning;
    exitCode = -1;
    processId = child;
    ownProcessId = Platform::currentProcessId();
    childWatch = Platform::openChildWatch(child);
    if (registered) {
        ThreadLockScope guard(registry().lock);
        unregister(this);
        auto& entries = registry().entries;
        const auto previous = entries.find(child);
        if (previous != entries.end()) {
            Process* stale = previous->second;
            entries.erase(previous);
            delete stale;
        }
        entries[child] = this;
    }
    return true;
}

bool ProcessTools::Process::isRunning()
{
    if (state != stateRunning) {
        return false;
    }
    int32_t code = -1;
    int error = 0;
    const int result = Platform::queryChild(processId, code, error);
    if (result == 1) {
        return true;
    }
    if (result == 0) {
        exitCode = code;
        state = stateFinished;
        closeWatch();
    }
    return false;
}

bool ProcessTools::Process::readChunk(std::string& output, size_t limit, int64_t until)
{
    if (!capturing) {
        return false;
    }
    if (pipeRead < 0 || pipeEnded) {
        return true;
    }
    char side[minimumRead];
    size_t total = 0;
    drained = false;
    for (;;) {
        if (output.size() > limit) {
            return true;
        }
        // Never more than one byte past the limit.
        const size_t allowed = limit - output.size() + (limit == SIZE_MAX ? 0 : 1);
        int error = 0;
        int64_t count;
        const size_t spare = output.capacity() - output.size();
        if (spare >= minimumRead || spare >= allowed) {
            // Straight into the output's spare room; the request follows what the pipe gave
            // lately, so that little is cleared in vain.
            readHint = std::clamp(readHint, minimumRead, maximumRead);
            const size_t request = std::min({spare, readHint, allowed});
            const size_t length = output.size();
            output.resize(length + request);
            count = Platform::readAvailable(pipeRead, output.data() + length, request, error);
            output.resize(length + static_cast<size_t>(std::max<int64_t>(count, 0)));
            if (count == static_cast<int64_t>(request)) {
                readHint *= 2;
            } else if (count > 0 && static_cast<size_t>(count) < request / 2) {
                readHint /= 2;
            }
        } else {
            // Full: grow only once there really is more to keep.
            count = Platform::readAvailable(pipeRead, side, std::min(sizeof side, allowed), error);
            if (count > 0) {
                if (!makeRoom(output, static_cast<size_t>(count), limit)) {
                    throw std::bad_alloc();
                }
                output.append(side, static_cast<size_t>(count));
            }
        }
        if (count > 0) {
            total += static_cast<size_t>(count);
            if (output.size() > limit) {
                return true;
            }
            if (total >= readBudget || clockMs() >= until) {
                return true;
            }
            continue;
        }
        if (count == 0) {
            pipeEnded = true;
            return true;
        }
        drained = count == Platform::ReadNothingYet;
        return drained;
    }
}

bool ProcessTools::Process::askToQuit()
{
    if (!isRunning()) {
        return false;
    }
    return Platform::signalChildGroup(processId, false);
}

bool ProcessTools::Process::terminate()
{
    if (!isRunning()) {
        return false;
    }
    if (!Platform::signalChildGroup(processId, true)) {
        return false;
    }
    // Collect the killed child so that it does not linger as a zombie.
    const int64_t until = clockMs() + killCollectMs;
    while (isRunning() && clockMs() < until) {
        waitForActivity(std::min(until - clockMs(), lookIntervalMs), false);
    }
    processId = 0;
    ownProcessId = 0;
    state = stateTerminated;
    return true;
}

bool ProcessTools::Process::waitForActivity(int64_t timeoutMs, bool watchPipe)
{
    const int input = watchPipe && capturing && !pipeEnded ? pipeRead : -1;
    const int timeout = static_cast<int>(std::clamp<int64_t>(timeoutMs, 0, INT_MAX));
    bool inputReady = false;
    bool childEnded = false;
    if (Platform::waitForEvents(input, childWatch, timeout, inputReady, childEnded) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout, 1)));
        return true;
    }
    return childWatch < 0 || childEnded;
}

ProcessTools::Process::CaptureEnd ProcessTools::Process::capture(int64_t deadline, std::string* output,
                                                                 size_t limit)
{
    // Capture and wait on this thread: read whenever the pipe has data, look at the child
    // whenever something happened (or, without an end signal from the platform, at short
    // intervals). Once the child has ended, take what the pipe still holds and stop at its
    // end or when it stays quiet. Reads stop at the deadline, whatever the memory costs.
    bool ended = false;
    bool waitedQuietly = false;
    bool mayHaveEnded = true;  // the child is asked about only when its watch may have fired
    int64_t backoffMs = 0;
    for (;;) {
        bool grew = false;
        bool passed = false;
        bool streaming = false;
        if (output != nullptr && capturing && !pipeEnded) {
            const size_t length = output->size();
            if (!readChunk(*output, limit, deadline)) {
                pipeEnded = true;  // a read error ends capture; the child is still awaited
            }
            grew = output->size() != length;
            passed = output->size() > limit;
            const size_t taken = output->size() - length;
            streaming = drained && !pipeEnded && taken >= streamingRead && taken < nearlyFullPipe;
        }
        if (!ended && mayHaveEnded) {
            ended = !isRunning();
        }
        if (passed) {
            return CaptureEnd::limitPassed;
        }
        const bool pipeOpen = output != nullptr && capturing && !pipeEnded;
        if (ended && (!pipeOpen || (waitedQuietly && !grew))) {
            return CaptureEnd::programEnded;
        }
        const int64_t now = clockMs();
        if (now >= deadline) {
            return ended ? CaptureEnd::programEnded : CaptureEnd::deadlinePassed;
        }
        int64_t waitMs = deadline - now;
        if (streaming && !ended) {
            waitMs = std::min(waitMs, streamingPauseMs);
            mayHaveEnded = waitForActivity(waitMs, false);
            continue;
        }
        if (ended) {
            waitMs = std::min(waitMs, quietPeriodMs);
            waitedQuietly = true;
        } else if (childWatch < 0) {
            if (pipeOpen) {
                waitMs = std::min(waitMs, lookIntervalMs);
            } else {
                waitMs = std::min(waitMs, backoffMs);
                backoffMs = std::min<int64_t>(std::max<int64_t>(backoffMs * 2, 1), lookIntervalMs);
            }
        }
        mayHaveEnded = waitForActivity(waitMs, pipeOpen);
    }
}

void ProcessTools::Process::stop(std::string* output)
{
    // Ask the program's group to quit, give it the grace, then kill the group. The pipe is
    // drained (and the data dropped, without a limit) meanwhile so that a program that writes
    // while quitting is not held up by a full pipe.
    const bool asked = askToQuit();
    if (output != nullptr) {
        output->clear();
        output->shrink_to_fit();
    }
    if (asked) {
        const int64_t graceEnd = clockMs() + quitGraceMs;
        std::string dropped;
        for (;;) {
            if (capturing) {
                dropped.clear();
                readChunk(dropped, SIZE_MAX, graceEnd);
            }
            if (!isRunning()) {
                break;
            }
            const int64_t now = clockMs();
            if (now >= graceEnd) {
                break;
            }
            int64_t waitMs = graceEnd - now;
            if (childWatch < 0) {
                waitMs = std::min(waitMs, lookIntervalMs);
            }
            waitForActivity(waitMs, true);
        }
    }
    // Members of the group that ignored the request may outlive a program that obeyed it.
    killGroup();
    closePipe();
}

bool ProcessTools::Process::waitForEnd(int64_t deadline, std::string* output)
{
    const CaptureEnd end = capture(deadline, output, outputLimit);
    if (end == CaptureEnd::programEnded) {
        closePipe();
        return state == stateFinished;
    }
    // Time-out or too much output.
    outputLimitPassed = end == CaptureEnd::limitPassed;
    stop(output);
    return false;
}

void ProcessTools::Process::killGroup()
{
    if (isRunning()) {
        terminate();
        return;
    }
    if (processId != 0) {
        Platform::signalChildGroup(processId, true);
    }
}

// ---- ProcessTools ---------------------------------------------------------------------------

ProcessTools::Process* ProcessTools::create(const std::string& path, const std::string& argumentText,
                                            bool inheritHandles)
{
    Process* process = new Process();
    process->path = path;
    process->widePath = widenText(path);
    process->arguments = splitArguments(argumentText);
    for (const std::string& argument : process->arguments) {
        process->wideArguments.push_back(widenText(argument));
    }
    process->inheritHandles = inheritHandles;
    process->registered = true;
    return process;
}

bool ProcessTools::runAndWait(Process* process, uint64_t timeoutMs, std::string* output)
{
    if (process == nullptr) {
        return false;
    }
    try {
        process->outputLimitPassed = false;
        if (output != nullptr && !process->setUpCapture()) {
            return false;
        }
        if (!process->start()) {
            return false;
        }
        return process->waitForEnd(deadlineAfter(clockMs(), timeoutMs), output);
    } catch (const std::exception&) {
        // Out of memory, mostly while the output grows: the run fails, and the program and its
        // group must not outlive it.
        if (output != nullptr) {
            output->clear();
            output->shrink_to_fit();
        }
        process->killGroup();
        process->closePipe();
        return false;
    }
}

size_t ProcessTools::defaultOutputLimit()
{
    constexpr uint64_t oneGiB = uint64_t(1) << 30;
    const uint64_t physical = Platform::physicalMemoryBytes();
    const uint64_t limit = physical == 0 ? oneGiB : std::min(oneGiB, physical / 4);
    return static_cast<size_t>(std::min<uint64_t>(limit, SIZE_MAX - 1));
}

void ProcessTools::releaseFinished()
{
    ThreadLockScope guard(registry().lock);
    auto& entries = registry().entries;
    for (auto entry = entries.begin(); entry != entries.end();) {
        Process* process = entry->second;
        if (process == nullptr) {
            entry = entries.erase(entry);
        } else if (!process->isRunning()) {
            entry = entries.erase(entry);
            delete process;
        } else {
            ++entry;
        }
    }
}

void ProcessTools::discard(Process* process)
{
    if (process == nullptr) {
        return;
    }
    ThreadLockScope guard(registry().lock);
    for (const auto& entry : registry().entries) {
        if (entry.second == process) {
            return;
        }
    }
    delete process;
}

size_t ProcessTools::registeredCount()
{
    ThreadLockScope guard(registry().lock);
    return registry().entries.size();
}

std::vector<std::string> ProcessTools::splitArguments(const std::string& text)
{
    std::vector<std::string> result;
    std::string current;
    bool insideQuotes = false;
    bool escapePending = false;
    for (const char c : text) {
        if (!insideQuotes) {
            if (c == ' ') {
                if (!current.empty()) {
                    if (current.size() > 1 && current.front() == '"' && current.back() == '"') {
                        current = current.substr(1, current.size() - 2);
                    }
                    result.push_back(current);
                    current.clear();
                }
            } else {
                current += c;
                if (c == '"') {
                    insideQuotes = true;
                }
            }
        } else if (escapePending) {
            current += '\\';
            current += c;
            escapePending = false;
        } else if (c == '\\') {
            escapePending = true;
        } else {
            current += c;
            if (c == '"') {
                insideQuotes = false;
            }
        }
    }
    if (escapePending) {
        current += '\\';  // a backslash at the very end is kept, not lost
    }
    if (current.size() > 1 && current.front() == current.back() && (current.front() == '"' || current.front() == '\'')) {
        current = current.substr(1, current.size() - 2);
    }
    if (!current.empty()) {
        result.push_back(current);
    }
    return result;
}

WideString ProcessTools::joinArguments(const std::vector<WideString>& arguments)
{
    return joinTexts(arguments);
}

std::vector<std::string> ProcessTools::splitCommandLine(const std::string& commandLine)
{
    std::vector<std::string> result;
    const size_t end = commandLine.size();
    size_t position = 0;
    for (;;) {
        while (position < end && (commandLine[position] == ' ' || commandLine[position] == '\t')) {
            ++position;
        }
        if (position >= end) {
            return result;
        }
        std::string argument;
        bool insideQuotes = false;
        while (position < end) {
            const char c = commandLine[position];
            if (!insideQuotes && (c == ' ' || c == '\t')) {
                break;
            }
            if (c == '\\') {
                size_t after = position;
                while (after < end && commandLine[after] == '\\') {
                    ++after;
                }
                const size_t count = after - position;
                if (after < end && commandLine[after] == '"') {
                    // 2n backslashes and a quote: n backslashes, the quote still to come;
                    // 2n + 1: n backslashes and a quote character.
                    argument.append(count / 2, '\\');
                    if (count % 2 == 1) {
                        argument += '"';
                        ++after;
                    }
                } else {
                    argument.append(count, '\\');
                }
                position = after;
            } else if (c == '"') {
                if (insideQuotes && position + 1 < end && commandLine[position + 1] == '"') {
                    argument += '"';  // "" inside quotes
                    position += 2;
                } else {
                    insideQuotes = !insideQuotes;
                    ++position;
                }
            } else {
                argument += c;
                ++position;
            }
        }
        result.push_back(std::move(argument));
    }
}

}  // namespace KelvraCorelib
