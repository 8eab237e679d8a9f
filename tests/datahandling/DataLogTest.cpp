#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "corelib/Crypto.h"
#include "corelib/Ims.h"
#include "corelib/Logger.h"
#include "corelib/PathTools.h"
#include "support/DataLogSupport.h"
#include "support/TestSupport.h"
#include "corelib/platform/Process.h"
#include "datahandling/DataLog.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

using TestSupport::ErrorModeGuard;
using TestSupport::LogSink;
using TestSupport::namesIn;
using TestSupport::readFile;
using TestSupport::signatureLine;
using TestSupport::testFolder;
using TestSupport::writeFile;

using TestSupport::sourceTime;
const std::string writer = TestSupport::helper("datalog_writer");

using TestSupport::describeRawLog;

bool verifies(const std::string& path)
{
    std::string reason;
    return DataLog::checkFileSignature(path, reason) == DataLog::Check::valid;
}

// One raw text written to a fresh file and closed; gives the final path.
std::string writeOne(const std::string& dir, const std::string& text, int64_t time = sourceTime)
{
    DataLog log;
    describeRawLog(log, "app", "mod", "mod", time);
    EXPECT_TRUE(TestSupport::writeCollection(log, dir, text));
    return dir + "app-app.mod-" + std::to_string(time) + "-00.data";
}

const std::string header = "@META:\n"
                           "log.type=raw\n"
                           "log.version=2\n"
                           "source.application=app\n"
                           "source.datatype=mod\n"
                           "source.module=mod\n"
                           "source.time=3850000000000\n";

// Checks both error modes: thrown as className with the mode on; with it off a false result
// and one error record that starts with the message id and names this source file.
void expectBothModes(const std::function<bool()>& action, const std::string& className, const std::string& messageId)
{
    try {
        action();
        ADD_FAILURE() << "no exception, expected " << className;
    } catch (const Exception& e) {
        EXPECT_EQ(e.className, className);
    }
    ErrorModeGuard off(false);
    LogSink capture;
    EXPECT_FALSE(action()) << className;
    std::vector<LogSink::Record> errors;
    for (const auto& r : capture.at(LogError)) {
        if (r.module != "datalog") {  // the object's own logger reports other things
            errors.push_back(r);
        }
    }
    ASSERT_EQ(errors.size(), 1u) << className;
    EXPECT_EQ(errors[0].text.rfind(messageId, 0), 0u) << errors[0].text;
    EXPECT_NE(errors[0].text.find("@logsrc{file=\"DataLog.cpp\" line="), std::string::npos) << errors[0].text;
}

// Runs a command and gives what it printed.
std::string run(const std::string& command, const std::string& outPath)
{
    const std::string full = command + " > " + outPath + " 2>&1";
    EXPECT_EQ(std::system(full.c_str()), 0) << command;
    return readFile(outPath);
}

}  // namespace

// ---- File format --------------------------------------------------------------------------

TEST(DataLogFormat, OneRawTextByteForByte)
{
    const std::string dir = testFolder();
    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, true));
    ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
    EXPECT_EQ(log.currentFileName(), dir + "app-app.mod-3850000000000.make");
    EXPECT_EQ(readFile(dir + "app-app.mod-3850000000000.make"), header);  // header flushed at open
    ASSERT_TRUE(log.setRawLine("abc"));
    ASSERT_TRUE(log.writeRaw());
    ASSERT_TRUE(log.closeFile());
    EXPECT_EQ(log.currentFileName(), "");

    EXPECT_EQ(namesIn(dir), (std::set<std::string>{"app-app.mod-3850000000000-00.data"}));
    const std::string content = readFile(dir + "app-app.mod-3850000000000-00.data");
    const std::string signedPart = header + "\n@DATA:\nabc\n\n\n";
    EXPECT_EQ(content, signedPart + signatureLine(signedPart));
    const std::string line = content.substr(signedPart.size());
    ASSERT_EQ(line.size(), 12u + 7u + 64u + 1u);
    EXPECT_EQ(line.substr(0, 19), "@SIGNATURE: C2(S2):");
    EXPECT_EQ(line.substr(19, 64).find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_TRUE(verifies(dir + "app-app.mod-3850000000000-00.data"));
}

