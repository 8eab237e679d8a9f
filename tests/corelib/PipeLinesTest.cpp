// The lines of a program's standard error, read while it runs.
#include <gtest/gtest.h>

#include <signal.h>

#include <string>

#include "corelib/PipeLines.h"
#include "corelib/ProcessTools.h"
#include "support/TestSupport.h"

using KelvraCorelib::PipeLines;
using KelvraCorelib::ProcessTools;

namespace {

// Runs the script with its standard error into lines; its standard output is kept apart.
std::vector<std::string> errorLinesOf(const TestSupport::TempDir& folder, const std::string& body, PipeLines& lines,
                                      std::string& output)
{
    const auto script = TestSupport::writeScript(folder.path() / "utility.sh", body);
    const auto process = ProcessTools::create(script.string(), "", true);
    EXPECT_TRUE(lines.open());
    process->errorDescriptor = lines.writeEnd();
    EXPECT_TRUE(ProcessTools::runAndWait(*process, 60000, &output));
    return lines.finish();
}

}  // namespace

// More than the pipe holds, so that a reader that only looks at the end would block the
// program; the lines past the limit are counted, cut ones keep their start, carriage returns
// and empty lines go; a last line without its end counts. A child that keeps standard error
// open after the program ended does not hold the reader.
TEST(PipeLinesTest, ReadsWhileTheProgramRunsAndStopsWithoutItsChildren)
{
    TestSupport::TempDir folder;
    PipeLines lines(1000, 8);
    std::string output;
    const auto found = errorLinesOf(folder,
                                    "i=0\n"
                                    "while [ $i -lt 1500 ]; do printf 'line %05d\\r\\n\\n' $i >&2; i=$((i+1)); done\n"
                                    "echo out\n"
                                    "sleep 600 > /dev/null &\n"
                                    "echo $! > \"$(dirname \"$0\")/child.pid\"\n"
                                    "printf 'last' >&2\n",
                                    lines, output);
    const std::string child = TestSupport::readFile(folder.path() / "child.pid");
    if (!child.empty())
        kill(std::stoi(child), SIGKILL);
    EXPECT_EQ(output, "out\n");
    ASSERT_EQ(found.size(), 1000u);
    EXPECT_EQ(found.front(), "line 000");
    EXPECT_EQ(found.back(), "line 009");  // "line 00999" cut after 8 bytes
    EXPECT_EQ(lines.dropped(), 501u);     // 500 lines and the last
    EXPECT_EQ(lines.writeEnd(), -1);
    EXPECT_TRUE(lines.finish().empty());
}
