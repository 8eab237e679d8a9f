// The configuration agent against the real hub and store, with real folders for the
// directory and file tests.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "corelib/ConfAgent.h"
#include "corelib/ConfBase.h"
#include "corelib/ConfNode.h"
#include "corelib/FileTools.h"
#include "corelib/PathTools.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;

namespace {

// The caught error of the given class; a test failure when nothing is thrown.
template <typename Error, typename Call>
Error caught(Call call)
{
    try {
        call();
    } catch (const Error& error) {
        return error;
    }
    ADD_FAILURE() << "nothing thrown";
    return Error();
}

class ConfAgentTest : public ::testing::Test {
protected:
    // A path below the folder as the platform writes it ("a/b" is "a\b" on Windows).
    std::string path(const std::string& relative) const
    {
        std::string text = folder + "/" + relative;
        if (separator() != "/")
            toBackslashes(text);
        return text;
    }

    // Hands the tree to the store the way a loader does: serialised, in a "data" message.
    void load()
    {
        StringStream serial;
        root->writeTo(serial);
        ConfDataParam param(&serial);
        ImsMessage message("conf", "data", "clear-old", &param);
        ASSERT_TRUE(agent.sendMessage(message));
    }

    TestSupport::TempDir scratch{"confagent"};
    std::string folder = std::filesystem::path(scratch.path()).make_preferred().string();
    ConfNodeHandle root = createRoot();
    ConfBase store;
    ConfAgent agent;
};

}  // namespace

TEST(ConfAgentWithoutStore, EveryOperationReportsTheHubNotWorking)
{
    ConfAgent agent;
    const auto keyword = caught<ConfAgent::Keyword_ImsNotWorking>([&] { agent.registerKeyword("target", "a.b"); });
    EXPECT_EQ(keyword.getMessage(true),
              "Keyword_ImsNotWorking: Failed to register keyword \"target\" = \"a.b\" because IMS isn't working");
    EXPECT_NE(keyword.getAnnotations().find("\"ConfAgent.cpp\""), std::string::npos);
    EXPECT_EQ(caught<ConfAgent::Query_ImsNotWorking>([&] { agent.queryString("%target%"); }).getMessage(false),
              " Failed to query configuration entry \"%target%\" because IMS isn't working");
    EXPECT_THROW(agent.testDir("a", 0), ConfAgent::Test_ImsNotWorking);
}

TEST_F(ConfAgentTest, TypedQueriesAndTheirErrorsNameTheRawPath)
{
#ifdef _WIN32
    const std::string tool = "C:\\tools\\tool.exe";
#else
    const std::string tool = "/usr/bin/tool";
#endif
    agent.registerKeyword("target", "trawlex.target.dir");
    agent.registerKeyword("module", "trawlex.target.module");
    // Nothing loaded yet.
    EXPECT_EQ(caught<ConfAgent::Query_NotFound>([&] { agent.queryString("%module%"); }).getMessage(true),
              "Query_NotFound: Configuration entry \"%module%\" was not found");

    root->findOrCreate("trawlex.target.dir", ConfNodeType::Dir)->setDir(path("out/"));
    root->findOrCreate("trawlex.target.module", ConfNodeType::String)->setString("mod-${trawlex.target.name}");
    root->findOrCreate("trawlex.target.name", ConfNodeType::String)->setString("disk");
    root->findOrCreate("trawlex.target.interval", ConfNodeType::TimeSpan)->setTimeSpan(TimeSpan("PT15M"));
    root->findOrCreate("trawlex.executable.path", ConfNodeType::File)->setFile(tool);
    load();
    EXPECT_EQ(agent.queryDir("%target%"), path("out"));
    EXPECT_EQ(agent.queryString("%module%"), "mod-disk");
    EXPECT_EQ(agent.queryTimeSpan("trawlex.target.interval"), TimeSpan("PT15M"));
    // An optional setting: a missing entry is an answer, any other condition an error.
    TimeSpan found("PT1S");
    EXPECT_TRUE(agent.findTimeSpan("trawlex.target.interval", found));
    EXPECT_EQ(found, TimeSpan("PT15M"));
    EXPECT_FALSE(agent.findTimeSpan("trawlex.target.offset", found));
    EXPECT_EQ(found, TimeSpan("PT15M"));
    EXPECT_THROW(agent.findTimeSpan("%module%", found), ConfAgent::Query_WrongType);
    EXPECT_EQ(agent.queryFile("trawlex.executable.path"), tool);
    EXPECT_EQ(caught<ConfAgent::Query_WrongType>([&] { agent.queryString("%target%"); }).getMessage(false),
              " Configuration entry \"%target%\" is not of requested type (string)");

    // queryForTest nests the query's error in a Test_ error of its own.
    std::string value;
    const auto missing =
        caught<ConfAgent::Test_NotFound>([&] { agent.queryForTest("%other%.x", ConfNodeType::String, &value); });
    EXPECT_EQ(missing.getMessage(true),
              "Test_NotFound:\nQuery_NotFound: Configuration entry \"%other%.x\" was not found");
    EXPECT_NE(missing.getAnnotations().find("\"ConfAgent.cpp\""), std::string::npos);
    EXPECT_EQ(caught<ConfAgent::Test_WrongType>([&] { agent.queryForTest("%module%", ConfNodeType::Dir, &value); })
                  .getMessage(true),
              "Test_WrongType:\nQuery_WrongType: Configuration entry \"%module%\" is not of requested type (dir)");
    // Inner nodes have type none, which no read can ask for.
    EXPECT_EQ(caught<ConfAgent::Test_UnknownType>([&] { agent.queryForTest("trawlex", ConfNodeType::None, &value); })
                  .nested.at(0)
                  .getMessage(false),
              " Got request for configuration entry \"trawlex\" of type none, but no such type is defined");
}

