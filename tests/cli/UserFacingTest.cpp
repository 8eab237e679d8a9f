// What a user of the built programs sees for settings that no other black-box test runs:
// skipping a missing utility, a successful input file, the refused configuration files that
// the README quotes, the zone and the domain in the stored file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/ProgramRuns.h"

namespace {

using namespace TestSupport;
using ProgramRuns::metaValue;
using ProgramRuns::programPath;
namespace fs = std::filesystem;

using UserFacing = ProgramRuns::ProgramTest;

TEST_F(UserFacing, SkipOnErrorWithAMissingUtilityStoresNothing)
{
    const Outcome outcome = run(settings(work / "no-such-tool", {"--skip-onerror", "--args", ""}));
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(dataFiles().empty());
}

TEST_F(UserFacing, InputFileIsStoredThenDeletedOrKeptInTestMode)
{
    const fs::path exe = utility("writer.sh", "printf 'from the file\\n' > in.txt; echo standard output");
    Outcome outcome = run(settings(exe, {"--infile", "in.txt", "--args", ""}));
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.exitCode, 0);
    const std::string data = onlyVerifiedData();
    EXPECT_NE(data.find("\n@DATA:\nfrom the file\n"), std::string::npos) << data;
    EXPECT_EQ(data.find("standard output"), std::string::npos) << data;
    EXPECT_FALSE(fs::exists(work / "in.txt"));

    outcome = run(settings(exe, {"--infile", "in.txt", "--testmode", "--args", ""}));
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(readFile(work / "in.txt"), "from the file\n");
    EXPECT_EQ(filesEndingIn(target, ".data").size(), 2u);
}

// Refused files end the run with exit code 2 and two lines, which the README quotes.
TEST_F(UserFacing, RefusedConfigurationFilesAsTheReadmeQuotesThem)
{
    const std::string readme = readFile(std::string(TEST_SOURCE_DIR) + "/README.md");
    const auto refused = [&](const std::string& name) {
        const Outcome outcome = run({"-c", name});
        EXPECT_EQ(outcome.exitCode, 2) << name;
        EXPECT_EQ(outcome.err, "") << name;
        std::istringstream lines(outcome.out);
        for (std::string line; std::getline(lines, line);)
            EXPECT_NE(readme.find("`" + line + "`"), std::string::npos) << line;
        return outcome.out;
    };
    std::string deep;
    for (int i = 0; i < 257; ++i)
        deep += "n (String) = \"\" {\n";
    writeFile(work / "deep.conf", deep + std::string(257, '}'));
    EXPECT_EQ(refused("deep.conf"), "ERROR: Load_TooDeep\n@conf-old-file.load.too-deep{Configuration nodes nested "
                                    "deeper than % levels in line % in file \"%\"};\n");
    const std::string failed = "ERROR: Load_FileError\n@conf-old-file.load.file-error{Failed to load file \"%\"};\n";
    writeFile(work / "damaged.conf.gz", std::string("\x1f\x8b\x08\x00", 4) + std::string(64, 'x'));
    EXPECT_EQ(refused("damaged.conf.gz"), failed);
    fs::create_directory(work / "folder.conf");
    EXPECT_EQ(refused("folder.conf"), failed);

    // A reference to itself reads as the README says.
    const fs::path exe = utility("args.sh", "echo \"$@\"");
    writeFile(work / "loop.conf", "trawlex (String) = \"\" {\n  target (String) = \"\" {\n"
                                  "    dir (DirName) = \"" + target.string() + "\" { }\n"
                                  "    module (String) = \"conf\" { }\n    datatype (String) = \"sample\" { }\n"
                                  "    interval (TimeSpan) = \"15M\" { }\n  }\n  executable (String) = \"\" {\n"
                                  "    path (FileName) = \"" + exe.string() + "\" { }\n"
                                  "    args (String) = \"${trawlex.executable.args}\" { }\n"
                                  "    timeout (TimeSpan) = \"30S\" { }\n  }\n}\n");
    const Outcome loop = run({"-c", "loop.conf"});
    EXPECT_EQ(loop.exitCode, 0) << loop.out;
    EXPECT_NE(onlyVerifiedData().find("\n@DATA:\n[ERROR:CIRCULAR-REFERENCE]\n"), std::string::npos);
    EXPECT_NE(readme.find("\"[ERROR:CIRCULAR-REFERENCE]\""), std::string::npos);
}

TEST_F(UserFacing, KelvraTzReachesTheStoredZone)
{
    const fs::path exe = utility("hello.sh", "echo hello");
    const Outcome outcome = run(settings(exe, {"--args", ""}), {{"KELVRA_TZ", "+09:00"}});
    EXPECT_EQ(outcome.exitCode, 0) << outcome.out;
    EXPECT_EQ(metaValue(onlyVerifiedData(), "source.tz"), "+09:00");
}

// The domain comes from /etc/hosts, else from /etc/resolv.conf: the program runs with the
// test's files in their place, in user, mount and host-name namespaces of its own as "web1"
// (skipped where the system refuses them: in a chroot, in many containers).
TEST_F(UserFacing, DomainFromTheHostsFileOrTheResolver)
{
    const Outcome probe = runProgram(work, "/usr/bin/unshare", {"-Urmu", "/bin/true"});
    if (probe.exitCode != 0 && probe.err.find("Operation not permitted") != std::string::npos)
        GTEST_SKIP() << probe.err;
    const fs::path exe = utility("hello.sh", "echo hello");
    std::string command = "hostname web1 && mount --bind hosts /etc/hosts && mount --bind resolv.conf /etc/resolv.conf"
                          " && exec '" + programPath + "'";
    for (const std::string& word : settings(exe, {"--args", ""}))
        command += " '" + word + "'";
    const auto domainWith = [&](const std::string& hosts, const std::string& resolver) {
        writeFile(work / "hosts", hosts);
        writeFile(work / "resolv.conf", resolver);
        fs::remove_all(target);
        const Outcome outcome = runProgram(work, "/usr/bin/unshare", {"-Urmu", "/bin/sh", "-c", command});
        EXPECT_EQ(outcome.exitCode, 0) << outcome.out << outcome.err;  // unshare says why it cannot
        return metaValue(onlyVerifiedData(), "source.domain");
    };
    EXPECT_EQ(domainWith("10.0.0.5 web1.corp.example web1\n", "domain res.example\n"), "corp.example");
    EXPECT_EQ(domainWith("127.0.0.1 localhost\n", "search x.example\ndomain res.example\n"), "res.example");
    EXPECT_EQ(domainWith("", ""), "[undef]");
}

}  // namespace
