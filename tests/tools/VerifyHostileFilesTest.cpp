// trawlex-verify on what another account or a copy tool can leave in a checked folder: FIFOs,
// links to devices, huge header lines, names that are not UTF-8. The built program runs in a
// child that a guard kills when it does not end, so that a hang fails the test instead of
// stopping it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/ProgramRuns.h"
#include "datahandling/SealLine.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VERIFY_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VERIFY_SANITIZED 1
#endif
#endif

namespace {

// A signed single-segment data log with the given meta lines.
std::string signedLog(const std::string& metaLines)
{
    const std::string lines = "@META:\n" + metaLines + "log.type=raw\n\n@DATA:\nsome data\n\n\n";
    return lines + TestSupport::signatureLine(lines);
}

class VerifyHostileFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(dir / "tree");
        good = (dir / "tree" / "good.data").string();
        ProgramRuns::writeFile(good, signedLog("source.host=web1\n"));
        std::string tampered = signedLog("source.host=web1\n");
        tampered[tampered.find("some")] = 'S';
        bad = (dir / "tree" / "bad.data").string();
        ProgramRuns::writeFile(bad, tampered);
    }

    // Runs the verifier; a run that has not ended after a minute is killed (exit code -1).
    template <typename Prepare>
    ProgramRuns::Outcome verify(const std::vector<std::string>& arguments, Prepare beforeExec)
    {
        const fs::path outPath = dir / ".stdout";
        const fs::path errPath = dir / ".stderr";
        const pid_t pid =
            ProgramRuns::startProgram(dir, ProgramRuns::verifierPath, arguments, outPath, errPath, {}, beforeExec);
        EXPECT_GT(pid, 0);
        ProgramRuns::Outcome outcome;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "trawlex-verify did not end";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (WIFEXITED(status))
            outcome.exitCode = WEXITSTATUS(status);
        outcome.out = ProgramRuns::readFile(outPath);
        outcome.err = ProgramRuns::readFile(errPath);
        return outcome;
    }

    ProgramRuns::Outcome verify(const std::vector<std::string>& arguments)
    {
        return verify(arguments, [] {});
    }

    TestSupport::TempDir folder{"trawlex-verify-hostile"};
    fs::path dir = folder.path();
    std::string good;
    std::string bad;
};

}  // namespace

