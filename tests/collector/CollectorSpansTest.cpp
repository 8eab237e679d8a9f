// Spans of months and years in the collector's settings: time-out, interval and offset.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "collector/Collector.h"
#include "support/TestSupport.h"

using namespace TestSupport;

TEST(CollectorSpans, MonthsAndYearsCountByTheirAverageLength)
{
    const TempDir work("trawlex-spans");
    const ErrorModeGuard quiet(false);
    Kelvra::Collector collector;
    collector.setTargetDir((work / "target").string());
    collector.setAppName("trawlex");
    collector.setModule("test");
    collector.setDataType("sample");
    collector.setInterval("P1M");
    collector.setOffset("P1Y");
    collector.setTimeout("P1M");
    collector.setExePath(writeScript(work / "hello.sh", "echo hello").string());
    EXPECT_NO_THROW(collector.collect()) << "a time-out of a month must not expire at once";

    const auto files = filesEndingIn(work / "target", ".data");
    ASSERT_EQ(files.size(), 1u);
    const std::string content = readFile(files.front());
    EXPECT_NE(content.find("\nhello\n"), std::string::npos) << content;
    EXPECT_NE(content.find("source.collection-interval=2629746000\n"), std::string::npos) << content;
    EXPECT_NE(content.find("source.offset=31556952000\n"), std::string::npos) << content;
}
