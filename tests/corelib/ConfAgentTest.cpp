// The configuration agent against the real hub and store, with real folders for the
// directory and file tests.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "corelib/ConfAgent.h"
#include "corelib/ConfBase.h"
#include "corelib/ConfNode.h"
#include "corelib/FileTools.h"

using namespace KelvraCorelib;

namespace {

bool hasAnnotationOf(const Exception& error, const std::string& sourceFile)
{
    return error.getAnnotations().find("\"" + sourceFile + "\"") != std::string::npos;
}

class ConfAgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/confagent-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        root = createRoot();
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    ConfNodeHandle add(const std::string& path, int32_t type) { return root->findOrCreate(path, type); }
    void addString(const std::string& path, const std::string& text) { add(path, ConfNodeType::String)->setString(text); }
    void addDir(const std::string& path, const std::string& text) { add(path, ConfNodeType::Dir)->setDir(text); }
    void addFile(const std::string& path, const std::string& text) { add(path, ConfNodeType::File)->setFile(text); }
    void addSpan(const std::string& path, const TimeSpan& span) { add(path, ConfNodeType::TimeSpan)->setTimeSpan(span); }

    // Hands the tree to the store the way a loader does: serialised, in a "data" message.
    void load()
    {
        StringStream serial;
        root->writeTo(serial);
        ConfDataParam param(&serial);
        ImsMessage message("conf", "data", "clear-old", &param);
        ASSERT_TRUE(agent.sendMessage(message));
    }

    std::string folder;
    ConfNodeHandle root;
    ConfBase store;
    ConfAgent agent;
};

}  // namespace

TEST(ConfAgentWithoutStore, EveryOperationReportsTheHubNotWorking)
{
    ConfAgent agent;
    try {
        agent.registerKeyword("target", "trawlex.target.dir");
        FAIL() << "no error";
    } catch (const ConfAgent::Keyword_ImsNotWorking& error) {
        EXPECT_EQ(error.getMessage(true), "Keyword_ImsNotWorking: Failed to register keyword \"target\" = "
                                          "\"trawlex.target.dir\" because IMS isn't working");
        EXPECT_TRUE(hasAnnotationOf(error, "ConfAgent.cpp"));
    }
    try {
        agent.queryString("%target%");
        FAIL() << "no error";
    } catch (const ConfAgent::Query_ImsNotWorking& error) {
        EXPECT_EQ(error.getMessage(false),
                  " Failed to query configuration entry \"%target%\" because IMS isn't working");
    }
    EXPECT_THROW(agent.testGlob("a", "*"), ConfAgent::Test_ImsNotWorking);
    EXPECT_THROW(agent.testDir("a", 0), ConfAgent::Test_ImsNotWorking);
}

TEST_F(ConfAgentTest, TypedQueriesThroughKeywordsAndReferences)
{
    agent.registerKeyword("target", "trawlex.target.dir");
    agent.registerKeyword("module", "trawlex.target.module");
    // Before anything is loaded every entry is missing; the message names the raw path.
    try {
        agent.queryString("%module%");
        FAIL() << "no error";
    } catch (const ConfAgent::Query_NotFound& error) {
        EXPECT_EQ(error.getMessage(true), "Query_NotFound: Configuration entry \"%module%\" was not found");
    }

    addDir("trawlex.target.dir", folder + "/out/");
    addString("trawlex.target.module", "mod-${trawlex.target.name}");
    addString("trawlex.target.name", "disk");
    addSpan("trawlex.target.interval", TimeSpan("PT15M"));
    addFile("trawlex.executable.path", "/usr/bin/tool");
    load();

    EXPECT_EQ(agent.queryDir("%target%"), folder + "/out");
    EXPECT_EQ(agent.queryString("%module%"), "mod-disk");
    EXPECT_EQ(agent.queryTimeSpan("trawlex.target.interval"), TimeSpan("PT15M"));
    EXPECT_EQ(agent.queryFile("trawlex.executable.path"), "/usr/bin/tool");

    try {
        agent.queryString("%target%");
        FAIL() << "no error";
    } catch (const ConfAgent::Query_WrongType& error) {
        EXPECT_EQ(error.getMessage(false), " Configuration entry \"%target%\" is not of requested type (string)");
    }
    EXPECT_THROW(agent.queryTimeSpan("trawlex.target.missing"), ConfAgent::Query_NotFound);
}