TEST(DataLogFormat, DataMarkOnceAndOnlyWithData)
{
    const std::string dir = testFolder();
    {
        DataLog log;
        describeRawLog(log);
        ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
        ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
        ASSERT_TRUE(log.closeFile());
    }
    std::string content = readFile(dir + "app-app.mod-3850000000000-00.data");
    EXPECT_EQ(content, header + "\n\n" + signatureLine(header + "\n\n"));

    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
    ASSERT_TRUE(log.setRawLine("one\r\ntwo\r\n"));
    ASSERT_TRUE(log.writeRaw());
    ASSERT_TRUE(log.setRawLine(""));
    ASSERT_TRUE(log.writeRaw());
    ASSERT_TRUE(log.setRawLine("three"));
    ASSERT_TRUE(log.writeRaw());
    ASSERT_TRUE(log.closeFile());
    content = readFile(dir + "app-app.mod-3850000000000-01.data");
    const std::string signedPart = header + "\n@DATA:\none\r\ntwo\r\n\n\nthree\n\n\n";
    EXPECT_EQ(content, signedPart + signatureLine(signedPart));
    EXPECT_TRUE(verifies(dir + "app-app.mod-3850000000000-01.data"));
}

TEST(DataLogFormat, LargeTextSignedLikeASmallOne)
{
    // Large texts take another path through the writer; the bytes and the signature are the same.
    const std::string dir = testFolder();
    std::string text(5 * 1024 * 1024 + 3, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = char((i * 131) % 251);
    }
    const std::string path = writeOne(dir, text);
    const std::string signedPart = header + "\n@DATA:\n" + text + "\n\n\n";
    EXPECT_TRUE(readFile(path) == signedPart + signatureLine(signedPart));
    EXPECT_TRUE(verifies(path));
}

TEST(DataLogFormat, RawTextOnlyForRawLogs)
{
    DataLog log;
    log.setLogType(DataCommons::logKelvra);
    EXPECT_FALSE(log.setRawLine("x"));
    expectBothModes([&] { return log.writeRaw(); }, "Write_TypeNotRaw", "@data-log.write.type-not-raw{");
}

// ---- Names --------------------------------------------------------------------------------

TEST(DataLogNames, SourceNameAndEveryFileNameForm)
{
    // Application, module, data type and their source name.
    const char* const sources[][4] = {{"app", "app", "app", "app"}, {"app", "m", "m", "app.m"},
                                      {"a", "m", "a", "a.m.a"},       {"a", "m", "d", "a.m.d"},
                                      {"", "m", "m", "m"},            {"", "", "d", "d"},
                                      {"a", "", "", "a."}};
    for (const auto& s : sources) {
        EXPECT_EQ(DataLogName::sourceOf(s[0], s[1], s[2]), s[3]) << s[0] << "/" << s[1] << "/" << s[2];
    }
    for (const char* text : {"app-a.b-123.make", "app-a.b-0123-99999.data", "app-a.b-1.make-42-tampered.make",
                             "app-a.b-1.make-42-07-tampered.make", "app-a.b-1.make-42-tampered-00.data"}) {
        const std::optional<DataLogName> name = DataLogName::parse(text, "app", "a.b");
        EXPECT_TRUE(name && name->text() == text) << text;
    }
    for (const char* text : {"app-a.b-.make", "app-a-b-1.make", "app-a.b-1x.make", "app-a.b-1-00.make",
                             "app-a.b-1.make-42.make", "app-a.b-1.make--tampered.make", "app-a.b-1.make.data",
                             "app-a.b-1.data/../x", "app-a.b-1.make-42-tampered.make-43-tampered.make"}) {
        EXPECT_FALSE(DataLogName::parse(text, "app", "a.b")) << text;
    }
    // Chain keys: the old text where no part holds "." or "%", one key per source, and back.
    const char* const keyed[][4] = {{"a", "a", "a", "a"},       {"a", "m", "m", "a.m"},   {"a", "m", "d", "a.m.d"},
                                    {"a", "a", "d", "a.a.d"},   {"a", "m", "a", "a.m.a"}, {"a", "", "", "a."},
                                    {"", "", "", ""},           {"a.m", "d", "d", "a%2Em.d"},
                                    {"a", "m.d", "m.d", "a.m%2Ed"}, {"a", "m", "%2E", "a.m.%252E"}};
    std::set<std::string> keys;
    for (const auto& s : keyed) {
        const std::string key = DataLogName::sourceKeyOf(s[0], s[1], s[2]);
        EXPECT_EQ(key, s[3]);
        EXPECT_TRUE(keys.insert(key).second) << key;
        const auto parts = DataLogName::sourceOfKey(key);
        EXPECT_TRUE(parts && *parts == (std::array<std::string, 3>{s[0], s[1], s[2]})) << key;
    }
    for (const char* text : {"a.b.c.d", "a.a", "a.m.m", "a%2", "a%41"})
        EXPECT_FALSE(DataLogName::sourceOfKey(text)) << text;
    DataLogName name("app", "a.b", "123");
    EXPECT_EQ(name.longestFinalLength(), std::string("app-a.b-123-99999.data").size());
    name.process = "42";
    EXPECT_EQ(name.withCounter(3).text(), "app-a.b-123.make-42-03-tampered.make");
    name.kind = DataLogName::Kind::final;
    EXPECT_EQ(name.withCounter(100).text(), "app-a.b-123.make-42-tampered-100.data");
}

