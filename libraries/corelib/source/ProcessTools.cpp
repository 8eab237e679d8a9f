#include "corelib/ProcessTools.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <thread>

#include "corelib/OutputBuffer.h"
#include "corelib/StringTools.h"
#include "corelib/platform/Process.h"

namespace KelvraCorelib {

namespace {

// No more than readBudget per readChunk, so that the waiting loop keeps an eye on the clock and
// the child while data flows.
constexpr size_t readBudget = 4 * 1024 * 1024;

// A program that streams (a drain brought at least streamingRead, but left the pipe far from
// full) is read after a pause of streamingPauseMs rather than at each of its writes: its
// writes then seldom wake this process, and each read takes a larger piece. The pause ends
// early when the program ends.
constexpr size_t streamingRead = 64 * 1024;
constexpr size_t nearlyFullPipe = OutputBuffer::largestRead / 4 * 3;
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

// How long the capture loop waits next, and whether data in the pipe ends the wait early.
class WaitPolicy {
public:
    struct Wait {
        int64_t ms;
        bool onPipe;
    };

    explicit WaitPolicy(bool childSignalsEnd) : childSignalsEnd(childSignalsEnd) {}

    // While the program runs: a streaming program is read after a pause; otherwise the wait
    // lasts until data or the child's end, where the platform cannot signal that end the
    // child is looked at every lookIntervalMs (with no pipe to watch, at intervals growing
    // up to that).
    Wait whileRunning(int64_t leftMs, bool pipeOpen, bool streaming)
    {
        if (streaming) {
            return {std::min(leftMs, streamingPauseMs), false};
        }
        if (childSignalsEnd) {
            return {leftMs, pipeOpen};
        }
        if (pipeOpen) {
            return {std::min(leftMs, lookIntervalMs), true};
        }
        const int64_t waitMs = std::min(leftMs, backoffMs);
        backoffMs = std::min<int64_t>(std::max<int64_t>(backoffMs * 2, 1), lookIntervalMs);
        return {waitMs, false};
    }

    // After the program ended: what the pipe still brings, a quiet period at a time.
    Wait whileDraining(int64_t leftMs)
    {
        waitedQuietly = true;
        return {std::min(leftMs, quietPeriodMs), true};
    }

    // While the program's group is asked to quit: until the program ends or the pipe brings
    // data, looking at the child every lookIntervalMs where the platform cannot signal its end.
    Wait whileQuitting(int64_t leftMs) const
    {
        return {childSignalsEnd ? leftMs : std::min(leftMs, lookIntervalMs), true};
    }