TEST_F(ConfAgentTest, QueryForTestNestsTheQueryError)
{
    addString("trawlex.target.module", "m");
    load();
    agent.registerKeyword("module", "trawlex.target.module");
    std::string value;
    agent.queryForTest("%module%", ConfNodeType::String, &value);
    EXPECT_EQ(value, "m");

    try {
        agent.queryForTest("%missing%.x", ConfNodeType::String, &value);
        FAIL() << "no error";
    } catch (const ConfAgent::Test_NotFound& error) {
        EXPECT_TRUE(error.messageTemplate.empty());
        EXPECT_TRUE(hasAnnotationOf(error, "ConfAgent.cpp"));
        ASSERT_EQ(error.nested.size(), 1u);
        EXPECT_EQ(error.nested[0].className, "Query_NotFound");
        EXPECT_EQ(error.getMessage(true),
                  "Test_NotFound:\nQuery_NotFound: Configuration entry \"%missing%.x\" was not found");
    }
    try {
        agent.queryForTest("%module%", ConfNodeType::Dir, &value);
        FAIL() << "no error";
    } catch (const ConfAgent::Test_WrongType& error) {
        ASSERT_EQ(error.nested.size(), 1u);
        EXPECT_EQ(error.nested[0].getMessage(false), " Configuration entry \"%module%\" is not of requested type (dir)");
    }
    // An inner node has type none, which no read can ask for.
    try {
        agent.queryForTest("trawlex", ConfNodeType::None, &value);
        FAIL() << "no error";
    } catch (const ConfAgent::Test_UnknownType& error) {
        ASSERT_EQ(error.nested.size(), 1u);
        EXPECT_EQ(error.nested[0].getMessage(true),
                  "Query_UnknownType: Got request for configuration entry \"trawlex\" of type none, but no such "
                  "type is defined");
    }
}

TEST_F(ConfAgentTest, TimeSpanRangeIncludesBothBounds)
{
    addSpan("one", TimeSpan("PT1S"));
    addSpan("zero", TimeSpan());
    addSpan("month", TimeSpan("P1M"));
    load();
    const TimeSpan second("PT1S");
    agent.testTimeSpanRange("one", second, second);
    agent.testTimeSpanRange("month", TimeSpan(int64_t(2629746000)), TimeSpan("P30DT10H30M"));  // 2,629,746 s
    try {
        agent.testTimeSpanRange("zero", second, TimeSpan("PT1M"));
        FAIL() << "no error";
    } catch (const ConfAgent::Test_ValueOutOfRange& error) {
        EXPECT_EQ(error.getMessage(false),
                  " Configuration entry \"zero\" (value=P) is not within the required range of PT1S through PT1M");
    }
    EXPECT_THROW(agent.testTimeSpanRange("month", second, TimeSpan("P30D")), ConfAgent::Test_ValueOutOfRange);
}

TEST_F(ConfAgentTest, GlobMatchesTheWholeValueWithCase)
{
    addString("exe", "tool.EXE");
    load();
    agent.testGlob("exe", "tool.?XE");
    try {
        agent.testGlob("exe", "*.exe");
        FAIL() << "no error";
    } catch (const ConfAgent::Test_ValueNotMatchingGlob& error) {
        EXPECT_EQ(error.getMessage(false),
                  " Configuration entry \"exe\" (value=\"tool.EXE\") does not match the required \"*.exe\"");
    }
    EXPECT_THROW(agent.testGlob("exe", "tool"), ConfAgent::Test_ValueNotMatchingGlob);
}