TEST(DataLogNames, FileTimeAndCounters)
{
    const std::string dir = testFolder();
    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir + "sub/./x/../", "app", true, false));
    EXPECT_EQ(log.directory(), dir + "sub" + separator());
    EXPECT_EQ(log.stem(DateTime(int64_t(0))), "app-app.mod-3850000000000");
    EXPECT_EQ(log.stem(DateTime(int64_t(123))), "app-app.mod-123");
    // An interval shorter than the rotation period aligns the time to the period.
    log.setSourceMeta("collection-interval", "60000");
    log.setSourceMeta("rotation-period", "3600000");
    EXPECT_EQ(log.stem(DateTime(int64_t(0))), "app-app.mod-3849998400000");
    log.setSourceMeta("collection-interval", "3600000");
    EXPECT_EQ(log.stem(DateTime(int64_t(0))), "app-app.mod-3850000000000");
    log.setSourceMeta("collection-interval", "0");
    EXPECT_EQ(log.stem(DateTime(int64_t(0))), "app-app.mod-3850000000000");

    // Counters 00 and 01 are taken: the next close uses 02.
    writeFile(dir + "sub/app-app.mod-3850000000000-00.data", "taken");
    writeFile(dir + "sub/app-app.mod-3850000000000-01.data", "taken");
    ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
    ASSERT_TRUE(log.closeFile());
    EXPECT_EQ(readFile(dir + "sub/app-app.mod-3850000000000-00.data"), "taken");
    EXPECT_EQ(readFile(dir + "sub/app-app.mod-3850000000000-01.data"), "taken");
    EXPECT_TRUE(verifies(dir + "sub/app-app.mod-3850000000000-02.data"));
}

TEST(DataLogNames, DataTimeRotationTakesTheTimeColumn)
{
    DataLog log;
    log.setLogType(DataCommons::logKelvra);
    log.setSourceMeta("application", "app");
    log.setSourceMeta("module", "app");
    log.setSourceMeta("datatype", "app");
    ASSERT_TRUE(log.parseColumns("value:int32|time:time"));
    log.setRotationMode(DataLog::rotateByDataTime);
    EXPECT_EQ(log.stem(DateTime(int64_t(5))), "-app-5");  // no lead given yet
    ASSERT_TRUE(log.setRowValue(1, DataLog::RowValue(DateTime(int64_t(777)))));
    EXPECT_EQ(log.stem(DateTime(int64_t(5))), "-app-777");
    EXPECT_FALSE(log.setRowValue(2, std::nullopt));
    log.setRotationMode(DataLog::rotateByOpenTime);
    EXPECT_EQ(log.stem(DateTime(int64_t(5))), "-app-5");
}

// ---- Preparing and finalising -------------------------------------------------------------

TEST(DataLogFinalise, LeftBehindFilesGetTheirDataNames)
{
    const std::string dir = testFolder();
    writeFile(dir + "app-app.mod-100.make", "left behind");
    writeFile(dir + "app-app.mod-200.make", "left behind too");
    writeFile(dir + "app-app.mod-200.data", "older data file");        // never replaced
    writeFile(dir + "app-app.mod-3850000000000.make", "own name");       // the name this run uses
    writeFile(dir + "other-app.mod-100.make", "other lead");
    writeFile(dir + "app-app.mod-300.make-42-tampered.make", "tampered");

    // A working file that another writer holds open stays.
    DataLog live;
    describeRawLog(live, "app", "mod", "mod", 400);
    ASSERT_TRUE(live.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(live.openWriteFile(DataLog::createNew));

    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, true));
    EXPECT_EQ(namesIn(dir), (std::set<std::string>{"app-app.mod-100.data", "app-app.mod-200.data",
                                                   "app-app.mod-200-00.data", "app-app.mod-3850000000000.make",
                                                   "other-app.mod-100.make", "app-app.mod-300.make-42-tampered.data",
                                                   "app-app.mod-400.make"}));
    EXPECT_EQ(readFile(dir + "app-app.mod-100.data"), "left behind");
    EXPECT_EQ(readFile(dir + "app-app.mod-200.data"), "older data file");
    EXPECT_EQ(readFile(dir + "app-app.mod-200-00.data"), "left behind too");
    EXPECT_FALSE(verifies(dir + "app-app.mod-100.data"));  // finalised, never signed

    ASSERT_TRUE(live.closeFile());
    EXPECT_TRUE(verifies(dir + "app-app.mod-400-00.data"));
}

