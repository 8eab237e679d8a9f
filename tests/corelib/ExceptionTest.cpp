#include <gtest/gtest.h>

#include "corelib/Exception.h"
#include "corelib/Logger.h"

using namespace KelvraCorelib;

namespace {

class Worker : public Throws {
public:
    KELVRA_ERROR_CLASS(Start_FailedToStart);
    KELVRA_ERROR_CLASS(Run_Aborted);
};

const std::string startTemplate = "@thread.start.failed-to-start{Failed to start thread \"%\" (error=%)};";

}  // namespace

TEST(ExceptionMarkup, StripsIdAndKeepsText)
{
    EXPECT_EQ(stripMessageMarkup(startTemplate), "Failed to start thread \"%\" (error=%)");
    EXPECT_EQ(stripMessageMarkup("@out-of-memory{Out of memory};"), "Out of memory");
    EXPECT_EQ(stripMessageMarkup(""), "");
    EXPECT_EQ(stripMessageMarkup("plain text"), "plain text");
}

TEST(ExceptionMarkup, HeldBackBraceIsOutputOnlyBeforeAnOrdinaryCharacter)
{
    // "}" then ";;" then an ordinary character: the brace comes back before it.
    EXPECT_EQ(stripMessageMarkup("@a{x}b};"), "x}b");
    EXPECT_EQ(stripMessageMarkup("@a{x};;;y};"), "x}y");
    // "}" followed by "@" or by the end is dropped.
    EXPECT_EQ(stripMessageMarkup("@a{x}@b{y};"), "xy");
    EXPECT_EQ(stripMessageMarkup("@a{x}"), "x");
    EXPECT_EQ(stripMessageMarkup("@a{x};@b{y"), "xy");
    // A dropped brace is not brought back by a later ordinary character.
    EXPECT_EQ(stripMessageMarkup("@a{x}@b{y@z"), "xyz");
}

TEST(ExceptionMarkup, StrayAtSignsAndSeveralMessages)
{
    EXPECT_EQ(stripMessageMarkup("copy C:\\data@home\\file"), "copy C:\\datahome\\file");
    // "@@" starts an id: its characters are dropped up to the "{".
    EXPECT_EQ(stripMessageMarkup("a@@id{b};"), "ab");
    EXPECT_EQ(stripMessageMarkup("@one{First.};@two{Second.};"), "First.Second.");
    // An id that is never opened swallows the rest.
    EXPECT_EQ(stripMessageMarkup("@unterminated id"), "");
    // Leading ";" between messages vanish.
    EXPECT_EQ(stripMessageMarkup(";;@x{y};"), "y");
}

TEST(ExceptionMessage, SubstitutesParametersInOrder)
{
    const Worker::Start_FailedToStart full(startTemplate, KELVRA_HERE, ParamStream() << "reader" << 87);
    EXPECT_EQ(full.getMessage(true), "Start_FailedToStart: Failed to start thread \"reader\" (error=87)");
    EXPECT_EQ(full.getMessage(false), " Failed to start thread \"reader\" (error=87)");

    const Worker::Start_FailedToStart tooFew(startTemplate, ParamStream() << "reader");
    EXPECT_EQ(tooFew.getMessage(false), " Failed to start thread \"reader\" (error=)");

    const Worker::Start_FailedToStart tooMany(startTemplate, ParamStream() << "a" << 1 << 2 << "extra");
    EXPECT_EQ(tooMany.getMessage(false), " Failed to start thread \"a\" (error=1)");

    const Worker::Start_FailedToStart none(startTemplate);
    EXPECT_EQ(none.getMessage(false), " Failed to start thread \"%\" (error=%)");
}

TEST(ExceptionMessage, BackslashProtectsThePercentSign)
{
    const Exception e("@x.y{100\\% of % done};", ParamStream() << "job");
    EXPECT_EQ(e.getMessage(false), " 100\\% of job done");
    // Without parameters nothing is substituted at all.
    EXPECT_EQ(Exception("@x.y{a\\%b%};").getMessage(false), " a\\%b%");
}

TEST(ExceptionMessage, RenderingDoesNotConsumeTheParameters)
{
    const Exception e("@x{% and %};", ParamStream() << 1 << 2);
    EXPECT_EQ(e.getMessage(false), " 1 and 2");
    EXPECT_EQ(e.getMessage(false), " 1 and 2");
    EXPECT_EQ(e.getWideMessage(false), u"Exception: 1 and 2");
}

