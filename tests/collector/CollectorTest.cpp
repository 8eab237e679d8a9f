#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "collector/Collector.h"
#include "corelib/Exception.h"
#include "datahandling/DataLog.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace TestSupport;
using Kelvra::Collector;
using KelvraCorelib::DataLog;

namespace {

// A data log with the same lead and source as the collector's in these tests.
void prepareLikeTheCollector(DataLog& log, const fs::path& dir)
{
    log.setLogType(KelvraCorelib::DataCommons::logRaw);
    KelvraCorelib::DataCommons::SourceInfo source;
    source.application = "trawlex";
    source.module = "test";
    source.datatype = "sample";
    log.setSource(source);
    log.makeReadyToOpenWriteFile(dir.string(), "trawlex", true, false);
}

int runVerifier(const fs::path& file)
{
    const TempDir scratch("trawlex-verify-run");
    return runProgram(scratch.path(), std::string(TEST_BINARY_DIR) + "/tools/trawlex-verify/trawlex-verify",
                      {file.string()})
        .exitCode;
}

class CollectorRun : public ::testing::Test {
protected:
    // A shell-script utility with the given body.
    fs::path utility(const std::string& name, const std::string& body) { return writeScript(work / name, body); }

    // A collector set up as the application does it, for the given utility.
    void configure(Collector& collector, const fs::path& exe, const std::string& args = "", bool skipOnError = false)
    {
        collector.setSkipOnError(skipOnError);
        collector.setTargetDir(target.string());
        collector.setAppName("trawlex");
        collector.setModule("test");
        collector.setDataType("sample");
        collector.setInterval("PT1H");
        collector.setOffset("PT5M");
        collector.setTimeout("PT20S");
        collector.setExePath(exe.string());
        collector.setExeArgs(args);
    }

    fs::path onlyDataFile()
    {
        const auto data = filesEndingIn(target, ".data");
        EXPECT_EQ(data.size(), 1u);
        EXPECT_TRUE(filesEndingIn(target, ".make").empty());
        return data.empty() ? fs::path() : data.front();
    }

