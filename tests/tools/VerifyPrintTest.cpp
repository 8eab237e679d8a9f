// trawlex-verify hands out a file's lines only from the read that verified it, and reads each
// file once. The programs run as black boxes.
#include <gtest/gtest.h>
#include <sys/wait.h>  // the programs run as POSIX processes (ProgramRuns)

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "cli/ProgramRuns.h"
#include "corelib/Crypto.h"
#include "corelib/DateTime.h"
#include "datahandling/DataLog.h"
#include "datahandling/SealStore.h"
#include "support/DataLogSupport.h"

using namespace ProgramRuns;
using KelvraCorelib::DataLog;
using KelvraCorelib::SealStore;

namespace {

class VerifyPrint : public ::testing::Test {
protected:
    // A file of dir with one collection of text.
    std::string collection(const std::string& name, const std::string& text, int64_t time = TestSupport::sourceTime)
    {
        KelvraCorelib::setErrorModeThrows(true);
        const fs::path dir = folder / ("make-" + name);
        fs::create_directory(dir);
        DataLog log;
        TestSupport::describeRawLog(log, "app", "app", "app", time);
        EXPECT_TRUE(TestSupport::writeCollection(log, dir.string() + "/", text));
        const fs::path file = folder / name;
        fs::rename(dir / ("app-app-" + std::to_string(time) + "-00.data"), file);
        return file.string();
    }

    Outcome verify(const std::vector<std::string>& arguments, const TestSupport::Environment& environment = {})
    {
        return runProgram(folder, verifierPath, arguments, environment);
    }

    // A sealed collection of "disk 42%" into out/.
    Outcome collectSealed()
    {
        return runProgram(folder, programPath,
                          {"--target", (folder / "out").string(), "--module", "os", "--datatype", "df", "--interval",
                           "PT1M", "--timeout", "PT30S", "--exe", "/bin/echo", "--args", "disk 42%"},
                          {{"TRAWLEX_SEAL_DIR", (folder / "store").string()}});
    }

    // A store of this host (epochs of one hour) and its verification key line.
    std::string makeStore()
    {
        SealStore::Settings settings;
        settings.now = KelvraCorelib::DateTime::now().count;
        settings.span = 3600000;
        settings.until = settings.now + 2 * settings.span;
        std::string line;
        std::string problem;
        EXPECT_TRUE(SealStore::create((folder / "store").string(), settings, line, problem)) << problem;
        return line;
    }

    TestSupport::TempDir scratch{"trawlex-verify-print"};
    fs::path folder = scratch.path();
};

}  // namespace

TEST_F(VerifyPrint, OnlyAValidFileHasItsLinesPrinted)
{
    const std::string text = "line one\n\n\n\nline two\n\n";
    const std::string first = collection("first.data", text);
    const std::string second = collection("second.data", "", TestSupport::sourceTime + 60000);
    const std::string firstText = readFile(first);

    Outcome data = verify({"--print-data", first});
    EXPECT_EQ(data.exitCode, 0) << data.err;
    EXPECT_EQ(data.out, text + "\n");
    EXPECT_EQ(data.err, first + ": OK\n");
    const std::string header = firstText.substr(0, firstText.find("@DATA:\n"));
    EXPECT_EQ(verify({"--print-header", first}).out, header);
    EXPECT_EQ(header.substr(header.size() - 2), "\n\n");

    // Two signed segments, each with its header and data; the empty text is one empty line.
    const std::string secondText = readFile(second);
    writeFile(folder / "both.data", firstText + secondText);
    data = verify({"--print-header", "--print-data", "--quiet", (folder / "both.data").string()});
    EXPECT_EQ(data.exitCode, 0) << data.err;
    EXPECT_EQ(data.out, header + text + "\n" + secondText.substr(0, secondText.find("@DATA:\n")) + "\n");
    EXPECT_EQ(data.err, "");

    // One byte changed: nothing on standard output.
    std::string changed = firstText;
    changed[changed.find("two")] = 'T';
    // The older signature form is found by a second read, whose lines alone are printed.
    const std::string lines = "@META:\nlog.type=raw\n\n@DATA:\nold data\n\n\n";
    KelvraCorelib::Crypto::Signature older(2, false);
    older.update(lines);
    std::string signature = older.signatureText(3, false, 0);
    for (char& c : signature)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    writeFile(folder / "older.data", lines + "@SIGNATURE: " + signature + "\n");
    EXPECT_EQ(verify({"--print-data", (folder / "older.data").string()}).out, "old data\n");

    writeFile(folder / "changed.data", changed);
    data = verify({"--print-data", "--print-header", (folder / "changed.data").string()});
    EXPECT_EQ(data.exitCode, 1);
    EXPECT_EQ(data.out, "");
    EXPECT_EQ(data.err, (folder / "changed.data").string() + ": INVALID\n");

    // More lines than memory holds come back whole from the temporary file, which is gone after.
    std::string large;
    for (int i = 0; large.size() <= (size_t(17) << 20); ++i)
        large += "line " + std::to_string(i) + " " + std::string(100, 'x') + "\n";
    const std::string big = collection("big.data", large);
    data = verify({"--print-data", big}, {{"TMPDIR", (folder / "tmp").string()}});
    EXPECT_EQ(data.exitCode, 2);  // no temporary folder: nothing held, nothing printed
    EXPECT_EQ(data.out, "");
    fs::create_directory(folder / "tmp");
    data = verify({"--print-data", big}, {{"TMPDIR", (folder / "tmp").string()}});
    EXPECT_EQ(data.exitCode, 0) << data.err;
    EXPECT_TRUE(data.out == large + "\n") << data.out.size();
    EXPECT_TRUE(fs::is_empty(folder / "tmp"));

    // One file only, and standard output is not shared with --json.
    EXPECT_EQ(verify({"--print-data", first, second}).exitCode, 2);
    EXPECT_EQ(verify({"--print-data", folder.string()}).exitCode, 2);
    const Outcome json = verify({"--print-data", "--json", first});
    EXPECT_EQ(json.exitCode, 2);
    EXPECT_EQ(json.out, "");
}

