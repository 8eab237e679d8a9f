#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "corelib/Crypto.h"
#include "corelib/Exception.h"
#include "corelib/Logger.h"

namespace TestSupport {

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string withGroupOrderAdded(std::string signature)
{
    static const uint8_t order[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                      0xa2, 0xde, 0xf9, 0xde, 0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
    unsigned carry = 0;
    for (size_t i = 0; i < 32; ++i) {
        carry += uint8_t(signature[32 + i]) + order[i];
        signature[32 + i] = char(carry & 0xff);
        carry >>= 8;
    }
    return signature;
}

fs::path writeScript(const fs::path& path, const std::string& body)
{
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

std::vector<fs::path> filesEndingIn(const fs::path& dir, const std::string& suffix)
{
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::string bytes(std::initializer_list<int> values)
{
    std::string text;
    for (const int value : values)
        text += static_cast<char>(value);
    return text;
}

std::string signatureLine(const std::string& signedPart)
{
    KelvraCorelib::Crypto::Signature signature(2, true);
    signature.update(signedPart);
    return "@SIGNATURE: " + signature.signatureText(2, true, 0) + "\n";
}

std::set<std::string> namesIn(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

unsigned modeOf(const fs::path& path)
{
    return static_cast<unsigned>(fs::symlink_status(path).permissions() & fs::perms::mask);
}

std::string helper(const std::string& name)
{
#ifdef _WIN32
    return std::string(TEST_HELPER_DIR) + "/" + name + ".exe";
#else
    return std::string(TEST_HELPER_DIR) + "/" + name;
#endif
}

std::string testFolder()
{
    static const TempDir all("trawlex-test");
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path folder = all / test->test_suite_name() / test->name();
    fs::create_directories(folder);
    return (fs::absolute(folder).make_preferred() / "").string();
}

TempDir::TempDir(const std::string& prefix)
{
    std::random_device seed;
    std::mt19937_64 numbers(seed());
    for (;;) {
        root = fs::temp_directory_path() / (prefix + "-" + std::to_string(numbers() % 1000000000000ULL));
        if (fs::create_directory(root))
            return;
    }
}

LogSink::LogSink(std::string module, const std::string& levelGlob)
    : ImsAgent("test-log-sink"), module(std::move(module))
{
    hookId = setMessageHook(false, "debug", "", levelGlob, 1);
}

int32_t LogSink::handleHookedMessage(uint64_t id, const KelvraCorelib::ImsMessage& message)
{
    const auto* record = dynamic_cast<const KelvraCorelib::Logger::LogMessageParameter*>(message.parameter);
    if (id != hookId || record == nullptr || (!module.empty() && record->moduleName != module))
        return notHandled;
    KelvraCorelib::ParamStream values = record->parameters;
    Record copy{message.groupType, message.messageType, record->level,    record->moduleName,       record->time,
                record->threadId,  record->processId,   record->text,     values.format(record->text)};
    const std::lock_guard<std::mutex> lock(guard);
    records.push_back(std::move(copy));
    return handled;
}

bool setLogLevels(const std::string& level)
{
    KelvraCorelib::ImsAgent sender("level-sender");
    KelvraCorelib::ImsMessage change("debug", "level", level);
    return sender.sendMessage(change);
}

std::vector<LogSink::Record> LogSink::all() const
{
    const std::lock_guard<std::mutex> lock(guard);
    return records;
}

std::vector<LogSink::Record> LogSink::at(int32_t level) const
{
    std::vector<Record> found = all();
    std::erase_if(found, [level](const Record& record) { return record.level != level; });
    return found;
}

std::vector<std::string> LogSink::texts() const
{
    std::vector<std::string> found;
    std::ranges::transform(all(), std::back_inserter(found), &Record::filled);
    return found;
}

#ifndef _WIN32

namespace {

bool processGone(int pid)
{
    if (kill(pid, 0) != 0 && errno == ESRCH)
        return true;
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(") ");
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' || stat[close + 2] == 'X';
}

// Waits for the process and gives its exit code (-1 when it did not exit normally).
int waitForExit(int pid, long* peakKiB = nullptr, int* signal = nullptr)
{
    int status = 0;
    struct rusage usage {};
    if (pid <= 0 || wait4(pid, &status, 0, &usage) != pid)
        return -1;
    if (peakKiB != nullptr)
        *peakKiB = usage.ru_maxrss;
    if (signal != nullptr)
        *signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

bool goneWithin(int pid, std::chrono::milliseconds time)
{
    const auto until = std::chrono::steady_clock::now() + time;
    while (!processGone(pid)) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int waitForPid(const fs::path& file, std::chrono::milliseconds time)
{
    const auto until = std::chrono::steady_clock::now() + time;
    for (;;) {
        const std::string text = readFile(file);
        if (!text.empty() && text.back() == '\n')
            return std::atoi(text.c_str());
        if (std::chrono::steady_clock::now() > until)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int startProgram(const fs::path& folder, const std::string& program, const std::vector<std::string>& arguments,
                 const fs::path& outPath, const fs::path& errPath, const Environment& environment,
                 const std::function<void()>& beforeExec)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : environment)
            setenv(name.c_str(), value.c_str(), 1);
        if (chdir(folder.c_str()) != 0)
            _exit(120);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(121);
        if (beforeExec)
            beforeExec();
        execv(program.c_str(), argv.data());
        _exit(122);
    }
    return pid;
}

int startIn(const fs::path& folder, const std::string& program, const std::vector<std::string>& arguments,
            const Environment& environment, const std::function<void()>& beforeExec)
{
    return startProgram(folder, program, arguments, folder / ".stdout", folder / ".stderr", environment, beforeExec);
}

Outcome finishIn(const fs::path& folder, int pid, long* peakKiB)
{
    Outcome outcome;
    outcome.exitCode = waitForExit(pid, peakKiB, &outcome.signal);
    outcome.out = readFile(folder / ".stdout");
    outcome.err = readFile(folder / ".stderr");
    fs::remove(folder / ".stdout");
    fs::remove(folder / ".stderr");
    return outcome;
}

Outcome runProgram(const fs::path& folder, const std::string& program, const std::vector<std::string>& arguments,
                   const Environment& environment, const std::function<void()>& beforeExec)
{
    return finishIn(folder, startIn(folder, program, arguments, environment, beforeExec));
}

bool asNobody(const fs::path& folder, const std::function<bool()>& body)
{
    constexpr uid_t nobody = 65534;
    if (lchown(folder.c_str(), nobody, nobody) != 0)
        return false;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (lchown(entry.path().c_str(), nobody, nobody) != 0)
            return false;
    const pid_t pid = fork();
    if (pid == 0)
        _exit(setgid(nobody) == 0 && setuid(nobody) == 0 && body() ? 0 : 1);
    return waitForExit(pid) == 0;
}

Outcome runShell(const fs::path& folder, const std::string& command, const Environment& environment)
{
    return runProgram(folder, "/bin/sh", {"-c", command}, environment);
}

#endif

}  // namespace TestSupport