    ErrorModeGuard quiet{false};
    TempDir folder{"trawlex-collector"};
    fs::path work = folder.path();
    fs::path target = work / "target";
};

TEST_F(CollectorRun, StoresTheOutputInOneVerifiableFileWithItsMetaKeys)
{
    const fs::path exe = utility("hello.sh", "printf 'line one\\nline two %s\\n' \"$1\"");
    Collector collector;
    configure(collector, exe, "\"two words\"");
    collector.collect();

    const fs::path file = onlyDataFile();
    EXPECT_EQ(runVerifier(file), 0);
    std::string reason;
    EXPECT_EQ(DataLog::checkFileSignature(file.string(), reason), DataLog::Check::valid) << reason;

    const std::string content = readFile(file);
    EXPECT_NE(content.find("\n@DATA:\nline one\nline two two words\n\n"), std::string::npos) << content;
    EXPECT_NE(content.find("source.exe=" + exe.string() + "\n"), std::string::npos);
    EXPECT_NE(content.find("source.exeargs=\"two words\"\n"), std::string::npos);
    EXPECT_NE(content.find("source.offset=300000\n"), std::string::npos);
    EXPECT_NE(content.find("source.application=trawlex\n"), std::string::npos);
    EXPECT_NE(content.find("source.module=test\n"), std::string::npos);
    EXPECT_NE(content.find("source.datatype=sample\n"), std::string::npos);
    EXPECT_NE(content.find("source.collection-interval=3600000\n"), std::string::npos);
    EXPECT_NE(content.find("log.type=raw\n"), std::string::npos);
    EXPECT_EQ(content.find("EXECUTABLE ERROR"), std::string::npos);
    EXPECT_EQ(file.filename().string().rfind("trawlex-", 0), 0u) << file;
}

TEST_F(CollectorRun, FailingUtilityStoresDataAndTheErrorBlockThenReportsTheExitValue)
{
    const fs::path exe = utility("fail.sh", "echo partial; exit 3");
    Collector collector;
    configure(collector, exe, "-x");
    try {
        collector.collect();
        FAIL() << "no error";
    } catch (const Collector::Collect_FailedToRunExe& error) {
        EXPECT_EQ(error.getMessage(false), " \"" + exe.string() + "\" with arguments \"-x\" exited with exit value 3");
    }
    const fs::path file = onlyDataFile();
    EXPECT_EQ(runVerifier(file), 0);
    const std::string block = "--------------------------------------------------\nEXECUTABLE ERROR\nExecutable=" +
                              exe.string() + "\nArguments=-x\nExit-value=3\n" +
                              "--------------------------------------------------";
    EXPECT_EQ(Collector::errorBlock(exe.string(), "-x", 3), block);
    EXPECT_NE(readFile(file).find("@DATA:\npartial\n\n" + block + "\n"), std::string::npos) << readFile(file);
}

TEST_F(CollectorRun, SkipOnErrorWritesNothingForAFailingOrMissingUtility)
{
    Collector failing;
    configure(failing, utility("fail.sh", "echo partial; exit 3"), "", true);
    EXPECT_NO_THROW(failing.collect());

    Collector missing;
    missing.setSkipOnError(true);
    missing.setTargetDir(target.string());
    EXPECT_FALSE(missing.setExePath((work / "no-such-tool").string()));
    EXPECT_NO_THROW(missing.collect());

    EXPECT_TRUE(fs::is_empty(target));
}

TEST_F(CollectorRun, MissingUtilityWithoutSkipIsNotFound)
{
    Collector collector;
    const std::string path = (work / "no-such-tool").string();
    try {
        collector.setExePath(path);
        FAIL() << "no error";
    } catch (const Collector::Exe_NotFound& error) {
        EXPECT_EQ(error.getMessage(false), " Could not find \"" + path + "\"");
    }
}

TEST_F(CollectorRun, UtilityPastItsTimeOutFailsToStartAndLeavesNoProcess)
{
    const fs::path pidFile = work / "pids";
    const fs::path exe = utility("hang.sh", "sleep 120 & echo $$ $! > '" + pidFile.string() + "'; wait");
    Collector collector;
    configure(collector, exe);
    collector.setTimeout("PT1S");
    try {
        collector.collect();
        FAIL() << "no error";
    } catch (const Collector::Collect_FailedToStartExe& error) {
        EXPECT_EQ(error.getMessage(false), " Failed to start \"" + exe.string() + "\" with arguments \"\"");
    }
    EXPECT_TRUE(fs::is_empty(target));

    std::istringstream pids(readFile(pidFile));
    pid_t shell = 0;
    pid_t sleeper = 0;
    pids >> shell >> sleeper;
    ASSERT_GT(sleeper, 0);
    EXPECT_TRUE(goneWithin(shell, std::chrono::seconds(5)));
    EXPECT_TRUE(goneWithin(sleeper, std::chrono::seconds(5)));

    Collector skipping;
    configure(skipping, exe, "", true);
    skipping.setTimeout("PT1S");
    EXPECT_NO_THROW(skipping.collect());
    EXPECT_TRUE(fs::is_empty(target));
}

TEST_F(CollectorRun, InputFileInUtf16WithCarriageReturnsBecomesUtf8Lines)
{
    const fs::path inFile = work / "out.txt";
    // The utility writes BOM FF FE, then "a\r\n\xE9\r\n" in UTF-16LE; its standard output is not stored.
    const fs::path exe = utility("writer.sh", "printf '\\377\\376a\\000\\r\\000\\n\\000\\351\\000\\r\\000\\n\\000' > '" +
                                                  inFile.string() + "'; echo standard output");

    Collector collector;
    configure(collector, exe);
    collector.setInFile(inFile.string());
    collector.collect();
    EXPECT_FALSE(fs::exists(inFile));
    const fs::path file = onlyDataFile();
    const std::string content = readFile(file);
    EXPECT_NE(content.find("@DATA:\na\n\xC3\xA9\n\n"), std::string::npos) << content;
    EXPECT_EQ(content.find("standard output"), std::string::npos) << content;
    EXPECT_EQ(runVerifier(file), 0);

    Collector testing;
    configure(testing, exe);
    testing.setInFile(inFile.string());
    testing.setTestMode();
    testing.collect();
    EXPECT_EQ(readFile(inFile), std::string("\xFF\xFE" "a\0\r\0\n\0\xE9\0\r\0\n\0", 14));
}

TEST_F(CollectorRun, InputTextDecoding)
{
    EXPECT_EQ(Collector::decodeInputText("\xEF\xBB\xBFok\r\n"), "ok\n");
    EXPECT_EQ(Collector::decodeInputText(std::string("\xFE\xFF\0a\0\r\0\n", 8)), "a\n");
    EXPECT_EQ(Collector::decodeInputText("plain\r\ntext"), "plain\ntext");
    EXPECT_EQ(Collector::decodeInputText(""), "");
    EXPECT_THROW(Collector::decodeInputText(std::string("\xFF\xFE" "a", 3)), KelvraCorelib::Exception);
}

TEST_F(CollectorRun, MissingInputFileFailsToRead)
{
    Collector collector;
    configure(collector, utility("quiet.sh", "true"));
    const std::string inFile = (work / "never-written.txt").string();
    collector.setInFile(inFile);
    try {
        collector.collect();
        FAIL() << "no error";
    } catch (const Collector::Collect_FailedToReadDataLog& error) {
        EXPECT_EQ(error.getMessage(false), " Failed to open data log \"" + inFile + "\"");
    }
    EXPECT_TRUE(fs::is_empty(target));
    EXPECT_THROW(collector.setInFile(""), Collector::Exe_InvalidFileName);
}

TEST_F(CollectorRun, RegexFoundInTheMiddleOfTheOutputSkips)
{
    Collector collector;
    configure(collector, utility("talk.sh", "echo first; echo 'status: MAINTENANCE now'; echo last"));
    collector.setSkipOnRegex("MAINT[A-Z]+");
    collector.collect();
    EXPECT_TRUE(fs::is_empty(target));

    collector.setSkipOnRegex("^nothing like this$");
    collector.collect();
    onlyDataFile();
}

TEST_F(CollectorRun, EmptyOutputStillWritesAFile)
{
    Collector collector;
    configure(collector, utility("quiet.sh", "true"));
    collector.collect();
    const fs::path file = onlyDataFile();
    EXPECT_EQ(runVerifier(file), 0);
    EXPECT_NE(readFile(file).find("@DATA:\n\n"), std::string::npos);
}

TEST_F(CollectorRun, SetterValidation)
{
    Collector collector;
    const fs::path plainFile = work / "plain";
    writeFile(plainFile, "x");
    try {
        collector.setTargetDir((plainFile / "sub").string());
        FAIL() << "no error";
    } catch (const Collector::Target_BadDir& error) {
        EXPECT_EQ(error.getMessage(true), "Target_BadDir: Invalid target directory: \"" + (plainFile / "sub").string() + "\"");
    }
    collector.setTargetDir((work / "new" / "nested" / "").string());
    EXPECT_TRUE(fs::is_directory(work / "new" / "nested"));
    EXPECT_EQ(collector.getTargetDir(), (work / "new" / "nested").string());

    EXPECT_THROW(collector.setInterval("PT0.5S"), Collector::Target_TooShortInterval);
    EXPECT_NO_THROW(collector.setInterval("PT1S"));
    EXPECT_THROW(collector.setTimeout("PT0S"), Collector::Exe_TooShortTimeout);
    EXPECT_THROW(collector.setAppName(" \t "), Collector::Target_VoidAppName);
    EXPECT_THROW(collector.setModule(""), Collector::Target_VoidModule);
    EXPECT_THROW(collector.setDataType("\n"), Collector::Target_VoidDataType);
}

TEST_F(CollectorRun, BlankTargetAndNamesThatWouldLeaveTheTargetAreRefused)
{
    Collector collector;
    for (const std::string blank : {"", "  ", " \t\n"}) {
        EXPECT_THROW(collector.setTargetDir(blank), Collector::Target_BadDir) << "[" << blank << "]";
    }

    try {
        collector.setModule(" x/../../y ");
        FAIL() << "no error";
    } catch (const Collector::Target_InvalidModule& error) {
        EXPECT_EQ(error.getMessage(true),
                  "Target_InvalidModule: Module cannot contain path separators or control characters");
    }
    try {
        collector.setDataType("a\\b");
        FAIL() << "no error";
    } catch (const Collector::Target_InvalidDataType& error) {
        EXPECT_EQ(error.getMessage(true),
                  "Target_InvalidDataType: Data type cannot contain path separators or control characters");
    }
    for (const std::string bad : {"a\\b", "a\tb", "a\x01", "a\x7F" "b"}) {
        EXPECT_THROW(collector.setModule(bad), Collector::Target_InvalidModule) << bad;
        EXPECT_THROW(collector.setDataType(bad), Collector::Target_InvalidDataType) << bad;
    }
    EXPECT_THROW(collector.setDataType("../x/y"), Collector::Target_InvalidDataType);

    // Blanks at the ends are trimmed first; dots and other characters stay allowed.
    Collector plain;
    configure(plain, utility("hello.sh", "echo hello"));
    plain.setModule(" os.disk ");
    plain.setDataType("\tdf -k\n");
    plain.collect();
    EXPECT_EQ(onlyDataFile().filename().string().rfind("trawlex-trawlex.os.disk.df -k-", 0), 0u);
}

// Two processes collect the same source into one folder at once: collections that start in
// the same millisecond get distinct source times, and the name's time stays the header's.
TEST_F(CollectorRun, ConcurrentCollectionsOfOneSourceAllLand)
{
    const std::string runner = TestSupport::helper("collector_runner") + " " + target.string() + " /bin/echo ";
    ASSERT_EQ(runShell(work, "(" + runner + "A 200 > a.out 2>&1) & (" + runner + "B 200 > b.out 2>&1) & wait").exitCode, 0);
    EXPECT_EQ(readFile(work / "a.out"), "done\n");
    EXPECT_EQ(readFile(work / "b.out"), "done\n");

    EXPECT_TRUE(filesEndingIn(target, ".make").empty());
    std::map<std::string, int> texts;  // data text -> files holding it
    for (const fs::path& file : filesEndingIn(target, ".data")) {
        std::string reason;
        EXPECT_EQ(DataLog::checkFileSignature(file.string(), reason), DataLog::Check::valid) << file;
        const std::string content = readFile(file);
        const std::string stem = file.filename().string().substr(0, file.filename().string().size() - 8);
        const std::string nameTime = stem.substr(stem.rfind('-') + 1);
        EXPECT_NE(content.find("\nsource.time=" + nameTime + "\n"), std::string::npos) << file;
        const size_t start = content.find("\n@DATA:\n") + 8;
        texts[content.substr(start, content.find('\n', start) - start)]++;
    }
    EXPECT_EQ(texts.size(), 400u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(texts["A " + std::to_string(i)], 1) << i;
        EXPECT_EQ(texts["B " + std::to_string(i)], 1) << i;
    }
}

TEST_F(CollectorRun, FinalisesALeftBehindWorkingFileButNeverAnotherRunsLiveFile)
{
    fs::create_directories(target);
    // An aborted run: its process ends while its working file is open.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DataLog aborted;
        prepareLikeTheCollector(aborted, target);
        aborted.openWriteFile(DataLog::createNew, KelvraCorelib::DateTime::now());
        aborted.setRawLine(std::string("left behind"));
        aborted.writeRaw();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(filesEndingIn(target, ".make").size(), 1u);

    // A live run holds its working file open while the collection runs.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a working name of its own
    DataLog live;
    prepareLikeTheCollector(live, target);
    ASSERT_TRUE(live.openWriteFile(DataLog::createNew, KelvraCorelib::DateTime::now()));
    const auto beforeRun = filesEndingIn(target, ".make");
    ASSERT_EQ(beforeRun.size(), 2u);
    ASSERT_TRUE(live.setRawLine(std::string("live data")));
    ASSERT_TRUE(live.writeRaw());

    Collector collector;
    configure(collector, utility("hello.sh", "echo hello"));
    collector.collect();

    const auto working = filesEndingIn(target, ".make");
    ASSERT_EQ(working.size(), 1u);
    EXPECT_TRUE(working.front() == beforeRun[0] || working.front() == beforeRun[1]);
    EXPECT_EQ(filesEndingIn(target, ".data").size(), 2u);

    ASSERT_TRUE(live.closeFile(false));
    EXPECT_TRUE(filesEndingIn(target, ".make").empty());
    const auto data = filesEndingIn(target, ".data");
    EXPECT_EQ(data.size(), 3u);
    // The left-behind file is finalised but was never signed: invalid. The live and the new
    // collection are valid.
    std::map<std::string, int> verdicts;  // which file -> the verifier's exit code
    for (const auto& file : data) {
        const std::string content = readFile(file);
        const bool live = content.find("live data") != std::string::npos;
        verdicts[live ? "live" : content.find("\n@DATA:\nhello\n") != std::string::npos ? "new" : "left"] =
            runVerifier(file);
    }
    EXPECT_EQ(verdicts, (std::map<std::string, int>{{"left", 1}, {"live", 0}, {"new", 0}}));
}

}  // namespace
