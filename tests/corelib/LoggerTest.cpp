#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corelib/DateTime.h"
#include "corelib/Logger.h"
#include "corelib/platform/Threads.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;

namespace {

using Record = TestSupport::LogSink::Record;
using RecordSink = TestSupport::LogSink;

// Sends a level change to every logger and restores the defaults afterwards.
class LevelFixture : public ::testing::Test {
protected:
    void TearDown() override
    {
        Logger::maximumLevel = LogTrace;
        setAllLevels("7");
    }
    static bool setAllLevels(const std::string& level) { return TestSupport::setLogLevels(level); }
};

using LoggerLevels = LevelFixture;
using LoggerRecords = LevelFixture;

}  // namespace

TEST_F(LoggerLevels, DefaultsLetTraceThroughButNotFlood)
{
    RecordSink sink;
    Logger logger;
    EXPECT_EQ(logger.level, LogTrace);
    EXPECT_EQ(Logger::maximumLevel, LogTrace);
    EXPECT_EQ(logger.moduleName, "anonymous");
    logger.trace("t");
    logger.flood("f");
    ASSERT_EQ(sink.all().size(), 1u);
    EXPECT_EQ(sink.all()[0].text, "t");
    EXPECT_EQ(sink.all()[0].module, "anonymous");
    logger.setModuleName("configstore13");
    EXPECT_EQ(logger.moduleName, "configstor");
}

TEST_F(LoggerLevels, LevelFromNameIgnoresCaseAndRefusesNumbers)
{
    EXPECT_EQ(Logger::levelFromName("VERBOSE"), 5);
    EXPECT_EQ(Logger::levelFromName("Flood"), 8);
    EXPECT_EQ(Logger::levelFromName("fatal"), 1);
    EXPECT_EQ(Logger::levelFromName("wArNiNg"), 3);
    EXPECT_EQ(Logger::levelFromName("none"), 0);
    EXPECT_EQ(Logger::levelFromName("7"), 0);
    EXPECT_EQ(Logger::levelFromName("9"), 0);
    EXPECT_EQ(Logger::levelFromName("verbose "), 0);
    EXPECT_EQ(Logger::levelFromName(""), 0);
}

TEST_F(LoggerLevels, MaximumLevelZeroSilencesEveryLogger)
{
    RecordSink sink;
    Logger logger;
    Logger::maximumLevel = Logger::levelFromName("bogus");
    logger.fatal("f");
    logger.error("e");
    EXPECT_TRUE(sink.all().empty());
    Logger::maximumLevel = Logger::levelFromName("WARNING");
    logger.warning("w");
    logger.info("i");
    ASSERT_EQ(sink.all().size(), 1u);
    EXPECT_EQ(sink.all()[0].text, "w");
}

TEST_F(LoggerLevels, HubMessagesChangeEveryLoggerWithinTheMaximum)
{
    Logger first, second;
    EXPECT_TRUE(setAllLevels("3"));
    EXPECT_EQ(first.level, 3);
    EXPECT_EQ(second.level, 3);

    EXPECT_TRUE(setAllLevels("8"));  // above the maximum (7): handled, nothing changes
    EXPECT_EQ(first.level, 3);
    EXPECT_TRUE(setAllLevels("-1"));
    EXPECT_EQ(first.level, 3);
    EXPECT_TRUE(setAllLevels("abc"));  // not a number: nothing changes either
    EXPECT_EQ(first.level, 3);

    Logger::maximumLevel = LogFlood;
    EXPECT_TRUE(setAllLevels("8"));
    EXPECT_EQ(second.level, 8);
    EXPECT_TRUE(setAllLevels("0"));
    EXPECT_EQ(first.level, 0);

    // Only ("debug", "level", ...) is a level message.
    ImsMessage other("debug", "levels", "5");
    EXPECT_EQ(first.handleMessage(other), ImsAgent::notHandled);
    EXPECT_EQ(first.handleHookedMessage(first.hookId + 1000, ImsMessage("debug", "level", "5")), ImsAgent::notHandled);
    EXPECT_EQ(first.level, 0);
}

