// The skip-on-regex rule: Perl syntax as Boost.Regex reads it by default, searched anywhere in
// the whole output (lines included), and a malformed pattern reported as boost::regex_error.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <boost/regex.hpp>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "collector/Collector.h"
#include "corelib/Exception.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using Kelvra::Collector;

namespace {

class SkipOnRegex : public ::testing::Test {
protected:
    // True when a collection with the pattern wrote nothing (the output was skipped).
    bool skips(const std::string& pattern)
    {
        fs::remove_all(target);
        // Lines in the middle, a CR LF line end, UTF-8 in the last line, which has no line end.
        // The utility's file is taken (and deleted) after the utility ended.
        const fs::path written = work / "output.txt";
        std::ofstream(written, std::ios::binary)
            << "first line\nstatus: MAINTENANCE now\nload 42 percent\r\nCaf\xc3\xa9 last";
        Collector collector;
        collector.setTargetDir(target.string());
        collector.setAppName("trawlex");
        collector.setModule("test");
        collector.setDataType("sample");
        collector.setInterval("PT1H");
        collector.setTimeout("PT20S");
        collector.setExePath(helper.string());
        collector.setExeArgs("0");
        collector.setInFile(written.string());
        collector.setSkipOnRegex(pattern);
        collector.collect();
        return !fs::exists(target) || fs::is_empty(target);
    }

    TestSupport::ErrorModeGuard quiet{false};
    TestSupport::TempDir folder{"trawlex-skip-regex"};
    fs::path work = folder.path();
    fs::path target = work / "target";
    const fs::path helper = TestSupport::helper("proc_exit");
};

TEST_F(SkipOnRegex, PerlSyntaxAndItsDefaults)
{
    struct Case {
        const char* pattern;
        bool skip;
    };
    const std::vector<Case> cases = {
        // ^ and $ at every line (a CR LF ends a line too); \A and \z at the ends of the output.
        {"^status:", true}, {"now$", true}, {"percent$", true}, {"last$", true},
        {"\\Alast", false}, {"\\Afirst", true}, {"last\\z", true}, {"(?-m)^load", false},
        // . matches a line end; \R is any line end; \h a blank.
        {"line.status", true}, {"\\R", true}, {"\\h+now", true},
        // Word boundaries, classes, counted repeats, case, look-around, comments, quoting, back-references.
        {"\\bMAINT\\b", false}, {"\\bMAINTENANCE\\b", true}, {"\\d{2} percent", true}, {"\\d{3}", false},
        {"[[:digit:]]+", true}, {"maintenance", false}, {"(?i)maintenance", true}, {"MAINT(?=ENANCE)", true},
        {"MAINT(?!ENANCE)", false}, {"(?<=status: )MAIN", true}, {"(?x) M A I N T", true}, {"\\Qn+w\\E", false},
        {"(\\w)\\1", false},
        // The bytes of the output, not characters: é is two of them.
        {"Caf.\\s", false}, {"Caf..\\s", true},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(skips(each.pattern), each.skip) << each.pattern;
    }
}

TEST_F(SkipOnRegex, MalformedPatternFailsTheRunAndWritesNothing)
{
    for (const char* pattern : {"(", "[a", "a{2,1}", "*a", "\\"}) {
        EXPECT_THROW(skips(pattern), boost::regex_error) << pattern;
        EXPECT_TRUE(!fs::exists(target) || fs::is_empty(target)) << pattern;
    }
}

}  // namespace