    // True once a quiet period was waited for and the read after it brought nothing.
    bool quietAfter(size_t lastRead) const { return waitedQuietly && lastRead == 0; }

private:
    const bool childSignalsEnd;
    int64_t backoffMs = 0;
    bool waitedQuietly = false;
};

// The two phases of a capture: the program runs; the program ended and the pipe is drained.
enum class Phase { running, draining };

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
    if (isRunning()) {
        terminate();
    }
    closePipe();
    closeWatch();
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
    const int error = Platform::spawnProcess(path, childArguments, capturing ? pipeWrite : -1, child, errorDescriptor);
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

ProcessTools::Process::ReadResult ProcessTools::Process::readChunk(OutputBuffer& output, int64_t until)
{
    if (!capturing) {
        return {0, PipeState::failed};
    }
    if (pipeRead < 0 || pipeEnded) {
        return {0, PipeState::ended};
    }
    size_t total = 0;
    while (!output.passedLimit()) {
        const std::span<char> room = output.room();
        int error = 0;
        const int64_t count = Platform::readAvailable(pipeRead, room.data(), room.size(), error);
        output.keep(count > 0 ? static_cast<size_t>(count) : 0);
        if (count == 0) {
            pipeEnded = true;
            return {total, PipeState::ended};
        }
        if (count == Platform::ReadNothingYet) {
            return {total, PipeState::nothingYet};
        }
        if (count < 0) {
            pipeEnded = true;  // a read error ends capture; the child is still awaited
            return {total, PipeState::failed};
        }
        total += static_cast<size_t>(count);
        if (total >= readBudget || clockMs() >= until) {
            break;
        }
    }
    return {total, PipeState::data};
}

bool ProcessTools::Process::askToQuit()
{
    if (!isRunning()) {
        return false;
    }
    return Platform::signalChildGroup(processId, Platform::GroupSignal::askToQuit);
}

bool ProcessTools::Process::terminate()
{
    if (!isRunning()) {
        return false;
    }
    if (!Platform::signalChildGroup(processId, Platform::GroupSignal::kill)) {
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

ProcessTools::Process::CaptureEnd ProcessTools::Process::capture(int64_t deadline, OutputBuffer* output)
{
    // Capture and wait on this thread: read whenever the pipe has data, look at the child
    // whenever something happened. Once the child has ended, take what the pipe still holds
    // and stop at its end or when it stays quiet. Reads stop at the deadline, whatever the
    // memory costs.
    Phase phase = Phase::running;
    WaitPolicy policy(childWatch >= 0);
    bool mayHaveEnded = true;  // the child is asked about only when its watch may have fired
    for (;;) {
        ReadResult read{0, PipeState::ended};
        if (output != nullptr && capturing && !pipeEnded) {
            read = readChunk(*output, deadline);
        }
        if (phase == Phase::running && mayHaveEnded && !isRunning()) {
            phase = Phase::draining;
        }
        if (output != nullptr && output->passedLimit()) {
            return CaptureEnd::limitPassed;
        }
        const bool pipeOpen = output != nullptr && capturing && !pipeEnded;
        if (phase == Phase::draining && (!pipeOpen || policy.quietAfter(read.bytes))) {
            return CaptureEnd::programEnded;
        }
        const int64_t now = clockMs();
        if (now >= deadline) {
            return phase == Phase::draining ? CaptureEnd::programEnded : CaptureEnd::deadlinePassed;
        }
        // A drain that brought a good piece but left the pipe far from full: the program streams.
        const bool streaming =
            read.pipe == PipeState::nothingYet && read.bytes >= streamingRead && read.bytes < nearlyFullPipe;
        const WaitPolicy::Wait wait = phase == Phase::running ? policy.whileRunning(deadline - now, pipeOpen, streaming)
                                                              : policy.whileDraining(deadline - now);
        mayHaveEnded = waitForActivity(wait.ms, wait.onPipe);
    }
}

void ProcessTools::Process::stop(std::string* output, Grace grace)
{
    // Ask the program's group to quit, give it the grace, then kill the group. The pipe is
    // drained (and the data dropped, without a limit) meanwhile so that a program that writes
    // while quitting is not held up by a full pipe.
    const bool asked = grace == Grace::given && askToQuit();
    if (output != nullptr) {
        output->clear();
        output->shrink_to_fit();
    }
    if (asked) {
        const int64_t graceEnd = clockMs() + quitGraceMs;
        std::string dropped;
        OutputBuffer sink(dropped, SIZE_MAX);
        const WaitPolicy policy(childWatch >= 0);
        for (;;) {
            if (capturing) {
                dropped.clear();
                readChunk(sink, graceEnd);
            }
            if (!isRunning()) {
                break;
            }
            const int64_t now = clockMs();
            if (now >= graceEnd) {
                break;
            }
            const WaitPolicy::Wait wait = policy.whileQuitting(graceEnd - now);
            waitForActivity(wait.ms, wait.onPipe);
        }
    }
    // Members of the group that ignored the request may outlive a program that obeyed it.
    killGroup();
    closePipe();
}

bool ProcessTools::Process::waitForEnd(int64_t deadline, std::string* output)
{
    std::optional<OutputBuffer> buffer;
    if (output != nullptr) {
        buffer.emplace(*output, outputLimit);
    }
    const CaptureEnd end = capture(deadline, buffer ? &*buffer : nullptr);
    if (end == CaptureEnd::programEnded) {
        closePipe();
        return state == stateFinished;
    }
    // Time-out or too much output.
    outputLimitPassed = end == CaptureEnd::limitPassed;
    deadlinePassed = end == CaptureEnd::deadlinePassed;
    buffer.reset();
    stop(output, Grace::given);
    return false;
}

void ProcessTools::Process::killGroup()
{
    if (isRunning()) {
        terminate();
        return;
    }
    if (processId != 0) {
        Platform::signalChildGroup(processId, Platform::GroupSignal::kill);
    }
}

// ---- ProcessTools ---------------------------------------------------------------------------

std::unique_ptr<ProcessTools::Process> ProcessTools::create(const std::string& path, const std::string& argumentText,
                                                            bool inheritHandles)
{
    auto process = std::make_unique<Process>();
    process->path = path;
    process->widePath = widenText(path);
    process->arguments = splitArguments(argumentText);
    for (const std::string& argument : process->arguments) {
        process->wideArguments.push_back(widenText(argument));
    }
    process->inheritHandles = inheritHandles;
    return process;
}

bool ProcessTools::runAndWait(Process& process, uint64_t timeoutMs, std::string* output)
{
    try {
        process.outputLimitPassed = false;
        process.deadlinePassed = false;
        if (output != nullptr && !process.setUpCapture()) {
            return false;
        }
        if (!process.start()) {
            return false;
        }
        return process.waitForEnd(deadlineAfter(clockMs(), timeoutMs), output);
    } catch (const std::exception&) {
        // Out of memory, mostly while the output grows: the run fails, and the program and its
        // group must not outlive it.
        process.stop(output, Process::Grace::none);
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
