#include <gtest/gtest.h>

#include "corelib/Logger.h"

using KelvraCorelib::sourceLocation;

TEST(SourceLocation, KeepsTheBaseNameAfterTheLastSeparator)
{
    EXPECT_EQ(sourceLocation("src\\lib\\main.cpp", 42), " @logsrc{file=\"main.cpp\" line=42};");
    EXPECT_EQ(sourceLocation("libraries/corelib/source/Unicode.cpp", 7), " @logsrc{file=\"Unicode.cpp\" line=7};");
    EXPECT_EQ(sourceLocation("main", 1), " @logsrc{file=\"main\" line=1};");
}