TEST(DataLogFinalise, BadSaveDirUnderBothModes)
{
    const std::string dir = testFolder();
    writeFile(dir + "file", "x");
    expectBothModes(
        [&] {
            DataLog log;
            describeRawLog(log);
            return log.makeReadyToOpenWriteFile(dir + "file/sub", "app", true, true);
        },
        "MakeReady_BadSaveDir", "@data-log.make-ready.bad-savedir{");
}

// ---- Open modes ---------------------------------------------------------------------------

TEST(DataLogOpen, ModesAndTheirFailures)
{
    const std::string dir = testFolder();
    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    writeFile(dir + "app-app.mod-3850000000000.make", "exists");
    expectBothModes([&] { return log.openWriteFile(DataLog::createNew); }, "OpenWriteFile_FileError",
                    "@data-log.open-write-file.file-error{");
    EXPECT_EQ(readFile(dir + "app-app.mod-3850000000000.make"), "exists");

    // Mode 2 replaces the file.
    ASSERT_TRUE(log.openWriteFile(DataLog::replace));
    expectBothModes([&] { return log.openWriteFile(DataLog::replace); }, "OpenWriteFile_HaveFileAlready",
                    "@data-log.open-write-file.have-file-already{");
    EXPECT_EQ(readFile(dir + "app-app.mod-3850000000000.make"), header);

    // No mode opens a working file that another writer holds.
    DataLog other;
    describeRawLog(other);
    ASSERT_TRUE(other.makeReadyToOpenWriteFile(dir, "app", true, false));
    expectBothModes([&] { return other.openWriteFile(DataLog::replace); }, "OpenWriteFile_FileError",
                    "@data-log.open-write-file.file-error{");
    expectBothModes([&] { return other.openWriteFile(DataLog::append); }, "OpenWriteFile_FileError",
                    "@data-log.open-write-file.file-error{");
    ASSERT_TRUE(log.closeFile());
    EXPECT_TRUE(verifies(dir + "app-app.mod-3850000000000-00.data"));

    // Mode 1 on a missing file creates it.
    ASSERT_TRUE(other.openWriteFile(DataLog::append));
    ASSERT_TRUE(other.closeFile());
    EXPECT_TRUE(verifies(dir + "app-app.mod-3850000000000-01.data"));
}

TEST(DataLogAppend, ValidFileGetsOnlyTheDifferingKeys)
{
    const std::string dir = testFolder();
    // A signed working file kept open for rotation (interval differs from the period).
    {
        DataLog log;
        describeRawLog(log);
        log.setSourceMeta("collection-interval", "3600000");
        log.setSourceMeta("rotation-period", "0");
        ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
        ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
        ASSERT_TRUE(log.setRawLine("first"));
        ASSERT_TRUE(log.writeRaw());
        ASSERT_TRUE(log.closeFile(true));
    }
    const std::string working = dir + "app-app.mod-3850000000000.make";
    const std::string first = readFile(working);
    ASSERT_TRUE(verifies(working));

    DataLog log;
    describeRawLog(log);
    log.setSourceMeta("collection-interval", "3600000");
    log.setSourceMeta("rotation-period", "0");
    log.setSourceMeta("exe", "tool");
    log.setSourceMeta("module", "mod");  // same value: not repeated
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::append));
    EXPECT_FALSE(log.hasInvalidSignature());
    ASSERT_TRUE(log.setRawLine("second"));
    ASSERT_TRUE(log.writeRaw());
    ASSERT_TRUE(log.closeFile());

    const std::string content = readFile(dir + "app-app.mod-3850000000000-00.data");
    ASSERT_EQ(content.substr(0, first.size()), first);
    const std::string segment = "@META:\nsource.exe=tool\n\n@DATA:\nsecond\n\n\n";
    EXPECT_EQ(content.substr(first.size()), segment + signatureLine(segment));
    EXPECT_TRUE(verifies(dir + "app-app.mod-3850000000000-00.data"));
}

TEST(DataLogAppend, NoDifferingKeyMeansNoMetaLine)
{
    const std::string dir = testFolder();
    for (int round = 0; round < 2; ++round) {
        DataLog log;
        describeRawLog(log);
        log.setSourceMeta("collection-interval", "1");
        ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
        ASSERT_TRUE(log.openWriteFile(DataLog::append));
        ASSERT_TRUE(log.closeFile(true));
    }
    const std::string content = readFile(dir + "app-app.mod-3850000000000.make");
    std::string firstPart = header + "\n\n";
    firstPart.insert(firstPart.find("source.datatype="), "source.collection-interval=1\n");
    const std::string first = firstPart + signatureLine(firstPart);
    EXPECT_EQ(content, first + "\n\n" + signatureLine("\n\n"));
}