TEST_F(VerifyPrint, WithASealKeyOnlyAFileSealedByItsOwnHostIsPrinted)
{
    const std::string line = makeStore();
    const Outcome run = collectSealed();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::vector<fs::path> files = TestSupport::filesEndingIn(folder / "out", ".data");
    ASSERT_EQ(files.size(), 1u);
    writeFile(folder / "own.key", line + "\n");
    Outcome data = verify({"--seal-key", (folder / "own.key").string(), "--print-data", files[0].string()});
    EXPECT_EQ(data.exitCode, 0) << data.err;
    EXPECT_EQ(data.out, "disk 42%\n\n");

    // The same key said to be another host's: the file's seal is not its host's.
    std::string other = line;
    const size_t host = other.find(' ', other.find(' ') + 1) + 1;
    other.replace(host, other.find(' ', host) - host, "web2");
    writeFile(folder / "other.key", other + "\n");
    data = verify({"--seal-key", (folder / "other.key").string(), "--print-data", files[0].string()});
    EXPECT_EQ(data.exitCode, 1);
    EXPECT_EQ(data.out, "");
    EXPECT_NE(data.err.find("not of the file's source.host"), std::string::npos) << data.err;
}

// Every byte of a file is read once, whatever is asked for: the lines, the seal and its fields
// all come from the one read that checked the file.
TEST_F(VerifyPrint, AFileIsReadOnce)
{
    if (TestSupport::sanitizedBuild)
        GTEST_SKIP() << "LeakSanitizer does not work under strace (the plain build runs it)";
    if (!fs::exists("/usr/bin/strace"))
        GTEST_SKIP() << "strace is not installed";
    const std::string line = makeStore();
    writeFile(folder / "own.key", line + "\n");
    const Outcome run = collectSealed();
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const fs::path file = TestSupport::filesEndingIn(folder / "out", ".data").at(0);
    for (const char* mode : {"--json", "--print-data"}) {
        const fs::path log = folder / "reads.log";
        const Outcome traced =
            runProgram(folder, "/usr/bin/strace",
                       {"-qq", "-o", log.string(), "-e", "trace=openat,open,read,pread64,readv,preadv", "-P",
                        file.string(), verifierPath, "--seal-key", (folder / "own.key").string(), mode,
                        file.string()});
        ASSERT_EQ(traced.exitCode, 0) << traced.err;
        const std::string calls = readFile(log);
        const std::regex read("^p?readv?\\(.*= ([0-9]+)$");
        uint64_t bytes = 0;
        std::istringstream in(calls);
        for (std::string call; std::getline(in, call);) {
            std::smatch match;
            if (std::regex_match(call, match, read))
                bytes += std::stoull(match[1]);
        }
        EXPECT_EQ(bytes, fs::file_size(file)) << mode << "\n" << calls;
    }
}
