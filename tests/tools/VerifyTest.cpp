#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "corelib/Crypto.h"
#include "datahandling/DataLog.h"
#include "support/DataLogSupport.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

using TestSupport::readFile;
using TestSupport::writeFile;

using Result = TestSupport::Outcome;

class VerifyTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        setErrorModeThrows(true);
        DataLog log;
        TestSupport::describeRawLog(log, "app", "app", "app");
        ASSERT_TRUE(TestSupport::writeCollection(log, dir, "line one\r\nline two"));
        valid = dir + "app-app-3850000000000-00.data";
        ASSERT_TRUE(fs::exists(valid));
    }

    // Runs the tool with the arguments as shell words.
    Result verify(const std::string& arguments)
    {
        const std::string tool = std::string(TEST_BINARY_DIR) + "/tools/trawlex-verify/trawlex-verify";
        return TestSupport::runShell(dir, tool + " " + arguments);
    }

    // A tree of data logs: tree/b.data valid, tree/a/z.data tampered, and beside them what a
    // directory check must pass over.
    std::string makeTree()
    {
        const std::string tree = dir + "tree";
        fs::create_directories(tree + "/a");
        fs::create_directories(tree + "/c.data");  // a directory, whatever its name
        fs::copy_file(valid, tree + "/b.data");
        std::string tampered = readFile(valid);
        tampered[tampered.find("line two")] = 'L';
        writeFile(tree + "/a/z.data", tampered);
        writeFile(tree + "/a/work.make", "unfinished");
        writeFile(tree + "/notes.txt", "not a data log");
        fs::create_directory_symlink(tree, tree + "/a/loop");  // never followed
        return tree;
    }

    TestSupport::TempDir folder{"trawlex-verify"};
    std::string dir = folder.str();
    std::string valid;
};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

}  // namespace

TEST_F(VerifyTool, ValidTamperedTruncatedAndUnsignedFiles)
{
    Result r = verify(valid);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, valid + ": OK\n");

    const std::string content = readFile(valid);
    std::string tampered = content;
    tampered[content.find("line one")] = 'L';
    writeFile(dir + "tampered.data", tampered);
    writeFile(dir + "truncated.data", content.substr(0, content.find("line two")));
    writeFile(dir + "unsigned.data", content.substr(0, content.find("@SIGNATURE: ")));
    std::string lower = content;
    const size_t hex = lower.find("C2(S2):") + 7;
    for (size_t i = hex; i < lower.size(); ++i) {
        lower[i] = char(std::tolower(static_cast<unsigned char>(lower[i])));
    }
    writeFile(dir + "lower.data", lower);

    for (const char* name : {"tampered.data", "truncated.data", "unsigned.data", "lower.data"}) {
        r = verify(dir + name);
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_EQ(r.out, dir + name + ": INVALID\n");
    }

    r = verify(valid + " " + dir + "tampered.data " + valid);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, valid + ": OK\n" + dir + "tampered.data: INVALID\n" + valid + ": OK\n" +
                         "2 valid, 1 invalid, 0 unreadable\n");
}

TEST_F(VerifyTool, EverySectionAfterTheFirstMustBeSigned)
{
    const std::string content = readFile(valid);
    // A forged section after the signature line: unsigned, or with a wrong signature.
    const std::string forged = "@META:\nsource.module=other\n\n@DATA:\nforged\n\n\n";
    writeFile(dir + "unsigned-section.data", content + forged);
    writeFile(dir + "bad-section.data", content + forged + "@SIGNATURE: C2(S2):0123\n");
    Crypto::Signature segment(2, true);
    segment.update(forged);
    writeFile(dir + "signed-section.data", content + forged + "@SIGNATURE: " + segment.signatureText(2, true, 0) + "\n");

    const Result r = verify(dir + "unsigned-section.data " + dir + "bad-section.data " + dir + "signed-section.data");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, dir + "unsigned-section.data: INVALID\n" + dir + "bad-section.data: INVALID\n" + dir +
                         "signed-section.data: OK\n1 valid, 2 invalid, 0 unreadable\n");
}

TEST_F(VerifyTool, OlderSignatureForm)
{
    const std::string lines = "@META:\nlog.type=raw\n\n@DATA:\nold data\n\n\n";
    Crypto::Signature legacy(2, false);
    legacy.update(lines);
    std::string text = legacy.signatureText(3, false, 0);
    writeFile(dir + "upper.data", lines + "@SIGNATURE: " + text + "\n");
    for (char& c : text) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    writeFile(dir + "old.data", lines + "@SIGNATURE: " + text + "\n");
    Result r = verify(dir + "old.data");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, dir + "old.data: OK\n");
    r = verify(dir + "upper.data");
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(VerifyTool, MissingFilesAndUsage)
{
    Result r = verify(valid + " " + dir + "missing.data " + valid);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out.rfind(valid + ": OK\n" + dir + "missing.data: UNREADABLE (", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(valid + ": OK\n", valid.size() + 5), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 33), "2 valid, 0 invalid, 1 unreadable\n");

    r = verify("");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Usage: trawlex-verify"), std::string::npos);
    r = verify("--bogus " + valid);
    EXPECT_EQ(r.exitCode, 2);
    r = verify("--help");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Exit codes"), std::string::npos);
    EXPECT_EQ(r.err, "");
    const std::string help = r.out;
    r = verify("-h");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, help);
    // After "--" a name that starts with "-" is a file.
    r = verify("-- --help");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out.rfind("--help: UNREADABLE", 0), 0u);
}