TEST(DataLogAppend, TamperedFileIsMovedAsideAndStartedAfresh)
{
    const std::string dir = testFolder();
    const std::string working = dir + "app-app.mod-3850000000000.make";
    writeFile(working, header + "\n\n@SIGNATURE: C2(S2):00\n");
    LogSink capture;
    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::append));
    ASSERT_TRUE(log.closeFile());

    const std::string backup = "app-app.mod-3850000000000.make-" + std::to_string(Platform::currentProcessId()) +
                               "-tampered.make";
    EXPECT_EQ(namesIn(dir), (std::set<std::string>{backup, "app-app.mod-3850000000000-00.data"}));
    EXPECT_EQ(readFile(dir + backup), header + "\n\n@SIGNATURE: C2(S2):00\n");
    EXPECT_EQ(readFile(dir + "app-app.mod-3850000000000-00.data"), header + "\n\n" + signatureLine(header + "\n\n"));
    bool logged = false;
    for (const auto& r : capture.at(LogError)) {
        logged = logged || (r.module == "datalog" && r.text.rfind("@data-log.append.invalid-signature{", 0) == 0);
    }
    EXPECT_TRUE(logged);

    // A second tampered file with the same backup name keeps the first backup.
    writeFile(working, "garbage\n");
    ASSERT_TRUE(log.openWriteFile(DataLog::append));
    ASSERT_TRUE(log.closeFile());
    EXPECT_EQ(readFile(dir + backup), header + "\n\n@SIGNATURE: C2(S2):00\n");
    EXPECT_EQ(namesIn(dir).size(), 4u);

    // The next finalisation gives the backups ".data" names.
    log.makeReadyToOpenWriteFile(dir, "app", true, true);
    EXPECT_TRUE(namesIn(dir).count(backup.substr(0, backup.size() - 5) + ".data"));
}

TEST(DataLogAppend, RetryAfterMovingATamperedFileAsideTakesTheSourceTime)
{
    const std::string dir = testFolder();
    const int64_t given = sourceTime + 5000;
    const std::string givenName = "app-app.mod-" + std::to_string(given) + ".make";
    writeFile(dir + givenName, "garbage\n");
    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::append, DateTime(given)));
    EXPECT_EQ(log.currentFileName(), dir + "app-app.mod-3850000000000.make");
    ASSERT_TRUE(log.closeFile());
    EXPECT_EQ(namesIn(dir), (std::set<std::string>{givenName + "-" + std::to_string(Platform::currentProcessId()) +
                                                       "-tampered.make",
                                                   "app-app.mod-3850000000000-00.data"}));
}

TEST(DataLogAppend, BackupFailureUnderBothModes)
{
    const std::string dir = testFolder();
    // A working name so long that the backup name cannot be made.
    const std::string lead(220, 'L');
    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, lead, true, false));
    const std::string working = log.workingName(DateTime(int64_t(0)));
    expectBothModes(
        [&] {
            writeFile(working, "not signed\n");
            return log.openWriteFile(DataLog::append);
        },
        "OpenWriteFile_BackupFailure", "@data-log.open-write-file.backup-failure{");
    EXPECT_EQ(readFile(working), "not signed\n");
}

// ---- Rotation -----------------------------------------------------------------------------

TEST(DataLogRotation, BySizeClosesAndOpensANewFile)
{
    const std::string dir = testFolder();
    DataLog log;
    describeRawLog(log);
    log.setRotationMode(DataLog::rotateBySize);
    log.setMaxBytes(10);
    log.setRotationPattern("*");
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
    const int64_t before = DateTime::now().count;
    ASSERT_TRUE(log.setRawLine("0123456789"));
    ASSERT_TRUE(log.writeRaw());  // 11 bytes now
    ASSERT_TRUE(log.setRawLine("next"));
    ASSERT_TRUE(log.writeRaw());  // rotates first
    const std::string second = log.currentFileName();
    ASSERT_TRUE(log.closeFile());

    const std::string firstSigned = header + "\n@DATA:\n0123456789\n\n\n";
    EXPECT_EQ(readFile(dir + "app-app.mod-3850000000000-00.data"), firstSigned + signatureLine(firstSigned));
    const std::string prefix = dir + "app-app.mod-";
    ASSERT_EQ(second.rfind(prefix, 0), 0u);
    const int64_t secondTime = std::stoll(second.substr(prefix.size()));
    EXPECT_GE(secondTime, before);
    const std::string final2 = second.substr(0, second.size() - 5) + "-00.data";
    const std::string content = readFile(final2);
    EXPECT_NE(content.find("source.time=" + std::to_string(log.getSourceTime().count) + "\n"), std::string::npos);
    EXPECT_NE(content.find("\n@DATA:\nnext\n\n\n@SIGNATURE: "), std::string::npos);
    EXPECT_TRUE(verifies(final2));
    EXPECT_EQ(namesIn(dir).size(), 2u);
}