TEST_F(VerifyHostileFiles, FolderWalkChecksOnlyRegularFiles)
{
    const fs::path tree = dir / "tree";
    ASSERT_EQ(mkfifo((tree / "x.data").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", tree / "zero.data");
    fs::create_symlink(good, tree / "link.data");
    fs::create_directories(tree / "sub");
    ASSERT_EQ(mkfifo((tree / "sub" / "y.data").c_str(), 0600), 0);

    const ProgramRuns::Outcome r = verify({tree.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, bad + ": INVALID\n" + good + ": OK\n1 valid, 1 invalid, 0 unreadable\n");
}

TEST_F(VerifyHostileFiles, NamedFilesThatAreNotRegularAreUnreadable)
{
    fs::create_symlink("/dev/zero", dir / "zero.data");
    ASSERT_EQ(mkfifo((dir / "x.data").c_str(), 0600), 0);
    fs::create_symlink(good, dir / "link.data");  // a named link to a file is followed

    const ProgramRuns::Outcome r =
        verify({(dir / "zero.data").string(), (dir / "x.data").string(), (dir / "link.data").string(), bad});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, (dir / "zero.data").string() + ": UNREADABLE (not a regular file)\n" +
                         (dir / "x.data").string() + ": UNREADABLE (not a regular file)\n" +
                         (dir / "link.data").string() + ": OK\n" + bad + ": INVALID\n" +
                         "1 valid, 1 invalid, 2 unreadable\n");
}

TEST_F(VerifyHostileFiles, NamesCannotForgeLines)
{
    // A tampered file whose name would print a valid line and a clean last line of its own.
    const fs::path forged = dir / "tree" / "bad\nz.data: OK\n9 valid, 0 invalid, 0 unreadable\r.data";
    fs::copy_file(bad, forged);

    const ProgramRuns::Outcome r = verify({"--quiet", (dir / "tree").string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, (dir / "tree").string() +
                         "/bad\\nz.data: OK\\n9 valid, 0 invalid, 0 unreadable\\r.data: INVALID\n" + bad +
                         ": INVALID\n1 valid, 2 invalid, 0 unreadable\n");
}

// Key and witness files that another account may have replaced: no abort and no endless read,
// but exit 2 with a message that names the file.
TEST_F(VerifyHostileFiles, HostileKeyAndStateFilesEndWithTwo)
{
    fs::create_directories(dir / "keys");
    const std::string key = (dir / "keys" / "host.key").string();
    ProgramRuns::writeFile(key, SealLine::verificationKeyLine(std::string(32, '\x42'), "web1") + "\n");
    const std::string state = (dir / "state").string();
    ProgramRuns::writeFile(state, "trawlex-seal-witness-1\nweb1\tos\tkey\t12345678901234567890123\thash\n");
    fs::create_symlink("/dev/zero", dir / "zero");
    fs::create_symlink("/dev/zero", dir / "keys" / "zero.key");
    const auto limit = [] {
#ifndef VERIFY_SANITIZED
        const rlimit lowered{256ull << 20, 256ull << 20};
        if (setrlimit(RLIMIT_AS, &lowered) != 0)
            _exit(123);
#endif
    };

    const std::vector<std::pair<std::vector<std::string>, std::string>> runs = {
        {{"--seal-key", key, "--state", state, good}, state},
        {{"--seal-key", key, "--state", (dir / "zero").string(), good}, (dir / "zero").string()},
        {{"--seal-key", (dir / "keys").string(), good}, (dir / "keys" / "zero.key").string()}};
    for (const auto& [arguments, named] : runs) {
        const ProgramRuns::Outcome r = verify(arguments, limit);
        EXPECT_EQ(r.exitCode, 2) << named;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("\"" + named + "\""), std::string::npos) << r.err;
    }
}

TEST_F(VerifyHostileFiles, HugeHeaderLineUnderAnAddressSpaceLimit)
{
#ifdef VERIFY_SANITIZED
    GTEST_SKIP() << "a sanitizer cannot run under an address space limit";
#else
    // 2 GB, nearly all of it a hole, and all of it the second line of a header.
    const std::string big = (dir / "tree" / "big.data").string();
    ProgramRuns::writeFile(big, "@META:\nsource.host=");
    ASSERT_EQ(truncate(big.c_str(), 2LL << 30), 0);
    const auto limit = [] {
        const rlimit lowered{256ull << 20, 256ull << 20};
        if (setrlimit(RLIMIT_AS, &lowered) != 0)
            _exit(123);
    };

    // One run (each file takes a while): every file is reported, the big one with what fitted.
    const ProgramRuns::Outcome r = verify({"--json", (dir / "tree").string()}, limit);
    EXPECT_EQ(r.exitCode, 1);
    std::vector<nlohmann::json> objects;
    for (size_t start = 0; start < r.out.size(); start = r.out.find('\n', start) + 1)
        objects.push_back(nlohmann::json::parse(r.out.substr(start, r.out.find('\n', start) - start)));
    ASSERT_EQ(objects.size(), 3u) << r.out;
    EXPECT_EQ(objects[0]["name"], bad);
    EXPECT_EQ(objects[0]["status"], "invalid");
    EXPECT_EQ(objects[1]["name"], big);
    EXPECT_EQ(objects[1]["status"], "invalid");
    EXPECT_TRUE(objects[1]["meta"].empty());
    EXPECT_EQ(objects[1]["meta_incomplete"], true);
    EXPECT_EQ(objects[2]["name"], good);
    EXPECT_EQ(objects[2]["status"], "valid");
#endif
}

TEST_F(VerifyHostileFiles, OverlongMetaLineLeavesTheVerdict)
{
    // A valid file whose header holds a line longer than the verifier keeps.
    const std::string file = (dir / "long.data").string();
    ProgramRuns::writeFile(file, signedLog("source.args=" + std::string(3 << 20, 'a') + "\nsource.module=m\n"));

    ProgramRuns::Outcome r = verify({file});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, file + ": OK\n");

    r = verify({"--json", file, good});
    EXPECT_EQ(r.exitCode, 0);
    const std::vector<std::string> lines = {r.out.substr(0, r.out.find('\n')),
                                            r.out.substr(r.out.find('\n') + 1)};
    const nlohmann::json cut = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(cut["status"], "valid");
    EXPECT_EQ(cut["meta_incomplete"], true);
    EXPECT_FALSE(cut["meta"].contains("source.args"));
    EXPECT_EQ(cut["meta"]["source.module"], "m");
    EXPECT_EQ(cut["meta"]["log.type"], "raw");
    const nlohmann::json whole = nlohmann::json::parse(lines[1]);
    EXPECT_FALSE(whole.contains("meta_incomplete"));
    EXPECT_EQ(whole["meta"]["source.host"], "web1");
}

TEST_F(VerifyHostileFiles, JsonNamesThatAreNotUtf8StayDistinct)
{
    const fs::path tree = dir / "names";
    fs::create_directories(tree);
    const std::vector<std::string> names = {"n\xfe.data", "n\xff.data", "n\xef\xbf\xbd.data", "n\\xff.data"};
    for (const std::string& name : names)
        fs::copy_file(good, tree / name);

    const ProgramRuns::Outcome r = verify({"--json", tree.string()});
    EXPECT_EQ(r.exitCode, 0);
    std::map<std::string, std::string> printed;  // the exact name -> the printed one
    for (size_t start = 0; start < r.out.size();) {
        const size_t end = r.out.find('\n', start);
        const nlohmann::json object = nlohmann::json::parse(r.out.substr(start, end - start));
        EXPECT_EQ(object["status"], "valid");
        std::string path = object["name"];
        if (object.contains("name_bytes")) {
            const std::string hex = object["name_bytes"];
            path.clear();
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                path += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        }
        printed[path] = object["name"];
        start = end + 1;
    }
    // Each line gives back the file's exact name; names that differ only in bytes that are
    // not UTF-8 print differently, and a UTF-8 name prints as it is.
    ASSERT_EQ(printed.size(), names.size()) << r.out;
    const std::string prefix = tree.string() + "/";
    EXPECT_EQ(printed[prefix + names[0]], prefix + "n\\xfe.data");
    EXPECT_EQ(printed[prefix + names[1]], prefix + "n\\xff.data");
    EXPECT_EQ(printed[prefix + names[2]], prefix + names[2]);
    EXPECT_EQ(printed[prefix + names[3]], prefix + names[3]);
}