TEST_F(ConfAgentTest, DirMustExistOrIsCreatedWithItsParents)
{
    const std::string tree = folder + "/a/b/c";
    ASSERT_TRUE(writeWholeFile("x", folder + "/plain"));
    addDir("tree", tree);
    addDir("blocked", folder + "/plain/sub");
    load();
    agent.registerKeyword("target", "tree");

    try {
        agent.testDir("%target%", 0);
        FAIL() << "no error";
    } catch (const ConfAgent::Test_DirMustExist& error) {
        EXPECT_EQ(error.getMessage(false), " Directory \"" + tree +
                                               "\" specified at configuration entry \"%target%\" does not exist");
    }
    agent.testDir("%target%", 1);
    EXPECT_TRUE(isDirectory(tree));
    agent.testDir("%target%", 0);
    agent.testDir("%target%", 1);  // already there

    try {
        agent.testDir("blocked", 1);
        FAIL() << "no error";
    } catch (const ConfAgent::Test_DirCouldNotBeCreated& error) {
        EXPECT_EQ(error.getMessage(false), " Directory \"" + folder +
                                               "/plain/sub\" specified at configuration entry \"blocked\" does not "
                                               "exist and could not be created;");
    }
    agent.testDir("blocked", 2);  // other modes only read the entry
}

TEST_F(ConfAgentTest, FileMustExistOrIsCreated)
{
    const std::string existing = folder + "/tool";
    ASSERT_TRUE(writeWholeFile("content", existing));
    addFile("existing", existing);
    addFile("fresh", folder + "/fresh.txt");
    addFile("folder", folder);
    addFile("orphan", folder + "/no/such/file");
    load();

    agent.testFile("existing", 0);
    agent.testFile("existing", 1);
    std::string text;
    ASSERT_TRUE(readWholeFile(existing, text));
    EXPECT_EQ(text, "content");

    EXPECT_THROW(agent.testFile("fresh", 0), ConfAgent::Test_FileMustExist);
    agent.testFile("fresh", 1);
    EXPECT_TRUE(isFile(folder + "/fresh.txt"));

    try {
        agent.testFile("folder", 0);
        FAIL() << "no error";
    } catch (const ConfAgent::Test_FileMustExist& error) {
        EXPECT_EQ(error.getMessage(false),
                  " File \"" + folder + "\" specified at configuration entry \"folder\" does not exist");
    }
    // A directory in the way is no file, although its time stamps could be set.
    EXPECT_THROW(agent.testFile("folder", 1), ConfAgent::Test_FileCouldNotBeCreated);
    try {
        agent.testFile("orphan", 1);
        FAIL() << "no error";
    } catch (const ConfAgent::Test_FileCouldNotBeCreated& error) {
        EXPECT_EQ(error.getMessage(false), " File \"" + folder +
                                               "/no/such/file\" specified at configuration entry \"orphan\" does "
                                               "not exist and could not be created;");
    }
}

TEST_F(ConfAgentTest, ShortcutsStandForTheirTargets)
{
    const std::string target = folder + "/made/here";
    ASSERT_EQ(symlink(target.c_str(), (folder + "/out.lnk").c_str()), 0);
    ASSERT_TRUE(writeWholeFile("x", folder + "/tool"));
    ASSERT_EQ(symlink("tool", (folder + "/tool.lnk").c_str()), 0);
    addDir("out", folder + "/out.lnk");
    addFile("exe", folder + "/tool.lnk");
    load();

    try {
        agent.testDir("out", 0);
        FAIL() << "no error";
    } catch (const ConfAgent::Test_DirMustExist& error) {
        EXPECT_NE(error.getMessage(false).find("\"" + target + "\""), std::string::npos);
    }
    agent.testDir("out", 1);
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::symlink_status(target)));
    agent.testFile("exe", 0);
}