TEST(DataLogRotation, SizeRotationNeedsThePatternToMatch)
{
    const std::string dir = testFolder();
    DataLog log;
    describeRawLog(log);
    log.setRotationMode(DataLog::rotateBySize);
    log.setMaxBytes(1);
    log.setRotationPattern("boundary*");
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
    for (const char* text : {"a", "b", "c"}) {
        ASSERT_TRUE(log.setRawLine(text));
        ASSERT_TRUE(log.writeRaw());
    }
    ASSERT_TRUE(log.closeFile());
    EXPECT_EQ(namesIn(dir).size(), 1u);
}

// ---- Errors, wrapping, life cycle ---------------------------------------------------------

TEST(DataLogErrors, NoFileUnderBothModes)
{
    DataLog log;
    describeRawLog(log);
    expectBothModes([&] { return log.closeFile(); }, "CloseFile_NoFile", "@data-log.close-file.no-file{");
    expectBothModes([&] { return log.checkSignature(); }, "GetSignature_CannotRead",
                    "@data-log.get-signature.cannot-read{");
    log.setAutoRotate(false);
    ASSERT_TRUE(log.setRawLine("x"));
    // The inner error comes wrapped when thrown.
    try {
        log.writeRaw();
        FAIL();
    } catch (const DataLog::Write_FileError& e) {
        EXPECT_EQ(e.messageTemplate, "");
        ASSERT_EQ(e.nested.size(), 1u);
        EXPECT_EQ(e.nested[0].className, "WriteLine_NoFile");
        EXPECT_EQ(e.getMessage(true), "Write_FileError:\nWriteLine_NoFile: Attemting to write, but have no file");
    }
    ErrorModeGuard off(false);
    LogSink capture;
    EXPECT_FALSE(log.writeRaw());
    ASSERT_EQ(capture.at(LogError).size(), 1u);
    EXPECT_EQ(capture.at(LogError)[0].text.rfind("@data-log.write-line.no-file{", 0), 0u);
}

TEST(DataLogErrors, OpeningFailureInsideWriteRawIsWrappedTwice)
{
    const std::string dir = testFolder();
    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir + "missing", "app", false, false));
    ASSERT_TRUE(log.setRawLine("x"));
    try {
        log.writeRaw();
        FAIL();
    } catch (const DataLog::Write_FileError& e) {
        ASSERT_EQ(e.nested.size(), 1u);
        EXPECT_EQ(e.nested[0].className, "UpdateWriteFile_OpenError");
        ASSERT_EQ(e.nested[0].nested.size(), 1u);
        EXPECT_EQ(e.nested[0].nested[0].className, "OpenWriteFile_FileError");
    }
    ErrorModeGuard off(false);
    EXPECT_FALSE(log.writeRaw());
}

TEST(DataLogErrors, FinalRenameFailureUnderBothModes)
{
    const std::string dir = testFolder();
    int round = 0;
    expectBothModes(
        [&] {
            const std::string sub = dir + "round" + std::to_string(round++) + "/";
            DataLog log;
            describeRawLog(log);
            EXPECT_TRUE(log.makeReadyToOpenWriteFile(sub, "app", true, false));
            EXPECT_TRUE(log.openWriteFile(DataLog::createNew));
            fs::rename(log.currentFileName(), log.currentFileName() + "-gone");  // the working name is gone
            return log.closeFile();
        },
        "CloseFile_FailedToMakeFinal", "@data-log.close-file.failed-to-make-final{");
}

#ifndef _WIN32
// The folder is opened once: a path that names another folder by the time the file is finalised
// changes nothing.
TEST(DataLogErrors, FolderReplacedByALinkKeepsEveryFileInTheFolderOpened)
{
    const std::string dir = testFolder();
    fs::create_directories(dir + "other");
    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir + "target", "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
    fs::rename(dir + "target", dir + "checked");
    fs::create_directory_symlink(dir + "other", dir + "target");
    EXPECT_TRUE(log.closeFile());
    EXPECT_EQ(namesIn(dir + "checked"), std::set<std::string>{"app-app.mod-3850000000000-00.data"});
    EXPECT_TRUE(fs::is_empty(dir + "other"));
}
#endif

TEST(DataLogErrors, WriteFailuresUnderBothModes)
{
    const std::string dir = testFolder();
    EXPECT_EQ(run(writer + " limit " + dir + "on on", dir + "on.out"),
              "open true\nraw Write_FileError>WriteLine_WriteError\nclose CloseFile_WriteError>WriteLine_WriteError\n");
    EXPECT_EQ(run(writer + " limit " + dir + "off off", dir + "off.out"), "open true\nraw false\nclose false\n");
}