TEST_F(LoggerRecords, GroupAndMessageTypesAndFields)
{
    RecordSink sink("records");  // at flood the hub's lock traces come in as well
    Logger logger;
    logger.setModuleName("records");
    Logger::maximumLevel = LogFlood;
    setAllLevels("8");
    const int64_t before = DateTime::now().count;
    logger.fatal("1");
    logger.error("2");
    logger.warning("3 % and %", ParamStream() << "x" << int32_t(7));
    logger.info("4");
    logger.verbose("5");
    logger.debug("6");
    logger.trace("7");
    logger.flood("8");
    const int64_t after = DateTime::now().count;

    const std::vector<Record> records = sink.all();
    ASSERT_EQ(records.size(), 8u);
    for (int32_t i = 0; i < 8; ++i) {
        const Record& r = records[i];
        EXPECT_EQ(r.level, i + 1);
        EXPECT_EQ(r.messageType, std::to_string(i + 1));
        EXPECT_EQ(r.groupType, i + 1 < 4 ? "functional" : "debug");
        EXPECT_EQ(r.module, "records");
        EXPECT_EQ(r.threadId, Platform::currentThreadId());
        EXPECT_GT(r.processId, 0);
        EXPECT_GE(r.time, before);
        EXPECT_LE(r.time, after);
    }
    EXPECT_EQ(records[2].text, "3 % and %");  // the template; the printer fills it
    EXPECT_EQ(records[2].filled, "3 x and 7");
}

TEST_F(LoggerRecords, LogExceptionWritesNestedErrorsFirst)
{
    RecordSink sink;
    Logger logger;
    Exception inner("@inner.one{First % failed};", " @logsrc{file=\"a.cpp\" line=1};", ParamStream() << "step");
    Exception bare;
    Exception middle(" @logsrc{file=\"b.cpp\" line=2};", inner);
    middle.nested.push_back(bare);
    Exception outer("@outer{Outer};", ParamStream());
    outer.nested.push_back(middle);

    logger.logException(LogError, outer);
    ASSERT_EQ(sink.all().size(), 4u);
    EXPECT_EQ(sink.all()[0].text, "Exception: @inner.one{First % failed}; @logsrc{file=\"a.cpp\" line=1};");
    EXPECT_EQ(sink.all()[0].filled, "Exception: @inner.one{First step failed}; @logsrc{file=\"a.cpp\" line=1};");
    EXPECT_EQ(sink.all()[1].text, "Exception: <NO MESSAGE>");
    EXPECT_EQ(sink.all()[2].text, "Exception: Container for above exceptions");
    EXPECT_EQ(sink.all()[3].text, "Exception: @outer{Outer};");
    for (const Record& r : sink.all()) {
        EXPECT_EQ(r.level, LogError);
        EXPECT_EQ(r.groupType, "functional");
    }

    // The record level test applies to each record.
    sink.clear();
    setAllLevels("1");
    logger.logException(LogError, outer);
    EXPECT_TRUE(sink.all().empty());
}

TEST_F(LoggerRecords, DestroyedLoggersLeaveNoHookBehind)
{
    const size_t before = Ims::instance()->hookCount();
    {
        Logger a, b;
        EXPECT_EQ(Ims::instance()->hookCount(), before + 2);
        EXPECT_NE(a.hookId, b.hookId);
    }
    EXPECT_EQ(Ims::instance()->hookCount(), before);
}

TEST_F(LoggerRecords, RecordsAreMadeOnlyWhileSomeHookTakesThem)
{
    Logger logger;
    EXPECT_FALSE(logger.isLogging(LogError));
    {
        RecordSink errors("", "2");  // set after the logger first asked
        EXPECT_TRUE(logger.isLogging(LogError));
        EXPECT_FALSE(logger.isLogging(LogTrace));
        logger.error("e");
        logger.trace("t");
        EXPECT_EQ(errors.texts(), std::vector<std::string>{"e"});
        RecordSink all;
        EXPECT_TRUE(logger.isLogging(LogTrace));
        logger.trace("t");
        EXPECT_EQ(all.texts(), std::vector<std::string>{"t"});
    }
    EXPECT_FALSE(logger.isLogging(LogError));  // both hooks gone
}