TEST(ExceptionMessage, EmptyTemplateAndWrappers)
{
    const Exception empty;
    EXPECT_EQ(empty.className, "Exception");
    EXPECT_EQ(empty.getMessage(true), "Exception:");
    EXPECT_EQ(empty.getMessage(false), "");
    EXPECT_EQ(empty.getWideMessage(true), u"Exception:");

    const Worker::Start_FailedToStart inner(startTemplate, ParamStream() << "t" << 2);
    const Worker::Run_Aborted wrapper(KELVRA_HERE, inner);
    EXPECT_EQ(wrapper.messageTemplate, "");
    ASSERT_EQ(wrapper.nested.size(), 1u);
    ASSERT_EQ(wrapper.annotations.size(), 1u);
    EXPECT_EQ(wrapper.getMessage(true), "Run_Aborted:\nStart_FailedToStart: Failed to start thread \"t\" (error=2)");
    EXPECT_EQ(wrapper.getWideMessage(true),
              u"Run_Aborted:\nStart_FailedToStart: Failed to start thread \"t\" (error=2)");
}

TEST(ExceptionMessage, NestedExceptionsRenderInOrder)
{
    Exception container("@c{Container};");
    container.nested.push_back(Exception("@a{First %};", ParamStream() << 1));
    container.nested.push_back(Worker::Run_Aborted("@b{Second};"));
    EXPECT_EQ(container.getMessage(true), "Exception: Container\nException: First 1\nRun_Aborted: Second");
}

TEST(ExceptionMessage, WideTemplateIsRenderedWhenNarrowIsEmpty)
{
    Exception e;
    e.wideTemplate = u"@w{Wide %};";
    e.parameters << 5;
    EXPECT_EQ(e.getWideMessage(false), u" Wide 5");
    // The narrow rendering then always carries the class name.
    EXPECT_EQ(e.getMessage(false), "Exception: Wide 5");
}

TEST(ExceptionAnnotations, LogTextIsTemplateThenAnnotations)
{
    Exception e(startTemplate, sourceLocation("src\\Thread.cpp", 12), ParamStream() << "x" << 1);
    e.annotations.push_back(" @extra;");
    EXPECT_EQ(e.getAnnotations(), " @logsrc{file=\"Thread.cpp\" line=12}; @extra;");
    EXPECT_EQ(e.getLogText(), startTemplate + " @logsrc{file=\"Thread.cpp\" line=12}; @extra;");
    EXPECT_EQ(Exception().getLogText(), "");
}

TEST(ExceptionCopy, CopiesAreDeepIncludingNestedExceptions)
{
    Worker::Start_FailedToStart inner(startTemplate, " @i;", ParamStream() << "n" << 3);
    Worker::Run_Aborted outer(" @o;", inner);
    outer.nested[0].nested.push_back(Exception("@deep{Deep};"));

    Exception copy = outer;
    EXPECT_EQ(copy.className, "Run_Aborted");
    EXPECT_EQ(copy.getMessage(true), outer.getMessage(true));

    // Changing the original leaves the copy alone, at every depth.
    outer.nested[0].nested[0].messageTemplate = "@deep{Changed};";
    outer.nested[0].parameters << "more";
    outer.annotations.clear();
    EXPECT_EQ(copy.nested[0].nested[0].messageTemplate, "@deep{Deep};");
    EXPECT_EQ(copy.nested[0].parameters.count(), 2u);
    EXPECT_EQ(copy.getAnnotations(), " @o;");

    Exception assigned;
    assigned = copy;
    EXPECT_EQ(assigned.getMessage(true), copy.getMessage(true));
    // Assigning a nested exception to its container keeps the nested data intact.
    assigned = assigned.nested[0];
    EXPECT_EQ(assigned.className, "Start_FailedToStart");
    ASSERT_EQ(assigned.nested.size(), 1u);
    EXPECT_EQ(assigned.nested[0].messageTemplate, "@deep{Deep};");
}

TEST(ExceptionThrowing, ErrorClassesAreCaughtAsException)
{
    try {
        throw Worker::Start_FailedToStart(startTemplate, KELVRA_HERE, ParamStream() << "w" << 9);
    } catch (const Exception& caught) {
        EXPECT_EQ(caught.className, "Start_FailedToStart");
        EXPECT_NE(caught.getLogText().find("@logsrc{file=\"ExceptionTest.cpp\""), std::string::npos);
        return;
    }
    FAIL() << "not caught";
}