TEST(DataLogErrors, SetColumnsErrorsLeaveAsPlainExceptionWithLocation)
{
    DataLog log;
    log.setLogType(DataCommons::logKelvra);
    try {
        log.parseColumns("a:int32|b");
        FAIL();
    } catch (const DataCommons::ParseColumns_BadString&) {
        FAIL() << "expected the plain class";
    } catch (const Exception& e) {
        EXPECT_EQ(e.className, "ParseColumns_BadString");
        ASSERT_EQ(e.annotations.size(), 2u);
        EXPECT_NE(e.annotations[1].find("DataLog.cpp"), std::string::npos);
    }
    ASSERT_TRUE(log.parseColumns("a:int32|time:time"));
    EXPECT_TRUE(log.setRowValue(1, DataLog::RowValue(int64_t(5))));
}

TEST(DataLogLifecycle, DestructorFinalisesAndResetClears)
{
    const std::string dir = testFolder();
    {
        DataLog log;
        describeRawLog(log);
        ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
        ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
        ASSERT_TRUE(log.setRawLine("kept"));
        ASSERT_TRUE(log.writeRaw());
    }
    EXPECT_TRUE(verifies(dir + "app-app.mod-3850000000000-00.data"));

    DataLog log;
    describeRawLog(log);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
    log.reset();
    EXPECT_FALSE(log.isOpen());
    EXPECT_TRUE(log.metaKeys().empty());
    EXPECT_EQ(log.directory(), "");
    EXPECT_TRUE(log.hasInvalidSignature());
    EXPECT_TRUE(verifies(dir + "app-app.mod-3850000000000-01.data"));
    EXPECT_EQ(namesIn(dir).size(), 2u);
}

// ---- Signature check ----------------------------------------------------------------------

TEST(DataLogSignature, AnyChangeBeforeTheSignatureLineIsDetected)
{
    const std::string dir = testFolder();
    const std::string path = writeOne(dir, "a\r\nb");
    const std::string original = readFile(path);
    ASSERT_TRUE(verifies(path));
    const size_t signatureStart = original.find("@SIGNATURE: ");
    const std::string probe = dir + "probe";
    for (size_t i = 0; i < original.size(); ++i) {
        std::string changed = original;
        changed[i] = char(changed[i] ^ 0x01);
        writeFile(probe, changed);
        EXPECT_FALSE(verifies(probe)) << "changed at " << i;
    }
    for (size_t i = 0; i < signatureStart; ++i) {
        std::string removed = original;
        removed.erase(i, 1);
        writeFile(probe, removed);
        EXPECT_FALSE(verifies(probe)) << "removed at " << i;
        std::string added = original;
        added.insert(i, 1, 'x');
        writeFile(probe, added);
        EXPECT_FALSE(verifies(probe)) << "added at " << i;
    }
    // The signature text itself.
    for (size_t i = signatureStart; i + 1 < original.size(); ++i) {
        std::string removed = original;
        removed.erase(i, 1);
        writeFile(probe, removed);
        EXPECT_FALSE(verifies(probe)) << "removed at " << i;
    }
}

TEST(DataLogSignature, SignatureLikeDataLinesAreData)
{
    const std::string dir = testFolder();
    const std::string text = "x\n@SIGNATURE: C2(S2):00\n@SIGNATURE: 0123abcd\n@SIGNATURE: \n@SIGNATURE: " +
                             std::string(100000, 'F') + "\ny";
    const std::string path = writeOne(dir, text);
    EXPECT_TRUE(verifies(path));
    std::string changed = readFile(path);
    changed[changed.find("\ny\n") + 1] = 'z';
    writeFile(dir + "changed", changed);
    EXPECT_FALSE(verifies(dir + "changed"));

    // The same data in a working file that is appended to.
    const std::string working = dir + "app-app.mod-" + std::to_string(sourceTime) + ".make";
    fs::rename(path, working);
    DataLog log;
    describeRawLog(log);
    log.setSourceMeta("exe", "tool");
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::append));
    EXPECT_FALSE(log.hasInvalidSignature());
    ASSERT_TRUE(log.closeFile());
    const std::string content = readFile(dir + "app-app.mod-3850000000000-00.data");
    EXPECT_NE(content.find(text), std::string::npos);
    EXPECT_NE(content.find("@META:\nsource.exe=tool\n"), std::string::npos);
    EXPECT_TRUE(verifies(dir + "app-app.mod-3850000000000-00.data"));
}

