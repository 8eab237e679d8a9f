// Spans of months and years in the collector's settings: time-out, interval and offset.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "collector/Collector.h"
#include "corelib/Exception.h"

namespace fs = std::filesystem;

TEST(CollectorSpans, MonthsAndYearsCountByTheirAverageLength)
{
    char pattern[] = "/tmp/trawlex-spans-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path work = pattern;
    const fs::path exe = work / "hello.sh";
    std::ofstream(exe) << "#!/bin/sh\necho hello\n";
    fs::permissions(exe, fs::perms::owner_all);

    KelvraCorelib::setErrorModeThrows(false);
    Kelvra::Collector collector;
    collector.setTargetDir((work / "target").string());
    collector.setAppName("trawlex");
    collector.setModule("test");
    collector.setDataType("sample");
    collector.setInterval("P1M");
    collector.setOffset("P1Y");
    collector.setTimeout("P1M");
    collector.setExePath(exe.string());
    EXPECT_NO_THROW(collector.collect()) << "a time-out of a month must not expire at once";
    KelvraCorelib::setErrorModeThrows(true);

    std::string content;
    for (const auto& entry : fs::directory_iterator(work / "target")) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        content += text.str();
    }
    fs::remove_all(work);
    EXPECT_NE(content.find("\nhello\n"), std::string::npos) << content;
    EXPECT_NE(content.find("source.collection-interval=2629746000\n"), std::string::npos) << content;
    EXPECT_NE(content.find("source.offset=31556952000\n"), std::string::npos) << content;
}
