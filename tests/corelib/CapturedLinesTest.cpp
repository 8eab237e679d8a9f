// The lines of a program's standard error, kept in a scratch file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "corelib/CapturedLines.h"
#include "corelib/ProcessTools.h"
#include "support/TestSupport.h"

using KelvraCorelib::CapturedLines;
using KelvraCorelib::ProcessTools;

// The file holds 1000 lines of 16 bytes: the first 16000 bytes are kept and split (empty lines
// and carriage returns go, 1000 lines are kept, the rest counted); what the program writes past
// them fails instead of blocking it or growing the file, and it goes on to its end.
TEST(CapturedLinesTest, KeepsTheFirstLinesAndNeverBlocksTheProgram)
{
    TestSupport::TempDir folder;
    const auto script = TestSupport::writeScript(
        folder.path() / "utility.sh",
        "i=0\n"
        "while [ $i -lt 1500 ]; do printf 'line %05d\\r\\n\\n' $i >&2; i=$((i+1)); done\n"
        "head -c 10000000 /dev/zero >&2\n"
        "echo out\n");
    const auto process = ProcessTools::create(script.string(), "", true);
    CapturedLines lines(1000, 16);
    ASSERT_TRUE(lines.open());
    EXPECT_GT(lines.descriptor(), 2);
    process->errorDescriptor = lines.descriptor();
    std::string output;
    ASSERT_TRUE(ProcessTools::runAndWait(*process, 120000, &output));
    EXPECT_EQ(output, "out\n");
    const auto found = lines.take();
    ASSERT_EQ(found.size(), 1000u);
    EXPECT_EQ(found.front(), "line 00000");
    EXPECT_EQ(found.back(), "line 00999");
    // Lines 1000 to 1229 (13 bytes each); the write of line 1230 would pass the end and fails whole.
    EXPECT_EQ(lines.dropped(), 230u);
    EXPECT_EQ(lines.descriptor(), -1);
    EXPECT_TRUE(lines.take().empty());
}