TEST_F(ConfAgentTest, RangeIncludesBothBoundsAndGlobMatchesWithCase)
{
    const TimeSpan second("PT1S");
    root->findOrCreate("one", ConfNodeType::TimeSpan)->setTimeSpan(second);
    root->findOrCreate("zero", ConfNodeType::TimeSpan)->setTimeSpan(TimeSpan());
    root->findOrCreate("month", ConfNodeType::TimeSpan)->setTimeSpan(TimeSpan("P1M"));
    root->findOrCreate("exe", ConfNodeType::String)->setString("tool.EXE");
    load();
    agent.testTimeSpanRange("one", second, second);
    agent.testTimeSpanRange("month", TimeSpan("P30DT10H29M6S"), TimeSpan("P30DT10H29M6S"));  // 2,629,746 s
    EXPECT_EQ(caught<ConfAgent::Test_ValueOutOfRange>([&] { agent.testTimeSpanRange("zero", second, TimeSpan("PT1M")); })
                  .getMessage(false),
              " Configuration entry \"zero\" (value=P) is not within the required range of PT1S through PT1M");
    EXPECT_THROW(agent.testTimeSpanRange("month", second, TimeSpan("P30D")), ConfAgent::Test_ValueOutOfRange);

    agent.testGlob("exe", "tool.?XE");
    EXPECT_EQ(caught<ConfAgent::Test_ValueNotMatchingGlob>([&] { agent.testGlob("exe", "*.exe"); }).getMessage(false),
              " Configuration entry \"exe\" (value=\"tool.EXE\") does not match the required \"*.exe\"");
}

TEST_F(ConfAgentTest, DirMustExistOrIsCreatedWithItsParents)
{
    const std::string tree = path("a/b/c");
    ASSERT_TRUE(writeWholeFile("x", path("plain")));
    root->findOrCreate("tree", ConfNodeType::Dir)->setDir(tree);
    root->findOrCreate("blocked", ConfNodeType::Dir)->setDir(path("plain/sub"));
    load();
    agent.registerKeyword("target", "tree");

    EXPECT_EQ(caught<ConfAgent::Test_DirMustExist>([&] { agent.testDir("%target%", 0); }).getMessage(false),
              " Directory \"" + tree + "\" specified at configuration entry \"%target%\" does not exist");
    agent.testDir("%target%", 1);
    EXPECT_TRUE(isDirectory(tree));
    agent.testDir("%target%", 0);
    agent.testDir("%target%", 1);

    EXPECT_EQ(caught<ConfAgent::Test_DirCouldNotBeCreated>([&] { agent.testDir("blocked", 1); }).getMessage(false),
              " Directory \"" + path("plain/sub") +
                  "\" specified at configuration entry \"blocked\" does not exist and could not be created;");
    agent.testDir("blocked", 2);  // other modes only read the entry
}

TEST_F(ConfAgentTest, FileMustExistOrIsCreated)
{
    const std::string existing = path("tool");
    ASSERT_TRUE(writeWholeFile("content", existing));
    root->findOrCreate("existing", ConfNodeType::File)->setFile(existing);
    root->findOrCreate("fresh", ConfNodeType::File)->setFile(path("fresh.txt"));
    root->findOrCreate("folder", ConfNodeType::File)->setFile(folder);
    root->findOrCreate("orphan", ConfNodeType::File)->setFile(path("no/file"));
    load();

    agent.testFile("existing", 0);
    agent.testFile("existing", 1);
    std::string text;
    ASSERT_TRUE(readWholeFile(existing, text));
    EXPECT_EQ(text, "content");
    EXPECT_THROW(agent.testFile("fresh", 0), ConfAgent::Test_FileMustExist);
    agent.testFile("fresh", 1);
    EXPECT_TRUE(isFile(path("fresh.txt")));

    EXPECT_EQ(caught<ConfAgent::Test_FileMustExist>([&] { agent.testFile("folder", 0); }).getMessage(false),
              " File \"" + folder + "\" specified at configuration entry \"folder\" does not exist");
    // A directory in the way is no file, although its time stamps could be set.
    EXPECT_THROW(agent.testFile("folder", 1), ConfAgent::Test_FileCouldNotBeCreated);
    EXPECT_EQ(caught<ConfAgent::Test_FileCouldNotBeCreated>([&] { agent.testFile("orphan", 1); }).getMessage(false),
              " File \"" + path("no/file") +
                  "\" specified at configuration entry \"orphan\" does not exist and could not be created;");
}