TEST(DataLogSignature, OlderFormIsComparedInLowerCase)
{
    const std::string dir = testFolder();
    const std::string lines = header + "\n@DATA:\nold\n\n\n";
    Crypto::Signature legacy(2, false);
    legacy.update(lines);
    const std::string upper = legacy.signatureText(3, false, 0);
    std::string lower = upper;
    for (char& c : lower) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    ASSERT_EQ(lower.size(), 32u);
    ASSERT_NE(lower, upper);
    writeFile(dir + "old.data", lines + "@SIGNATURE: " + lower + "\n");
    EXPECT_TRUE(verifies(dir + "old.data"));
    writeFile(dir + "old.data", lines + "@SIGNATURE: " + lower);  // no final line feed
    EXPECT_TRUE(verifies(dir + "old.data"));
    writeFile(dir + "old.data", lines + "@SIGNATURE: " + upper + "\n");
    EXPECT_FALSE(verifies(dir + "old.data"));
    writeFile(dir + "old.data", "x" + lines + "@SIGNATURE: " + lower + "\n");
    EXPECT_FALSE(verifies(dir + "old.data"));
}

TEST(DataLogSignature, EverySegmentMustBeSignedAndNothingMayFollow)
{
    const std::string dir = testFolder();
    const std::string path = writeOne(dir, "data");
    const std::string original = readFile(path);
    writeFile(dir + "cut", original.substr(0, original.find("@SIGNATURE: ")));
    EXPECT_FALSE(verifies(dir + "cut"));
    writeFile(dir + "empty", "");
    EXPECT_FALSE(verifies(dir + "empty"));
    writeFile(dir + "only", "@SIGNATURE: C2(S2):00\n");
    EXPECT_FALSE(verifies(dir + "only"));
    writeFile(dir + "cr", original.substr(0, original.size() - 1) + "\r\n");
    EXPECT_FALSE(verifies(dir + "cr"));
    writeFile(dir + "no-final-lf", original.substr(0, original.size() - 1));
    EXPECT_TRUE(verifies(dir + "no-final-lf"));

    // A section appended after the signature line counts only when it is signed itself.
    const std::string forged = "@META:\nsource.module=other\n\n@DATA:\nforged\n\n\n";
    const std::map<std::string, bool> appended = {
        {"anything after\n", false},
        {"\n", false},
        {forged, false},
        {forged + "@SIGNATURE: C2(S2):00\n", false},
        {forged + signatureLine(forged) + "x", false},
        {forged + signatureLine(forged), true},
        {forged + signatureLine(forged) + "\n\n" + signatureLine("\n\n"), true},
    };
    for (const auto& [tail, valid] : appended) {
        writeFile(dir + "appended", original + tail);
        EXPECT_EQ(verifies(dir + "appended"), valid) << tail;
    }

    // The writer's own check before appending covers the first segment only.
    const std::string working = dir + "app-app.mod-" + std::to_string(sourceTime + 1) + ".make";
    writeFile(working, original + "anything after\n");
    DataLog log;
    describeRawLog(log, "app", "mod", "mod", sourceTime + 1);
    ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir, "app", true, false));
    ASSERT_TRUE(log.openWriteFile(DataLog::append));
    EXPECT_FALSE(log.hasInvalidSignature());
    EXPECT_EQ(log.currentFileName(), working);
    std::string reason;
    EXPECT_EQ(DataLog::checkFileSignature(dir + "absent", reason), DataLog::Check::unreadable);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(DataLog::checkFileSignature(dir, reason), DataLog::Check::unreadable);
}

// ---- Two writers at once ------------------------------------------------------------------

TEST(DataLogConcurrency, TwoProcessesWriteIntoOneDirectory)
{
    const std::string dir = testFolder();
    const std::string one = writer + " write " + dir + "files A 200 > " + dir + "a.out 2>&1";
    const std::string two = writer + " write " + dir + "files B 200 > " + dir + "b.out 2>&1";
    const std::string both = "(" + one + ") & (" + two + ") & wait";
    ASSERT_EQ(std::system(both.c_str()), 0);
    EXPECT_EQ(readFile(dir + "a.out"), "done\n");
    EXPECT_EQ(readFile(dir + "b.out"), "done\n");

    std::map<std::string, int> texts;  // data text -> files holding it
    size_t dataFiles = 0;
    for (const std::string& name : namesIn(dir + "files")) {
        ASSERT_EQ(name.substr(name.size() - 5), ".data") << name;
        ++dataFiles;
        const std::string path = dir + "files/" + name;
        EXPECT_TRUE(verifies(path)) << name;
        const std::string content = readFile(path);
        const size_t start = content.find("\n@DATA:\n");
        ASSERT_NE(start, std::string::npos) << name;
        const size_t textStart = start + 8;
        texts[content.substr(textStart, content.find('\n', textStart) - textStart)]++;
    }
    EXPECT_EQ(dataFiles, 400u);
    EXPECT_EQ(texts.size(), 400u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(texts["A " + std::to_string(i)], 1) << i;
        EXPECT_EQ(texts["B " + std::to_string(i)], 1) << i;
    }
}