// Output that could not be written is never a success, whatever the verdicts.
TEST_F(VerifyTool, AFailedWriteOfTheOutputEndsWithTwo)
{
    for (const std::string& arguments : std::vector<std::string>{"--json " + valid, valid, "--help"}) {
        const Result r = verify(arguments + " > /dev/full");
        EXPECT_EQ(r.exitCode, 2) << arguments;
        EXPECT_NE(r.err.find("cannot write the output"), std::string::npos) << r.err;
    }
}

// Another account cannot read a folder of root's: it is unreadable, with the reason.
TEST_F(VerifyTool, AnUnreadableFolderIsReportedAndEndsWithTwo)
{
    fs::create_directories(dir + "locked");
    fs::copy_file(valid, dir + "locked/a.data");
    fs::permissions(dir + "locked", fs::perms::owner_all);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    const Result r = TestSupport::runProgram(
        dir, std::string(TEST_BINARY_DIR) + "/tools/trawlex-verify/trawlex-verify", {dir + "locked"}, {}, [] {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(123);
        });
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, dir + "locked: UNREADABLE (Permission denied)\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(VerifyTool, DirectoriesGiveTheirDataFilesInNameOrder)
{
    const std::string tree = makeTree();
    Result r = verify(tree);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, tree + "/a/z.data: INVALID\n" + tree + "/b.data: OK\n1 valid, 1 invalid, 0 unreadable\n");

    // Files and directories mixed; a trailing slash changes nothing but the names.
    r = verify(valid + " " + tree + "/ " + dir + "missing.data");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{valid + ": OK", tree + "/a/z.data: INVALID",
                                                      tree + "/b.data: OK",
                                                      dir + "missing.data: UNREADABLE (No such file or directory)",
                                                      "2 valid, 1 invalid, 1 unreadable"}));

    // An empty directory holds nothing to check.
    fs::create_directories(dir + "empty");
    r = verify(dir + "empty");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(VerifyTool, QuietPrintsOnlyFilesThatAreNotValid)
{
    const std::string tree = makeTree();
    Result r = verify("--quiet " + valid);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");

    r = verify("--quiet " + tree + " " + dir + "missing.data " + valid);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{tree + "/a/z.data: INVALID",
                                                      dir + "missing.data: UNREADABLE (No such file or directory)",
                                                      "2 valid, 1 invalid, 1 unreadable"}));
}

TEST_F(VerifyTool, JsonGivesOneObjectPerFileWithItsMetaKeys)
{
    const std::string tree = makeTree();
    const Result r = verify("--json " + tree + " " + dir + "missing.data");
    EXPECT_EQ(r.exitCode, 2);
    const std::vector<std::string> output = lines(r.out);
    ASSERT_EQ(output.size(), 3u) << r.out;  // no summary line
    std::vector<nlohmann::json> objects;
    for (const std::string& line : output) {
        objects.push_back(nlohmann::json::parse(line));
    }

    EXPECT_EQ(objects[0]["name"], tree + "/a/z.data");
    EXPECT_EQ(objects[0]["status"], "invalid");
    EXPECT_EQ(objects[1]["name"], tree + "/b.data");
    EXPECT_EQ(objects[1]["status"], "valid");
    EXPECT_FALSE(objects[1].contains("reason"));
    for (int i : {0, 1}) {
        const nlohmann::json& meta = objects[i]["meta"];
        EXPECT_EQ(meta["source.module"], "app");
        EXPECT_EQ(meta["source.time"], "3850000000000");  // text, as in the file
        EXPECT_EQ(meta["log.version"], "2");
        EXPECT_FALSE(meta.contains(""));
        for (const auto& item : meta.items()) {
            EXPECT_TRUE(item.value().is_string()) << item.key();
        }
    }
    EXPECT_EQ(objects[2]["name"], dir + "missing.data");
    EXPECT_EQ(objects[2]["status"], "unreadable");
    EXPECT_EQ(objects[2]["reason"], "No such file or directory");
    EXPECT_TRUE(objects[2]["meta"].empty());

    // Bytes that are not UTF-8 are replaced, not a reason to fail.
    std::string content = readFile(valid);
    content.insert(content.find("source.module"), "source.bytes=\xff\xfe\n");
    writeFile(dir + "bytes.data", content);
    const Result bytes = verify("--json --quiet " + dir + "bytes.data");
    EXPECT_EQ(bytes.exitCode, 1);
    const nlohmann::json object = nlohmann::json::parse(bytes.out);
    EXPECT_EQ(object["status"], "invalid");
    EXPECT_EQ(object["meta"]["source.bytes"], "\xef\xbf\xbd\xef\xbf\xbd");
}
