#pragma once
// What the tests share: files, a temporary folder that removes itself, a sink for log records,
// an error-mode guard and, on POSIX, processes: a zombie-aware wait and a program runner.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "corelib/Exception.h"
#include "corelib/Ims.h"

namespace TestSupport {

// Whether this build runs under a sanitizer. Its run-time survives neither strace (ptrace, and
// faults injected into its own writes) nor libfaketime's preload, so the tests that use them
// run in the plain build only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitizedBuild = true;
#else
constexpr bool sanitizedBuild = false;
#endif
#else
constexpr bool sanitizedBuild = false;
#endif

namespace fs = std::filesystem;

std::string readFile(const fs::path& path);
void writeFile(const fs::path& path, const std::string& bytes);
// A shell script with the body, executable by its owner.
fs::path writeScript(const fs::path& path, const std::string& body);
// The files in the folder whose names end in the suffix, sorted.
std::vector<fs::path> filesEndingIn(const fs::path& dir, const std::string& suffix);
// The names of the folder's entries.
std::set<std::string> namesIn(const fs::path& dir);
// The permission bits of the entry itself (a link is not followed).
unsigned modeOf(const fs::path& path);
// The bytes of the values (each 0 to 255).
std::string bytes(std::initializer_list<int> values);
// The signature line over the signed part, as the writer makes it.
std::string signatureLine(const std::string& signedPart);
// A 64-byte Ed25519 signature with the group order L added to its S (another encoding of it).
std::string withGroupOrderAdded(std::string signature);
// The path of the helper program of that name that the tests start.
std::string helper(const std::string& name);

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes (so also when an assertion ends the test early).
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "trawlex-test");
    ~TempDir() { fs::remove_all(root, ignored); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return root; }
    fs::path operator/(const fs::path& name) const { return root / name; }
    // The folder's text with a trailing separator, for building file names by appending.
    std::string str() const { return (root / "").string(); }

private:
    fs::path root;
    std::error_code ignored;
};

// The running test's own folder (made on its first call, the same on later ones), inside a
// temporary folder of the program that goes with everything in it when the program ends. The
// text ends in a separator.
std::string testFolder();

// Sets the process-wide error mode and restores the previous one when it goes.
class ErrorModeGuard {
public:
    explicit ErrorModeGuard(bool throws) : saved(KelvraCorelib::errorModeThrows())
    {
        KelvraCorelib::setErrorModeThrows(throws);
    }
    ~ErrorModeGuard() { KelvraCorelib::setErrorModeThrows(saved); }
    ErrorModeGuard(const ErrorModeGuard&) = delete;
    ErrorModeGuard& operator=(const ErrorModeGuard&) = delete;

private:
    bool saved;
};

// Sends every logger the level ("0" to "8"); true when one took it.
bool setLogLevels(const std::string& level);

// Collects the log records published on the process hub, of one module ("" for all) and the
// levels the level glob matches ("" for all).
class LogSink : public KelvraCorelib::ImsAgent {
public:
    struct Record {
        std::string groupType;  // "functional" or "debug"
        std::string messageType;
        int32_t level = 0;
        std::string module;
        int64_t time = 0;
        uint32_t threadId = 0;
        int32_t processId = 0;
        std::string text;    // the template
        std::string filled;  // with its parameters filled in
    };

    explicit LogSink(std::string module = "", const std::string& levelGlob = "");
    ~LogSink() override { removeMessageHook(hookId); }
    int32_t handleHookedMessage(uint64_t id, const KelvraCorelib::ImsMessage& message) override;

    std::vector<Record> all() const;
    std::vector<Record> at(int32_t level) const;
    // The filled texts, in order.
    std::vector<std::string> texts() const;
    void clear()
    {
        const std::lock_guard<std::mutex> lock(guard);
        records.clear();
    }

private:
    std::string module;
    uint64_t hookId = 0;
    mutable std::mutex guard;
    std::vector<Record> records;
};

#ifndef _WIN32

// Waits up to the time for the process to be gone: no such process, or only its zombie left
// (an orphan's parent may not collect it).
bool goneWithin(int pid, std::chrono::milliseconds time);
// The process id a program wrote to the file as one line, once it is there (0 when it never came).
int waitForPid(const fs::path& file, std::chrono::milliseconds time);

using Environment = std::vector<std::pair<std::string, std::string>>;

struct Outcome {
    std::string out;
    std::string err;
    int exitCode = -1;  // -1 when the program did not exit normally
    int signal = 0;     // the signal that ended it
};

// Starts the program with the arguments in the folder, its standard output and error to the
// files, the variables set in its environment; beforeExec runs in the child. Gives the
// process id, or -1.
int startProgram(const fs::path& folder, const std::string& program, const std::vector<std::string>& arguments,
                 const fs::path& outPath, const fs::path& errPath, const Environment& environment = {},
                 const std::function<void()>& beforeExec = {});
// startProgram with the output to ".stdout" and ".stderr" in the folder; finishIn waits for
// the process and collects that output (and the peak resident size in KiB when asked).
int startIn(const fs::path& folder, const std::string& program, const std::vector<std::string>& arguments,
            const Environment& environment = {}, const std::function<void()>& beforeExec = {});
Outcome finishIn(const fs::path& folder, int pid, long* peakKiB = nullptr);
// Runs the program to its end in the folder.
Outcome runProgram(const fs::path& folder, const std::string& program, const std::vector<std::string>& arguments,
                   const Environment& environment = {}, const std::function<void()>& beforeExec = {});
// Hands the folder and everything in it to the unprivileged account 65534 ("nobody"), then
// runs the body in a forked child as that account; true when the body gave true there.
bool asNobody(const fs::path& folder, const std::function<bool()>& body);

// Runs the command with /bin/sh in the folder.
Outcome runShell(const fs::path& folder, const std::string& command, const Environment& environment = {});

#endif

}  // namespace TestSupport
